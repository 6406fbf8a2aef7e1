#include "app/mprisservice.h"

#include "app/localization.h"
#include "engine/audioengine.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QUrl>
#include <cmath>

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
    , covers_(std::move(coverFolder)) {
    new MprisRootAdaptor(this, this);
    auto* player = new MprisPlayerAdaptor(this, this);
    connect(engine_, &AudioEngine::seeked, player, [player](double seconds) {
        Q_EMIT player->Seeked(qlonglong(std::llround(seconds * 1e6)));
    });
    // Settings the engine changes without a now-playing publication.
    auto refresh = [this] { publish(info_); };
    connect(engine_, &AudioEngine::volumeChanged, this, refresh);
    connect(engine_, &AudioEngine::isShuffleChanged, this, refresh);
    connect(engine_, &AudioEngine::isRepeatChanged, this, refresh);
}

MprisService::~MprisService() {
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
    return QDBusObjectPath(QStringLiteral("/org/mpris/MediaPlayer2/orvane/%1/%2")
                               .arg(station ? QStringLiteral("station") : QStringLiteral("track"),
                                    hex.isEmpty() ? QStringLiteral("none") : hex));
}

void MprisService::publish(const NowPlayingInfo& info) {
    info_ = info;
    QVariantMap now{{QStringLiteral("PlaybackStatus"), playbackStatus()},
                    {QStringLiteral("Metadata"), metadata()},
                    {QStringLiteral("CanSeek"), canSeek()},
                    {QStringLiteral("Volume"), volume()},
                    {QStringLiteral("LoopStatus"), loopStatus()},
                    {QStringLiteral("Shuffle"), shuffle()}};
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (lastPlayer_.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    }
    // Every publication carries the metadata, so a client always sees the current item.
    changed.insert(QStringLiteral("Metadata"), now.value(QStringLiteral("Metadata")));
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
    map.insert(QStringLiteral("xesam:title"), info_.title);
    map.insert(QStringLiteral("xesam:artist"), QStringList{info_.artist});
    if (!station) {
        map.insert(QStringLiteral("mpris:length"), qlonglong(std::llround(info_.duration * 1e6)));
        if (!info_.artwork.isEmpty()) {
            const QString url = const_cast<MprisService*>(this)->coverUrl(info_.artwork);
            if (!url.isEmpty())
                map.insert(QStringLiteral("mpris:artUrl"), url);
        }
    }
    return map;
}

QString MprisService::coverUrl(const QByteArray& artwork) {
    const QString path = covers_.store(artwork);
    return path.isEmpty() ? QString() : QUrl::fromLocalFile(path).toString();
}

qint64 MprisService::position() const {
    // Read live from the player: never the value of the last publication.
    if (info_.kind != NowPlayingInfo::Kind::Track)
        return 0;
    return qint64(std::llround(engine_->livePosition() * 1e6));
}

bool MprisService::canSeek() const {
    return !engine_->isRadioActive();
}

QString MprisService::loopStatus() const {
    return engine_->isRepeat() ? QStringLiteral("Track") : QStringLiteral("None");
}

void MprisService::setLoopStatus(const QString& status) {
    engine_->setIsRepeat(status == QLatin1String("Track"));
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
    engine_->resume();
}

void MprisService::pause() {
    if (engine_->isPlaying())
        engine_->togglePlay();
}

void MprisService::playPause() {
    engine_->togglePlay();
}
void MprisService::stop() {
    pause();
}
void MprisService::next() {
    engine_->next();
}
void MprisService::previous() {
    engine_->previous();
}

void MprisService::seek(qint64 offsetMicroseconds) {
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
    return {QStringLiteral("audio/mpeg"),   QStringLiteral("audio/mp4"),
            QStringLiteral("audio/aac"),    QStringLiteral("audio/x-wav"),
            QStringLiteral("audio/x-aiff"), QStringLiteral("audio/flac")};
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
