#include "engine/playlistrestore.h"

#include "core/localization.h"
#include "engine/bookmark.h"

#include <QFile>
#include <QRandomGenerator>
#include <algorithm>
#include <array>
#include <atomic>
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

// One stored entry's file as found now.
struct Found {
    QString path; // null when the bookmark no longer resolves
    QUrl url;
    FileStamp stamp;
};

// Looks at each stored entry's file once. Several threads may share the work: each takes the
// next run of entries until none is left.
class Looker {
public:
    explicit Looker(const QList<QByteArray>& stored)
        : stored_(stored)
        , found_(stored.size()) {}
    void run() {
        Bookmark::Resolver resolver; // one per thread
        const qsizetype n = stored_.size();
        for (;;) {
            const qsizetype begin = next_.fetch_add(kRun, std::memory_order_relaxed);
            if (begin >= n)
                return;
            for (qsizetype i = begin; i < std::min(begin + kRun, n); ++i) {
                Found& f = found_[i];
                if (std::optional<QString> path = resolver.resolve(stored_.at(i), &f.stamp)) {
                    f.url = QUrl::fromLocalFile(*path);
                    f.path = std::move(*path);
                }
            }
        }
    }
    // Once every thread that ran it has finished.
    const QList<Found>& found() const { return found_; }

private:
    static constexpr qsizetype kRun = 256;
    const QList<QByteArray>& stored_;
    QList<Found> found_; // sized up front: threads write their own entries only
    std::atomic<qsizetype> next_ = 0;
};

// The rows to show: each entry from the cache while its file is unchanged, else by its name.
void showFrom(PlaylistRestore::Result& r, const QList<Found>& found) {
    r.tracks.reserve(r.stored.size());
    IdSource ids;
    for (qsizetype i = 0; i < r.stored.size(); ++i) {
        const QByteArray& bytes = r.stored.at(i);
        const Found& file = found.at(i);
        if (file.path.isNull()) {
            // As when read: kept in place when its volume is not mounted, else dropped.
            if (Bookmark::isOnMissingVolume(bytes))
                r.kept.append({r.tracks.size() - 1, bytes});
            else
                r.dropped = true;
            continue;
        }
        const MetadataCache::Entry* entry = r.cache->find(bytes, file.stamp);
        if (entry) {
            r.tracks.append(MetadataCache::track(*entry, file.url, bytes, ids.next()));
            if (!entry->coverMissing)
                continue; // else only its cover is to come
        } else {
            const QString& path = file.path;
            const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
            const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
            Track shown;
            shown.id = ids.next();
            shown.title =
                path.mid(slash + 1, dot > slash ? dot - slash - 1 : path.size() - slash - 1);
            shown.url = file.url;
            shown.bookmark = bytes;
            r.tracks.append(std::move(shown));
        }
        r.reread.append(r.tracks.size() - 1);
    }
}

} // namespace

PlaylistRestore::Result PlaylistRestore::read(const QSettings& settings, const QString& cachePath) {
    Result r;
    r.stored = storedBookmarks(settings);
    if (r.stored.isEmpty() || cachePath.isEmpty())
        return r;
    r.cache = std::make_unique<MetadataCache>(cachePath, currentLang(settings));
    r.cache->load(); // nothing usable: every file is read again
    Looker looker(r.stored);
    looker.run();
    showFrom(r, looker.found());
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
        // First, as the window waits for it: the settings file opened later in this process
        // shares what is parsed here.
        const QSettings settings(settingsPath, QSettings::IniFormat);
        if (settings.status() != QSettings::NoError)
            return;
        Result r;
        r.stored = storedBookmarks(settings);
        if (!r.stored.isEmpty() && !cachePath_.isEmpty()) {
            // The cache is read while the files are looked at; then that thread helps look.
            r.cache = std::make_unique<MetadataCache>(cachePath_, currentLang(settings));
            Looker looker(r.stored);
            std::thread helper([cache = r.cache.get(), &looker] {
                cache->load();
                looker.run();
            });
            looker.run();
            helper.join();
            showFrom(r, looker.found());
        }
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
