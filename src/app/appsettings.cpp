#include "app/appsettings.h"

namespace orvane {

std::unique_ptr<QSettings> openUserSettings() {
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QStringLiteral("Orvane"), QStringLiteral("Orvane"));
}

} // namespace orvane
