// The engine's playlist side: adding files (read off the main thread, appended on it in order),
// removing and reordering tracks, and the stored bookmark list.
#include "core/descriptors.h"
#include "core/localization.h"
#include "core/settingswriter.h"
#include "engine/audioengine.h"
#include "engine/audiofileplayer.h"
#include "engine/bookmark.h"
#include "engine/clock.h"
#include "engine/metadatacache.h"
#include "engine/playerfactory.h"
#include "engine/playliststore.h"

#include <sys/resource.h>
#include <unistd.h>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageReader>
#include <QSettings>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <limits>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <utility>

namespace orvane {

namespace {

// Reading yields to the window: a reader thread runs a little nicer than the main thread, which
// then finds a core when it wakes while files come in.
void lowerThreadPriority() {
    thread_local bool lowered = false;
    if (!std::exchange(lowered, true))
        setpriority(PRIO_PROCESS, id_t(gettid()), getpriority(PRIO_PROCESS, id_t(gettid())) + 4);
}

// Longest stretch of appends in one pass of the event loop, in milliseconds.
constexpr qint64 kAppendBudgetMs = 2;
// Shortest time between two passes of appends of one task, in milliseconds: about a frame. The
// window draws what a pass appended before the next one comes, and between them it is free:
// back to back, each pass brought a redraw of the list (as long as a pass again), and the main
// thread had no time left while a big add was listed. Rows read again in place are not paced:
// they are shown a batch at a time anyway, and their passes keep up with the readers.
constexpr qint64 kPassIntervalMs = 16;
// Items a reader takes at a time.
constexpr qsizetype kReadRun = 8;
// Adds of more files than this are listed first, by their file names, and read after, updating
// the rows in place: a big folder shows at once, as fast as its files can be looked at, and
// fills in while it is read. Fewer files are read in about the blink of an eye, so they appear
// complete.
constexpr qsizetype kListFirstAbove = 200;
// How long after a start has shown its stored list its files are looked at, in seconds.
constexpr double kCheckDelay = 0.3;
// Rows of a start handed to the readers per pass of the event loop (a millisecond or two).
constexpr qsizetype kCheckSlice = 20000;
// How long after a start's checks the heaps are trimmed, in milliseconds.
constexpr int kTrimDelayMs = 3000;

} // namespace

// What a worker hands back: the track, or none when a stored entry did not resolve.
struct Loaded {
    std::optional<Track> track;
    bool unread = false;            // listed by its file name, to be read after
    bool unchanged = false;         // a cached row whose file is as it was read
    QString error;                  // why a file to add cannot be opened
    std::optional<FileStamp> stamp; // the file's, taken before it was read
};

// Cover bytes by content. Tracks of one album usually carry the same cover: they share one
// buffer. Each distinct cover is decoded once, when first seen: bytes that look like an image
// but do not decode are no cover. Used from the pool's threads (QByteArray's sharing is
// thread-safe; decoding runs outside the lock).
struct AudioEngine::ArtworkCache {
    struct Known {
        QByteArray bytes;
        bool decodes = false;
    };
    std::mutex mutex;
    QHash<size_t, QList<Known>> byHash;

    // The thumbnails made so far, by the picture they were made from: an album's tracks carry
    // the same picture, which is decoded and scaled once for all of them (decoding is most of
    // what reading a file with a cover costs). The pictures themselves, up to megabytes each,
    // are not kept: a picture is known by its length and two independent hashes of its bytes.
    struct PictureKey {
        qsizetype size = 0;
        size_t hash1 = 0, hash2 = 0;
        int side = 0;
        bool operator==(const PictureKey&) const = default;
    };
    friend size_t qHash(const PictureKey& key, size_t seed) {
        return qHashMulti(seed, key.size, key.hash1, key.hash2, key.side);
    }
    QHash<PictureKey, QByteArray> thumbnails;

    QByteArray thumbnailOf(const QByteArray& picture, int side) {
        const PictureKey key{picture.size(), qHash(QByteArrayView(picture), 0x9e3779b9),
                             qHash(QByteArrayView(picture), 0x85ebca6b), side};
        {
            const std::lock_guard lock(mutex);
            const auto it = thumbnails.constFind(key);
            if (it != thumbnails.cend())
                return *it;
        }
        QByteArray made = Track::thumbnail(picture, side);
        const std::lock_guard lock(mutex);
        return *thumbnails.insert(key, std::move(made));
    }

    std::optional<bool> lookup(QByteArray& artwork, size_t hash) {
        const std::lock_guard lock(mutex);
        for (const Known& known : std::as_const(byHash[hash])) {
            if (known.bytes == artwork) {
                artwork = known.bytes;
                return known.decodes;
            }
        }
        return std::nullopt;
    }
    void share(QByteArray& artwork) {
        if (artwork.isEmpty())
            return;
        const size_t hash = qHash(artwork);
        std::optional<bool> decodes = lookup(artwork, hash);
        if (!decodes) {
            QBuffer buffer(&artwork);
            buffer.open(QIODevice::ReadOnly);
            QImageReader reader(&buffer);
            decodes = !reader.read().isNull();
            const std::lock_guard lock(mutex);
            byHash[hash].append({artwork, *decodes});
        }
        if (!*decodes)
            artwork.clear();
    }
    // Covers that no track uses any more are held by the cache alone. The thumbnails made go
    // first (they hold the same buffers); they are only remembered to save work.
    void prune() {
        const std::lock_guard lock(mutex);
        thumbnails.clear();
        for (auto it = byHash.begin(); it != byHash.end();) {
            it->removeIf([](const Known& known) { return known.bytes.isDetached(); });
            it = it->isEmpty() ? byHash.erase(it) : std::next(it);
        }
    }
};

TrackLoader AudioEngine::coverSharingLoader(std::shared_ptr<ArtworkCache> covers, int side) {
    return [covers = std::move(covers), side](const QUrl& url, const QString& lang) {
        return Track::load(url, lang, side, [&covers](const QByteArray& picture, int s) {
            return covers->thumbnailOf(picture, s);
        });
    };
}

struct AudioEngine::AddTask {
    // A file to add (its bookmark is made on the way, unless it was listed with one), or a
    // stored bookmark to resolve.
    struct Item {
        QUrl url;
        QByteArray stored;
        bool restore = false;
        bool listOnly = false; // a file to list now and read later
        // A stored entry shown from the metadata cache: read only when its file's stamp is no
        // longer this one.
        std::optional<FileStamp> unlessStamp;
    };
    // An add's files as they were given: the caller's list, shared, not copied item by item
    // (20,000 items made one by one cost the main thread milliseconds in one step). Those from
    // `listFrom` on are listed by their names first and read later.
    QList<QUrl> urls;
    qsizetype listFrom = std::numeric_limits<qsizetype>::max();
    // Stored entries to resolve (a start, its checks); empty for an add. Neither list changes
    // once the reading has started.
    QList<Item> items;
    qsizetype size() const { return urls.isEmpty() ? items.size() : urls.size(); }
    Item item(qsizetype i) const {
        if (urls.isEmpty())
            return items.at(i);
        // Rows listed by name are read with the bookmark they were listed with.
        const QByteArray listed = replaces.isEmpty() ? QByteArray() : replaces.at(i).bookmark;
        return Item{urls.at(i), listed, false, i >= listFrom, {}};
    }
    // For a start shown from the metadata cache: per item, the row it updates in place. Empty
    // for a task that appends.
    QList<RereadRow> replaces;
    bool startPlaying = false;
    bool restoring = false;
    // Rows listed by their file names in this pass, to be read by a task of their own.
    QList<QUrl> unreadUrls;
    QList<RereadRow> unreadRows;
    QString lang;
    qsizetype next = 0; // the next item to append
    bool drainQueued = false;
    QElapsedTimer lastPass; // when the last pass that appended began
    std::optional<Track> first;

    // Shared with the readers. They take the items in small runs in list order, so results
    // come in the order they are appended. A reader publishes item i's result by storing it in
    // results[i] (release); the engine takes it (acquire) and owns it from then on.
    std::unique_ptr<std::atomic<Loaded*>[]> results;
    std::atomic<qsizetype> claimed{0};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> wakeQueued{false};

    bool isReady(qsizetype i) const {
        return results[size_t(i)].load(std::memory_order_acquire) != nullptr;
    }
    std::unique_ptr<Loaded> take(qsizetype i) {
        return std::unique_ptr<Loaded>(results[size_t(i)].exchange(nullptr));
    }
    // Results taken, emptied, and not freed yet: a reader made each in its own malloc arena, and
    // freeing it here would take that arena's lock, which the readers hold as they go. Hundreds
    // of such waits in a row stalled the window for tens of milliseconds; they are freed on the
    // pool instead, a pass at a time.
    std::vector<std::unique_ptr<Loaded>> spent;
    // The readers are done (each holds the task): what was read and not taken goes.
    ~AddTask() {
        for (qsizetype i = next; results && i < size(); ++i)
            delete results[size_t(i)].load(std::memory_order_acquire);
    }
};

// How the readers tell the engine that results are waiting. The engine clears `engine` when it
// goes; a reader still at work then finds no one to tell.
struct AudioEngine::Wakeup {
    std::mutex mutex;
    AudioEngine* engine = nullptr;

    void post(const std::shared_ptr<AddTask>& task) {
        if (task->wakeQueued.exchange(true, std::memory_order_acq_rel))
            return; // the engine has yet to look: it will see these results too
        const std::lock_guard lock(mutex);
        if (!engine)
            return;
        QMetaObject::invokeMethod(
            engine,
            [e = engine, weak = std::weak_ptr<AddTask>(task)] {
                if (const auto t = weak.lock())
                    e->drainAddTask(t);
            },
            Qt::QueuedConnection);
    }
    // Runs `f` on the main thread, unless the engine is gone by then.
    void deliver(std::function<void(AudioEngine*)> f) {
        const std::lock_guard lock(mutex);
        if (engine)
            QMetaObject::invokeMethod(
                engine, [e = engine, f = std::move(f)] { f(e); }, Qt::QueuedConnection);
    }
};

std::unique_ptr<QThreadPool> AudioEngine::makeReaderPool() {
    auto pool = std::make_unique<QThreadPool>();
    pool->setObjectName(QStringLiteral("orvane-readers"));
    pool->setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    pool->setExpiryTimeout(10000);
    return pool;
}

void AudioEngine::readCurrentCover() {
    if (!currentArtwork_.isEmpty()) {
        Q_EMIT objectWillChange();
        currentArtwork_.clear();
        Q_EMIT currentArtworkChanged();
    }
    const std::optional<Track> track = currentTrack();
    if (!track || track->artwork.isEmpty())
        return; // no cover when the file was read
    // Read on a thread of its own, never here (a 5 MB picture takes tens of milliseconds), and
    // not on the readers' pool, whose threads a long add keeps busy.
    if (!coverPool_) {
        coverPool_ = std::make_unique<QThreadPool>();
        coverPool_->setObjectName(QStringLiteral("orvane-cover"));
        coverPool_->setMaxThreadCount(1);
        coverPool_->setExpiryTimeout(5000);
    }
    coverPool_->clear(); // a cover not read yet is no longer wanted
    coverPool_->start([id = track->id, path = track->path(), wakeup = wakeup_] {
        QByteArray cover = Track::loadCover(path);
        if (cover.isEmpty())
            return;
        wakeup->deliver([id, cover = std::move(cover)](AudioEngine* e) {
            if (e->currentID_ != id)
                return; // another track became current meanwhile
            Q_EMIT e->objectWillChange();
            e->currentArtwork_ = cover;
            Q_EMIT e->currentArtworkChanged();
            e->updateNowPlaying();
        });
    });
}

void AudioEngine::startReaders() {
    if (services_.pool) {
        pool_ = services_.pool;
    } else {
        ownPool_ = makeReaderPool();
        pool_ = ownPool_.get();
    }
    wakeup_ = std::make_shared<Wakeup>();
    wakeup_->engine = this;
}

void AudioEngine::stopReaders() {
    {
        const std::lock_guard lock(wakeup_->mutex);
        wakeup_->engine = nullptr;
    }
    cancelAddTasks();
    if (coverPool_)
        coverPool_->clear();
    coverPool_.reset(); // waits for a cover read in flight
    ownPool_.reset(); // waits for the reads in flight; the rest were cancelled
}

void AudioEngine::add(const QList<QUrl>& urls, bool startPlaying) {
    auto task = std::make_shared<AddTask>();
    task->startPlaying = startPlaying;
    task->lang = lang();
    task->urls = urls;
    // Room for every row now, while nothing is in it: growing the list as rows arrive would
    // move all of them to fresh memory at each doubling, in one step of the main thread.
    playlist_.reserve(playlist_.size() + urls.size());
    // What an open from outside plays first is announced with its tags: the first few are
    // read at once.
    if (urls.size() > kListFirstAbove)
        task->listFrom = startPlaying ? kReadRun : 0;
    addTasks_.push_back(task);
    runAddTask(task);
}

void AudioEngine::openExternal(const QList<QUrl>& urls) {
    add(urls, true);
}

void AudioEngine::showRestoredPlaylist() {
    if (!services_.restore)
        return;
    store_->restored();
    restorePlaylist();
}

void AudioEngine::saveNow() {
    if (services_.restore)
        return; // never shown: the stored list stays as it is
    store_->writeNow();
    store_->waitWritten();
}

void AudioEngine::checkRestored() {
    checkTimer_.reset();
    if (!restoredChecks_.isEmpty()) {
        checkStamps(std::exchange(restoredChecks_, {}));
        return; // the reads follow once the rows whose files changed are known
    }
    // A slice of rows per pass of the event loop, each slice a task of its own: however long
    // the list, no step here walks all of it. The rows whose files changed first, then the
    // reads.
    QList<RereadRow>* rows = !restoredChanged_.isEmpty() ? &restoredChanged_ : &restoredReads_;
    if (rows->isEmpty())
        return;
    const qsizetype from = restoredNext_;
    const qsizetype n = std::min(rows->size() - from, kCheckSlice);
    readAgain(rows->mid(from, n));
    restoredNext_ = from + n;
    if (restoredNext_ == rows->size()) {
        restoredNext_ = 0;
        // Let go on the pool: a million rows take a while to free.
        pool_->start([done = std::exchange(*rows, {})]() mutable { done.clear(); });
    }
    if (!restoredChanged_.isEmpty() || !restoredReads_.isEmpty())
        QTimer::singleShot(0, this, [this] { checkRestored(); });
}

void AudioEngine::readAgain(QList<RereadRow> rows) {
    auto task = std::make_shared<AddTask>();
    task->lang = lang();
    task->items.reserve(rows.size());
    for (const RereadRow& r : std::as_const(rows))
        task->items.append({{}, r.bookmark, true, false, r.unlessStamp});
    task->replaces = std::move(rows);
    addTasks_.push_back(task);
    runAddTask(task);
}

void AudioEngine::checkStamps(QList<RereadRow> rows) {
    // One job on the pool looks at every file, folder by folder, by the bookmark's bytes: no
    // name, result or row is made for a file that is as it was read, which is nearly all of
    // them. The others go the way of any row read again (which also tells a file deleted from
    // one whose volume is not mounted). The task is there to be cancelled with the others.
    auto task = std::make_shared<AddTask>();
    addTasks_.push_back(task);
    auto job = [task, wakeup = wakeup_, rows = std::make_shared<QList<RereadRow>>(std::move(rows))] {
        QList<RereadRow> changed;
        Bookmark::Resolver resolver;
        for (const RereadRow& row : std::as_const(*rows)) {
            if (task->cancelled.load(std::memory_order_relaxed))
                return;
            if (!row.unlessStamp) {
                changed.append(row);
                continue;
            }
            // The folder's listing tells a file gone or replaced; one rewritten in place is
            // looked at later, when its row is needed (checkFile), and keeps its mark till then.
            const Bookmark::Resolver::Listed listed =
                resolver.listed(row.bookmark, *row.unlessStamp);
            if (listed == Bookmark::Resolver::Listed::Same)
                continue;
            const std::optional<FileStamp> stamp = listed == Bookmark::Resolver::Listed::Unsure
                                                       ? resolver.stamp(row.bookmark)
                                                       : std::nullopt;
            if (!stamp || *stamp != *row.unlessStamp)
                changed.append(row);
        }
        rows->clear(); // freed here, not on the main thread
        wakeup->deliver([task, changed = std::move(changed)](AudioEngine* e) mutable {
            if (task->cancelled.load())
                return;
            std::erase(e->addTasks_, task);
            e->restoredChanged_ = std::move(changed);
            e->restoredNext_ = 0;
            e->checkRestored();
            // The start is over: what it read and made for a while (the stored list's text,
            // the rows' first forms, the list of files to look at) is free, scattered over the
            // heaps of the threads that made it, and stays with the process unless given back.
            // Given back once the rest of the start has settled too (the filter's keys are made
            // meanwhile, and free what they used on their own thread): trimmed any sooner, what
            // is freed after stays, ten megabytes in one run in two at 100,000 rows.
            QTimer::singleShot(kTrimDelayMs, e,
                               [e] { e->pool_->start([] { malloc_trim(0); }); });
        });
    };
    startOnPool(job, 1, task);
}

void AudioEngine::checkFile(QUuid id, qsizetype row) {
    row = rowNear(id, row);
    if (row < 0 || playlist_.at(row).unchecked == 0 || !playlist_.at(row).bookmark)
        return;
    Track& track = playlist_[row];
    toCheck_.append({RereadRow{*track.bookmark, id, row, std::nullopt}, track.unchecked});
    track.unchecked = 0; // asked once
    if (toCheck_.size() == 1)
        QTimer::singleShot(0, this, [this] { checkQueued(); });
}

void AudioEngine::checkAllFiles() {
    if (std::exchange(uncheckedLeft_, false)) {
        sweepNext_ = 0;
        sweepSlice();
    }
}

void AudioEngine::sweepSlice() {
    // A slice of rows per pass of the event loop: a search at a hundred thousand rows is not
    // held up by the walk.
    const qsizetype end = std::min(playlist_.size(), sweepNext_ + kCheckSlice);
    for (qsizetype i = sweepNext_; i < end; ++i) {
        if (playlist_.at(i).unchecked != 0)
            checkFile(playlist_.at(i).id, i);
    }
    sweepNext_ = end;
    if (end < playlist_.size())
        QTimer::singleShot(0, this, [this] { sweepSlice(); });
}

void AudioEngine::checkQueued() {
    if (toCheck_.isEmpty())
        return;
    // On the pool: a stat of each file, compared with the digest of the stamp it was read with.
    // The changed ones are read again in place, as at a start.
    auto task = std::make_shared<AddTask>();
    addTasks_.push_back(task);
    auto job = [task, wakeup = wakeup_, rows = std::exchange(toCheck_, {})] {
        QList<RereadRow> changed;
        Bookmark::Resolver resolver;
        for (const auto& [row, digest] : rows) {
            if (task->cancelled.load(std::memory_order_relaxed))
                return;
            const std::optional<FileStamp> stamp = resolver.stamp(row.bookmark);
            if (!stamp || stamp->digest() != digest)
                changed.append(row);
        }
        wakeup->deliver([task, changed = std::move(changed)](AudioEngine* e) mutable {
            if (task->cancelled.load())
                return;
            std::erase(e->addTasks_, task);
            if (!changed.isEmpty())
                e->readAgain(std::move(changed));
        });
    };
    startOnPool(job, 1, task);
}

void AudioEngine::restorePlaylist() {
    // Read ahead when the start began it, else here.
    std::optional<PlaylistRestore::Result> ahead =
        services_.restore ? std::exchange(services_.restore, nullptr)->take() : std::nullopt;
    PlaylistRestore::Result restored =
        ahead ? std::move(*ahead)
              : PlaylistRestore::read(store_->path(), services_.settings->fileName(),
                                      services_.metadataCachePath, lang());
    std::unique_ptr<MetadataCache> cache = std::move(restored.cache);
    if (!cache && !services_.metadataCachePath.isEmpty())
        cache = std::make_unique<MetadataCache>(services_.metadataCachePath, lang());
    const bool cached = cache != nullptr;
    store_->setCache(std::move(cache));
    const QList<QByteArray> bookmarks = std::move(restored.stored);
    if (bookmarks.isEmpty())
        return;
    if (cached) {
        // Shown at once; then, in the background, each cached row's file is looked at (and read
        // again when it changed, dropped when it is gone), and the others are read. That waits
        // until the window has had time to appear and paint: thousands of look-ups and reads
        // on the other core would slow its first frame.
        restoreFromCache(std::move(restored));
        if (!restoredReads_.isEmpty() || !restoredChecks_.isEmpty())
            checkTimer_ = services_.clock->after(kCheckDelay, [this] { checkRestored(); });
        return;
    }
    auto task = std::make_shared<AddTask>();
    task->lang = lang();
    for (const QByteArray& bytes : std::as_const(bookmarks))
        task->items.append({{}, bytes, true, false, std::nullopt});
    // Until every stored entry has been read, the stored list stays as it was: an interruption
    // must not shorten it.
    task->restoring = true;
    store_->holdUntilRestored([weak = std::weak_ptr<AddTask>(task)] {
        QList<QByteArray> unread;
        if (const auto t = weak.lock()) {
            for (qsizetype i = t->next; i < t->items.size(); ++i)
                unread.append(t->items.at(i).stored);
        }
        return unread;
    });
    addTasks_.push_back(task);
    runAddTask(task);
}

void AudioEngine::runAddTask(const std::shared_ptr<AddTask>& task) {
    // Each read gets copies of what it needs and nothing else, so it never touches the engine.
    auto read = [loader = services_.loader, lang = task->lang, covers = artworkCache_,
                 check = services_.players->fileCheck()](const AddTask::Item& item,
                                                         Bookmark::Resolver& resolver) {
        Loaded loaded;
        if (item.restore) {
            FileStamp stamp;
            const std::optional<QString> path = resolver.resolve(item.stored, &stamp);
            if (!path)
                return loaded; // moved, deleted, unmounted or not ours: not shown
            loaded.stamp = stamp;
            if (item.unlessStamp && *item.unlessStamp == stamp) {
                loaded.unchanged = true; // as shown
                return loaded;
            }
            loaded.track = loader(QUrl::fromLocalFile(*path), lang);
            loaded.track->bookmark = item.stored; // kept as stored, not remade
        } else if (std::optional<QByteArray> bookmark;
                   item.listOnly && item.url.isLocalFile() &&
                   (bookmark = Bookmark::make(item.url.toLocalFile()))) {
            // Only looked at: a regular file. Whether it opens is seen when it is read.
            const QString path = item.url.toLocalFile();
            loaded.track =
                Track(path, Track::titleFromName(path), {}, 0, {}, {}, std::move(bookmark));
            loaded.unread = true;
            return loaded;
        } else {
            // What cannot be opened is not added: it would only interrupt playback later. A
            // file whose audio TagLib has read passes; others go through the players' check.
            if (!item.url.isLocalFile()) {
                loaded.error = QStringLiteral("not a local file");
                return loaded;
            }
            loaded.stamp = stampOf(item.url.toLocalFile());
            loaded.track = loader(item.url, lang);
            if (loaded.track->duration <= 0)
                loaded.error = check(item.url.toLocalFile());
            if (!loaded.error.isEmpty()) {
                loaded.track.reset();
                return loaded;
            }
            loaded.track->bookmark = !item.stored.isEmpty()
                                         ? std::optional(item.stored)
                                         : Bookmark::make(item.url.toLocalFile());
        }
        covers->share(loaded.track->artwork);
        return loaded;
    };
    task->results = std::make_unique<std::atomic<Loaded*>[]>(size_t(task->size()));
    // One reader per thread of the pool, each taking the next few items at a time: the items
    // are read roughly in list order and the first ones show at once, however long the list.
    auto reader = [task, read, wakeup = wakeup_] {
        lowerThreadPriority();
        const qsizetype n = task->size();
        Bookmark::Resolver resolver; // stored entries come folder by folder; closed when done
        while (!task->cancelled.load(std::memory_order_relaxed)) {
            const qsizetype begin = task->claimed.fetch_add(kReadRun, std::memory_order_relaxed);
            if (begin >= n)
                return;
            const qsizetype end = std::min(begin + kReadRun, n);
            for (qsizetype i = begin; i < end; ++i) {
                if (task->cancelled.load(std::memory_order_relaxed))
                    return;
                auto done = std::make_unique<Loaded>(read(task->item(i), resolver));
                // A file read shows at once; names only listed, files found as they were and
                // rows read again in place (shown a batch at a time) are told a run at a time.
                const bool quiet = done->unread || done->unchanged || !task->replaces.isEmpty();
                task->results[size_t(i)].store(done.release(), std::memory_order_release);
                if (!quiet || i + 1 == end)
                    wakeup->post(task); // at most one wake-up waits at a time
            }
        }
    };
    const qsizetype runs = (task->size() + kReadRun - 1) / kReadRun;
    startOnPool(reader, int(std::min<qsizetype>(pool_->maxThreadCount(), runs)), task);
    if (task->size() == 0) {
        std::weak_ptr<AddTask> weak = task;
        QTimer::singleShot(0, this, [this, weak] {
            if (const auto t = weak.lock())
                drainAddTask(t);
        });
    }
}

void AudioEngine::startOnPool(std::function<void()> job, int count,
                              const std::weak_ptr<AddTask>& owner) {
    const auto task = owner.lock();
    if (!task || task->cancelled.load() || count <= 0)
        return;
    // The pool may start a thread for the job, and a thread that finds no descriptor for its
    // event loop aborts the process: out of descriptors (connections held open by others, say),
    // the reads wait, and the files with them, until some are free again.
    if (!descriptorsLeft()) {
        if (!descriptorsShort_)
            std::fprintf(stderr, "orvane: %s\n",
                         qPrintable(loc(QStringLiteral("no_descriptors"), lang())));
        descriptorsShort_ = true;
        QTimer::singleShot(kDescriptorRetryMs, this, [this, job = std::move(job), count, owner] {
            startOnPool(job, count, owner);
        });
        return;
    }
    descriptorsShort_ = false;
    for (int i = 0; i < count; ++i)
        pool_->start(job);
}

std::shared_ptr<AudioEngine::ArtworkCache> AudioEngine::makeArtworkCache() {
    return std::make_shared<ArtworkCache>();
}

void AudioEngine::cancelAddTasks() {
    for (const auto& task : addTasks_)
        task->cancelled.store(true); // reads not started yet are skipped; the rest are discarded
    addTasks_.clear();
}

void AudioEngine::queueDrain(const std::shared_ptr<AddTask>& task, qint64 ms) {
    if (std::exchange(task->drainQueued, true))
        return;
    QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, this,
                       [this, weak = std::weak_ptr<AddTask>(task)] {
                           if (const auto t = weak.lock()) {
                               t->drainQueued = false;
                               drainAddTask(t);
                           }
                       });
}

void AudioEngine::drainAddTask(const std::shared_ptr<AddTask>& task) {
    if (task->lastPass.isValid() && task->lastPass.elapsed() < kPassIntervalMs) {
        queueDrain(task, kPassIntervalMs - task->lastPass.elapsed());
        return; // the results wait for their pass; a wake-up meanwhile finds it queued
    }
    task->drainQueued = false;
    // From here on a reader's new result asks for another pass (the exchange also makes the
    // results it announced visible here).
    task->wakeQueued.exchange(false, std::memory_order_acq_rel);
    // Files opened from outside (a launch's hand-over, the desktop's open-with) come as one
    // block in their order: an open waits until the opens before it have appended all theirs.
    if (task->startPlaying) {
        const auto it = std::find_if(addTasks_.begin(), addTasks_.end(),
                                     [](const auto& t) { return t->startPlaying; });
        if (it != addTasks_.end() && *it != task)
            return; // drained when the one before it is done
    }
    // Appends happen here, on the main thread, one by one in the order of the list; a pass
    // stops after a few milliseconds so the window keeps drawing while thousands arrive.
    QElapsedTimer pass;
    pass.start();
    if (task->replaces.isEmpty() && task->next < task->size() && task->isReady(task->next))
        task->lastPass = pass;
    while (task->next < task->size() && task->isReady(task->next)) {
        if (pass.elapsed() >= kAppendBudgetMs) {
            queueDrain(task, task->lastPass.isValid() ? kPassIntervalMs : 0);
            break;
        }
        appendLoaded(*task);
    }
    if (!task->spent.empty()) {
        auto spent = std::make_shared<std::vector<std::unique_ptr<Loaded>>>(std::move(task->spent));
        task->spent.clear();
        pool_->start([spent] { spent->clear(); });
    }
    readListed(*task);
    if (task->next < task->size())
        return; // more to come
    const std::shared_ptr<AddTask> keep = task;
    std::erase(addTasks_, task);
    if (keep->startPlaying) {
        // The next open from outside, which may have waited with everything read.
        const auto it = std::find_if(addTasks_.begin(), addTasks_.end(),
                                     [](const auto& t) { return t->startPlaying; });
        if (it != addTasks_.end())
            QTimer::singleShot(0, this, [this, weak = std::weak_ptr<AddTask>(*it)] {
                if (const auto t = weak.lock())
                    drainAddTask(t);
            });
    }
    if (keep->restoring)
        store_->restored();
    if (keep->startPlaying && keep->first) {
        setMode(PlayerMode::Library);
        play(*keep->first);
    }
}

// The rows a pass listed by their file names are read by a task of their own, which updates
// them in place as it goes (and drops those that do not open).
void AudioEngine::readListed(AddTask& task) {
    if (task.unreadUrls.isEmpty())
        return;
    auto reads = std::make_shared<AddTask>();
    reads->lang = task.lang;
    reads->urls = std::exchange(task.unreadUrls, {});
    reads->replaces = std::exchange(task.unreadRows, {});
    addTasks_.push_back(reads);
    runAddTask(reads);
}

void AudioEngine::appendLoaded(AddTask& task) {
    std::unique_ptr<Loaded> shell = task.take(task.next);
    Loaded loaded = std::move(*shell);
    task.spent.push_back(std::move(shell));
    const AddTask::Item item = task.item(task.next);
    ++task.next;
    if (MetadataCache* cache = store_->cache();
        cache && loaded.track && loaded.track->bookmark && loaded.stamp)
        cache->put(*loaded.track->bookmark, *loaded.stamp, *loaded.track);
    if (!loaded.track && !item.restore) {
        const QString name = item.url.isLocalFile() ? QFileInfo(item.url.toLocalFile()).fileName()
                                                    : item.url.toDisplayString();
        reportUnopened(name, loaded.error);
    }
    if (!task.replaces.isEmpty()) {
        const RereadRow& row = task.replaces.at(task.next - 1);
        if (loaded.unchanged) {
            // As shown.
        } else if (!loaded.track && item.restore && Bookmark::isOnMissingVolume(item.stored)) {
            // Not mounted now: the row goes, its entry keeps its place for a later start.
            if (rowNear(row.id, row.row) >= 0) // not removed meanwhile
                store_->keepWhenGone(row.id, item.stored);
            refreshLoaded(row.id, row.row, std::nullopt);
        } else {
            refreshLoaded(row.id, row.row, std::move(loaded.track));
        }
        if (task.next == task.size() && item.restore)
            publishRefreshed(); // the start's last one: shown now
        return;
    }
    // An entry whose file sits on a volume that is not mounted now is kept in the stored list for
    // a later start; one whose folder is there but file is gone is dropped.
    if (!loaded.track) {
        if (item.restore && Bookmark::isOnMissingVolume(item.stored))
            store_->keep(playlist_.isEmpty() ? QUuid() : playlist_.last().id, item.stored);
        return;
    }
    Track& track = *loaded.track;
    if (!task.first)
        task.first = track;
    if (loaded.unread) {
        if (task.unreadUrls.isEmpty()) { // the same reason: room for the rest of the pass
            task.unreadUrls.reserve(task.size() - task.next + 1);
            task.unreadRows.reserve(task.size() - task.next + 1);
        }
        task.unreadUrls.append(item.url);
        task.unreadRows.append({*track.bookmark, track.id, playlist_.size(), std::nullopt});
    }
    Q_EMIT objectWillChange();
    totalDuration_ += track.duration; // still the sum in list order
    playlist_.append(std::move(track));
    Q_EMIT playlistChanged();
    savePlaylist();
}

void AudioEngine::remove(const QSet<QUuid>& ids) {
    removeTracks(ids, false);
}

void AudioEngine::removeTracks(const QSet<QUuid>& ids, bool keepUnmounted) {
    const bool current = !currentID_.isNull() && ids.contains(currentID_);
    if (current) {
        if (player_)
            player_->stop();
        player_.reset();
        plannedFall_ = 0;
        setIsPlaying(false);
        setCurrentID(QUuid());
        setProgress(0);
    }
    QList<Track> kept;
    kept.reserve(playlist_.size());
    for (const Track& t : std::as_const(playlist_)) {
        if (!ids.contains(t.id)) {
            kept.append(t);
            continue;
        }
        // Entries kept after a removed track now follow the track before it.
        store_->trackLeaving(t.id, kept.isEmpty() ? QUuid() : kept.last().id, keepUnmounted);
    }
    setPlaylist(std::move(kept));
    artworkCache_->prune();
    if (current)
        updateNowPlaying(); // the desktop no longer shows the removed track
}

void AudioEngine::move(const QSet<QUuid>& ids, int toRow) {
    toRow = std::clamp(toRow, 0, int(playlist_.size()));
    // The place is kept as the track the moved ones land before (none: the end).
    QUuid before;
    for (int i = toRow; i < playlist_.size() && before.isNull(); ++i) {
        if (!ids.contains(playlist_.at(i).id))
            before = playlist_.at(i).id;
    }
    QList<Track> moved, kept;
    for (const Track& t : std::as_const(playlist_))
        (ids.contains(t.id) ? moved : kept).append(t);
    if (moved.isEmpty())
        return;
    qsizetype at = kept.size();
    for (qsizetype i = 0; i < kept.size() && !before.isNull(); ++i) {
        if (kept.at(i).id == before) {
            at = i;
            break;
        }
    }
    for (qsizetype i = 0; i < moved.size(); ++i)
        kept.insert(at + i, moved.at(i));
    bool same = true;
    for (qsizetype i = 0; i < kept.size() && same; ++i)
        same = kept.at(i).id == playlist_.at(i).id;
    if (!same)
        setPlaylist(std::move(kept));
}

void AudioEngine::savePlaylist() {
    store_->playlistChanged();
}

} // namespace orvane
