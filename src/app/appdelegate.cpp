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

// Each folder in place of its audio files, each playlist file in place of its entries (the
// stream addresses it holds are left out: stations are added from the window); everything
// else as it was given.
QList<QUrl> expand(const QList<QUrl>& urls) {
    QList<QUrl> out;
    for (const QUrl& url : urls) {
        if (isFolderUrl(url))
            out.append(AudioFiles::collect({url}));
        else if (url.isLocalFile() && PlaylistFile::isPlaylistName(url.toLocalFile()))
            out.append(PlaylistFile::read(url.toLocalFile()).files);
        else
            out.append(url);
    }
    return out;
}

} // namespace

struct AppDelegate::Batch {
    QList<QUrl> urls;
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
    auto* watcher = new QFutureWatcher<QList<QUrl>>(this);
    connect(watcher, &QFutureWatcher<QList<QUrl>>::finished, this, [this, watcher, batch] {
        batch->urls = watcher->result();
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
        batches_.pop_front();
    }
    flush();
}

void AppDelegate::setEngine(AudioEngine* engine) {
    engine_ = engine;
    flush();
}

void AppDelegate::flush() {
    if (!engine_ || pending_.isEmpty())
        return;
    const QList<QUrl> urls = std::exchange(pending_, {});
    engine_->openExternal(urls);
}

} // namespace orvane
