#pragma once

#include <QSettings>
#include <memory>

namespace orvane {

// The player's settings store: an INI file in the user's XDG config folder
// (~/.config/Orvane/Orvane.conf). Tests make their own QSettings on a private file instead.
std::unique_ptr<QSettings> openUserSettings();

} // namespace orvane
