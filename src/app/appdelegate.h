#pragma once

#include "engine/playlistfile.h"

#include <QList>
#include <QObject>
#include <QThreadPool>
#include <QUrl>
#include <deque>
#include <functional>
#include <memory>

namespace orvane {

class AudioEngine;

// Files opened from outside (the command line, the desktop's open-with, a second launch) wait
// here until the engine is handed over when the main window first appears; from then on they
// go to the engine at once, all waiting files in one openExternal call, in order. Folders among
// them are expanded as a dropped folder is (audio files only, in a file browser's order),
// walked on the readers' thread pool; later batches wait for an earlier one still being walked.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~AppDelegate() override;

    // Where folders are walked (the engine's reader pool); without one the delegate makes
    // its own on the first walk.
    void setPool(QThreadPool* pool) { pool_ = pool; }
    void openFiles(const QList<QUrl>& urls);
    // Every assignment flushes.
    void setEngine(AudioEngine* engine);
    AudioEngine* engine() const { return engine_; }
    const QList<QUrl>& pending() const { return pending_; }
    // True while a folder is being walked.
    bool isExpanding() const { return !batches_.empty(); }

Q_SIGNALS:
    // A playlist file among the opened files named stream addresses: stations to offer, in the
    // window, once the engine has the files.
    void stationsFound(const QList<orvane::PlaylistFile::Stream>& streams);

private:
    std::unique_ptr<QThreadPool> ownPool_;
    QThreadPool* pool_ = nullptr;
    struct Batch;
    void drain();
    void flush();
    // Runs `start` (a walk on the pool) now, or while no descriptor is left for a new pool
    // thread's event loop (GLib aborts without one), again every half second until there is.
    void startWhenPossible(std::function<void()> start);

    AudioEngine* engine_ = nullptr;
    QList<QUrl> pending_;
    QList<PlaylistFile::Stream> pendingStreams_;
    std::deque<std::shared_ptr<Batch>> batches_;
};

} // namespace orvane
