#pragma once

#include <functional>

namespace orvane {

// One local audio file being played; one instance per started track. Used from the main
// thread only. Volumes are linear gains 0..1; times are seconds.
class AudioFilePlayer {
public:
    virtual ~AudioFilePlayer() = default;

    virtual void setMeteringEnabled(bool enabled) = 0;

    virtual float volume() const = 0;
    // Immediate change; cuts short a running ramp.
    virtual void setVolume(float volume) = 0;
    // Linear ramp from the present volume to `target` over `fadeDuration` seconds of playback,
    // begun `startDelay` seconds of playback from now (the volume holds until then); returns at
    // once. A later ramp or assignment replaces it; at its end the volume stays at the target.
    virtual void setVolume(float target, double fadeDuration, double startDelay) = 0;
    void setVolume(float target, double fadeDuration) { setVolume(target, fadeDuration, 0.0); }
    // Seconds of audio past the volume stage but not yet heard (the output's buffer); a ramp
    // begun now is heard this much later.
    virtual double outputLatency() const { return 0; }

    virtual void play() = 0;
    virtual void pause() = 0;
    // Ends playback. What is already on its way to the speaker is still heard, the sound falling
    // to silence over `stopRamp` from there, so that no stop clicks.
    virtual void stop() = 0;
    // Seconds over which a sound that is cut short falls to silence: the steepest fade there is.
    static constexpr double stopRamp = 0.03;
    // True while sound is produced (also during a ramp to 0); false after pause(), stop(), at
    // the end of the file and after a decoding error.
    virtual bool isPlaying() const = 0;

    virtual double currentTime() const = 0;
    virtual void setCurrentTime(double seconds) = 0;
    // Length in seconds; 0 while unknown.
    virtual double duration() const = 0;

    // Called on the main thread, from the player's own event handling, when it learns its
    // length, reaches the end of the file or fails: the moments aimed at from its position and
    // length have moved. The handler must not destroy the player within the call. A player
    // that never calls it is watched by the engine's clock only.
    virtual void setChangeHandler(std::function<void()> handler) { (void)handler; }

    virtual void updateMeters() = 0;
    // RMS of the last metering window in dBFS (0 at full scale, very negative in silence).
    virtual float averagePower(int channel) const = 0;
};

} // namespace orvane
