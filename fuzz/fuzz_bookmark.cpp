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
    orvane::Bookmark::isOnMissingVolume(bytes);
    return 0;
}
