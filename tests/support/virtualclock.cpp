#include "support/virtualclock.h"

namespace orvane::test {

class VirtualClock::Handle final : public TimerHandle {
public:
    Handle(VirtualClock* clock, std::uint64_t id)
        : clock_(clock)
        , alive_(clock->alive_)
        , id_(id) {}
    ~Handle() override {
        if (!alive_.lock())
            return;
        for (auto it = clock_->timers_.begin(); it != clock_->timers_.end(); ++it) {
            if (it->first.second == id_) {
                clock_->timers_.erase(it);
                break;
            }
        }
    }

private:
    VirtualClock* clock_;
    std::weak_ptr<bool> alive_;
    std::uint64_t id_;
};

std::unique_ptr<TimerHandle> VirtualClock::schedule(double seconds, std::int64_t period,
                                                    std::function<void()> fn) {
    const std::uint64_t id = nextId_++;
    timers_.emplace(std::make_pair(now_ + toMicros(seconds), id), Timer{period, std::move(fn)});
    return std::make_unique<Handle>(this, id);
}

void VirtualClock::advance(double seconds) {
    const std::int64_t target = now_ + toMicros(seconds);
    while (!timers_.empty() && timers_.begin()->first.first <= target) {
        auto node = timers_.extract(timers_.begin());
        now_ = node.key().first;
        Timer timer = std::move(node.mapped());
        std::function<void()> fn = timer.fn;
        if (timer.period > 0)
            timers_.emplace(std::make_pair(now_ + timer.period, node.key().second),
                            std::move(timer));
        fn();
    }
    now_ = target;
}

} // namespace orvane::test
