#pragma once

#include <QSettings>
#include <memory>

namespace orvane {

// The settings file: an INI file in the user's XDG config folder (~/.config/Orvane/Orvane.conf).
QString userSettingsPath();
// The player's settings store on `path`. Tests make their own QSettings on a private file.
// When something other than a regular file (a folder, a FIFO, a device) stands in the file's
// place, the player runs on settings kept in memory only, as it does when the file cannot be
// written, and says so on standard error; opening such a thing could block start-up for good.
std::unique_ptr<QSettings> openUserSettings(const QString& path = userSettingsPath());
// What was read of the playlist's files, kept between runs: in the XDG cache folder
// (~/.cache/orvane/playlist-metadata).
QString metadataCachePath();

} // namespace orvane
