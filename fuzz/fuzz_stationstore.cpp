// The stored station list: any bytes decode or are rejected whole; what decodes round-trips.
#include "radio/stationstore.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto stations = orvane::StationStore::decode(bytes);
    if (stations) {
        const auto again = orvane::StationStore::decode(orvane::StationStore::encode(*stations));
        if (!again || *again != *stations)
            std::abort();
    }
    return 0;
}
