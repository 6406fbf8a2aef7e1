#pragma once

#include "engine/bookmark.h"
#include "engine/mediaservices.h"
#include "engine/playlistrestore.h"
#include "engine/streamplayer.h"
#include "engine/track.h"
#include "radio/radiostation.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QThreadPool>
#include <QUuid>
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <vector>

class QSettings;

namespace orvane {

class AudioFilePlayer;
class Clock;
class MetadataCache;
class PlaylistRestore;
class PlaylistStore;
class PlayerFactory;
class SettingsWriter;
class TimerHandle;

class PlayerModeHolder {
    Q_GADGET
public:
    enum class PlayerMode { Library, Radio };
    Q_ENUM(PlayerMode)
};
using PlayerMode = PlayerModeHolder::PlayerMode;

// Reads one file into a track; runs on a worker thread. `lang` picks the channel word.
using TrackLoader = std::function<Track(const QUrl& url, const QString& lang)>;

// What the engine is built from. Everything is passed in, so each test gets its own.
struct EngineServices {
    Clock* clock = nullptr;           // required
    PlayerFactory* players = nullptr; // required
    // The main settings file (theme, language, stations), read at start; required.
    QSettings* settings = nullptr;
    NowPlayingPublisher* nowPlaying = nullptr; // optional: nothing is published without it
    Announcer* announcer = nullptr;            // optional: no toast without it
    TrackLoader loader;                        // optional: Track::load
    // Where files are read and folders walked; optional: the engine then makes its own. Never
    // Qt's global pool, which Qt's own drawing shares: a busy one stalls the window.
    QThreadPool* pool = nullptr;
    // Where what was read of the playlist's files is kept between runs (MetadataCache);
    // optional: without it every start reads the stored playlist's files again.
    QString metadataCachePath;
    // Where settings are written, off the main thread (SettingsWriter); optional: the engine
    // then makes its own on the file of `settings`. `settings` itself is read at start only.
    SettingsWriter* settingsWriter = nullptr;
    // The stored playlist read ahead on another thread (with the same cache path), shown by
    // AudioEngine::showRestoredPlaylist(); optional: the engine then reads and shows it itself
    // when it is made.
    PlaylistRestore* restore = nullptr;
    // Where the playlist is written (a settings file of its own); optional: the engine then
    // makes its own writer on PlaylistStore::pathBeside(the settings file).
    SettingsWriter* playlistWriter = nullptr;
    // The side of the rows' cover thumbnails in pixels, for the screens' device pixel ratio
    // (Track::thumbnailSideFor); used by the default loader.
    int thumbnailSide = Track::thumbnailSide;
};

// The one model object: playlist, stations, transport state, volume, level bars and both
// players. Main thread only. Every published field has a NOTIFY signal emitted on every
// assignment (equal values included), and objectWillChange() is emitted just before each one.
class AudioEngine : public QObject {
    Q_OBJECT
    Q_PROPERTY(orvane::PlayerMode mode READ mode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(QList<orvane::Track> playlist READ playlist WRITE setPlaylist NOTIFY playlistChanged)
    Q_PROPERTY(QUuid currentID READ currentID NOTIFY currentIDChanged)
    Q_PROPERTY(QByteArray currentArtwork READ currentArtwork NOTIFY currentArtworkChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(
        QList<orvane::RadioStation> stations READ stations WRITE setStations NOTIFY stationsChanged)
    Q_PROPERTY(QUuid currentStationID READ currentStationID NOTIFY currentStationIDChanged)
    Q_PROPERTY(QString radioStatus READ radioStatus NOTIFY radioStatusChanged)
    Q_PROPERTY(QString streamTitle READ streamTitle NOTIFY streamTitleChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(bool isShuffle READ isShuffle WRITE setIsShuffle NOTIFY isShuffleChanged)
    Q_PROPERTY(bool isRepeat READ isRepeat WRITE setIsRepeat NOTIFY isRepeatChanged)
    Q_PROPERTY(QList<double> levels READ levels NOTIFY levelsChanged)
    Q_PROPERTY(double volume READ volume WRITE setVolume NOTIFY volumeChanged)

public:
    static constexpr double crossfadeDuration = 3.0;
    static constexpr double pauseFadeDuration = 1.5;
    static constexpr int levelCount = 28;
    static constexpr double clockPeriod = 0.05;

    explicit AudioEngine(EngineServices services, QObject* parent = nullptr);
    ~AudioEngine() override;

    // Published fields.
    PlayerMode mode() const { return mode_; }
    void setMode(PlayerMode mode);
    const QList<Track>& playlist() const { return playlist_; }
    void setPlaylist(QList<Track> playlist); // saves
    QUuid currentID() const { return currentID_; }
    // The current track's cover at full size (encoded), read again from its file on a thread
    // of its own each time a track becomes current; empty until it is read, when the file has
    // none and while no track is current. Rows keep only a thumbnail (Track::artwork).
    const QByteArray& currentArtwork() const { return currentArtwork_; }
    double progress() const { return progress_; }
    const QList<RadioStation>& stations() const { return stations_; }
    void setStations(QList<RadioStation> stations); // saves
    QUuid currentStationID() const { return currentStationID_; }
    QString radioStatus() const { return radioStatus_; }
    // Why the stream failed while radioStatus is "stream_error" (the player's words, changing
    // with radioStatus); empty otherwise.
    QString streamError() const { return streamError_; }
    // What the playing station says is on the air ("Artist - Song"); empty when it says nothing,
    // and cleared when the station changes or stops. Published at most twice a second.
    QString streamTitle() const { return streamTitle_; }
    // Why the current station's stream failed ("stream_error"); none otherwise.
    StreamPlayer::FailureReason radioFailure() const { return radioFailure_; }
    bool isPlaying() const { return isPlaying_; }
    bool isShuffle() const { return isShuffle_; }
    void setIsShuffle(bool on);
    bool isRepeat() const { return isRepeat_; }
    void setIsRepeat(bool on);
    const QList<double>& levels() const { return levels_; }
    double volume() const { return volume_; }
    void setVolume(double volume); // applied to both players at once, no ramp

    // Derived values.
    std::optional<Track> currentTrack() const;
    std::optional<RadioStation> currentStation() const;
    bool isRadioActive() const { return !currentStationID_.isNull(); }
    double totalDuration() const { return totalDuration_; } // kept with the playlist
    // The pool that reads files; views walk dropped folders on it too.
    QThreadPool* readerPool() const { return pool_; }
    // A pool fit for reading files: as many threads as cores, at a lower priority than the
    // window's.
    static std::unique_ptr<QThreadPool> makeReaderPool();
    // The desktop integration is built after the engine and plugs in here.
    void setNowPlayingPublisher(NowPlayingPublisher* publisher) {
        services_.nowPlaying = publisher;
    }
    void setAnnouncer(Announcer* announcer) { services_.announcer = announcer; }

    // The local player's position right now (not the last tick's); 0 with nothing loaded.
    double livePosition() const;

    // Whether anything on screen shows the progress or the level bars (on at first). While
    // nothing does, the 20 Hz clock rests and the player's meter stays quiet; `progress` is then
    // brought up to date only where it is read (previous, the now-playing info) and at once
    // when a view shows again. The end of a track is met by a timer either way.
    void setViewsShown(bool shown);
    bool viewsShown() const { return viewsShown_; }

    // The interface language (`appLanguage`'s raw value), read from the settings at start; its
    // words go into the toast, the desktop's media controls and the technical lines of tracks
    // read from then on.
    void setLanguage(const QString& language) { language_ = language; }

    // Loudness levelling (`volumeLevelling`'s raw value, read from the settings at start):
    // "track" plays each track at its track gain, "album" at its album gain (its track gain
    // without one), anything else ("off") as it is. A track starts at the gain it has then; one
    // with no gain from its tags is measured in the background while levelling is on (the next
    // tracks first), and until then plays as it is.
    void setVolumeLevelling(const QString& mode);
    QString volumeLevelling() const;
    // How long the crossfade between tracks lasts, in seconds (`crossfadeSeconds`: 0 = Off,
    // 1..12, crossfadeDuration when absent); read from the settings at start, applied from the
    // next handover on. Off plays gapless: the next track starts on the sample after the last.
    double crossfade() const { return crossfade_; }
    void setCrossfade(double seconds);
    // "No crossfade within an album" (`albumGapless`, off when absent): a track followed by
    // the next one of its album (same album and album artist, the next track number) hands over
    // gapless whatever the crossfade.
    bool albumGapless() const { return albumGapless_; }
    void setAlbumGapless(bool on);
    static constexpr int maxCrossfadeSeconds = 12;

    // Transport.
    void play(const Track& track);
    void togglePlay();
    // An explicit play (the media controls' Play): like togglePlay when paused or idle, and
    // during a pause fade it turns the fade back up instead of taking it as another pause.
    void resume();
    // The media controls' Stop: playback ends at once, the position goes back to the start,
    // and a later play or resume starts the current item again (a track from its beginning,
    // with the fade-in). Nothing is unloaded.
    void stop();
    bool isStopped() const { return stopped_ && !isPlaying_; }
    void next();
    void previous();
    // `steps` presses of next (positive) or previous (negative) with only the last one started:
    // a burst of commands changes track once.
    void skip(int steps);
    void seek(double seconds);

    // Radio.
    void play(const RadioStation& station);
    void removeStations(const QSet<QUuid>& ids);

    // With a restore read ahead (EngineServices::restore): shows the stored playlist, once
    // the reading is done; the views are built meanwhile. Until then the playlist is empty and
    // nothing is saved. Does nothing without one or when called again.
    void showRestoredPlaylist();
    // Writes the playlist (and the metadata cache) now if a write is due, and waits for the
    // list to be written: the session is ending. Before the restored list is shown nothing is
    // due.
    void saveNow();

    // Playlist editing.
    void add(const QList<QUrl>& urls, bool startPlaying = false);
    void openExternal(const QList<QUrl>& urls);
    void remove(const QSet<QUuid>& ids);
    // The tracks with these ids, in their playlist order, go just before the track at `toRow`
    // (playlist().size() is the end). When that track is one of them, they go before the
    // first track after it that is not. The current track stays current and keeps playing.
    void move(const QSet<QUuid>& ids, int toRow);
    // A start finds the files of rows shown from the metadata cache in their folders' listings
    // (a file removed, renamed or replaced is read again or goes at once); a file rewritten in
    // place is looked at only when it matters: when its row is shown (the list asks as it
    // paints one), when it becomes current, and before a search (all of them). A file found
    // changed is read again and its row updated in place. Cheap when the row has been looked
    // at already.
    void checkFile(QUuid id, qsizetype row); // the id by value: the row may move meanwhile
    void checkAllFiles();

Q_SIGNALS:
    void objectWillChange();
    void modeChanged();
    void playlistChanged();
    void currentIDChanged();
    void currentArtworkChanged();
    void progressChanged();
    void stationsChanged();
    void currentStationIDChanged();
    void radioStatusChanged();
    void streamTitleChanged();
    void isPlayingChanged();
    void isShuffleChanged();
    void isRepeatChanged();
    void levelsChanged();
    void volumeChanged();
    // After seek(to:) moved the position (for the media controls' Seeked signal).
    void seeked(double seconds);
    // Failures the window tells the user about. Files given to add or openExternal that could
    // not be opened, by name, gathered once per pass of the event loop:
    void filesNotOpened(const QStringList& names);
    // A track to be played whose file is no longer on disk; the next one that opens plays.
    void trackSkipped(const QString& title);
    // The current station's stream failed (radioFailure() says why).
    void streamFailed();

private:
    struct AddTask;
    struct ArtworkCache;
    struct FadeTask {
        std::shared_ptr<AudioFilePlayer> player;
        std::unique_ptr<TimerHandle> timer;
    };

    void setCurrentID(const QUuid& id);
    // Drops the previous track's full cover and starts the read of the new current track's.
    void readCurrentCover();
    void setProgress(double progress);
    void setCurrentStationID(const QUuid& id);
    void setRadioStatus(const QString& status);
    void setStreamTitle(const QString& title);
    void onStreamTitle(const QString& title);
    void clearStreamTitle();
    void setIsPlaying(bool playing);
    void setLevels(QList<double> levels);

    std::optional<int> currentIndex() const;
    QString lang() const;
    // One console line for a file that could not be opened, in the interface language.
    void reportUnopened(const QString& name, const QString& error);
    // Starts the first track after `failed` in the list that opens (not the current one).
    bool startAfter(const QUuid& failed);
    void updateNowPlaying();
    void announce(const QString& title, const QString& subtitle, const QByteArray& artwork);

    void stopRadio();
    void stepStation(int steps);
    void observeRadio();
    void onTimeControlStatus(StreamPlayer::TimeControlStatus status);
    void onItemStatus(StreamPlayer::ItemStatus status);

    bool startTrack(const Track& track); // false when the file would not open
    void tick();
    void pushLevel(double level);
    void advance();
    // Aims the end-of-track timer at the moment the handover is due (from the player's position
    // and length), or cancels it while nothing local plays.
    void aimAdvance(double atLeast = 0);
    void onAdvanceDue();
    void watchPlayer(const std::shared_ptr<AudioFilePlayer>& p);
    // With the clock resting, `progress` is read from the player where it is needed.
    void catchUpProgress();

    // How long a handover from (or to) a track of this length fades: the crossfade, or half
    // the track when that is shorter.
    double handoverFade(double duration) const;
    // The track the end of the current one hands over to (the current one with repeat on; with
    // shuffle chosen once and kept until it plays); none without a current track.
    std::optional<Track> successor();
    // The fade of the handover at the end of the current track: 0 when it goes on gapless.
    // `length`: of the current track, when known better than by its player.
    double upcomingFade(double length = -1);
    // Gives the current player the successor's file when the handover is gapless, and takes it
    // back when that no longer holds (too late once the player has begun reading it).
    void syncGapless();
    // The player went on into the file given it: that track is current now.
    void adoptFollowed();
    void startCrossfadeOut(std::shared_ptr<AudioFilePlayer> outgoing, double fade, double latency);
    void endCrossfadeOuts(); // their players stop at once
    void startPauseFade(std::shared_ptr<AudioFilePlayer> fading);

    // Levelling (audioengine_levelling.cpp).
    enum class Levelling { Off, Track, Album };
    float levellingFactor(const Track& track) const;
    void measureSoon(); // looks for a track to measure shortly, once per burst of changes
    void measureNext();
    void measured(const QUuid& id, qsizetype row, std::optional<Track::Gain> gain,
                  std::optional<FileStamp> stamp);
    void stopMeasuring(); // the engine is going: the running measurement is cancelled

    void savePlaylist(); // the store writes it when due
    void restorePlaylist();
    void runAddTask(const std::shared_ptr<AddTask>& task);
    void drainAddTask(const std::shared_ptr<AddTask>& task);
    void queueDrain(const std::shared_ptr<AddTask>& task, qint64 ms);
    void cancelAddTasks();
    // Starts `count` copies of `job` on the readers' pool for `owner`, or, while no descriptor
    // is left for a new thread, again every kDescriptorRetryMs until there is one.
    void startOnPool(std::function<void()> job, int count, const std::weak_ptr<AddTask>& owner);
    static constexpr int kDescriptorRetryMs = 500;
    bool descriptorsShort_ = false; // told on standard error once per shortage
    void startReaders();
    void stopReaders();
    static std::shared_ptr<ArtworkCache> makeArtworkCache();
    // Track::load, with each distinct cover made into a thumbnail once (`covers` remembers them).
    static TrackLoader coverSharingLoader(std::shared_ptr<ArtworkCache> covers, int side);
    void appendLoaded(AddTask& task);
    void readListed(AddTask& task);
    void recountTotalDuration();
    // remove(); `keepUnmounted`: rows found on a volume not mounted keep their stored entries
    // (the user's removal drops them).
    void removeTracks(const QSet<QUuid>& ids, bool keepUnmounted);
    // A stored entry shown at start before its file has been read again.
    using RereadRow = PlaylistRestore::Result::Row;
    // Shows what was read of the stored list at once; rows to read go to `restoredReads_`, rows
    // shown from the cache to `restoredChecks_`.
    void restoreFromCache(PlaylistRestore::Result restored);
    // Starts the look at the files of the rows a start showed (and the reads of those it showed
    // by name): `restoredChecks_`, then `restoredReads_`.
    void checkRestored();
    // Looks at the files of rows shown from the metadata cache on the pool; those whose files
    // changed or went come back as `restoredChanged_`, to be read again.
    void checkStamps(QList<RereadRow> rows);
    void refreshLoaded(const QUuid& id, qsizetype row, std::optional<Track> track);
    void publishRefreshed();
    qsizetype rowNear(const QUuid& id, qsizetype hint) const;
    void saveStations();
    QList<RadioStation> loadStations();
    // True when `stations` are what `stored` holds, in the form they are written in.
    static bool isStoredAsIs(const QVariant& stored, const QList<RadioStation>& stations);

    EngineServices services_;

    PlayerMode mode_ = PlayerMode::Library;
    QList<Track> playlist_;
    double totalDuration_ = 0;           // the sum of the playlist's durations, in its order
    mutable qsizetype currentHint_ = -1; // where currentID_ was last found in the playlist
    QUuid currentID_;
    QByteArray currentArtwork_;
    double progress_ = 0;
    QList<RadioStation> stations_;
    QUuid currentStationID_;
    QString radioStatus_;
    QString streamError_;
    bool isPlaying_ = false;
    bool isShuffle_ = false;
    bool isRepeat_ = false;
    bool stopped_ = false; // by stop(), until something plays again
    QList<double> levels_;
    double volume_ = 0.73;

    std::shared_ptr<AudioFilePlayer> player_;
    std::shared_ptr<StreamPlayer> radioPlayer_;
    // Subscriptions to the stream player. Reports are re-delivered through the event loop; the
    // generation drops those still queued when the subscriptions end.
    std::vector<QMetaObject::Connection> radioObservers_;
    quint64 radioObserverGeneration_ = 0;
    QString streamTitle_;
    StreamPlayer::FailureReason radioFailure_;
    QStringList unopened_; // names not yet told through filesNotOpened
    QString pendingStreamTitle_;  // the latest title while the next publication waits
    double streamTitleAt_ = -1e9; // clock time of the last publication
    std::unique_ptr<TimerHandle> streamTitleTimer_;
    std::unique_ptr<TimerHandle> tickTimer_;    // runs only while views are shown
    std::unique_ptr<TimerHandle> advanceTimer_; // the current track's handover
    bool viewsShown_ = true;
    double crossfade_ = crossfadeDuration;
    bool albumGapless_ = false;
    std::optional<QUuid> plannedNext_;  // the successor with shuffle on, once chosen
    std::optional<QUuid> queuedNext_;   // given to player_ as its next file
    QUuid gaplessRefused_;              // the successor player_ would not take
    int followedSeen_ = 0;              // player_->followedFiles() when last looked at
    std::optional<double> handoverFadeNow_; // the fade of the handover advance() makes
    double plannedFall_ = 0; // the end fade player_ was given (0: none)
    QUuid lastFailedTrack_; // the last track whose file would not open

    // Pending fade tasks. Not remembered by the transport logic; kept here so that the engine's
    // destruction can end them (crossfade-outs stop their player at once), and so that a new
    // crossfade ends the previous one: at most one crossfade-out is pending.
    std::list<FadeTask> crossfadeOuts_;
    std::list<FadeTask> pauseFades_;
    std::vector<std::shared_ptr<AddTask>> addTasks_;
    std::shared_ptr<ArtworkCache> artworkCache_; // shared with the reads on the thread pool
    std::unique_ptr<SettingsWriter> ownWriter_; // when none is passed in
    SettingsWriter* writer_ = nullptr;
    QString language_;
    std::unique_ptr<QThreadPool> ownPool_; // when none is passed in
    QThreadPool* pool_ = nullptr;
    struct Wakeup;
    std::shared_ptr<Wakeup> wakeup_; // how readers reach the engine while it exists
    std::unique_ptr<QThreadPool> coverPool_; // reads the current track's full cover
    // The stored list and the metadata cache; after the players' fields, before nothing that
    // it outlives: its destructor writes what is due.
    std::unique_ptr<PlaylistStore> store_;
    // Rows a start showed whose files changed are read again and updated in place, published
    // together (a pass over thousands of rows would otherwise repeat per row).
    std::unique_ptr<TimerHandle> refreshTimer_;
    // Rows a start showed, whose files are looked at (or read) once the window has appeared.
    QList<RereadRow> restoredChecks_, restoredReads_;
    QList<RereadRow> restoredChanged_; // rows of restoredChecks_ whose files were not as read
    // Rows asked to be looked at (checkFile), with their digests, until the next pass of the
    // event loop sends them to the pool together; `sweepNext_`: the next row checkAllFiles()
    // looks at.
    QList<std::pair<RereadRow, quint32>> toCheck_;
    qsizetype sweepNext_ = 0;
    bool uncheckedLeft_ = false; // rows shown from the cache that no sweep has begun on
    // The rows' files are read again and the rows updated in place (one add task).
    void readAgain(QList<RereadRow> rows);
    void checkQueued();
    void sweepSlice();
    qsizetype restoredNext_ = 0; // the next row of the first of restoredChanged_ and
                                 // restoredReads_ not empty
    std::unique_ptr<TimerHandle> checkTimer_;
    bool refreshedCurrent_ = false;
    QSet<QUuid> refreshRemovals_; // rows read again that are to go

    Levelling levelling_ = Levelling::Off;
    // One measurement at a time, on a thread of its own at the lowest priority; its result
    // comes back through the event loop. The engine waits for it (cancelled) when it goes.
    std::unique_ptr<QThreadPool> measurePool_;
    std::shared_ptr<std::atomic<bool>> measureCancel_;
    std::optional<QUuid> measuring_;
    QSet<QUuid> unmeasurable_; // tried and failed this session: not tried again
    std::unique_ptr<TimerHandle> measureTimer_;
};

} // namespace orvane

Q_DECLARE_METATYPE(orvane::Track)
Q_DECLARE_METATYPE(orvane::RadioStation)
