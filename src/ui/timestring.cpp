#include "ui/timestring.h"

#include <cmath>
#include <cstdint>

namespace orvane {

QString timeString(double seconds) {
    if (!std::isfinite(seconds))
        return QStringLiteral("0:00");
    // Negative input is never passed; values beyond the 64-bit range saturate.
    const double truncated = std::trunc(seconds);
    const std::int64_t t = truncated >= 9.2e18    ? INT64_MAX
                           : truncated <= -9.2e18 ? INT64_MIN
                                                  : std::int64_t(truncated);
    const std::int64_t h = t / 3600, m = (t % 3600) / 60, s = t % 60;
    if (h <= 0)
        return QString::asprintf("%lld:%02lld", static_cast<long long>(m),
                                 static_cast<long long>(s));
    return QString::asprintf("%lld:%02lld:%02lld", static_cast<long long>(h),
                             static_cast<long long>(m), static_cast<long long>(s));
}

} // namespace orvane
