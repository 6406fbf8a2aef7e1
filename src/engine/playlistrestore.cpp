#include "engine/playlistrestore.h"

#include "core/giveway.h"
#include "core/localization.h"
#include "engine/bookmark.h"
#include "engine/filename.h"

#include <QRandomGenerator>
#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <sys/stat.h>
#include <utility>

namespace orvane {

namespace {

const QString kPlaylistKey = QStringLiteral("playlistBookmarks");
// A settings file larger than this is left to QSettings.
constexpr qint64 kMaxSettingsBytes = 256LL * 1024 * 1024;

const QString kThemeKey = QStringLiteral("appTheme");
const QString kLanguageKey = QStringLiteral("appLanguage");
const QString kStationsKey = QStringLiteral("radioStations");

// The stored list; empty when there is none or a value is of the wrong type (ignored as a
// whole).
QList<QByteArray> bookmarksIn(const QVariant& stored) {
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

// Heap room is taken for settings files from this size on (some 3,000 tracks).
constexpr qsizetype kRoomFromBytes = 256 * 1024;
constexpr qsizetype kMostRoom = 24 * 1024 * 1024; // under glibc's 32 MB limit for the rise below

// Room in this thread's heap, taken in one step, for what a restore of a long list makes (the
// stored list, the cache file, the rows: some 10 MB for 20,000 tracks). glibc grows a
// thread's own heap by just what each allocation needs, a page at a time, and each step is an
// mprotect under the process's memory map lock: some 1,200 of them for 20,000 rows, each one
// holding up the main thread as it maps the libraries and plugins of the window being built
// beside. A block that was mapped on its own raises, when freed, glibc's threshold for mapping
// blocks on their own above its size (mallopt(3), M_MMAP_THRESHOLD), so a second block of that
// size comes from this thread's heap, which grows once; freed, it stays there as room.
void makeHeapRoom(qsizetype settingsBytes) {
#ifdef __GLIBC__
    if (settingsBytes < kRoomFromBytes)
        return;
    const auto room = size_t(std::min(16 * settingsBytes, kMostRoom));
    for (int i = 0; i < 2; ++i) {
        void* volatile block = std::malloc(room); // volatile: the pair is not optimized away
        std::free(block);
    }
#else
    Q_UNUSED(settingsBytes);
#endif
}

// Faults in the part of that room the restore will fill, a page at a time, before it is
// needed: while the main thread connects to the display and opens its players, this thread has
// nothing else to do, and the same thousands of faults cost it twice as long (and the window
// more) when taken beside the window's widgets being built. Freed, the pages stay in the heap
// and the list, the cache and the rows are made in them.
void touchHeapRoom(qsizetype settingsBytes) {
#ifdef __GLIBC__
    if (settingsBytes < kRoomFromBytes)
        return;
    const auto used = size_t(std::min(8 * settingsBytes, kMostRoom));
    auto* const block = static_cast<volatile char*>(std::malloc(used)); // each write is made
    for (size_t i = 0; block && i < used; i += 4096) {
        block[i] = 0;
        giveWay();
    }
    std::free(const_cast<char*>(block));
#else
    Q_UNUSED(settingsBytes);
#endif
}

// Fresh random ids for thousands of rows, without a system call for each (QUuid::createUuid
// makes one every time): xoshiro256** (Blackman and Vigna) from a seed of the system's. Ids only
// need to differ; this takes 2 ns an id where a seeded QRandomGenerator64 takes 30.
class IdSource {
public:
    IdSource() {
        QRandomGenerator::system()->fillRange(state_.data(), state_.size());
        if (state_ == decltype(state_){}) // the one state it never leaves
            state_[0] = 1;
    }
    QUuid next() {
        const quint64 high = next64(), low = next64();
        // Version 4 (random) and the variant of RFC 4122, as QUuid::createUuid makes them.
        return QUuid(uint(high >> 32), ushort(high >> 16), ushort((high & 0x0FFF) | 0x4000),
                     uchar(((low >> 56) & 0x3F) | 0x80), uchar(low >> 48), uchar(low >> 40),
                     uchar(low >> 32), uchar(low >> 24), uchar(low >> 16), uchar(low >> 8),
                     uchar(low));
    }

private:
    quint64 next64() {
        const quint64 result = std::rotl(state_[1] * 5, 7) * 9;
        const quint64 t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = std::rotl(state_[3], 45);
        return result;
    }
    std::array<quint64, 4> state_;
};

// The rows to show: each entry from the cache as its file was last read (checked later), else
// by its name. The cache holds its entries in the order of the stored list it was last saved
// with, so each is found where it is expected.
void showFrom(PlaylistRestore::Result& r) {
    r.tracks.reserve(r.stored.size());
    r.check.reserve(r.stored.size());
    IdSource ids;
    qsizetype at = 0;
    for (const QByteArray& bytes : std::as_const(r.stored)) {
        // A row names its file by its bookmark: no name of its own is made here.
        if (!Bookmark::recordsPath(bytes)) {
            r.dropped = true; // not one of ours: it never resolves
            continue;
        }
        const QUuid id = ids.next();
        giveWay();
        if (std::optional<MetadataCache::Entry> entry = r.cache->find(bytes, at)) {
            r.totalDuration += entry->duration;
            const bool coverMissing = entry->coverMissing;
            const FileStamp stamp = entry->stamp;
            r.tracks.append(MetadataCache::track(std::move(*entry), bytes, id));
            if (coverMissing)
                r.reread.append({bytes, id, r.tracks.size() - 1, {}}); // its cover is to come
            else
                r.check.append({bytes, id, r.tracks.size() - 1, stamp});
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
    r.cache->load(r.stored); // nothing usable: every file is read again
    showFrom(r);
    return r;
}

} // namespace

PlaylistRestore::Result PlaylistRestore::read(const QSettings& settings, const QString& cachePath) {
    return restoreFrom(bookmarksIn(settings.value(kPlaylistKey)), currentLang(settings), cachePath);
}

PlaylistRestore::PlaylistRestore(QString settingsPath, QString cachePath)
    : settingsPath_(std::move(settingsPath))
    , cachePath_(std::move(cachePath)) {
    thread_ = std::thread([this] {
        // Whatever happens, whoever waits for the settings' values is let go.
        struct Release {
            PlaylistRestore* self;
            ~Release() { self->releaseSnapshot(); }
        } release{this};
        // Beside the window being built: its round trips never queue behind this thread.
        const GiveWay courteous;
        // The room first: the file's bytes come from it too, and once the stored list is
        // parsed they are room again for the rows.
        if (struct stat st{}; ::stat(encodeFileName(settingsPath_).constData(), &st) == 0)
            makeHeapRoom(qsizetype(st.st_size));
        // Only a regular file is read here (without blocking on opening it): anything else (a
        // FIFO, say) is left to the engine's own settings, which know what to do with it.
        std::optional<QByteArray> file = readRegularFile(settingsPath_, kMaxSettingsBytes);
        if (!file)
            return;
        // One thread, one step after another: the window is being built on the other core.
        // First what the window needs, then the stored list. Neither goes through QSettings
        // when the file allows it: it would parse the whole list at the first value asked for,
        // and hold every other QSettings on the file meanwhile.
        snapshot_ = SettingsSnapshot::parse(*file, {kThemeKey, kLanguageKey, kStationsKey});
        releaseSnapshot();
        touchHeapRoom(file->size());
        waitFor(Stage::ServicesMade);
        const std::optional<SettingsSnapshot> list = SettingsSnapshot::parse(*file, {kPlaylistKey});
        file.reset();
        if (snapshot_ && list) {
            std::optional<QByteArrayList> bookmarks = list->byteArrays(kPlaylistKey);
            result_ = restoreFrom(
                bookmarks ? std::move(*bookmarks) : bookmarksIn(list->value(kPlaylistKey)),
                snapshot_->value(kLanguageKey, QStringLiteral("system")).toString(), cachePath_);
            return;
        }
        // A file of other forms: QSettings parses it all.
        const QSettings settings(settingsPath_, QSettings::IniFormat);
        if (settings.status() == QSettings::NoError)
            result_ = read(settings, cachePath_);
    });
}

void PlaylistRestore::releaseSnapshot() {
    const std::lock_guard lock(mutex_);
    snapshotDone_ = true;
    changed_.notify_all();
}

const SettingsSnapshot* PlaylistRestore::snapshot() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return snapshotDone_; });
    return snapshot_ ? &*snapshot_ : nullptr;
}

void PlaylistRestore::reached(Stage stage) {
    const std::lock_guard lock(mutex_);
    stage_ = std::max(stage_, stage);
    changed_.notify_all();
}

void PlaylistRestore::waitFor(Stage stage) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stage_ >= stage; });
}

PlaylistRestore::~PlaylistRestore() {
    reached(Stage::ServicesMade);
    if (thread_.joinable())
        thread_.join();
}

std::optional<PlaylistRestore::Result> PlaylistRestore::take() {
    reached(Stage::ServicesMade);
    if (thread_.joinable())
        thread_.join();
    return std::exchange(result_, std::nullopt);
}

} // namespace orvane
