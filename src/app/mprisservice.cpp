#include "app/mprisservice.h"

#include "core/localization.h"
#include "engine/audioengine.h"
#include "radio/streamtitle.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <utility>

namespace orvane {

namespace {

const QString kService = QStringLiteral("org.mpris.MediaPlayer2.orvane");
const QString kPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

} // namespace

MprisService::MprisService(AudioEngine* engine, Hooks hooks, QString coverFolder, QObject* parent)
    : QObject(parent)
    , engine_(engine)
    , hooks_(std::move(hooks))
    , coverFolder_(std::move(coverFolder)) {
    coverWriter_.setMaxThreadCount(1);
    coverWriter_.setExpiryTimeout(5000);
    coverWriter_.start([this] { covers_ = std::make_unique<CoverCache>(coverFolder_); });
    new MprisRootAdaptor(this, this);
    auto* player = new MprisPlayerAdaptor(this, this);
    connect(engine_, &AudioEngine::seeked, player, [player](double seconds) {
        Q_EMIT player->Seeked(qlonglong(std::llround(seconds * 1e6)));
    });
    // Settings and lists the engine changes without a now-playing publication: only what
    // changed is announced (a long add does not send the metadata once per track, and looks
    // at what changed once the tracks stop coming in a pass).
    auto refresh = [this] { announce(false); };
    for (auto signal :
         {&AudioEngine::volumeChanged, &AudioEngine::isShuffleChanged,
          &AudioEngine::isRepeatChanged, &AudioEngine::stationsChanged, &AudioEngine::modeChanged})
        connect(engine_, signal, this, refresh);
    connect(engine_, &AudioEngine::playlistChanged, this, [this] { playlistAnnounce_.request(); });
}

MprisService::~MprisService() {
    coverWriter_.waitForDone(); // its jobs use covers_ and may post to this object
    if (registered_) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(kPath);
        bus.unregisterService(kService);
    }
}

bool MprisService::start() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (!bus.registerObject(kPath, this))
        return false;
    registered_ = bus.registerService(kService);
    if (!registered_)
        bus.unregisterObject(kPath);
    return registered_;
}

QDBusObjectPath MprisService::trackPath(const QString& itemId, bool station) {
    QString hex = itemId;
    hex.remove(QLatin1Char('-')).remove(QLatin1Char('{')).remove(QLatin1Char('}'));
    // Outside /org/mpris, which the MPRIS specification keeps for itself.
    return QDBusObjectPath(QStringLiteral("/org/orvane/%1/%2")
                               .arg(station ? QStringLiteral("Station") : QStringLiteral("Track"),
                                    hex.isEmpty() ? QStringLiteral("none") : hex));
}

void MprisService::publish(const NowPlayingInfo& info) {
    info_ = info;
    // Every publication carries the metadata, so a client always sees the current item.
    announce(true);
}

void MprisService::announce(bool withMetadata) {
    QVariantMap now{{QStringLiteral("PlaybackStatus"), playbackStatus()},
                    {QStringLiteral("CanPlay"), canPlay()},
                    {QStringLiteral("CanPause"), canPause()},
                    {QStringLiteral("CanGoNext"), canGoNext()},
                    {QStringLiteral("CanGoPrevious"), canGoPrevious()},
                    {QStringLiteral("CanSeek"), canSeek()},
                    {QStringLiteral("Volume"), volume()},
                    {QStringLiteral("LoopStatus"), loopStatus()},
                    {QStringLiteral("Shuffle"), shuffle()}};
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (lastPlayer_.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    }
    if (withMetadata)
        changed.insert(QStringLiteral("Metadata"), metadata());
    lastPlayer_ = now;
    propertiesChanged(kPlayerInterface, changed);
}

void MprisService::propertiesChanged(const QString& interface, const QVariantMap& changed) {
    if (!registered_ || changed.isEmpty())
        return;
    QDBusMessage signal =
        QDBusMessage::createSignal(kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << interface << changed << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

QString MprisService::playbackStatus() const {
    if (engine_->isPlaying())
        return QStringLiteral("Playing");
    if (engine_->isStopped())
        return QStringLiteral("Stopped");
    // A station whose stream failed or whose address is wrong is not paused: nothing resumes.
    const QString radio = engine_->radioStatus();
    if (engine_->isRadioActive() &&
        (radio == QLatin1String("stream_error") || radio == QLatin1String("invalid_url")))
        return QStringLiteral("Stopped");
    if (engine_->currentTrack() || engine_->currentStation())
        return QStringLiteral("Paused");
    return QStringLiteral("Stopped");
}

QVariantMap MprisService::metadata() const {
    QVariantMap map;
    if (info_.kind == NowPlayingInfo::Kind::Nothing) {
        map.insert(
            QStringLiteral("mpris:trackid"),
            QVariant::fromValue(QDBusObjectPath("/org/mpris/MediaPlayer2/TrackList/NoTrack")));
        return map;
    }
    const bool station = info_.kind == NowPlayingInfo::Kind::Station;
    map.insert(QStringLiteral("mpris:trackid"),
               QVariant::fromValue(trackPath(info_.itemId, station)));
    if (station && !info_.streamTitle.isEmpty()) {
        // The song the station says is on the air; the station itself becomes the album.
        const StreamSong song = splitStreamTitle(info_.streamTitle);
        map.insert(QStringLiteral("xesam:title"), song.title);
        map.insert(QStringLiteral("xesam:artist"),
                   QStringList{song.artist.isEmpty() ? info_.artist : song.artist});
        map.insert(QStringLiteral("xesam:album"), info_.title);
    } else {
        map.insert(QStringLiteral("xesam:title"), info_.title);
        map.insert(QStringLiteral("xesam:artist"), QStringList{info_.artist});
    }
    if (!info_.album.isEmpty())
        map.insert(QStringLiteral("xesam:album"), info_.album);
    if (info_.trackNumber > 0)
        map.insert(QStringLiteral("xesam:trackNumber"), info_.trackNumber);
    if (!station) {
        // Microseconds in 64 bits, from a length kept within Track's bound.
        const double length = std::isfinite(info_.duration)
                                  ? std::clamp(info_.duration, 0.0, Track::maxDuration)
                                  : 0.0;
        map.insert(QStringLiteral("mpris:length"), qlonglong(std::llround(length * 1e6)));
        if (!info_.artwork.isEmpty()) {
            const QString url = const_cast<MprisService*>(this)->coverUrl(info_.artwork);
            if (!url.isEmpty())
                map.insert(QStringLiteral("mpris:artUrl"), url);
        }
    }
    return map;
}

QString MprisService::coverUrl(const QByteArray& artwork) {
    // The same bytes as last time (shared, so unchanged): the same file.
    if (artwork.constData() == lastCover_.constData() && artwork.size() == lastCover_.size())
        return lastCoverUrl_;
    lastCover_ = artwork;
    lastCoverUrl_ = QUrl::fromLocalFile(CoverCache::pathFor(coverFolder_, artwork)).toString();
    coverWriter_.start([this, artwork] {
        if (!covers_->store(artwork).isEmpty())
            return;
        // Not written: the address goes from the metadata.
        QMetaObject::invokeMethod(
            this,
            [this, artwork] {
                if (artwork.constData() != lastCover_.constData())
                    return; // another cover since
                lastCoverUrl_.clear();
                announce(true);
            },
            Qt::QueuedConnection);
    });
    return lastCoverUrl_;
}

qint64 MprisService::position() const {
    // Read live from the player: never the value of the last publication.
    if (info_.kind != NowPlayingInfo::Kind::Track)
        return 0;
    return qint64(std::llround(engine_->livePosition() * 1e6));
}

bool MprisService::canPlay() const {
    // What play would start: the loaded item, or the first one of the list in use.
    if (engine_->currentTrack() || engine_->currentStation())
        return true;
    if (engine_->mode() == PlayerMode::Radio && !engine_->stations().isEmpty())
        return true;
    return !engine_->playlist().isEmpty();
}

bool MprisService::canPause() const {
    return engine_->currentTrack() || engine_->currentStation();
}

bool MprisService::canGoNext() const {
    return engine_->currentTrack() || engine_->currentStation();
}

bool MprisService::canGoPrevious() const {
    return canGoNext();
}

bool MprisService::canSeek() const {
    return engine_->currentTrack().has_value();
}

void MprisService::setRate(double rate) {
    if (rate == 0.0)
        pause();
}

// The playlist always wraps, so the loop is never "None": "Track" with repeat on, else
// "Playlist". Setting "None" turns repeat off but cannot stop the wrap.
QString MprisService::loopStatus() const {
    return engine_->isRepeat() ? QStringLiteral("Track") : QStringLiteral("Playlist");
}

void MprisService::setLoopStatus(const QString& status) {
    if (status == QLatin1String("Track"))
        engine_->setIsRepeat(true);
    else if (status == QLatin1String("Playlist") || status == QLatin1String("None"))
        engine_->setIsRepeat(false);
}

bool MprisService::shuffle() const {
    return engine_->isShuffle();
}
void MprisService::setShuffle(bool on) {
    engine_->setIsShuffle(on);
}
double MprisService::volume() const {
    return engine_->volume();
}

void MprisService::setVolume(double volume) {
    if (std::isfinite(volume))
        engine_->setVolume(std::clamp(volume, 0.0, 1.0));
}

void MprisService::play() {
    applySkips();
    engine_->resume();
}

void MprisService::pause() {
    applySkips();
    if (engine_->isPlaying())
        engine_->togglePlay();
}

void MprisService::playPause() {
    applySkips();
    engine_->togglePlay();
}
void MprisService::stop() {
    applySkips();
    engine_->stop();
}
void MprisService::next() {
    queueSkip(1);
}
void MprisService::previous() {
    queueSkip(-1);
}

void MprisService::queueSkip(int step) {
    if (pendingSkips_ != 0 && (pendingSkips_ > 0) != (step > 0))
        applySkips(); // a change of direction: what came before happens first
    pendingSkips_ += step;
    if (!skipsQueued_) {
        skipsQueued_ = true;
        QMetaObject::invokeMethod(
            this, [this] { applySkips(); }, Qt::QueuedConnection);
    }
}

void MprisService::applySkips() {
    skipsQueued_ = false;
    const int steps = std::exchange(pendingSkips_, 0);
    if (steps != 0)
        engine_->skip(steps);
}

void MprisService::seek(qint64 offsetMicroseconds) {
    applySkips();
    const auto track = engine_->currentTrack();
    if (engine_->isRadioActive() || !track)
        return;
    const double target = engine_->livePosition() + double(offsetMicroseconds) / 1e6;
    if (track->duration > 0 && target >= track->duration) {
        engine_->next(); // past the end: as the next-track command
        return;
    }
    engine_->seek(std::max(0.0, target));
}

void MprisService::setPosition(const QDBusObjectPath& trackId, qint64 positionMicroseconds) {
    applySkips();
    const auto track = engine_->currentTrack();
    if (engine_->isRadioActive() || !track || positionMicroseconds < 0)
        return;
    if (trackId.path() != trackPath(track->id.toString(QUuid::WithoutBraces), false).path())
        return; // a stale request for another track
    if (track->duration > 0 && double(positionMicroseconds) / 1e6 > track->duration)
        return;
    engine_->seek(double(positionMicroseconds) / 1e6);
}

void MprisService::openUri(const QString& uri) {
    applySkips();
    const QUrl url(uri);
    if (url.isLocalFile())
        engine_->openExternal({url});
}

void MprisService::raise() {
    if (hooks_.raise)
        hooks_.raise();
}

void MprisService::quit() {
    if (hooks_.quit)
        hooks_.quit();
}

MprisRootAdaptor::MprisRootAdaptor(QObject* object, MprisService* service)
    : QDBusAbstractAdaptor(object)
    , service_(service) {}

QStringList MprisRootAdaptor::supportedMimeTypes() const {
    return {QStringLiteral("audio/mpeg"),     QStringLiteral("audio/mp4"),
            QStringLiteral("audio/aac"),      QStringLiteral("audio/x-wav"),
            QStringLiteral("audio/x-aiff"),   QStringLiteral("audio/flac"),
            QStringLiteral("audio/ogg"),      QStringLiteral("audio/x-opus+ogg"),
            QStringLiteral("audio/x-wavpack")};
}

void MprisRootAdaptor::Raise() {
    service_->raise();
}
void MprisRootAdaptor::Quit() {
    service_->quit();
}

MprisPlayerAdaptor::MprisPlayerAdaptor(QObject* object, MprisService* service)
    : QDBusAbstractAdaptor(object)
    , service_(service) {}

void MprisPlayerAdaptor::OpenUri(const QString& uri, const QDBusMessage& message) {
    if (uri.size() > maxUriBytes || uri.toUtf8().size() > maxUriBytes) {
        message.setDelayedReply(true);
        QDBusConnection::sessionBus().send(message.createErrorReply(
            QDBusError::InvalidArgs,
            QStringLiteral("The URI is longer than %1 bytes").arg(maxUriBytes)));
        return;
    }
    service_->openUri(uri);
}

} // namespace orvane
