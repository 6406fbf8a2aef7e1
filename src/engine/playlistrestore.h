#pragma once

#include "core/settingssnapshot.h"
#include "engine/metadatacache.h"
#include "engine/track.h"

#include <QByteArray>
#include <QList>
#include <QSettings>
#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace orvane {

// The stored playlist as a start shows it: the settings' list of bookmarks, each shown from
// the metadata cache as its file was last read, else by its file name until it has been read.
// No file is looked at here: the engine checks each cached row's file afterwards, in the
// background, and reads again (or drops) those that changed. Reading the settings and the
// cache still takes a while with thousands of tracks, so a start begins it on a thread of its
// own before the window is built, and the engine takes the result when it needs the list.
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
        // when read, to be checked. Made here, so that showing them costs the window nothing.
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
    };

    // Reads on the calling thread: the stored list from `settings`, the cache from
    // `cachePath` (empty: no cache) in the language the settings name.
    static Result read(const QSettings& settings, const QString& cachePath);

    // Starts reading at once on a thread of its own, from its own view of the settings file
    // (a file that is not a regular one is not read: the engine then reads its own settings).
    PlaylistRestore(QString settingsPath, QString cachePath);
    // Lets the read go on and waits for it when it was not taken.
    ~PlaylistRestore();

    // How far the main thread has come in making the app. Past the quick first step (the
    // values in snapshot()), the read waits for it, so as to keep the other core free while
    // the main thread mostly waits on others: QApplication connecting to the display (each of
    // its round trips needs the X server on a core), then the players' registry being opened.
    // The window's widgets, built on the main thread's core alone, are made beside the rest
    // of the read.
    enum class Stage { Started, ServicesMade };
    // Lets the read go on to the steps that wait for `stage` (or for an earlier one). take()
    // and the destructor let it go on to the end.
    void reached(Stage stage);
    PlaylistRestore(const PlaylistRestore&) = delete;
    PlaylistRestore& operator=(const PlaylistRestore&) = delete;

    // Waits for the read and hands over its result; nullopt when the settings file could not
    // be read here, or on a second call.
    std::optional<Result> take();
    const QString& settingsPath() const { return settingsPath_; }
    const QString& cachePath() const { return cachePath_; }
    // The values the window and the engine need as they are made (theme, language, stations),
    // read first and quickly (see SettingsSnapshot); null when the file is not of the forms
    // read so: then they are for QSettings to read. Waits for that first step only.
    const SettingsSnapshot* snapshot();

private:
    void releaseSnapshot();
    void waitFor(Stage stage);

    QString settingsPath_, cachePath_;
    std::optional<SettingsSnapshot> snapshot_; // set before snapshotDone_, then never changed
    std::mutex mutex_;                         // for what follows
    std::condition_variable changed_;
    bool snapshotDone_ = false;
    Stage stage_ = Stage::Started;
    std::optional<Result> result_;
    std::thread thread_; // last: starts once the rest is set up
};

} // namespace orvane
