#pragma once

#include "engine/clock.h"

#include <cstdint>
#include <map>
#include <memory>

namespace orvane::test {

// A clock that moves only when the test says so. Timers fire in due order; a callback may
// schedule or cancel others. Time is kept in whole microseconds so periods do not drift.
class VirtualClock final : public Clock {
public:
    double now() const override { return double(now_) / 1e6; }
    std::unique_ptr<TimerHandle> after(double seconds, std::function<void()> fn) override {
        return schedule(seconds, 0, std::move(fn));
    }
    std::unique_ptr<TimerHandle> every(double seconds, std::function<void()> fn) override {
        return schedule(seconds, toMicros(seconds), std::move(fn));
    }
    // Runs every timer due within the next `seconds`, in order, then sets the time.
    void advance(double seconds);
    int pending() const { return int(timers_.size()); }

private:
    struct Timer {
        std::int64_t period; // 0 for one-shot
        std::function<void()> fn;
    };
    class Handle;
    static std::int64_t toMicros(double seconds) { return std::int64_t(seconds * 1e6 + 0.5); }
    std::unique_ptr<TimerHandle> schedule(double seconds, std::int64_t period,
                                          std::function<void()> fn);

    std::int64_t now_ = 0;
    std::uint64_t nextId_ = 0;
    // Keyed by (due time, creation order).
    std::map<std::pair<std::int64_t, std::uint64_t>, Timer> timers_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    friend class Handle;
};

} // namespace orvane::test
