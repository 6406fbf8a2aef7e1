#pragma once

#include "engine/track.h"

#include <QString>
#include <atomic>
#include <optional>

namespace orvane {

// Measures a file's loudness for levelling: the file decoded as fast as the machine allows
// ("filesrc ! decodebin ! audioconvert ! fakesink") into a LoudnessMeter. Every streaming
// thread of that pipeline is a thread of its own at the lowest priority (nice 19), never one
// of GStreamer's shared pool that a player could be given afterwards.
class LoudnessScanner {
public:
    // The track gain (dB to ReplayGain's -18 LUFS) and sample peak of the file at `path`; none
    // when it does not decode, holds no audio above the gates, or `cancel` turns true (looked
    // at every 100 ms). Blocks: a worker thread's call, never the main thread's.
    static std::optional<Track::Gain> measure(const QString& path,
                                              const std::atomic<bool>& cancel);
};

} // namespace orvane
