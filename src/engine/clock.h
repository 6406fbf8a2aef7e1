#pragma once

#include <functional>
#include <memory>

namespace orvane {

// A scheduled callback. Destroying the handle cancels it; a one-shot handle that already fired
// does nothing when destroyed.
class TimerHandle {
public:
    virtual ~TimerHandle() = default;
};

// Time and timers for the engine. The engine never reads the wall clock or starts a QTimer
// itself, so tests drive it in virtual time. Every callback runs on the thread that owns the
// clock (the main thread).
class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since an arbitrary origin; monotonic.
    virtual double now() const = 0;
    // Calls fn once, `seconds` from now.
    virtual std::unique_ptr<TimerHandle> after(double seconds, std::function<void()> fn) = 0;
    // Calls fn every `seconds`, first `seconds` from now.
    virtual std::unique_ptr<TimerHandle> every(double seconds, std::function<void()> fn) = 0;
};

// The real clock: QTimer with Qt::PreciseTimer on the calling thread's event loop.
class SystemClock final : public Clock {
public:
    SystemClock();
    double now() const override;
    std::unique_ptr<TimerHandle> after(double seconds, std::function<void()> fn) override;
    std::unique_ptr<TimerHandle> every(double seconds, std::function<void()> fn) override;

private:
    struct Origin;
    std::shared_ptr<Origin> origin_;
};

} // namespace orvane
