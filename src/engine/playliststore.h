#pragma once

#include "engine/track.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QUuid>
#include <QVariant>
#include <functional>
#include <memory>

namespace orvane {

class Clock;
class MetadataCache;
class SettingsWriter;
class TimerHandle;

// How the playlist outlives the process: the list of bookmarks under `playlistBookmarks` in a
// settings file of its own (playlist.conf beside the main settings file, so that a theme or
// language change rewrites a few hundred bytes, not the list), and the metadata cache that
// lets a start show the rows without reading their files. The engine owns it and tells it of
// every change; it decides when to write. Main thread only (its writers have threads of their
// own).
class PlaylistStore {
public:
    static const QString key; // "playlistBookmarks"
    // The playlist file that goes with the settings file at `settingsPath`.
    static QString pathBeside(const QString& settingsPath);
    // Whether a settings file at `path` may be opened: a regular file, or none yet. Anything
    // else (a FIFO, say) could block QSettings for good.
    static bool mayOpen(const QString& path);
    // The stored form: the settings store's list of byte arrays (an empty list is stored as an
    // empty list of byte arrays, not as QSettings' "no value").
    static QVariant encode(const QList<QByteArray>& bookmarks);
    // The stored list; empty when there is none or a value is of the wrong type (ignored as a
    // whole).
    static QList<QByteArray> decode(const QVariant& stored);

    // The stored list a start shows, read with QSettings on the calling thread (any thread).
    // Versions before the playlist had a file of its own kept it in the main settings file:
    // such a list is moved over once, the playlist file written (and on disk) before the key
    // leaves the main file. A move cut short between the two leaves both, and then the
    // playlist file is the newer; one that cannot be written (a read-only folder) leaves the
    // list where it is and shows it from there. `betweenSteps` runs between the two writes
    // (tests end the process there).
    static QList<QByteArray> readStored(const QString& playlistPath, const QString& mainPath,
                                        const std::function<void()>& betweenSteps = {});

    // Writes `playlist` (which the engine owns and changes) through `writer` on the playlist
    // file, or, without one, through a writer of its own on `path`.
    PlaylistStore(Clock& clock, SettingsWriter* writer, const QString& path,
                  const QList<Track>& playlist);
    ~PlaylistStore(); // writes what is due, then waits for the cache's writer
    PlaylistStore(const PlaylistStore&) = delete;
    PlaylistStore& operator=(const PlaylistStore&) = delete;

    QString path() const; // the playlist file
    void setCache(std::unique_ptr<MetadataCache> cache);
    MetadataCache* cache() const { return cache_.get(); }

    // While a start reads the stored list, saves wait: an interruption must not shorten the
    // stored list. A quit meanwhile writes the list as shown followed by `unread()`, the stored
    // entries not read yet.
    void holdUntilRestored(std::function<QList<QByteArray>()> unread = {});
    void restored(); // a save asked for meanwhile goes out now
    // Drops a pending save: a start that was never shown leaves the stored list as it is.
    void discardPending();

    // The playlist changed: its list is written 0.25 s after the first change (a burst of
    // appends writes the file once), the cache once changes pause.
    void playlistChanged();
    // A row's metadata changed, not the list.
    void cacheChanged();
    // Writes now what is due (at quit).
    void writeNow();
    // Waits until what was handed to the list's writer is written (or failed to be).
    void waitWritten();

    // Stored entries whose files are on a volume not mounted now, each kept in its place in the
    // stored list: after the track with the id it is filed under (none: at the start). Found
    // by id, so a track that leaves hands its entries on in one step however many are kept.
    struct Kept {
        QHash<QUuid, QList<QByteArray>> after;
        QList<QUuid> order; // the ids as first filed under (some may no longer be there)
        void add(const QUuid& id, QList<QByteArray> bookmarks);
        bool isEmpty() const { return after.isEmpty(); }
    };
    // A stored entry whose file is on a volume not mounted now: it keeps its place in the
    // stored list, after the track with id `after` (none: at the start).
    void keep(const QUuid& after, const QByteArray& bookmark);
    // The same for all those a start found (PlaylistRestore), in one step.
    void keepAll(Kept kept);
    // A row whose file turned out to be on a volume not mounted now, about to leave the list:
    // while it is still shown its entry is stored as the row's, and once it goes the entry is
    // kept in the row's place. One state: never stored twice, never lost.
    void keepWhenGone(const QUuid& id, const QByteArray& bookmark);
    // The track `id` leaves the list: entries kept after it follow `before` instead, and so
    // does its own entry when it was to be kept and `keepOwn` (a removal by the user drops it).
    void trackLeaving(const QUuid& id, const QUuid& before, bool keepOwn);
    // The bookmarks as stored: the playlist's in order, with those kept in their places.
    QList<QByteArray> storedOrder() const;

private:
    // What the stored order is made of, taken on the main thread in one walk of the playlist
    // (the kept entries, a million of them on a volume not mounted, are shared, not copied)
    // and merged on a writer's thread.
    struct Snapshot {
        QList<QByteArray> shown; // the playlist's bookmarks
        QList<QUuid> ids;        // the playlist's ids
        Kept kept;
        QHash<QUuid, QByteArray> keepWhenGone;
        QList<QByteArray> unread; // a quit during the restore: the entries not read yet
        QList<QByteArray> order() const;
    };
    std::shared_ptr<const Snapshot> snapshot(bool withUnread = false) const;
    void writeList();
    void cacheDue();
    void writeCache();

    Clock& clock_;
    std::unique_ptr<SettingsWriter> ownWriter_;
    SettingsWriter& writer_;
    const QList<Track>& playlist_;
    std::unique_ptr<MetadataCache> cache_;
    std::unique_ptr<TimerHandle> listTimer_, cacheTimer_;
    bool holding_ = false, listPending_ = false;
    std::function<QList<QByteArray>()> unread_;
    // Clock times of the first cache change not written yet, and of the last one.
    double cacheChangedSince_ = 0, cacheChangedAt_ = 0;
    bool cacheDirty_ = false; // the list or a row changed since the cache was last written
    Kept kept_;
    QHash<QUuid, QByteArray> keepWhenGone_;
};

} // namespace orvane
