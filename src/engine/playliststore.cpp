#include "engine/playliststore.h"

#include "core/settingswriter.h"
#include "engine/clock.h"
#include "engine/filename.h"
#include "engine/metadatacache.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSettings>
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

namespace {

// Appends within this window share one write of the playlist file.
constexpr double kListDelay = 0.25;
// The metadata cache is written once changes have paused this long, or at the latest this long
// after the first of them: a write hands the writer a snapshot, and the next change then copies
// every entry on the main thread, which while thousands of files come in would stall it.
constexpr double kCacheDelay = 2.0;
constexpr double kCacheLatest = 15.0;

// Puts what was written to `path` on the disk, and its name in its folder, before the caller
// goes on (QSettings replaces the file by a rename but does not wait for the disk).
void syncToDisk(const QString& path) {
    for (const QString& name : {path, QFileInfo(path).absolutePath()}) {
        const int fd = ::open(encodeFileName(name).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
}

} // namespace

const QString PlaylistStore::key = QStringLiteral("playlistBookmarks");

bool PlaylistStore::mayOpen(const QString& path) {
    struct stat st {};
    return ::stat(encodeFileName(path).constData(), &st) != 0 || S_ISREG(st.st_mode);
}

QString PlaylistStore::pathBeside(const QString& settingsPath) {
    return QFileInfo(settingsPath).absoluteDir().filePath(QStringLiteral("playlist.conf"));
}

QVariant PlaylistStore::encode(const QList<QByteArray>& bookmarks) {
    // QSettings writes an empty QVariantList to an INI file as "@Invalid()", which reads back
    // as no value at all; an empty list of byte arrays keeps its type.
    if (bookmarks.isEmpty())
        return QVariant::fromValue(QByteArrayList());
    QVariantList list;
    list.reserve(bookmarks.size());
    for (const QByteArray& bytes : bookmarks)
        list.append(bytes);
    return list;
}

QList<QByteArray> PlaylistStore::decode(const QVariant& stored) {
    if (stored.typeId() == QMetaType::QByteArrayList)
        return stored.value<QByteArrayList>();
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

QList<QByteArray> PlaylistStore::readStored(const QString& playlistPath, const QString& mainPath,
                                            const std::function<void()>& betweenSteps) {
    if (!mayOpen(playlistPath))
        return {};
    QSettings playlist(playlistPath, QSettings::IniFormat);
    if (!mayOpen(mainPath))
        return decode(playlist.value(key));
    QSettings main(mainPath, QSettings::IniFormat);
    if (!main.contains(key))
        return decode(playlist.value(key));
    if (playlist.contains(key)) {
        // A move cut short after its first step: the playlist file has the list, and any
        // change since went there.
        main.remove(key);
        main.sync();
        return decode(playlist.value(key));
    }
    const QVariant stored = main.value(key);
    playlist.setValue(key, stored);
    playlist.sync();
    if (playlist.status() != QSettings::NoError)
        return decode(stored); // it stays where it is, and is shown from there
    syncToDisk(playlist.fileName());
    if (betweenSteps)
        betweenSteps();
    main.remove(key);
    main.sync();
    return decode(stored);
}

PlaylistStore::PlaylistStore(Clock& clock, SettingsWriter* writer, const QString& path,
                             const QList<Track>& playlist)
    : clock_(clock)
    , ownWriter_(writer ? nullptr : std::make_unique<SettingsWriter>(path, QSettings::IniFormat))
    , writer_(writer ? *writer : *ownWriter_)
    , playlist_(playlist) {
    writer_.flush(); // what was asked to be written before is what a start reads
}

QString PlaylistStore::path() const {
    return writer_.fileName();
}

void PlaylistStore::setCache(std::unique_ptr<MetadataCache> cache) {
    cache_ = std::move(cache);
}

PlaylistStore::~PlaylistStore() {
    writeNow();
    cache_.reset();     // waits for its writer
    ownWriter_.reset(); // writes what is left
}

void PlaylistStore::holdUntilRestored(std::function<QList<QByteArray>()> unread) {
    holding_ = true;
    unread_ = std::move(unread);
}

void PlaylistStore::restored() {
    holding_ = false;
    unread_ = {};
    if (listPending_ && !listTimer_)
        listTimer_ = clock_.after(kListDelay, [this] { writeList(); });
}

void PlaylistStore::discardPending() {
    listPending_ = false;
    listTimer_.reset();
}

void PlaylistStore::playlistChanged() {
    cacheChanged();
    listPending_ = true;
    if (!holding_ && !listTimer_)
        listTimer_ = clock_.after(kListDelay, [this] { writeList(); });
}

void PlaylistStore::cacheChanged() {
    if (!cache_)
        return;
    cacheDirty_ = true;
    cacheChangedAt_ = clock_.now();
    if (!cacheTimer_) {
        cacheChangedSince_ = cacheChangedAt_;
        cacheTimer_ = clock_.after(kCacheDelay, [this] { cacheDue(); });
    }
}

void PlaylistStore::writeNow() {
    if (listPending_)
        writeList();
    writeCache();
}

void PlaylistStore::waitWritten() {
    writer_.flush();
}

void PlaylistStore::writeList() {
    listTimer_.reset();
    listPending_ = false;
    // Merged and written off the main thread.
    writer_.setValueFrom(key, [s = snapshot(true)] { return encode(s->order()); });
}

void PlaylistStore::cacheDue() {
    const double due = std::min(cacheChangedAt_ + kCacheDelay, cacheChangedSince_ + kCacheLatest);
    const double now = clock_.now();
    if (due > now + 1e-6) { // changed since the timer was set: wait for the pause
        cacheTimer_ = clock_.after(due - now, [this] { cacheDue(); });
        return;
    }
    writeCache();
}

void PlaylistStore::writeCache() {
    cacheTimer_.reset();
    if (!cache_)
        return;
    if (!cacheDirty_ && !cache_->isDirty())
        return;
    cacheDirty_ = false;
    // Entries follow the stored list, in its order: the playlist's files and those kept for a
    // later start.
    cache_->save([s = snapshot()] { return s->order(); });
}

void PlaylistStore::Kept::add(const QUuid& id, QList<QByteArray> bookmarks) {
    if (bookmarks.isEmpty())
        return;
    QList<QByteArray>& list = after[id];
    if (list.isEmpty()) {
        order.append(id);
        list = std::move(bookmarks);
    } else {
        list.append(std::move(bookmarks));
    }
}

void PlaylistStore::keep(const QUuid& after, const QByteArray& bookmark) {
    kept_.add(after, {bookmark});
}

void PlaylistStore::keepAll(Kept kept) {
    if (kept_.isEmpty()) {
        kept_ = std::move(kept);
        return;
    }
    for (const QUuid& id : std::as_const(kept.order))
        kept_.add(id, kept.after.take(id));
}

void PlaylistStore::keepWhenGone(const QUuid& id, const QByteArray& bookmark) {
    keepWhenGone_.insert(id, bookmark);
}

void PlaylistStore::trackLeaving(const QUuid& id, const QUuid& before, bool keepOwn) {
    // In the stored order the track's own entry comes first, then those kept after it: all
    // now follow `before`, after the entries already kept there.
    QList<QByteArray> moved;
    if (const auto own = keepWhenGone_.constFind(id); own != keepWhenGone_.cend()) {
        if (keepOwn)
            moved.append(*own);
        keepWhenGone_.erase(own);
    }
    if (!kept_.isEmpty())
        moved.append(kept_.after.take(id));
    kept_.add(before, std::move(moved));
}

QList<QByteArray> PlaylistStore::storedOrder() const {
    return snapshot()->order();
}

std::shared_ptr<const PlaylistStore::Snapshot> PlaylistStore::snapshot(bool withUnread) const {
    auto s = std::make_shared<Snapshot>();
    s->shown.reserve(playlist_.size());
    s->ids.reserve(playlist_.size());
    for (const Track& t : playlist_) {
        s->shown.append(t.bookmark ? *t.bookmark : QByteArray());
        s->ids.append(t.id);
    }
    s->kept = kept_;
    s->keepWhenGone = keepWhenGone_;
    if (withUnread && holding_ && unread_)
        s->unread = unread_(); // quitting during the restore: what was not read follows
    return s;
}

QList<QByteArray> PlaylistStore::Snapshot::order() const {
    QList<QByteArray> bookmarks;
    qsizetype keptCount = 0;
    for (const QList<QByteArray>& list : kept.after)
        keptCount += list.size();
    bookmarks.reserve(shown.size() + keptCount + keepWhenGone.size() + unread.size());
    QSet<QUuid> placed;
    auto appendKept = [&](const QUuid& id) {
        if (const auto it = kept.after.constFind(id); it != kept.after.cend()) {
            bookmarks.append(*it);
            placed.insert(id);
        }
    };
    appendKept(QUuid());
    for (qsizetype i = 0; i < shown.size(); ++i) {
        if (!shown.at(i).isEmpty())
            bookmarks.append(shown.at(i));
        if (!kept.isEmpty())
            appendKept(ids.at(i));
    }
    // Those whose track left with a wholesale replacement of the list go last.
    for (const QUuid& id : kept.order) {
        if (!placed.contains(id)) {
            appendKept(id);
            placed.insert(id);
        }
    }
    if (!keepWhenGone.isEmpty()) {
        const QSet<QUuid> present(ids.cbegin(), ids.cend());
        for (auto it = keepWhenGone.cbegin(); it != keepWhenGone.cend(); ++it) {
            if (!present.contains(it.key()))
                bookmarks.append(it.value());
        }
    }
    bookmarks.append(unread);
    return bookmarks;
}

} // namespace orvane
