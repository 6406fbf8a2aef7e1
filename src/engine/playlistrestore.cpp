#include "engine/playlistrestore.h"

#include "core/localization.h"
#include "engine/bookmark.h"

#include <QFile>
#include <QRandomGenerator>
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

} // namespace

PlaylistRestore::Result PlaylistRestore::read(const QSettings& settings, const QString& cachePath) {
    Result r;
    r.stored = storedBookmarks(settings);
    if (r.stored.isEmpty() || cachePath.isEmpty())
        return r;
    r.cache = std::make_unique<MetadataCache>(cachePath, currentLang(settings));
    r.cache->load(); // nothing usable: every file is read again
    r.tracks.reserve(r.stored.size());
    IdSource ids;
    for (const QByteArray& bytes : std::as_const(r.stored)) {
        FileStamp stamp;
        const std::optional<QString> path = Bookmark::resolve(bytes, &stamp);
        if (!path) {
            // As when read: kept in place when its volume is not mounted, else dropped.
            if (Bookmark::isOnMissingVolume(bytes))
                r.kept.append({r.tracks.size() - 1, bytes});
            else
                r.dropped = true;
            continue;
        }
        const MetadataCache::Entry* entry = r.cache->find(bytes, stamp);
        if (entry) {
            r.tracks.append(
                MetadataCache::track(*entry, QUrl::fromLocalFile(*path), bytes, ids.next()));
            if (!entry->coverMissing)
                continue; // else only its cover is to come
        } else {
            const qsizetype slash = path->lastIndexOf(QLatin1Char('/'));
            const qsizetype dot = path->lastIndexOf(QLatin1Char('.'));
            Track shown;
            shown.id = ids.next();
            shown.title =
                path->mid(slash + 1, dot > slash ? dot - slash - 1 : path->size() - slash - 1);
            shown.url = QUrl::fromLocalFile(*path);
            shown.bookmark = bytes;
            r.tracks.append(std::move(shown));
        }
        r.reread.append(r.tracks.size() - 1);
    }

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
        // Parsed once: the settings file opened later in this process shares what is read here.
        const QSettings settings(settingsPath, QSettings::IniFormat);
        if (settings.status() == QSettings::NoError)
            result_ = read(settings, cachePath_);
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
