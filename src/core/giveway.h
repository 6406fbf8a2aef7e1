#pragma once

namespace orvane {

// Lets a long run of work beside the window's start give its core away often. The scheduler
// lets a running thread go on for its slice (milliseconds) before a thread woken on the same
// core gets it: the X server and the session bus answering the main thread, or the main thread
// itself, would queue behind such work at each of their round trips. A thread that gives way
// yields its core every 10 µs of work at the points marked with giveWay(), so they run at once;
// unlike a lower priority, it never waits behind other programs' work on a busy machine.
class GiveWay {
public:
    // The calling thread gives way at giveWay() points until this is destroyed.
    GiveWay();
    ~GiveWay();
    GiveWay(const GiveWay&) = delete;
    GiveWay& operator=(const GiveWay&) = delete;
};

// A point in a long loop where the calling thread may give way. Costs a thread-local count on
// threads that did not ask to (and a look at the clock every few calls on those that did).
// `steps`: the work since the last call, in passes of a loop over one entry (a fraction of a
// microsecond each); a loop over larger pieces (a file read) passes more.
void giveWay(unsigned steps = 1);
// Steps after which the clock is looked at: a piece of work at least this long passes it.
inline constexpr unsigned kGiveWayLongStep = 16;

} // namespace orvane
