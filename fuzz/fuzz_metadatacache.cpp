// The metadata cache file as a start reads it. The input is the file less its checksum, which is
// added here so that every input reaches the reader (a checksum that had to be guessed would
// stop nearly all of them). Whatever the bytes, the file is refused whole or gives entries a
// start can show, and what is taken is written back to a file that reads back to itself.
#include "engine/metadatacache.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <cmath>
#include <cstdlib>

using orvane::MetadataCache;

namespace {

QByteArray sealed(QByteArray body) {
    QByteArray sum(MetadataCache::checksumBytes, Qt::Uninitialized);
    qToBigEndian(MetadataCache::checksum(body), sum.data());
    return body + sum;
}

QByteArray contents(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        std::abort();
    return file.readAll();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first")),
                  second = dir.filePath(QStringLiteral("second"));
    // The bookmarks of the seeds, so that look-ups in order and by hash both find something.
    static const QList<QByteArray> kLooked{QByteArray("ORVB\x01/music/a.mp3"),
                                           QByteArray("ORVB\x01/music/b.flac"),
                                           QByteArray("ORVB\x01/music/a.mp3")};

    MetadataCache cache(first, QStringLiteral("en"));
    if (!cache.parse(sealed(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)))))
        return 0;
    qsizetype at = 0;
    for (const QByteArray& bookmark : kLooked) {
        const std::optional<MetadataCache::Entry> entry = cache.find(bookmark, at);
        if (!entry)
            continue;
        if (!std::isfinite(entry->duration) || entry->duration < 0 ||
            entry->duration > orvane::Track::maxDuration || entry->stamp.size < 0 ||
            entry->technical.line() != entry->technical.line(QStringLiteral("en")) ||
            (entry->coverMissing && !entry->artwork.isEmpty()) ||
            entry->artwork.size() > orvane::Track::maxThumbnailBytes)
            std::abort();
        MetadataCache::track(*entry, bookmark, {});
    }

    // Written, read and written again: the same file.
    cache.save();
    cache.waitForWrites();
    MetadataCache again(second, QStringLiteral("ru"));
    if (!again.parse(contents(first)))
        std::abort();
    again.save();
    again.waitForWrites();
    if (contents(first) != contents(second))
        std::abort();
    return 0;
}
