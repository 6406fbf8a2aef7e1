#include "engine/clock.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <limits>
#include <memory>

namespace orvane {

namespace {

// QTimer counts in int milliseconds, 24.8 days at most: a longer wait (a track whose header
// claims weeks) is waited for in steps of that size, never folded into a negative or zero
// interval that would fire again and again.
constexpr qint64 kLongestStep = std::numeric_limits<int>::max();

// Milliseconds, rounded, from seconds that may be anything (a length read from a file).
qint64 milliseconds(double seconds) {
    if (!(seconds > 0)) // negative or not a number
        return 0;
    constexpr double longest = 1e15; // 31,000 years; keeps the conversion defined
    return qint64(std::min(seconds * 1000.0 + 0.5, longest));
}

// The handle may be destroyed from inside its own callback (a task that removes itself from
// its owner's list), so the QTimer is released with deleteLater, never deleted in its signal.
class QtTimerHandle final : public TimerHandle {
public:
    QtTimerHandle(double seconds, bool repeat, std::function<void()> fn)
        : timer_(new QTimer) {
        timer_->setTimerType(Qt::PreciseTimer);
        const qint64 interval = milliseconds(seconds);
        if (interval <= kLongestStep) {
            timer_->setSingleShot(!repeat);
            timer_->setInterval(int(interval));
            QObject::connect(timer_, &QTimer::timeout, [fn = std::move(fn)] {
                auto keep = fn; // the handle (and fn) may die while the call runs
                keep();
            });
            timer_->start();
            return;
        }
        // Steps of at most kLongestStep; `left` is what is still to wait after the step begun.
        timer_->setSingleShot(true);
        auto left = std::make_shared<qint64>(interval);
        const auto step = [timer = timer_, left] {
            const qint64 now = std::min(*left, kLongestStep);
            *left -= now;
            timer->start(int(now));
        };
        QObject::connect(timer_, &QTimer::timeout,
                         [fn = std::move(fn), step, left, interval, repeat] {
                             if (*left > 0) {
                                 step();
                                 return;
                             }
                             if (repeat) {
                                 *left = interval;
                                 step();
                             }
                             auto keep = fn; // the handle (and fn) may die while the call runs
                             keep();
                         });
        step();
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
