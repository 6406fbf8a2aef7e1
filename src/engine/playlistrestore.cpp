#include "engine/playlistrestore.h"

#include "core/localization.h"
#include "engine/bookmark.h"

#include <QFile>
#include <QRandomGenerator>
#include <algorithm>
#include <array>
#include <sys/stat.h>
#include <utility>

namespace orvane {

namespace {

const QString kPlaylistKey = QStringLiteral("playlistBookmarks");

// The stored list; empty when there is none or a value is of the wrong type (ignored as a
// whole).
QList<QByteArray> storedBookmarks(const QSettings& settings) {
    const QVariant stored = settings.value(kPlaylistKey);
    if (stored.typeId() != QMetaType::QVariantList && stored.typeId() != QMetaType::QStringList)
        return {};
    const QVariantList values = stored.toList();
    QList<QByteArray> bookmarks;
    bookmarks.reserve(values.size());
    for (const QVariant& v : values) {
        if (v.typeId() != QMetaType::QByteArray)
            return {};
        bookmarks.append(v.toByteArray());
    }
    return bookmarks;
}

// Fresh random ids for thousands of rows, without a system call for each (QUuid::createUuid
// makes one every time).
class IdSource {
public:
    IdSource()
        : IdSource(systemSeed()) {}
    QUuid next() {
        const quint64 high = generator_.generate64(), low = generator_.generate64();
        // Version 4 (random) and the variant of RFC 4122, as QUuid::createUuid makes them.
        return QUuid(uint(high >> 32), ushort(high >> 16), ushort((high & 0x0FFF) | 0x4000),
                     uchar(((low >> 56) & 0x3F) | 0x80), uchar(low >> 48), uchar(low >> 40),
                     uchar(low >> 32), uchar(low >> 24), uchar(low >> 16), uchar(low >> 8),
                     uchar(low));
    }

private:
    using Seed = std::array<quint32, 8>;
    explicit IdSource(const Seed& seed)
        : generator_(seed.data(), qsizetype(seed.size())) {}
    static Seed systemSeed() {
        Seed bits;
        QRandomGenerator::system()->fillRange(bits.data(), bits.size());
        return bits;
    }
    QRandomGenerator64 generator_;
};

// The rows to show for stored[begin, end): each entry from the cache as its file was last read
// (checked later), else by its name. Rows are numbered from 0 within the part.
PlaylistRestore::Result rowsOf(const PlaylistRestore::Result& r, qsizetype begin, qsizetype end) {
    PlaylistRestore::Result part;
    part.tracks.reserve(end - begin);
    IdSource ids;
    for (qsizetype i = begin; i < end; ++i) {
        const QByteArray& bytes = r.stored.at(i);
        const std::optional<QString> path = Bookmark::recordedPath(bytes);
        if (!path) {
            part.dropped = true; // not one of ours: it never resolves
            continue;
        }
        const QUrl url = QUrl::fromLocalFile(*path);
        if (const MetadataCache::Entry* entry = r.cache->find(bytes)) {
            part.tracks.append(MetadataCache::track(*entry, url, bytes, ids.next()));
            if (entry->coverMissing)
                part.reread.append(part.tracks.size() - 1); // its cover is to come
            else
                part.check.append({part.tracks.size() - 1, entry->stamp});
            continue;
        }
        Track shown;
        shown.id = ids.next();
        shown.title = Track::titleFromName(*path);
        shown.url = url;
        shown.bookmark = bytes;
        part.tracks.append(std::move(shown));
        part.reread.append(part.tracks.size() - 1);
    }
    return part;
}

// All the rows, made in two halves at once (the window is being built meanwhile, and a long
// list takes tens of milliseconds).
void showFrom(PlaylistRestore::Result& r) {
    const qsizetype half = r.stored.size() / 2;
    PlaylistRestore::Result second;
    std::thread other([&] { second = rowsOf(r, half, r.stored.size()); });
    PlaylistRestore::Result first = rowsOf(r, 0, half);
    other.join();
    const qsizetype offset = first.tracks.size();
    r.tracks = std::move(first.tracks);
    r.tracks.append(std::move(second.tracks));
    r.reread = std::move(first.reread);
    for (const qsizetype row : std::as_const(second.reread))
        r.reread.append(offset + row);
    r.check = std::move(first.check);
    for (const PlaylistRestore::Result::Check& c : std::as_const(second.check))
        r.check.append({offset + c.row, c.stamp});
    r.dropped = first.dropped || second.dropped;
}

} // namespace

PlaylistRestore::Result PlaylistRestore::read(const QSettings& settings, const QString& cachePath) {
    Result r;
    r.stored = storedBookmarks(settings);
    if (r.stored.isEmpty() || cachePath.isEmpty())
        return r;
    r.cache = std::make_unique<MetadataCache>(cachePath, currentLang(settings));
    r.cache->load(); // nothing usable: every file is read again
    showFrom(r);
    return r;
}

PlaylistRestore::PlaylistRestore(QString settingsPath, QString cachePath)
    : cachePath_(std::move(cachePath)) {
    thread_ = std::thread([this, settingsPath = std::move(settingsPath)] {
        // Only a regular file is read here: anything else (a FIFO, say) is left to the
        // engine's own settings, which know what to do with it.
        struct stat st {};
        if (::stat(QFile::encodeName(settingsPath).constData(), &st) == 0 && !S_ISREG(st.st_mode))
            return;
        // The cache is read beside the settings (its language is checked once they are read).
        Result r;
        std::thread cacheReader;
        if (!cachePath_.isEmpty()) {
            r.cache = std::make_unique<MetadataCache>(cachePath_, QString());
            cacheReader = std::thread([cache = r.cache.get()] { cache->loadAnyLanguage(); });
        }
        // First, as the window waits for it: the settings file opened later in this process
        // shares what is parsed here.
        const QSettings settings(settingsPath, QSettings::IniFormat);
        r.stored = storedBookmarks(settings);
        if (cacheReader.joinable())
            cacheReader.join();
        if (settings.status() != QSettings::NoError)
            return;
        if (r.cache)
            r.cache->keepFor(currentLang(settings)); // nothing usable: every file is read again
        if (!r.stored.isEmpty() && r.cache)
            showFrom(r);
        else
            r.cache.reset();
        result_ = std::move(r);
    });
}

PlaylistRestore::~PlaylistRestore() {
    if (thread_.joinable())
        thread_.join();
}

std::optional<PlaylistRestore::Result> PlaylistRestore::take() {
    if (thread_.joinable())
        thread_.join();
    return std::exchange(result_, std::nullopt);
}

} // namespace orvane
