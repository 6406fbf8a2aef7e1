#pragma once

#include <QSemaphore>
#include <QThreadPool>

namespace orvane::test {

// Holds every thread of Qt's global pool (the one Qt's own drawing uses) busy while it lives,
// as a long task elsewhere in the process would. Work that needs that pool waits until it goes.
class BusyGlobalPool {
public:
    BusyGlobalPool() {
        QThreadPool* pool = QThreadPool::globalInstance();
        count_ = pool->maxThreadCount();
        for (int i = 0; i < count_; ++i)
            pool->start([this] {
                started_.release();
                release_.acquire();
            });
        started_.acquire(count_); // every thread is taken
    }
    ~BusyGlobalPool() {
        release_.release(count_);
        QThreadPool::globalInstance()->waitForDone();
    }
    BusyGlobalPool(const BusyGlobalPool&) = delete;
    BusyGlobalPool& operator=(const BusyGlobalPool&) = delete;

private:
    int count_ = 0;
    QSemaphore started_, release_;
};

} // namespace orvane::test
