// Catalog answers: decoded strictly, and only http(s) addresses come out as stations.
#include "radio/radiobrowser.h"

#include <QUrl>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const auto stations = orvane::RadioBrowser::decodeAnswer(bytes)) {
        for (const auto& s : *stations) {
            const QString scheme = QUrl(s.url.trimmed()).scheme().toLower();
            if (s.url.isEmpty() || (scheme != "http" && scheme != "https"))
                std::abort();
        }
    }
    orvane::RadioBrowser::encodeQuery(QString::fromUtf8(bytes));
    return 0;
}
