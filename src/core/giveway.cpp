#include "core/giveway.h"

#include <QtGlobal>
#include <sched.h>
#include <time.h>

namespace orvane {

namespace {

constexpr qint64 kWorkNs = 10'000; // how long the thread works between yields

struct State {
    bool on = false;
    unsigned calls = 0;
    qint64 since = 0; // ns, monotonic: the last yield
};
thread_local State state;

qint64 nowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

} // namespace

GiveWay::GiveWay() {
    state = {true, 0, nowNs()};
}

GiveWay::~GiveWay() {
    state.on = false;
}

void giveWay(unsigned steps) {
    State& s = state;
    if (!s.on)
        return;
    s.calls += steps;
    if (s.calls < kGiveWayLongStep)
        return;
    s.calls = 0;
    if (nowNs() - s.since < kWorkNs)
        return;
    ::sched_yield();
    s.since = nowNs();
}

} // namespace orvane
