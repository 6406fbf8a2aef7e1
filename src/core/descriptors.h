#pragma once

namespace orvane {

// Whether `wanted` descriptors could be opened right now. A new Qt thread sets up an event loop
// whose wake-up takes a descriptor, and GLib aborts the whole process when it gets none: a
// thread is started only when this says there is room (for its wake-up and for what it opens).
bool descriptorsLeft(int wanted = 4);

} // namespace orvane
