#pragma once

#include <QObject>
#include <functional>
#include <memory>

namespace orvane {

// A thread of its own for one player's calls that may wait on the sound server: state changes,
// seeks and the pipeline's teardown (a sound server that stops answering holds them for as long
// as it is stopped). Jobs run in the order they were posted. The thread is a plain one, with no
// event loop, so starting it takes no descriptor.
//
// Destroying the worker never waits: the jobs left (usually the teardown) still run, then the
// thread ends by itself. Reports a job sends back reach the owner's thread through the event
// loop, and only while the worker exists.
class PlayerWorker {
public:
    // Reports are delivered on the thread that makes the worker.
    PlayerWorker();
    ~PlayerWorker();
    PlayerWorker(const PlayerWorker&) = delete;
    PlayerWorker& operator=(const PlayerWorker&) = delete;

    // Any thread. Returns at once. Where no thread can be started, the job runs here and now.
    void post(std::function<void()> job);
    // What a job hands back: the report runs later on the owner's thread, unless the worker is
    // gone by then.
    using Deliver = std::function<void(std::function<void()> report)>;
    Deliver deliverer() const;

    // Waits up to `timeoutMs` for the threads of every worker of the process (destroyed ones
    // included) to end; true when none is left. Quit bounds its wait on the pipelines with it.
    static bool waitForAll(int timeoutMs);
    // Worker threads still running.
    static int running();

private:
    struct Queue;
    std::shared_ptr<Queue> queue_;
    std::unique_ptr<QObject> receiver_; // on the owner's thread; reports are posted to it
};

} // namespace orvane
