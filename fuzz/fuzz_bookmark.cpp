// Stored bookmarks: foreign bytes never resolve, and what resolves is an absolute, clean path
// to a regular file.
#include "engine/bookmark.h"

#include <QDir>
#include <QFileInfo>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const auto path = orvane::Bookmark::resolve(bytes)) {
        if (!QDir::isAbsolutePath(*path) || QDir::cleanPath(*path) != *path ||
            !QFileInfo(*path).isFile() || orvane::Bookmark::make(*path) != bytes)
            std::abort();
    }
    // The quick check a start makes of each stored row agrees with the whole decoding.
    if (orvane::Bookmark::recordsPath(bytes) != orvane::Bookmark::recordedPath(bytes).has_value())
        std::abort();
    orvane::Bookmark::isOnMissingVolume(bytes);
    return 0;
}
