#include "engine/playerworker.h"

#include <QMetaObject>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace orvane {

namespace {

// The worker threads alive in the process.
std::mutex liveMutex;
std::condition_variable liveChanged;
int live = 0;

} // namespace

struct PlayerWorker::Queue {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool closed = false;         // the worker is gone: the thread ends once the jobs are done
    bool started = false;        // a thread serves the queue
    QObject* receiver = nullptr; // null once the worker is gone; guarded by `mutex`

    void serve() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return closed || !jobs.empty(); });
                if (jobs.empty())
                    break; // closed and done
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
        }
        const std::lock_guard lock(liveMutex);
        --live;
        liveChanged.notify_all();
    }
};

PlayerWorker::PlayerWorker()
    : queue_(std::make_shared<Queue>())
    , receiver_(std::make_unique<QObject>()) {
    queue_->receiver = receiver_.get();
    {
        const std::lock_guard lock(liveMutex);
        ++live;
    }
    try {
        std::thread([queue = queue_] { queue->serve(); }).detach();
        queue_->started = true;
    } catch (const std::system_error&) {
        // No thread to be had (the process is at its limit): the calls are made where they
        // are posted, as they were before there was a worker.
        const std::lock_guard lock(liveMutex);
        --live;
        liveChanged.notify_all();
    }
}

PlayerWorker::~PlayerWorker() {
    {
        const std::lock_guard lock(queue_->mutex);
        queue_->closed = true;
        queue_->receiver = nullptr; // reports still queued in the event loop go with receiver_
    }
    queue_->wake.notify_all();
}

void PlayerWorker::post(std::function<void()> job) {
    if (!queue_->started) {
        job();
        return;
    }
    {
        const std::lock_guard lock(queue_->mutex);
        queue_->jobs.push_back(std::move(job));
    }
    queue_->wake.notify_one();
}

PlayerWorker::Deliver PlayerWorker::deliverer() const {
    return [queue = queue_](std::function<void()> report) {
        // Under the mutex: the worker cannot be destroyed (and its receiver with it) meanwhile.
        const std::lock_guard lock(queue->mutex);
        if (queue->receiver)
            QMetaObject::invokeMethod(queue->receiver, std::move(report), Qt::QueuedConnection);
    };
}

bool PlayerWorker::waitForAll(int timeoutMs) {
    std::unique_lock lock(liveMutex);
    return liveChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [] { return live == 0; });
}

int PlayerWorker::running() {
    const std::lock_guard lock(liveMutex);
    return live;
}

} // namespace orvane
