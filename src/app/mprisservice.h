#pragma once

#include "app/covercache.h"
#include "core/coalesced.h"
#include "engine/mediaservices.h"

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QThreadPool>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <memory>

namespace orvane {

class AudioEngine;

// The media keys and the desktop's now-playing display: MPRIS2 on the session bus, service
// org.mpris.MediaPlayer2.orvane at /org/mpris/MediaPlayer2. Commands go to the engine's
// operations; what the engine publishes is mirrored in the properties, with PropertiesChanged.
// Main thread only.
class MprisService final : public QObject, public NowPlayingPublisher {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void()> raise; // the open-player sequence
        std::function<void()> quit;
    };
    // `coverFolder`: where covers are written for mpris:artUrl (the user's cache).
    MprisService(AudioEngine* engine, Hooks hooks, QString coverFolder, QObject* parent = nullptr);
    ~MprisService() override;

    // Claims the bus name and exports the object; false when the session bus is unavailable.
    bool start();

    void publish(const NowPlayingInfo& info) override;

    // The property values, as the adaptors serve them.
    QString playbackStatus() const;
    QVariantMap metadata() const;
    qint64 position() const;
    // What the commands can do now.
    bool canPlay() const;
    bool canPause() const;
    bool canGoNext() const;
    bool canGoPrevious() const;
    bool canSeek() const;
    // Rate 0 pauses; other rates are refused (playback has one speed).
    void setRate(double rate);
    QString loopStatus() const;
    void setLoopStatus(const QString& status);
    bool shuffle() const;
    void setShuffle(bool on);
    double volume() const;
    void setVolume(double volume);

    // Commands.
    void play();
    void pause();
    void playPause();
    void stop();
    void next();
    void previous();
    void seek(qint64 offsetMicroseconds);
    void setPosition(const QDBusObjectPath& trackId, qint64 positionMicroseconds);
    void openUri(const QString& uri);
    void raise();
    void quit();

    // The object path naming an item (a track or station id), as mpris:trackid.
    static QDBusObjectPath trackPath(const QString& itemId, bool station);

private:
    void propertiesChanged(const QString& interface, const QVariantMap& changed);
    // Announces the Player properties that differ from the last announcement; the metadata
    // always when `withMetadata`.
    void announce(bool withMetadata);
    // Next and Previous are gathered and applied once the calls queued now are answered, so
    // that a burst of them changes track once rather than opening a file per call.
    void queueSkip(int step);
    void applySkips();
    // The address of the cover's file, given at once; the file is written by `coverWriter_`.
    QString coverUrl(const QByteArray& artwork);

    AudioEngine* engine_;
    Hooks hooks_;
    QString coverFolder_;
    QByteArray lastCover_; // the cover coverUrl() was last asked for, and its address
    QString lastCoverUrl_;
    // Pruned to a bounded recent set. Made and used on `coverWriter_` only: a write, and the
    // pruning after it, may wait on the disk for tens of milliseconds, which the answers to
    // the desktop's calls must not.
    std::unique_ptr<CoverCache> covers_;
    QThreadPool coverWriter_; // one thread, so writes keep their order; waited for when gone
    NowPlayingInfo info_;
    QVariantMap lastPlayer_; // last announced Player properties, to send only what changed
    Coalesced playlistAnnounce_{this, [this] { announce(false); }};
    bool registered_ = false;
    int pendingSkips_ = 0; // positive: next, negative: previous
    bool skipsQueued_ = false;
};

class MprisRootAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit)
    Q_PROPERTY(bool CanRaise READ canRaise)
    Q_PROPERTY(bool HasTrackList READ hasTrackList)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes)
public:
    MprisRootAdaptor(QObject* object, MprisService* service);
    bool canQuit() const { return true; }
    bool canRaise() const { return true; }
    bool hasTrackList() const { return false; }
    QString identity() const { return QStringLiteral("Orvane"); }
    QString desktopEntry() const { return QStringLiteral("orvane"); }
    QStringList supportedUriSchemes() const { return {QStringLiteral("file")}; }
    QStringList supportedMimeTypes() const;
public Q_SLOTS:
    void Raise();
    void Quit();

private:
    MprisService* service_;
};

class MprisPlayerAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(QString LoopStatus READ loopStatus WRITE setLoopStatus)
    Q_PROPERTY(double Rate READ rate WRITE setRate)
    Q_PROPERTY(bool Shuffle READ shuffle WRITE setShuffle)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(double MinimumRate READ rate)
    Q_PROPERTY(double MaximumRate READ rate)
    Q_PROPERTY(bool CanGoNext READ canGoNext)
    Q_PROPERTY(bool CanGoPrevious READ canGoPrevious)
    Q_PROPERTY(bool CanPlay READ canPlay)
    Q_PROPERTY(bool CanPause READ canPause)
    Q_PROPERTY(bool CanSeek READ canSeek)
    Q_PROPERTY(bool CanControl READ always)
public:
    MprisPlayerAdaptor(QObject* object, MprisService* service);
    QString playbackStatus() const { return service_->playbackStatus(); }
    QString loopStatus() const { return service_->loopStatus(); }
    void setLoopStatus(const QString& s) { service_->setLoopStatus(s); }
    double rate() const { return 1.0; }
    void setRate(double rate) { service_->setRate(rate); }
    bool shuffle() const { return service_->shuffle(); }
    void setShuffle(bool on) { service_->setShuffle(on); }
    QVariantMap metadata() const { return service_->metadata(); }
    double volume() const { return service_->volume(); }
    void setVolume(double v) { service_->setVolume(v); }
    qlonglong position() const { return service_->position(); }
    bool canSeek() const { return service_->canSeek(); }
    bool canPlay() const { return service_->canPlay(); }
    bool canPause() const { return service_->canPause(); }
    bool canGoNext() const { return service_->canGoNext(); }
    bool canGoPrevious() const { return service_->canGoPrevious(); }
    bool always() const { return true; }
    static constexpr qsizetype maxUriBytes = 64 * 1024;
public Q_SLOTS:
    void Next() { service_->next(); }
    void Previous() { service_->previous(); }
    void Pause() { service_->pause(); }
    void PlayPause() { service_->playPause(); }
    void Stop() { service_->stop(); }
    void Play() { service_->play(); }
    void Seek(qlonglong offset) { service_->seek(offset); }
    void SetPosition(const QDBusObjectPath& trackId, qlonglong position) {
        service_->setPosition(trackId, position);
    }
    // A URI over maxUriBytes gets an error reply: nothing that long names a file.
    void OpenUri(const QString& uri, const QDBusMessage& message);
Q_SIGNALS:
    void Seeked(qlonglong position);

private:
    MprisService* service_;
};

} // namespace orvane
