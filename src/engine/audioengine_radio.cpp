// The engine's radio side: playing stations, following the stream player's reports, and the
// stored station list.
#include "core/localization.h"
#include "core/settingswriter.h"
#include "engine/audioengine.h"
#include "engine/audiofileplayer.h"
#include "engine/clock.h"
#include "engine/playerfactory.h"
#include "radio/stationstore.h"

#include <QSettings>
#include <iostream>

namespace orvane {

namespace {

const QString kStationsKey = QStringLiteral("radioStations");
const QString kRejectedKey = QStringLiteral("radioStationsRejected");

} // namespace

void AudioEngine::play(const RadioStation& station) {
    const std::optional<QUrl> url = RadioStation::streamUrl(station.url);
    if (!url && radioPlayer_ && isRadioActive()) {
        // A stream that was already running keeps playing with its subscriptions.
        setRadioStatus(QStringLiteral("invalid_url"));
        return;
    }
    if (player_) {
        player_->stop();
        player_.reset();
        plannedFall_ = 0;
    }
    setCurrentID(QUuid());
    setProgress(0);

    if (!url) {
        // Nothing else plays: the station becomes current without a player, so its row and the
        // player panel show why, and nothing claims to play.
        stopRadio();
        setCurrentStationID(station.id);
        setIsPlaying(false);
        setRadioStatus(QStringLiteral("invalid_url"));
        updateNowPlaying();
        return;
    }
    if (radioPlayer_)
        radioPlayer_->pause();
    clearStreamTitle();
    radioFailure_ = {};
    radioPlayer_ = services_.players->openStream(*url);
    radioPlayer_->setVolume(float(volume_));
    radioPlayer_->play();
    setCurrentStationID(station.id);
    setRadioStatus(QStringLiteral("buffering"));
    observeRadio();
    announce(station.name, loc(QStringLiteral("internet_radio"), lang()), QByteArray());
    updateNowPlaying();
}

void AudioEngine::stopRadio() {
    if (radioPlayer_)
        radioPlayer_->pause();
    radioPlayer_.reset();
    clearStreamTitle();
    radioFailure_ = {};
    setCurrentStationID(QUuid());
    for (auto& c : radioObservers_)
        QObject::disconnect(c);
    radioObservers_.clear();
    ++radioObserverGeneration_;
    setRadioStatus(QString());
}

void AudioEngine::observeRadio() {
    for (auto& c : radioObservers_)
        QObject::disconnect(c);
    radioObservers_.clear();
    const quint64 generation = ++radioObserverGeneration_;
    if (!radioPlayer_)
        return;

    // Reports reach the engine through the event loop, after the operation that caused them has
    // returned: the current value first, then every change.
    auto deliverStatus = [this, generation](StreamPlayer::TimeControlStatus status) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, status] {
                if (generation == radioObserverGeneration_)
                    onTimeControlStatus(status);
            },
            Qt::QueuedConnection);
    };
    auto deliverItem = [this, generation](StreamPlayer::ItemStatus status) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, status] {
                if (generation == radioObserverGeneration_)
                    onItemStatus(status);
            },
            Qt::QueuedConnection);
    };
    StreamPlayer* p = radioPlayer_.get();
    deliverStatus(p->timeControlStatus());
    radioObservers_.push_back(
        connect(p, &StreamPlayer::timeControlStatusChanged, this, deliverStatus));
    deliverItem(p->itemStatus());
    radioObservers_.push_back(connect(p, &StreamPlayer::itemStatusChanged, this, deliverItem));
    radioObservers_.push_back(
        connect(p, &StreamPlayer::streamTitleChanged, this, [this, generation](const QString& t) {
            QMetaObject::invokeMethod(
                this,
                [this, generation, t] {
                    if (generation == radioObserverGeneration_)
                        onStreamTitle(t);
                },
                Qt::QueuedConnection);
        }));
}

void AudioEngine::onStreamTitle(const QString& title) {
    // A station that changes its title many times a second is shown and published at most
    // twice a second: the latest title waits for its turn and replaces any that waited before.
    constexpr double kMinInterval = 0.5;
    const double wait = streamTitleAt_ + kMinInterval - services_.clock->now();
    if (wait <= 0 && !streamTitleTimer_) {
        setStreamTitle(title);
        return;
    }
    pendingStreamTitle_ = title;
    if (!streamTitleTimer_) {
        streamTitleTimer_ = services_.clock->after(std::max(wait, 0.0), [this] {
            streamTitleTimer_.reset(); // safe inside its own call: released later
            setStreamTitle(pendingStreamTitle_);
        });
    }
}

void AudioEngine::clearStreamTitle() {
    streamTitleTimer_.reset();
    pendingStreamTitle_.clear();
    setStreamTitle(QString());
}

void AudioEngine::onTimeControlStatus(StreamPlayer::TimeControlStatus status) {
    switch (status) {
    case StreamPlayer::TimeControlStatus::Paused:
        setIsPlaying(false);
        break;
    case StreamPlayer::TimeControlStatus::WaitingToPlayAtSpecifiedRate:
        setRadioStatus(QStringLiteral("buffering"));
        break;
    case StreamPlayer::TimeControlStatus::Playing:
        setIsPlaying(true);
        setRadioStatus(QStringLiteral("on_air"));
        updateNowPlaying();
        break;
    }
}

void AudioEngine::onItemStatus(StreamPlayer::ItemStatus status) {
    if (status == StreamPlayer::ItemStatus::Failed) {
        // The song the station last named is not on the air any more.
        radioFailure_ = radioPlayer_ ? radioPlayer_->failureReason() : StreamPlayer::FailureReason{};
        clearStreamTitle();
        setIsPlaying(false);
        streamError_ = radioPlayer_ ? radioPlayer_->lastError() : QString();
        setRadioStatus(QStringLiteral("stream_error"));
        updateNowPlaying();
        Q_EMIT streamFailed();
    }
}

void AudioEngine::removeStations(const QSet<QUuid>& ids) {
    const bool current = !currentStationID_.isNull() && ids.contains(currentStationID_);
    if (current) {
        stopRadio();
        setIsPlaying(false);
    }
    QList<RadioStation> kept;
    kept.reserve(stations_.size());
    for (const RadioStation& s : std::as_const(stations_)) {
        if (!ids.contains(s.id))
            kept.append(s);
    }
    setStations(std::move(kept)); // saves once, also when nothing matched
    if (current)
        updateNowPlaying(); // the desktop no longer shows the removed station
}

QList<RadioStation> AudioEngine::loadStations() {
    const QVariant stored = services_.settings->value(kStationsKey);
    if (!stored.isValid())
        return RadioStation::presets(); // a first start
    if (stored.typeId() == QMetaType::QByteArray) {
        if (auto decoded = StationStore::decode(stored.toByteArray()))
            return *decoded;
    }
    // The whole list is rejected and the presets are written over it: the value is kept, as
    // found, under a key of its own first (never over an earlier one), so it can be recovered.
    QString key = kRejectedKey;
    for (int n = 2; services_.settings->contains(key); ++n)
        key = kRejectedKey + QString::number(n);
    writer_->setValue(key, stored);
    std::cerr << "The stored station list could not be read; it is kept as " << key.toStdString()
              << " and the preset stations are used." << std::endl;
    return RadioStation::presets();
}

bool AudioEngine::isStoredAsIs(const QVariant& stored, const QList<RadioStation>& stations) {
    return stored.typeId() == QMetaType::QByteArray &&
           stored.toByteArray() == StationStore::encode(stations);
}

void AudioEngine::saveStations() {
    writer_->setValue(kStationsKey, StationStore::encode(stations_));
}

} // namespace orvane
