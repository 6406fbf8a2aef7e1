#include "app/appdelegate.h"

#include "core/descriptors.h"
#include "engine/audioengine.h"
#include "engine/audiofiles.h"
#include "engine/filename.h"
#include "engine/playlistfile.h"

#include <QFutureWatcher>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

namespace orvane {

namespace {

bool isFolderUrl(const QUrl& url) {
    return url.isLocalFile() && isFolder(url.toLocalFile());
}

bool needsReading(const QUrl& url) {
    return isFolderUrl(url) ||
           (url.isLocalFile() && PlaylistFile::isPlaylistName(url.toLocalFile()));
}

// Each folder in place of its audio files, each playlist file in place of its entries (its
// stream addresses apart: they are offered as stations in the window); everything else as it
// was given.
PlaylistFile::Contents expand(const QList<QUrl>& urls) {
    PlaylistFile::Contents out;
    for (const QUrl& url : urls) {
        if (isFolderUrl(url)) {
            out.files.append(AudioFiles::collect({url}));
        } else if (url.isLocalFile() && PlaylistFile::isPlaylistName(url.toLocalFile())) {
            const PlaylistFile::Contents read = PlaylistFile::read(url.toLocalFile());
            out.files.append(read.files);
            out.streams.append(read.streams);
        } else {
            out.files.append(url);
        }
    }
    return out;
}

} // namespace

struct AppDelegate::Batch {
    QList<QUrl> urls;
    QList<PlaylistFile::Stream> streams;
    bool ready = false;
};

AppDelegate::~AppDelegate() = default;

void AppDelegate::openFiles(const QList<QUrl>& urls) {
    auto batch = std::make_shared<Batch>();
    batch->urls = urls;
    batches_.push_back(batch);
    if (std::none_of(urls.begin(), urls.end(), needsReading)) {
        batch->ready = true;
        drain();
        return;
    }
    auto* watcher = new QFutureWatcher<PlaylistFile::Contents>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, batch] {
        const PlaylistFile::Contents found = watcher->result();
        batch->urls = found.files;
        batch->streams = found.streams;
        batch->ready = true;
        watcher->deleteLater();
        drain();
    });
    if (!pool_) {
        ownPool_ = AudioEngine::makeReaderPool();
        pool_ = ownPool_.get();
    }
    startWhenPossible([this, watcher = QPointer(watcher), urls] {
        if (watcher)
            watcher->setFuture(QtConcurrent::run(pool_, expand, urls));
    });
}

void AppDelegate::startWhenPossible(std::function<void()> start) {
    if (!descriptorsLeft()) {
        QTimer::singleShot(500, this,
                           [this, start = std::move(start)] { startWhenPossible(start); });
        return;
    }
    start();
}

void AppDelegate::drain() {
    while (!batches_.empty() && batches_.front()->ready) {
        pending_.append(batches_.front()->urls);
        pendingStreams_.append(batches_.front()->streams);
        batches_.pop_front();
    }
    flush();
}

void AppDelegate::setEngine(AudioEngine* engine) {
    engine_ = engine;
    flush();
}

void AppDelegate::flush() {
    if (!engine_)
        return;
    if (!pending_.isEmpty())
        engine_->openExternal(std::exchange(pending_, {}));
    if (!pendingStreams_.isEmpty())
        Q_EMIT stationsFound(std::exchange(pendingStreams_, {}));
}

} // namespace orvane
