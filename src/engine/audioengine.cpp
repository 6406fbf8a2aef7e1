#include "engine/audioengine.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "core/settingswriter.h"
#include "engine/audiofileplayer.h"
#include "engine/clock.h"
#include "engine/metadatacache.h"
#include "engine/playerfactory.h"
#include "engine/playlistrestore.h"
#include "engine/playliststore.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>
#include <algorithm>
#include <cmath>
#include <iostream>

namespace orvane {

// Every published assignment: announce, store, notify. Equal values are announced too.
#define ORVANE_PUBLISH(field, value, signal)                                                       \
    do {                                                                                           \
        Q_EMIT objectWillChange();                                                                 \
        field = value;                                                                             \
        Q_EMIT signal();                                                                           \
    } while (false)

AudioEngine::AudioEngine(EngineServices services, QObject* parent)
    : QObject(parent)
    , services_(std::move(services)) {
    Q_ASSERT(services_.clock && services_.players && services_.settings);
    QSettings& settings = *services_.settings;
    writer_ = services_.settingsWriter;
    if (!writer_) {
        ownWriter_ = std::make_unique<SettingsWriter>(settings.fileName(), settings.format());
        writer_ = ownWriter_.get();
    }
    writer_->flush(); // what was asked to be written before is what is read now
    store_ = std::make_unique<PlaylistStore>(*services_.clock, services_.playlistWriter,
                                             PlaylistStore::pathBeside(settings.fileName()),
                                             playlist_);
    language_ = currentLang(settings);
    setVolumeLevelling(settings.value(QStringLiteral("volumeLevelling")).toString());
    connect(this, &AudioEngine::playlistChanged, this, &AudioEngine::measureSoon);
    connect(this, &AudioEngine::currentIDChanged, this, &AudioEngine::measureSoon);
    crossfade_ = Preferences::readCrossfade(settings);
    albumGapless_ = Preferences::readAlbumGapless(settings);
    artworkCache_ = makeArtworkCache();
    if (!services_.loader)
        services_.loader = coverSharingLoader(artworkCache_, services_.thumbnailSide);
    levels_ = QList<double>(levelCount, 0.05);
    startReaders();

    // The stored list (presets on a first start) goes through the normal setter, so it is
    // written back, unless it is already stored exactly so.
    QList<RadioStation> stations = loadStations();
    if (isStoredAsIs(settings.value(QStringLiteral("radioStations")), stations))
        stations_ = std::move(stations);
    else
        setStations(std::move(stations));
    if (services_.restore)
        store_->holdUntilRestored(); // saves wait until the stored list is shown
    else
        restorePlaylist();
    tickTimer_ = services_.clock->every(clockPeriod, [this] { tick(); });
    // What follows the current track may have changed: a gapless handover is given its file
    // again (or taken back).
    for (auto signal : {&AudioEngine::playlistChanged, &AudioEngine::isShuffleChanged,
                        &AudioEngine::isRepeatChanged})
        connect(this, signal, this, [this] {
            if (crossfade_ <= 0 || albumGapless_ || queuedNext_)
                aimAdvance();
        });
    // Media keys are wired by the desktop integration through the public operations.
}

AudioEngine::~AudioEngine() {
    if (services_.restore)
        store_->discardPending(); // never shown: the stored list stays as it is
    store_->writeNow(); // first, while the restore still knows what it has not read
    stopMeasuring();
    refreshTimer_.reset();
    tickTimer_.reset();
    advanceTimer_.reset();
    stopReaders();
    store_.reset(); // waits for the metadata cache's writer
    pauseFades_.clear(); // the engine is gone: pending pauses do nothing
    endCrossfadeOuts();  // cut short: their players stop now
    for (auto& c : radioObservers_)
        QObject::disconnect(c);
}

// ---- published fields ----

void AudioEngine::setMode(PlayerMode mode) {
    ORVANE_PUBLISH(mode_, mode, modeChanged);
}

void AudioEngine::setPlaylist(QList<Track> playlist) {
    Q_EMIT objectWillChange();
    playlist_ = std::move(playlist);
    recountTotalDuration();
    Q_EMIT playlistChanged();
    savePlaylist();
}

void AudioEngine::recountTotalDuration() {
    double sum = 0;
    for (const Track& t : std::as_const(playlist_))
        sum += t.duration;
    totalDuration_ = sum;
}

void AudioEngine::setCurrentID(const QUuid& id) {
    const bool changed = id != currentID_;
    ORVANE_PUBLISH(currentID_, id, currentIDChanged);
    if (!changed)
        return;
    readCurrentCover();
    // A file rewritten in place since the start shows its new tags while it plays; the row after
    // it is looked at too, before its turn.
    if (const auto index = currentIndex()) {
        for (qsizetype i = *index; i < std::min<qsizetype>(*index + 2, playlist_.size()); ++i)
            checkFile(playlist_.at(i).id, i);
    }
}

void AudioEngine::setProgress(double progress) {
    ORVANE_PUBLISH(progress_, progress, progressChanged);
}

void AudioEngine::setStations(QList<RadioStation> stations) {
    ORVANE_PUBLISH(stations_, std::move(stations), stationsChanged);
    saveStations();
}

void AudioEngine::setCurrentStationID(const QUuid& id) {
    ORVANE_PUBLISH(currentStationID_, id, currentStationIDChanged);
}

void AudioEngine::setRadioStatus(const QString& status) {
    if (status != QLatin1String("stream_error"))
        streamError_.clear();
    ORVANE_PUBLISH(radioStatus_, status, radioStatusChanged);
}

void AudioEngine::setStreamTitle(const QString& title) {
    if (title == streamTitle_)
        return;
    ORVANE_PUBLISH(streamTitle_, title, streamTitleChanged);
    streamTitleAt_ = services_.clock->now();
    updateNowPlaying();
}

void AudioEngine::setIsPlaying(bool playing) {
    if (playing)
        stopped_ = false;
    ORVANE_PUBLISH(isPlaying_, playing, isPlayingChanged);
}

void AudioEngine::setIsShuffle(bool on) {
    ORVANE_PUBLISH(isShuffle_, on, isShuffleChanged);
}

void AudioEngine::setIsRepeat(bool on) {
    ORVANE_PUBLISH(isRepeat_, on, isRepeatChanged);
}

void AudioEngine::setLevels(QList<double> levels) {
    ORVANE_PUBLISH(levels_, std::move(levels), levelsChanged);
}

void AudioEngine::setVolume(double volume) {
    ORVANE_PUBLISH(volume_, volume, volumeChanged);
    if (player_)
        player_->setVolume(float(volume_));
    if (radioPlayer_)
        radioPlayer_->setVolume(float(volume_));
}

// ---- derived values ----

std::optional<Track> AudioEngine::currentTrack() const {
    if (const auto index = currentIndex())
        return playlist_.at(*index);
    return std::nullopt;
}

std::optional<RadioStation> AudioEngine::currentStation() const {
    if (currentStationID_.isNull())
        return std::nullopt;
    for (const RadioStation& s : stations_) {
        if (s.id == currentStationID_)
            return s;
    }
    return std::nullopt;
}

std::optional<int> AudioEngine::currentIndex() const {
    if (currentID_.isNull())
        return std::nullopt;
    // Asked many times per change (every view that shows the current track): where it was
    // found last time is looked at first, so an append costs no walk of the list.
    if (currentHint_ >= 0 && currentHint_ < playlist_.size() &&
        playlist_.at(currentHint_).id == currentID_)
        return int(currentHint_);
    for (int i = 0; i < playlist_.size(); ++i) {
        if (playlist_.at(i).id == currentID_) {
            currentHint_ = i;
            return i;
        }
    }
    return std::nullopt;
}

double AudioEngine::livePosition() const {
    return player_ && !currentID_.isNull() && !isStopped() ? player_->currentTime() : 0.0;
}

void AudioEngine::setViewsShown(bool shown) {
    if (shown == viewsShown_)
        return;
    viewsShown_ = shown;
    if (player_)
        player_->setMeteringEnabled(shown);
    if (shown) {
        catchUpProgress(); // the first frame shown already has the position of the moment
        tickTimer_ = services_.clock->every(clockPeriod, [this] { tick(); });
    } else {
        tickTimer_.reset();
    }
}

void AudioEngine::catchUpProgress() {
    if (!tickTimer_ && !isRadioActive() && player_ && isPlaying_)
        setProgress(player_->currentTime());
}

QString AudioEngine::lang() const {
    return language_;
}

void AudioEngine::reportUnopened(const QString& name, const QString& error) {
    // Both at once: a name holding "%2" is not filled in again.
    std::cerr << loc(QStringLiteral("open_failed"), lang()).arg(name, error).toStdString()
              << std::endl;
    // The window hears of them together: once per pass, however many a pass found.
    if (unopened_.isEmpty())
        QMetaObject::invokeMethod(
            this, [this] { Q_EMIT filesNotOpened(std::exchange(unopened_, {})); },
            Qt::QueuedConnection);
    unopened_.append(name);
}

// ---- now playing ----

void AudioEngine::updateNowPlaying() {
    if (!services_.nowPlaying)
        return;
    catchUpProgress();
    NowPlayingInfo info;
    info.playing = isPlaying_;
    info.rate = isPlaying_ ? 1.0 : 0.0;
    if (const auto track = currentTrack()) {
        info.kind = NowPlayingInfo::Kind::Track;
        info.itemId = track->id.toString(QUuid::WithoutBraces);
        info.title = track->title;
        info.artist = track->artist;
        info.album = track->album;
        info.trackNumber = track->trackNumber;
        info.duration = track->duration;
        info.elapsed = progress_;
        // The full cover once it is read; the row's thumbnail until then.
        info.artwork = currentArtwork_.isEmpty() ? track->artwork : currentArtwork_;
    } else if (const auto station = currentStation()) {
        info.kind = NowPlayingInfo::Kind::Station;
        info.itemId = station->id.toString(QUuid::WithoutBraces);
        info.title = station->name;
        info.streamTitle = streamTitle_;
        info.artist = loc(QStringLiteral("internet_radio"), lang());
        info.isLiveStream = true;
    }
    services_.nowPlaying->publish(info);
}

void AudioEngine::announce(const QString& title, const QString& subtitle,
                           const QByteArray& artwork) {
    if (services_.announcer)
        services_.announcer->show(title, subtitle, artwork);
}

// ---- transport ----

void AudioEngine::play(const Track& track) {
    // A file gone from the disk is passed over for the next one, as the end of a track would.
    if (!startTrack(track) && track.path().startsWith(QLatin1Char('/')) &&
        !QFileInfo::exists(track.path()))
        startAfter(track.id);
}

double AudioEngine::handoverFade(double duration) const {
    // A track shorter than two crossfades hands over in half its length, so that it is heard
    // whole (and not advanced from before it has played).
    return duration > 0 ? std::min(crossfade_, duration / 2) : crossfade_;
}

void AudioEngine::setCrossfade(double seconds) {
    crossfade_ = std::isfinite(seconds) ? std::clamp(seconds, 0.0, double(maxCrossfadeSeconds))
                                        : crossfadeDuration;
    aimAdvance(); // the coming handover follows it
}

void AudioEngine::setAlbumGapless(bool on) {
    albumGapless_ = on;
    aimAdvance();
}

namespace {

// Whether `next` is the track after `track` on one album (same album and album artist, the
// next track number).
bool continuesAlbum(const Track& track, const Track& next) {
    return !track.album.isEmpty() && track.album == next.album &&
           track.albumArtist == next.albumArtist && track.trackNumber > 0 &&
           next.trackNumber == track.trackNumber + 1;
}

// A change of track by hand with Crossfade Off still takes the outgoing one down over this many
// seconds: cut at once it would click.
constexpr double kShortestFall = 0.03;

} // namespace

std::optional<Track> AudioEngine::successor() {
    const auto index = currentIndex();
    if (!index)
        return std::nullopt;
    if (isRepeat_)
        return playlist_.at(*index);
    const int n = int(playlist_.size());
    if (isShuffle_ && n > 1) {
        for (int i = 0; plannedNext_ && i < n; ++i) {
            if (playlist_.at(i).id == *plannedNext_ && i != *index)
                return playlist_.at(i);
        }
        int k = *index;
        while (k == *index)
            k = int(QRandomGenerator::global()->bounded(n));
        plannedNext_ = playlist_.at(k).id;
        return playlist_.at(k);
    }
    return playlist_.at((*index + 1) % n);
}

double AudioEngine::upcomingFade(double length) {
    const double fade = handoverFade(length >= 0 ? length : player_ ? player_->duration() : 0);
    if (fade <= 0 || !albumGapless_)
        return fade;
    const auto current = currentTrack();
    const auto next = successor();
    return current && next && continuesAlbum(*current, *next) ? 0.0 : fade;
}

void AudioEngine::syncGapless() {
    const std::shared_ptr<AudioFilePlayer> p = player_;
    if (!p || (queuedNext_ && p->nextFileTaken()))
        return; // too late to change: it plays
    const bool gaplessNow = upcomingFade() <= 0;
    const std::optional<Track> next = gaplessNow || queuedNext_ ? successor() : std::nullopt;
    const bool gapless = next && gaplessNow;
    if (queuedNext_ && (!gapless || *queuedNext_ != next->id)) {
        p->setNextFile(QString(), 1.0f, nullptr);
        queuedNext_.reset();
    }
    if (!gapless || queuedNext_ || next->id == gaplessRefused_)
        return;
    // A file that does not open (or a player that plays files one by one) is handed over to at
    // the end instead, by a player of its own.
    if (p->setNextFile(next->path(), levellingFactor(*next), nullptr))
        queuedNext_ = next->id;
    else
        gaplessRefused_ = next->id;
}

void AudioEngine::adoptFollowed() {
    const std::shared_ptr<AudioFilePlayer> p = player_;
    followedSeen_ = p->followedFiles();
    const QUuid id = queuedNext_.value_or(QUuid());
    queuedNext_.reset();
    plannedNext_.reset();
    gaplessRefused_ = QUuid();
    std::optional<Track> track;
    for (const Track& t : std::as_const(playlist_)) {
        if (t.id == id) {
            track = t;
            break;
        }
    }
    if (!track) {
        // Taken off the list on its way to the speaker: what follows the track before plays.
        if (const auto next = successor())
            play(*next);
        return;
    }
    setCurrentID(track->id);
    setProgress(p->currentTime());
    aimAdvance();
    announce(track->title,
             track->artist.isEmpty() ? loc(QStringLiteral("local_file"), lang()) : track->artist,
             track->artwork);
    updateNowPlaying();
}

bool AudioEngine::startTrack(const Track& track) {
    // A change made during a crossfade ends the older fade at once: at most one player fades
    // out, so a burst of changes never piles up players.
    endCrossfadeOuts();
    // The new file is opened next: one that cannot be opened leaves what plays untouched.
    const QString path = track.path();
    QString error;
    const std::optional<double> handover = std::exchange(handoverFadeNow_, std::nullopt);
    std::shared_ptr<AudioFilePlayer> incoming =
        path.startsWith(QLatin1Char('/')) ? services_.players->openFile(path, &error) : nullptr;
    if (!incoming) {
        if (error.isEmpty())
            error = QStringLiteral("not a local file");
        std::cerr << loc(QStringLiteral("open_failed"), lang())
                         .arg(QFileInfo(path).fileName(), error)
                         .toStdString()
                  << std::endl;
        if (path.startsWith(QLatin1Char('/')) && !QFileInfo::exists(path))
            Q_EMIT trackSkipped(track.title.isEmpty() ? track.fileName() : track.title);
        lastFailedTrack_ = track.id;
        return false;
    }

    stopRadio();

    // The outgoing fade is heard after the output's latency; a new stream is heard at once, so
    // its rise waits that long and the two cross where the listener hears them.
    double handoverDelay = 0;
    double rise = crossfade_;
    if (const std::shared_ptr<AudioFilePlayer> outgoing = player_) {
        const double incomingLength =
            incoming->duration() > 0 ? incoming->duration() : track.duration;
        if (outgoing->isPlaying() && handover && plannedFall_ > 0) {
            // The handover planned at the end: the outgoing player's end fade is being heard
            // from now on, ending with its last sample, and the new track rises from its first.
            const double left = outgoing->duration() - outgoing->heardTime();
            rise = std::min(*handover, handoverFade(incomingLength));
            startCrossfadeOut(outgoing, std::max(left, kShortestFall), 0);
        } else if (outgoing->isPlaying()) {
            // Crossfade: the outgoing player falls to silence while the new one rises.
            const double fall = std::max(
                kShortestFall, handover ? *handover : handoverFade(outgoing->duration()));
            rise = std::min(handover ? *handover : fall, handoverFade(incomingLength));
            handoverDelay = outgoing->outputLatency();
            outgoing->setVolume(0.0f, fall);
            startCrossfadeOut(outgoing, fall, handoverDelay);
        } else {
            outgoing->stop(); // paused or ended: no fade to hear
        }
    }

    incoming->setGain(levellingFactor(track)); // before any of it is heard
    incoming->setMeteringEnabled(viewsShown_);
    if (player_) {
        incoming->setVolume(0.0f);
        incoming->setVolume(float(volume_), rise, handoverDelay);
    } else {
        // First track since start (or since the current one was removed or a station played).
        incoming->setVolume(float(volume_));
    }
    player_ = std::move(incoming);
    plannedFall_ = 0;
    queuedNext_.reset();
    plannedNext_.reset();
    gaplessRefused_ = QUuid();
    followedSeen_ = 0;
    watchPlayer(player_);

    setCurrentID(track.id);
    setIsPlaying(true);
    setProgress(0);
    aimAdvance(); // a short track's end is planned before it plays
    player_->play();

    announce(track.title,
             track.artist.isEmpty() ? loc(QStringLiteral("local_file"), lang()) : track.artist,
             track.artwork);
    updateNowPlaying();
    return true;
}

void AudioEngine::startCrossfadeOut(std::shared_ptr<AudioFilePlayer> outgoing, double fade,
                                    double latency) {
    auto it = crossfadeOuts_.insert(crossfadeOuts_.end(), FadeTask{std::move(outgoing), nullptr});
    // Stopped once the end of its fade has been heard.
    it->timer = services_.clock->after(fade + 0.2 + latency, [this, it] {
        it->player->stop();
        crossfadeOuts_.erase(it);
    });
}

void AudioEngine::endCrossfadeOuts() {
    for (FadeTask& task : crossfadeOuts_) {
        task.timer.reset();
        task.player->stop();
    }
    crossfadeOuts_.clear();
}

void AudioEngine::startPauseFade(std::shared_ptr<AudioFilePlayer> fading) {
    auto it = pauseFades_.insert(pauseFades_.end(), FadeTask{std::move(fading), nullptr});
    it->timer = services_.clock->after(pauseFadeDuration, [this, it] {
        // Only if nothing changed meanwhile: still paused, and still the very same player.
        if (!isPlaying_ && player_ == it->player) {
            it->player->pause();
            it->player->setVolume(float(volume_));
        }
        pauseFades_.erase(it);
    });
}

void AudioEngine::togglePlay() {
    catchUpProgress(); // a pause freezes the position of its moment
    if (isRadioActive()) {
        if (!radioPlayer_)
            return;
        if (isPlaying_) {
            radioPlayer_->pause();
            setIsPlaying(false);
            setRadioStatus(QStringLiteral("paused"));
        } else {
            radioPlayer_->play(); // the reports set isPlaying and the status
        }
    } else if (const std::shared_ptr<AudioFilePlayer> p = player_) {
        if (p->isPlaying()) {
            // Still sounding during a pause fade: a second press is another pause.
            setIsPlaying(false);
            p->setVolume(0.0f, pauseFadeDuration);
            startPauseFade(p);
        } else {
            p->setVolume(0.0f);
            p->play();
            p->setVolume(float(volume_), pauseFadeDuration);
            setIsPlaying(true);
        }
    } else if (mode_ == PlayerMode::Radio && !stations_.isEmpty()) {
        play(stations_.first());
    } else if (!playlist_.isEmpty()) { // radio mode without stations falls through too
        play(playlist_.first());
    }
    aimAdvance();
    updateNowPlaying();
}

void AudioEngine::stop() {
    if (isRadioActive()) {
        if (radioPlayer_) { // also while it buffers: it must not start by itself afterwards
            radioPlayer_->pause();
            clearStreamTitle(); // what was on the air is no longer shown
            setIsPlaying(false);
            setRadioStatus(QStringLiteral("stopped"));
        }
    } else if (player_) {
        // The sound falls to silence over the shortest ramp (the player pauses once that has
        // been heard), and the volume stays at the fade-in's start: what the player prerolls at
        // the start is silent when the next play begins.
        if (player_->isPlaying())
            player_->setVolume(0.0f, AudioFilePlayer::stopRamp);
        else
            player_->setVolume(0.0f);
        player_->pause();
        player_->setCurrentTime(0);
        setIsPlaying(false);
        setProgress(0);
    } else {
        return; // nothing loaded: already stopped
    }
    stopped_ = true;
    aimAdvance();
    updateNowPlaying();
}

void AudioEngine::resume() {
    if (isPlaying_)
        return;
    const std::shared_ptr<AudioFilePlayer> p = player_;
    if (isRadioActive() || !p || !p->isPlaying()) {
        togglePlay();
        return;
    }
    // Still sounding in its pause fade: rise again from where it is; the pending pause then
    // finds the engine playing and does nothing.
    p->setVolume(float(volume_), pauseFadeDuration);
    setIsPlaying(true);
    aimAdvance();
    updateNowPlaying();
}

// The station `steps` away from the current one in the list, wrapping around.
void AudioEngine::stepStation(int steps) {
    const auto n = stations_.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (stations_.at(i).id == currentStationID_) {
            play(RadioStation(stations_.at(((i + steps) % n + n) % n)));
            return;
        }
    }
}

void AudioEngine::next() {
    if (isRadioActive()) {
        stepStation(1);
        return;
    }
    const auto index = currentIndex();
    if (!index || playlist_.isEmpty())
        return;
    const int n = int(playlist_.size());
    if (isShuffle_ && n > 1) {
        int k = *index;
        while (k == *index)
            k = int(QRandomGenerator::global()->bounded(n));
        play(Track(playlist_.at(k)));
        return;
    }
    play(Track(playlist_.at((*index + 1) % n)));
}

void AudioEngine::previous() {
    if (isRadioActive()) {
        stepStation(-1);
        return;
    }
    const auto index = currentIndex();
    if (!index)
        return;
    catchUpProgress();
    if (progress_ > 3.0) { // a fixed threshold, not the crossfade length
        seek(0);
        return;
    }
    const int n = int(playlist_.size());
    play(Track(playlist_.at((*index - 1 + n) % n)));
}

void AudioEngine::skip(int steps) {
    if (steps == 1 || steps == -1 || steps == 0) {
        if (steps > 0)
            next();
        else if (steps < 0)
            previous();
        return;
    }
    if (isRadioActive()) {
        stepStation(steps);
        return;
    }
    const auto index = currentIndex();
    if (!index || playlist_.isEmpty())
        return;
    const int n = int(playlist_.size());
    int k = *index;
    if (steps > 0) {
        for (int step = 0; step < steps; ++step) {
            if (isShuffle_ && n > 1) {
                const int from = k;
                while (k == from)
                    k = int(QRandomGenerator::global()->bounded(n));
            } else {
                k = (k + 1) % n;
            }
        }
    } else {
        int back = -steps;
        catchUpProgress();
        if (progress_ > 3.0) { // the first press restarts the track
            seek(0);
            --back;
        }
        k = ((k - back) % n + n) % n;
        if (back == 0)
            return;
    }
    play(Track(playlist_.at(k)));
}

void AudioEngine::seek(double seconds) {
    if (isRadioActive())
        return;
    // A position that is not a number or lies before the start never reaches the player.
    if (std::isnan(seconds) || seconds < 0)
        seconds = 0;
    stopped_ = false; // a stopped track sought to a place is a paused one
    if (player_) {
        // A player that does not sound prerolls at the new place at once: at the fade-in's
        // start, so that the next play begins silent.
        if (!player_->isPlaying())
            player_->setVolume(0.0f);
        player_->setCurrentTime(seconds);
        if (std::isinf(seconds))
            seconds = player_->duration();
    } else if (std::isinf(seconds)) {
        seconds = 0;
    }
    setProgress(seconds);
    aimAdvance();
    updateNowPlaying();
    Q_EMIT seeked(seconds);
}

// ---- clock ----

void AudioEngine::pushLevel(double level) {
    QList<double> next;
    next.reserve(levelCount);
    next.append(level);
    const qsizetype keep = std::max<qsizetype>(0, levels_.size() - 1);
    for (qsizetype i = 0; i < keep; ++i)
        next.append(levels_.at(i));
    setLevels(std::move(next));
}

void AudioEngine::tick() {
    if (isRadioActive()) {
        if (!isPlaying_)
            return;
        // A smoothed random walk: the stream player has no meter. Target in 0.15..0.85.
        const double target = 0.15 + QRandomGenerator::global()->generateDouble() * 0.70;
        const double previous = levels_.isEmpty() ? 0.3 : levels_.first();
        pushLevel(0.55 * previous + 0.45 * target);
        return;
    }
    if (!player_ || !isPlaying_)
        return;
    const std::shared_ptr<AudioFilePlayer> p = player_;
    if (queuedNext_ && p->followedFiles() != followedSeen_)
        adoptFollowed(); // a player that does not say so itself
    const double position = p->currentTime();
    setProgress(position);
    p->updateMeters();
    const float power = p->averagePower(0);
    float level = std::isnan(power) ? 0.0f : (power + 55.0f) / 55.0f;
    level = std::max(0.0f, std::min(1.0f, level));
    pushLevel(double(level));
    // The handover before the end has a timer of its own (aimAdvance).
    if (!p->isPlaying() && isPlaying_)
        advance(); // ended by itself or stopped on an error
}

void AudioEngine::aimAdvance(double atLeast) {
    advanceTimer_.reset();
    if (isRadioActive() || !player_ || !isPlaying_)
        return;
    syncGapless();
    // Before the player knows its length (it has not read the file yet) the tags' stand in, so
    // that a short track's fall is planned before any of it plays.
    const double known = player_->duration();
    const auto track = known > 0 ? std::nullopt : currentTrack();
    const double duration = known > 0 ? known : track ? track->duration : 0.0;
    if (!(duration > 0))
        return; // length unknown: it moves on when it ends by itself (or learns its length)
    // The next track starts when the crossfade would cover what is heard of what is left; a
    // short track hands over later (see handoverFade), never before it has played. Gapless,
    // the player goes on into the next file by itself at the end, where the engine looks again.
    const double fade = queuedNext_ ? 0.0 : upcomingFade(duration);
    const double due = duration - fade - player_->heardTime();
    // A real player's position follows the sound card's clock, not this one: a moment far off
    // is looked at again a second before. By then the outgoing fall is planned in the file's
    // own time, so that it ends with the file however late the moment itself is seen.
    constexpr double lookAgain = 1.0;
    plannedFall_ = due > 2 * lookAgain ? 0.0 : fade;
    player_->setEndFade(plannedFall_); // (the same again changes nothing)
    if (!(known > 0))
        return; // aimed at when the player learns its length
    const double delay = due > 2 * lookAgain ? due - lookAgain : std::max(due, atLeast);
    advanceTimer_ = services_.clock->after(delay, [this] { onAdvanceDue(); });
}

void AudioEngine::onAdvanceDue() {
    const std::shared_ptr<AudioFilePlayer> p = player_;
    if (isRadioActive() || !p || !isPlaying_)
        return;
    if (queuedNext_) {
        if (p->followedFiles() != followedSeen_)
            adoptFollowed();
        else if (p->isPlaying())
            aimAdvance(0.05); // the last of the file before is still on its way to the speaker
        else
            advance(); // ended without going on (the next file failed)
        return;
    }
    const double duration = p->duration();
    const double remaining = duration - p->heardTime();
    // A microsecond's slack: the position is a difference of times that need not round alike.
    if ((duration > 0 && remaining <= upcomingFade() + 1e-6) || !p->isPlaying()) {
        advance();
        return;
    }
    // Not yet (a look ahead, or a position that lags the clock by a buffer): what is left is
    // aimed at again, never in a spin.
    aimAdvance(0.005);
}

void AudioEngine::watchPlayer(const std::shared_ptr<AudioFilePlayer>& p) {
    // Delivered through the event loop: what the engine does next may release the player.
    p->setChangeHandler([this, weak = std::weak_ptr<AudioFilePlayer>(p)] {
        QMetaObject::invokeMethod(
            this,
            [this, weak] {
                const std::shared_ptr<AudioFilePlayer> changed = weak.lock();
                if (!changed || changed != player_ || isRadioActive())
                    return;
                if (queuedNext_ && changed->followedFiles() != followedSeen_) {
                    adoptFollowed(); // also during a pause fade
                    return;
                }
                if (!isPlaying_)
                    return;
                if (!changed->isPlaying())
                    advance(); // ended by itself or stopped on an error
                else
                    aimAdvance();
            },
            Qt::QueuedConnection);
    });
}

void AudioEngine::advance() {
    const std::shared_ptr<AudioFilePlayer> before = player_;
    lastFailedTrack_ = QUuid();
    handoverFadeNow_ = upcomingFade();
    if (const auto following = successor()) // the current one again with repeat on
        play(*following);
    else
        next();
    handoverFadeNow_.reset();
    if (player_ != before || lastFailedTrack_.isNull())
        return;
    // The chosen file would not open. Rather than retrying it at every tick, move on through the
    // tracks after it; when none opens, playback ends.
    if (startAfter(lastFailedTrack_))
        return;
    setIsPlaying(false);
    updateNowPlaying();
}

bool AudioEngine::startAfter(const QUuid& failedId) {
    const qsizetype n = playlist_.size();
    qsizetype failed = -1;
    for (qsizetype i = 0; i < n && failed < 0; ++i) {
        if (playlist_.at(i).id == failedId)
            failed = i;
    }
    for (qsizetype step = 1; failed >= 0 && step < n; ++step) {
        const Track candidate = playlist_.at((failed + step) % n);
        if (candidate.id != currentID_ && startTrack(candidate))
            return true;
    }
    return false;
}

} // namespace orvane
