#include "app/appsettings.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace orvane {

QString userSettingsPath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("Orvane/Orvane.conf"));
}

QString metadataCachePath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation))
        .filePath(QStringLiteral("orvane/playlist-metadata"));
}

std::unique_ptr<QSettings> openUserSettings(const QString& path) {
    struct stat st {};
    const bool present = ::stat(QFile::encodeName(path).constData(), &st) == 0;
    if (present && !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "orvane: %s is not a regular file; settings are kept in memory only\n",
                     qPrintable(path));
        // A place nothing can be read from or written to (not even QSettings' lock file): the
        // store keeps its values in memory and reports an access error on each save.
        return std::make_unique<QSettings>(QStringLiteral("/dev/null/orvane/Orvane.conf"),
                                           QSettings::IniFormat);
    }
    return std::make_unique<QSettings>(path, QSettings::IniFormat);
}

} // namespace orvane
