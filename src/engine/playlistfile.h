#pragma once

#include "engine/track.h"

#include <QList>
#include <QString>
#include <QUrl>

namespace orvane {

// Playlist files on disk: what opening or dropping one adds (.m3u, .m3u8, .pls, .xspf, and
// .asx), and the playlist written as one (.m3u8 or .xspf). Reading is bounded whatever the file
// holds: at most kMaxBytes read of each file and kMaxEntries entries in all, playlists named
// inside playlists read once each (a loop ends where it closes). Any thread.
class PlaylistFile {
public:
    static constexpr qint64 kMaxBytes = 16 * 1024 * 1024;
    static constexpr qsizetype kMaxEntries = 100'000;

    struct Stream {
        QString name; // the entry's title, else its address
        QString url;
    };
    struct Contents {
        QList<QUrl> files;     // in order; those that are no playable file are the adder's to
                               // report, like any file that does not open
        QList<Stream> streams; // http and https entries: stations, not tracks
    };

    // Whether the name ends in one of the playlist extensions, in any letter case.
    static bool isPlaylistName(const QString& path);

    // What a drop (or an open from outside) of `urls` adds: each playlist file in its place by
    // its entries, in their order; the rest, in runs, as AudioFiles::collect gives them (folders
    // walked, audio files kept, each run sorted by name). Reads the file system: not on the
    // main thread.
    static Contents expand(const QList<QUrl>& urls);

    // The entries of the playlist file at `path` (entries that are playlists read in their
    // place).
    static Contents read(const QString& path);

    // Writes `tracks` to `path` as an M3U8 playlist (UTF-8, #EXTM3U, #EXTINF with the length and
    // "Artist - Title", paths relative where the file is below the playlist's folder), or as
    // XSPF when the name ends in .xspf; all or nothing (QSaveFile). False with *error set on
    // failure.
    static bool save(const QString& path, const QList<Track>& tracks, QString* error);
};

} // namespace orvane
