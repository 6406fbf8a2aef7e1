// Loudness levelling: each track plays at its gain (from its tags, or measured here in the
// background, one file at a time, the tracks after the current one first) in the players'
// gain stage ahead of the fades.
#include "engine/audioengine.h"
#include "engine/clock.h"
#include "engine/loudnessscanner.h"
#include "engine/metadatacache.h"
#include "engine/playliststore.h"

#include <QThread>

namespace orvane {

namespace {

// A burst of playlist changes (files coming in) looks for a track to measure once.
constexpr double kMeasureDelay = 1.0;

} // namespace

void AudioEngine::setVolumeLevelling(const QString& mode) {
    levelling_ = mode == QLatin1String("track")   ? Levelling::Track
                 : mode == QLatin1String("album") ? Levelling::Album
                                                  : Levelling::Off;
    if (levelling_ != Levelling::Off)
        measureSoon();
}

QString AudioEngine::volumeLevelling() const {
    switch (levelling_) {
    case Levelling::Track:
        return QStringLiteral("track");
    case Levelling::Album:
        return QStringLiteral("album");
    case Levelling::Off:
        break;
    }
    return QStringLiteral("off");
}

float AudioEngine::levellingFactor(const Track& track) const {
    if (levelling_ == Levelling::Off)
        return 1.0f;
    // The list's copy: a gain measured since the caller copied the track is there.
    const qsizetype row = rowNear(track.id, currentHint_);
    const Track& listed = row >= 0 ? playlist_.at(row) : track;
    return listed.gain.factor(levelling_ == Levelling::Album);
}

void AudioEngine::measureSoon() {
    if (levelling_ == Levelling::Off || measuring_ || measureTimer_)
        return;
    measureTimer_ = services_.clock->after(kMeasureDelay, [this] {
        measureTimer_.reset();
        measureNext();
    });
}

void AudioEngine::measureNext() {
    if (levelling_ == Levelling::Off || measuring_ || playlist_.isEmpty())
        return;
    // The tracks after the current one first (those heard next), the current one last.
    const qsizetype n = playlist_.size();
    const qsizetype first = currentIndex() ? *currentIndex() + 1 : 0;
    for (qsizetype k = 0; k < n; ++k) {
        const qsizetype row = (first + k) % n;
        const Track& track = playlist_.at(row);
        if (track.gain.hasTrack() || unmeasurable_.contains(track.id))
            continue;
        const QString path = track.path();
        if (!path.startsWith(QLatin1Char('/'))) {
            unmeasurable_.insert(track.id);
            continue;
        }
        if (!measurePool_) {
            measurePool_ = std::make_unique<QThreadPool>();
            measurePool_->setMaxThreadCount(1);
            measurePool_->setThreadPriority(QThread::LowestPriority);
            measureCancel_ = std::make_shared<std::atomic<bool>>(false);
        }
        measuring_ = track.id;
        measurePool_->start([this, id = track.id, row, path, cancel = measureCancel_] {
            // The file's stamp before and after: a file changed meanwhile is not taken. Only a
            // regular file is opened (a FIFO put in its place would block the open).
            const std::optional<FileStamp> before = stampOf(path);
            std::optional<Track::Gain> gain =
                before ? LoudnessScanner::measure(path, *cancel) : std::nullopt;
            if (cancel->load())
                return; // the engine is going and waits for this thread
            if (!before || stampOf(path) != before)
                gain.reset();
            // The engine outlives this thread (it waits for it), and a call queued to it is
            // dropped if it goes before the call is delivered.
            QMetaObject::invokeMethod(
                this, [this, id, row, gain, before] { measured(id, row, gain, before); },
                Qt::QueuedConnection);
        });
        return;
    }
}

void AudioEngine::measured(const QUuid& id, qsizetype row, std::optional<Track::Gain> gain,
                           std::optional<FileStamp> stamp) {
    measuring_.reset();
    row = rowNear(id, row);
    if (!gain) {
        unmeasurable_.insert(id);
    } else if (row >= 0) {
        // Not shown anywhere, so no publication: the list's copy is what a start of the track
        // reads (levellingFactor), and the cache keeps it for the next run.
        Track& track = playlist_[row];
        track.gain.track = gain->track;
        track.gain.trackPeak = gain->trackPeak;
        if (MetadataCache* cache = store_->cache(); cache && track.bookmark && stamp) {
            cache->setGain(*track.bookmark, *stamp, track.gain);
            store_->cacheChanged();
        }
    }
    measureNext();
}

void AudioEngine::stopMeasuring() {
    measureTimer_.reset();
    if (measureCancel_)
        measureCancel_->store(true);
    measurePool_.reset(); // waits for the measurement, cancelled within 100 ms
}

} // namespace orvane
