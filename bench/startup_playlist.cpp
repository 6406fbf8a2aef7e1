// Writes a stored playlist into a settings file the way versions before the playlist file
// stored it, for bench/startup.py: an older build reads it there, and a current one moves it to
// its playlist file at its first (unmeasured) start. The playlist file beside is removed.
// Usage: startup_playlist SETTINGS_FILE LIST_FILE (one absolute path a line; an empty list
// file stores no playlist at all).
#include "engine/bookmark.h"
#include "engine/playliststore.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: startup_playlist SETTINGS_FILE LIST_FILE\n", stderr);
        return 2;
    }
    QFile list(QString::fromLocal8Bit(argv[2]));
    if (!list.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    QVariantList bookmarks;
    for (const QByteArray& line : list.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const auto bookmark = orvane::Bookmark::make(QString::fromUtf8(line));
        if (!bookmark) {
            std::fprintf(stderr, "not a file: %s\n", line.constData());
            return 1;
        }
        bookmarks.append(*bookmark);
    }
    QSettings settings(QString::fromLocal8Bit(argv[1]), QSettings::IniFormat);
    QFile::remove(orvane::PlaylistStore::pathBeside(settings.fileName()));
    settings.clear();
    if (!bookmarks.isEmpty())
        settings.setValue(QStringLiteral("playlistBookmarks"), bookmarks);
    settings.sync();
    return settings.status() == QSettings::NoError ? 0 : 1;
}
