#include "engine/playlistrestore.h"

#include "core/localization.h"
#include "engine/bookmark.h"
#include "engine/playliststore.h"

#include <QHash>
#include <QRandomGenerator>
#include <QSettings>
#include <algorithm>
#include <utility>

namespace orvane {

namespace {

// A fresh random id (version 4, RFC 4122 variant, as QUuid::createUuid makes them) from a
// generator seeded once: QUuid::createUuid asks the system for every one of thousands of rows.
QUuid nextId(QRandomGenerator& random) {
    const quint64 high = random.generate64(), low = random.generate64();
    return QUuid(uint(high >> 32), ushort(high >> 16), ushort((high & 0x0FFF) | 0x4000),
                 uchar(((low >> 56) & 0x3F) | 0x80), uchar(low >> 48), uchar(low >> 40),
                 uchar(low >> 32), uchar(low >> 24), uchar(low >> 16), uchar(low >> 8),
                 uchar(low));
}

// The rows to show: each entry from the cache as its file was last read (checked later), else
// by its name. The cache holds its entries in the order of the stored list it was last saved
// with, so each is found where it is expected.
void showFrom(PlaylistRestore::Result& r) {
    r.tracks.reserve(r.stored.size());
    r.check.reserve(r.stored.size());
    QRandomGenerator random = QRandomGenerator::securelySeeded();
    qsizetype at = 0;
    // Whether each folder is missing, looked at once: the entries of an album share one.
    QHash<QString, bool> missingFolders;
    QUuid last; // the id of the last row shown
    for (const QByteArray& bytes : std::as_const(r.stored)) {
        // A row names its file by its bookmark: no name of its own is made here.
        const std::optional<QString> path = Bookmark::recordedPath(bytes);
        if (!path) {
            r.dropped = true; // not one of ours: it never resolves
            continue;
        }
        const QString folder = path->left(path->lastIndexOf(QLatin1Char('/')));
        auto missing = missingFolders.constFind(folder);
        if (missing == missingFolders.cend())
            missing = missingFolders.insert(folder, Bookmark::isOnMissingVolume(bytes));
        if (*missing) {
            r.kept.add(last, {bytes});
            r.cache->find(bytes, at); // passed in order: the next one is where it is expected
            continue;
        }
        const QUuid id = nextId(random);
        last = id;
        if (std::optional<MetadataCache::Entry> entry = r.cache->find(bytes, at)) {
            r.totalDuration += entry->duration;
            const bool coverMissing = entry->coverMissing;
            const FileStamp stamp = entry->stamp;
            r.tracks.append(MetadataCache::track(std::move(*entry), bytes, id));
            if (coverMissing)
                r.reread.append({bytes, id, r.tracks.size() - 1, {}}); // its cover is to come
            else {
                r.check.append({bytes, id, r.tracks.size() - 1, stamp});
                r.tracks.last().unchecked = stamp.digest();
            }
            continue;
        }
        Track shown;
        shown.id = id;
        shown.bookmark = bytes;
        shown.title = Track::titleFromName(shown.path());
        r.tracks.append(std::move(shown));
        r.reread.append({bytes, id, r.tracks.size() - 1, {}});
    }
}

// The stored list with its rows, from the cache in `cachePath` (empty: none) in `lang`.
PlaylistRestore::Result restoreFrom(QList<QByteArray> stored, const QString& lang,
                                    const QString& cachePath) {
    PlaylistRestore::Result r;
    r.stored = std::move(stored);
    if (r.stored.isEmpty() || cachePath.isEmpty())
        return r;
    r.cache = std::make_unique<MetadataCache>(cachePath, lang);
    r.cache->load(); // nothing usable: every file is read again
    showFrom(r);
    r.cache->release(); // the rows hold what was found; a write reads the file again
    return r;
}

} // namespace

PlaylistRestore::Result PlaylistRestore::read(const QString& playlistPath,
                                              const QString& settingsPath,
                                              const QString& cachePath, const QString& lang) {
    return restoreFrom(PlaylistStore::readStored(playlistPath, settingsPath), lang, cachePath);
}

PlaylistRestore::PlaylistRestore(QString playlistPath, QString settingsPath, QString cachePath)
    : cachePath_(std::move(cachePath)) {
    thread_ = std::thread([this, playlistPath = std::move(playlistPath),
                           settingsPath = std::move(settingsPath)] {
        const QString lang = PlaylistStore::mayOpen(settingsPath)
                                 ? currentLang(QSettings(settingsPath, QSettings::IniFormat))
                                 : QStringLiteral("system");
        result_ = read(playlistPath, settingsPath, cachePath_, lang);
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
