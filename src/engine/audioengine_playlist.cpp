// The engine's playlist side: adding files (read off the main thread, appended on it in order),
// removing tracks, and the stored bookmark list.
#include "app/localization.h"
#include "engine/audioengine.h"
#include "engine/audiofileplayer.h"
#include "engine/bookmark.h"
#include "engine/clock.h"

#include <QFuture>
#include <QFutureWatcher>
#include <QSettings>
#include <QtConcurrent/QtConcurrentRun>

namespace orvane {

namespace {

const QString kPlaylistKey = QStringLiteral("playlistBookmarks");
// How many files are read ahead of the one being appended; keeps both cores busy without
// holding thousands of finished tracks in memory.
constexpr qsizetype kReadAhead = 32;
// Appends within this window share one write of the settings file.
constexpr double kSaveDelay = 0.25;

} // namespace

struct AudioEngine::AddTask {
    // A file to add (its bookmark is made on the way), or a stored bookmark to resolve.
    struct Item {
        QUrl url;
        QByteArray stored;
        bool restore = false;
    };
    QList<Item> items;
    bool startPlaying = false;
    bool restoring = false;
    QString lang;
    qsizetype next = 0;     // the next item to append
    qsizetype launched = 0; // items handed to the thread pool
    QList<QFuture<std::optional<Track>>> futures;
    std::optional<Track> first;
};

void AudioEngine::add(const QList<QUrl>& urls, bool startPlaying) {
    auto task = std::make_shared<AddTask>();
    task->startPlaying = startPlaying;
    task->lang = lang();
    task->items.reserve(urls.size());
    for (const QUrl& url : urls)
        task->items.append({url, {}, false});
    addTasks_.push_back(task);
    runAddTask(task);
}

void AudioEngine::openExternal(const QList<QUrl>& urls) {
    add(urls, true);
}

void AudioEngine::restorePlaylist() {
    const QVariant stored = services_.settings->value(kPlaylistKey);
    if (stored.typeId() != QMetaType::QVariantList && stored.typeId() != QMetaType::QStringList)
        return;
    auto task = std::make_shared<AddTask>();
    task->lang = lang();
    for (const QVariant& v : stored.toList()) {
        if (v.typeId() != QMetaType::QByteArray)
            return; // a value of the wrong type is ignored as a whole
        task->items.append({{}, v.toByteArray(), true});
    }
    if (task->items.isEmpty())
        return;
    // Until every stored entry has been read, the stored list stays as it was: an interruption
    // must not shorten it.
    task->restoring = true;
    restoring_ = true;
    addTasks_.push_back(task);
    runAddTask(task);
}

void AudioEngine::runAddTask(const std::shared_ptr<AddTask>& task) {
    // Read ahead on the pool; each worker gets copies of what it needs and nothing else.
    while (task->launched < task->items.size() && task->launched < task->next + kReadAhead) {
        const AddTask::Item item = task->items.at(task->launched++);
        task->futures.append(QtConcurrent::run(
            [loader = services_.loader, item, lang = task->lang]() -> std::optional<Track> {
                if (item.restore) {
                    const std::optional<QString> path = Bookmark::resolve(item.stored);
                    if (!path)
                        return std::nullopt; // moved, deleted or not ours: skipped silently
                    Track track = loader(QUrl::fromLocalFile(*path), lang);
                    track.bookmark = item.stored; // kept as stored, not remade
                    return track;
                }
                Track track = loader(item.url, lang);
                track.bookmark =
                    item.url.isLocalFile() ? Bookmark::make(item.url.toLocalFile()) : std::nullopt;
                return track;
            }));
    }

    if (task->next == task->items.size()) {
        std::erase(addTasks_, task);
        if (task->restoring) {
            restoring_ = false;
            savePlaylist();
        }
        if (task->startPlaying && task->first) {
            setMode(PlayerMode::Library);
            play(*task->first);
        }
        return;
    }

    // Appends happen on the main thread, one by one, in the order of the list.
    auto* watcher = new QFutureWatcher<std::optional<Track>>(this);
    std::weak_ptr<AddTask> weak = task;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, weak, watcher] {
        watcher->deleteLater(); // not deleted inside its own signal
        const std::shared_ptr<AddTask> task = weak.lock();
        if (!task)
            return;
        std::optional<Track> track = watcher->result();
        task->futures[task->next] = QFuture<std::optional<Track>>();
        const AddTask::Item& item = task->items.at(task->next);
        ++task->next;
        // An entry whose file sits on a volume that is not mounted now is kept in the stored
        // list for a later start; one whose folder is there but file is gone is dropped.
        if (!track && item.restore && Bookmark::isOnMissingVolume(item.stored))
            unresolvedBookmarks_.append(item.stored);
        if (track) {
            if (!task->first)
                task->first = *track;
            Q_EMIT objectWillChange();
            playlist_.append(std::move(*track));
            Q_EMIT playlistChanged();
            savePlaylist();
        }
        runAddTask(task);
    });
    watcher->setFuture(task->futures.at(task->next));
}

void AudioEngine::remove(const QSet<QUuid>& ids) {
    if (!currentID_.isNull() && ids.contains(currentID_)) {
        if (player_)
            player_->stop();
        player_.reset();
        setIsPlaying(false);
        setCurrentID(QUuid());
        setProgress(0);
    }
    QList<Track> kept;
    kept.reserve(playlist_.size());
    for (const Track& t : std::as_const(playlist_)) {
        if (!ids.contains(t.id))
            kept.append(t);
    }
    setPlaylist(std::move(kept));
}

void AudioEngine::savePlaylist() {
    if (!playlistSaveTimer_)
        playlistSaveTimer_ = services_.clock->after(kSaveDelay, [this] { savePlaylistNow(); });
}

void AudioEngine::savePlaylistNow() {
    if (!playlistSaveTimer_)
        return;
    playlistSaveTimer_.reset();
    QVariantList bookmarks;
    bookmarks.reserve(playlist_.size());
    for (const Track& t : std::as_const(playlist_)) {
        if (t.bookmark)
            bookmarks.append(*t.bookmark);
    }
    for (const QByteArray& kept : std::as_const(unresolvedBookmarks_))
        bookmarks.append(kept);
    services_.settings->setValue(kPlaylistKey, bookmarks);
    services_.settings->sync(); // QSettings replaces the file atomically
}

} // namespace orvane
