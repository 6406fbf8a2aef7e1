// The engine's use of the metadata cache: rows shown from it at start and read again in the
// background are updated in place, and the cache follows the playlist, written in bursts.
#include "engine/audioengine.h"
#include "engine/bookmark.h"
#include "engine/clock.h"
#include "engine/metadatacache.h"
#include "engine/playlistrestore.h"
#include "engine/playliststore.h"

#include <algorithm>
#include <utility>

namespace orvane {

namespace {

// Rows read again at start are published together at most this often.
constexpr double kRefreshDelay = 0.25;

} // namespace

// The stored list shown at once, in one assignment: entries whose files are unchanged as they
// were last read, the others by their file names until they have been read again in the
// background (`restoredReads_`, `restoredChecks_`, then updated in place).
void AudioEngine::restoreFromCache(PlaylistRestore::Result restored) {
    restoredReads_ = std::move(restored.reread);
    restoredChecks_ = std::move(restored.check);
    uncheckedLeft_ = !restoredChecks_.isEmpty();
    store_->keepAll(std::move(restored.kept)); // not shown: their volume is not mounted
    Q_EMIT objectWillChange();
    playlist_ = std::move(restored.tracks);
    totalDuration_ = restored.totalDuration; // summed as the rows were made
    Q_EMIT playlistChanged();
    if (restored.dropped)
        savePlaylist(); // the stored list loses what no longer resolves
}

void AudioEngine::refreshLoaded(const QUuid& id, qsizetype row, std::optional<Track> track) {
    row = rowNear(id, row);
    if (row < 0)
        return; // removed meanwhile
    if (!refreshTimer_) {
        Q_EMIT objectWillChange();
        refreshTimer_ = services_.clock->after(kRefreshDelay, [this] { publishRefreshed(); });
    }
    if (!track) {
        // Gone since the start (as if it had not resolved then), or it does not open: removed
        // with the next publication, all such rows at once.
        refreshRemovals_.insert(id);
        return;
    }
    Track& shown = playlist_[row];
    track->id = shown.id; // the same row: selection and playback follow it
    track->bookmark = shown.bookmark;
    shown = std::move(*track);
    refreshedCurrent_ = refreshedCurrent_ || id == currentID_;
    store_->cacheChanged();
}

// Where the track is now: the row it was last seen at or, when the list has changed since,
// the closest row holding it (removals shift the rows after them up by a few); -1 when gone.
qsizetype AudioEngine::rowNear(const QUuid& id, qsizetype hint) const {
    const qsizetype n = playlist_.size();
    hint = std::clamp<qsizetype>(hint, 0, std::max<qsizetype>(n - 1, 0));
    for (qsizetype d = 0; d < n; ++d) {
        if (hint - d < 0 && hint + d >= n)
            break;
        if (hint - d >= 0 && playlist_.at(hint - d).id == id)
            return hint - d;
        if (d > 0 && hint + d < n && playlist_.at(hint + d).id == id)
            return hint + d;
    }
    return -1;
}

void AudioEngine::publishRefreshed() {
    if (!refreshTimer_)
        return;
    refreshTimer_.reset();
    if (!refreshRemovals_.isEmpty())
        removeTracks(std::exchange(refreshRemovals_, {}), true);
    recountTotalDuration(); // lengths read again
    Q_EMIT playlistChanged();
    if (std::exchange(refreshedCurrent_, false))
        updateNowPlaying();
}

} // namespace orvane
