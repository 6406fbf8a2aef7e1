#pragma once

#include <QString>

namespace orvane {

// "m:ss" below an hour, "h:mm:ss" from an hour on; truncates; "0:00" for NaN and infinities.
QString timeString(double seconds);

} // namespace orvane
