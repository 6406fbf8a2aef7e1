#include "core/descriptors.h"

#include <algorithm>
#include <sys/eventfd.h>
#include <unistd.h>

namespace orvane {

bool descriptorsLeft(int wanted) {
    // The same kind of descriptor GLib's wake-up takes; given back at once.
    constexpr int kMost = 16;
    int taken[kMost];
    const int want = std::clamp(wanted, 1, kMost);
    int got = 0;
    while (got < want && (taken[got] = ::eventfd(0, EFD_CLOEXEC)) >= 0)
        ++got;
    for (int i = 0; i < got; ++i)
        ::close(taken[i]);
    return got == want;
}

} // namespace orvane
