#pragma once

#include "engine/metadatacache.h"
#include "engine/playliststore.h"
#include "engine/track.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>
#include <optional>
#include <thread>

namespace orvane {

// The stored playlist as a start shows it: the playlist file's list of bookmarks, each shown
// from the metadata cache as its file was last read, else by its file name until it has been
// read. No file is looked at here, only each folder once: an entry whose folder is not there
// (a volume not mounted) is not shown but kept in its place for a later start, so a start
// never shows, then takes out again, a million rows. The engine checks each cached row's file
// afterwards, in the background, and reads again (or drops) those that changed. Reading the list and the cache
// takes a while with thousands of tracks, so a start begins it on a thread of its own before
// the window is built, and the engine takes the result when it shows the window.
class PlaylistRestore {
public:
    struct Result {
        // The stored list as bookmarks; empty when there is none (or it is not usable).
        QList<QByteArray> stored;
        // What the cache knows; null when there is no cache path: the stored files are then
        // all read as on a first start, and `tracks` stays empty.
        std::unique_ptr<MetadataCache> cache;
        // The rows to show at once; those among them to read (not in the cache, shown by their
        // names until then); and those shown from the cache, with the stamp their files had
        // when read, to be checked.
        QList<Track> tracks;
        double totalDuration = 0; // of `tracks`, summed in their order
        struct Row {
            QByteArray bookmark;
            QUuid id;
            qsizetype row = -1; // where it is shown
            // Shown from the metadata cache: its file is read again only when its stamp is no
            // longer this one.
            std::optional<FileStamp> unlessStamp;
        };
        QList<Row> reread, check;
        bool dropped = false; // entries that are not bookmarks of ours
        // Entries whose folder is not there, each after the row it followed (not shown).
        PlaylistStore::Kept kept;
    };

    // Reads on the calling thread: the stored list from the playlist file (moved there from
    // the main settings file first when an older version kept it there, see
    // PlaylistStore::readStored), the cache from `cachePath` (empty: no cache), whose
    // technical lines are in `lang`.
    static Result read(const QString& playlistPath, const QString& settingsPath,
                       const QString& cachePath, const QString& lang);

    // Starts the same read at once on a thread of its own; the language is read from the
    // settings file there.
    PlaylistRestore(QString playlistPath, QString settingsPath, QString cachePath);
    ~PlaylistRestore(); // waits for the read when it was not taken
    PlaylistRestore(const PlaylistRestore&) = delete;
    PlaylistRestore& operator=(const PlaylistRestore&) = delete;

    // Waits for the read and hands over its result; nullopt on a second call.
    std::optional<Result> take();
    const QString& cachePath() const { return cachePath_; }

private:
    QString cachePath_;
    std::optional<Result> result_; // written by the thread, read after it is joined
    std::thread thread_;            // last: starts once the rest is set up
};

} // namespace orvane
