#include "engine/clock.h"

#include <QElapsedTimer>
#include <QTimer>

namespace orvane {

namespace {

// The handle may be destroyed from inside its own callback (a task that removes itself from
// its owner's list), so the QTimer is released with deleteLater, never deleted in its signal.
class QtTimerHandle final : public TimerHandle {
public:
    QtTimerHandle(double seconds, bool repeat, std::function<void()> fn)
        : timer_(new QTimer) {
        timer_->setTimerType(Qt::PreciseTimer);
        timer_->setSingleShot(!repeat);
        timer_->setInterval(std::max(0, int(seconds * 1000.0 + 0.5)));
        QObject::connect(timer_, &QTimer::timeout, [fn = std::move(fn)] {
            auto keep = fn; // the handle (and fn) may die while the call runs
            keep();
        });
        timer_->start();
    }
    ~QtTimerHandle() override {
        timer_->stop();
        QObject::disconnect(timer_, nullptr, nullptr, nullptr);
        timer_->deleteLater();
    }

private:
    QTimer* timer_;
};

} // namespace

struct SystemClock::Origin {
    QElapsedTimer elapsed;
};

SystemClock::SystemClock()
    : origin_(std::make_shared<Origin>()) {
    origin_->elapsed.start();
}

double SystemClock::now() const {
    return double(origin_->elapsed.nsecsElapsed()) / 1e9;
}

std::unique_ptr<TimerHandle> SystemClock::after(double seconds, std::function<void()> fn) {
    return std::make_unique<QtTimerHandle>(seconds, false, std::move(fn));
}

std::unique_ptr<TimerHandle> SystemClock::every(double seconds, std::function<void()> fn) {
    return std::make_unique<QtTimerHandle>(seconds, true, std::move(fn));
}

} // namespace orvane
