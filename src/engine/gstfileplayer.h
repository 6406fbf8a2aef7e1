#pragma once

#include "engine/audiofileplayer.h"
#include "engine/gstsupport.h"
#include "engine/playerworker.h"

#include <QString>
#include <QTimer>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace orvane {

// The audio-file player on GStreamer: one playbin (audio only) whose audio sink is
// "audioconvert ! level ! volume ! gain ! output" (gain: the levelling's constant factor). Main thread only, except the pad probe, which runs
// on the streaming thread and touches only the atomic `front_`, and the calls that may wait on
// the sound server (state changes, seeks, the teardown), which run on the player's worker.
class GstFilePlayer final : public AudioFilePlayer {
public:
    // The volume stage's control curve. The main thread only states what it wants; the
    // streaming thread attaches, fills and detaches the curve. Internal to the player.
    struct RampControl;

    // Opens the file once without blocking and checks synchronously what is cheap (a regular
    // file, readable, looks like audio); the pipeline reads that descriptor, never the path
    // again. Starts prerolling asynchronously. Returns null with *error set on failure.
    static std::unique_ptr<GstFilePlayer> open(const QString& path, QString* error);
    // The synchronous checks of open alone, from any thread: a description of the problem, or
    // empty when the file looks playable.
    static QString check(const QString& path);
    ~GstFilePlayer() override;

    void setMeteringEnabled(bool enabled) override;
    float volume() const override;
    using AudioFilePlayer::setVolume;
    void setVolume(float volume) override;
    void setVolume(float target, double fadeDuration, double startDelay) override;
    double outputLatency() const override;
    void setEndFade(double seconds) override;
    void setGain(float factor) override;
    void play() override;
    void pause() override;
    void stop() override;
    bool isPlaying() const override { return playing_; }
    double currentTime() const override;
    double heardTime() const override { return heardPosition(); }
    void setCurrentTime(double seconds) override;
    double duration() const override;
    void setChangeHandler(std::function<void()> handler) override {
        changeHandler_ = std::move(handler);
    }
    bool setNextFile(const QString& path, float gain, QString* error) override;
    bool nextFileTaken() const override;
    int followedFiles() const override { return followed_; }
    void updateMeters() override;
    float averagePower(int channel) const override;

    // The file that follows the present one (gapless), shared with playbin's about-to-finish
    // handler and the pad probe on the streaming thread. Internal to the player.
    struct NextFile;

    // True once the file failed to decode (the player then reports not playing).
    bool hasFailed() const { return failed_; }
    // Level messages from level elements other than the player's own meter (for instance one
    // placed in ORVANE_AUDIO_SINK by a test, after the volume stage): element name, stream time
    // of the window's end in seconds, RMS of channel 0 in dBFS.
    using LevelTap = std::function<void(const QString& element, double streamTime, double rmsDb)>;
    void setLevelTap(LevelTap tap) { levelTap_ = std::move(tap); }

private:
    GstFilePlayer() = default;
    static void onBusMessage(GstMessage* message, void* self);
    void handle(GstMessage* message);
    void onLevel(GstMessage* message);
    void applyPendingSeek();
    // Stream time (seconds) of the first sample the volume stage has not processed yet.
    double processingFront() const;
    // Stream time (seconds) of the sample at the speaker, as the sink reports it.
    double heardPosition() const;
    // The volume asked for (ramp or plain) at a stream time, without the end fade.
    float volumeAt(double streamTime) const;
    // The end fade's factor at a stream time: 1 before it, 0 after the file's end.
    float endFactor(double streamTime) const;
    // States the volume stage's value or curve from ramp_, staticVolume_ and endFade_.
    void applyCurve();
    void retireFinishedRamp();
    // Ends a pause that waits for its fade to be heard: pauses now (holding the volume) or, on
    // play, not at all, applying a volume assigned meanwhile.
    void finishDeferredPause(bool pauseNow, bool fromTimer = false);
    // At a pause: the volume stage keeps the level the last fade ended at until the next play.
    void holdVolume();
    void startRamp(double from, float fromVolume, double to, float target);
    // On the worker: a state change, whose failure comes back as a decoding error would.
    void requestState(GstState state);
    // The pipeline (and then the file) goes down on the worker; nothing of it is used after. With
    // `playOutUntil` (stream time, seconds) the worker first lets the output play up to there.
    void releasePipeline(double playOutUntil = -1);
    // Before the pipeline goes while it sounds: ramps what is not yet processed to silence over
    // stopRamp and returns the stream time up to which the output is still to be heard, or -1
    // when nothing audible is left there.
    double fadeForRelease();

    struct Ramp {
        double start = 0, end = 0; // stream time, seconds
        float from = 0, to = 0;
    };
    struct LevelSample {
        double end;  // stream time of the window's end, seconds
        float rmsDb; // channel 0
    };
    // The meter's windows, filled on the streaming thread by the bus's sync handler (so that
    // twenty messages a second do not each wake the main loop) and read by updateMeters.
    struct Meter {
        GstElement* level = nullptr;
        std::mutex mutex;
        std::deque<LevelSample> windows;
    };
    static GstBusSyncReply onSyncMessage(GstBus* bus, GstMessage* message, gpointer meter);

    int fd_ = -1; // the file, opened once; the pipeline reads it through its /proc link
    // Where the calls that may wait on the sound server go; before the pipeline, which it
    // outlives. `generation_` is bumped when the pipeline goes: reports of an older one drop.
    std::unique_ptr<PlayerWorker> worker_ = std::make_unique<PlayerWorker>();
    quint64 generation_ = 0;
    gst::PipelinePtr pipeline_;
    std::unique_ptr<gst::BusWatch> watch_;
    // Owned by the pipeline. Position and length are asked of the output bin, not of playbin,
    // whose queries wait for its lock, held by a state change waiting on the sound server.
    GstElement* output_ = nullptr;
    GstElement* level_ = nullptr; // owned by the pipeline
    GstElement* volumeElement_ = nullptr;
    GstElement* gainElement_ = nullptr; // owned by the pipeline
    float gain_ = 1.0f;                 // what gainElement_ applies
    std::shared_ptr<RampControl> rampControl_;
    void requestRamp(bool attach, std::vector<std::pair<double, float>> points = {});
    std::optional<Ramp> ramp_;
    float staticVolume_ = 1.0f;
    struct EndFade {
        double start = 0, end = 0; // stream time, seconds; `end` is the file's length
        float from = 1;            // the factor at `start`, falling to 0 at `end`
        double seconds = 0;        // as asked for
    };
    std::optional<EndFade> endFade_;
    std::optional<double> endFadeWanted_; // seconds, asked for before the length was known
    bool playOnPreroll_ = false;          // play() waits for the length (see play)
    double rampHeardUntil_ = 0;             // stream time where the latest ramp ends
    std::unique_ptr<QTimer> deferredPause_; // runs while a fade is still to be heard
    std::unique_ptr<QTimer> retireTimer_;   // aimed at the end of the ramp that runs
    std::optional<double> seekAfterPause_;  // a seek asked for while a fade is still heard
    std::optional<float> volumeAfterPause_; // an assignment made meanwhile, or while paused
    // Paused: the volume stage holds the level the last fade ended at until the next play.
    bool volumeHeld_ = false;

    bool playing_ = false;
    bool prerolled_ = false;
    bool ended_ = false;
    bool failed_ = false;
    bool metering_ = false;
    std::optional<double> pendingSeek_; // seconds; applied once prerolled
    mutable double lastPosition_ = 0;
    mutable gint64 positionQueriedAt_ = 0; // g_get_monotonic_time of the last position query
    mutable double duration_ = 0;

    std::shared_ptr<Meter> meter_ = std::make_shared<Meter>();
    float power_ = -160.0f;
    LevelTap levelTap_;
    std::function<void()> changeHandler_;
    void notifyChange();

    // Gapless: the next file is taken on the streaming thread; the switch is heard when the
    // sound at the speaker reaches the running time where the new file's segment begins
    // (watched by `switchTimer_` from the STREAM_START message on).
    std::shared_ptr<NextFile> next_;
    int followed_ = 0;
    bool switchPending_ = false;
    gint64 switchLatency_ = 0; // the output's latency, ns, read when the switch is announced
    std::unique_ptr<QTimer> switchTimer_;
    void onStreamStart();
    // `now`: without waiting for it to be heard (a seek goes into the new file).
    void checkSwitch(bool now = false);
    // Running time (ns) of the sample at the speaker, from the pipeline's clock; -1 unknown.
    gint64 heardRunningTime() const;

    // Written by the pad probe on the streaming thread.
    std::shared_ptr<std::atomic<gint64>> front_ = std::make_shared<std::atomic<gint64>>(-1);
};

} // namespace orvane
