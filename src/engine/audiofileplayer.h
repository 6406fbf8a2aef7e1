#pragma once

#include <QString>
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
    // Loudness levelling: a fixed linear factor applied beside the volume stage (the product
    // with the fades' curve is the same), so that fades and volume() stay exactly as they are;
    // 1 (the default) plays the file as it is. Set right after
    // the player is made, before it plays: a change while playing would be heard as a step.
    virtual void setGain(float factor) { (void)factor; }
    // Seconds of audio past the volume stage but not yet heard (the output's buffer); a ramp
    // begun now is heard this much later.
    virtual double outputLatency() const { return 0; }
    // The last `seconds` of the file fall linearly to silence, counted in the file's own time,
    // on top of the volume and whatever ramp runs: a handover planned ahead so that the fall
    // ends with the file's last sample however late the moment is seen. Set before the fall is
    // due; set later, the fall starts where the volume stage is and ends at the file's end all
    // the same. 0 withdraws it (it is heard at once).
    virtual void setEndFade(double seconds) { (void)seconds; }

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
    // The position at the speaker: currentTime() less what is still on its way there.
    virtual double heardTime() const { return currentTime(); }
    virtual void setCurrentTime(double seconds) = 0;
    // Length in seconds; 0 while unknown.
    virtual double duration() const = 0;

    // Called on the main thread, from the player's own event handling, when it learns its
    // length, reaches the end of the file or fails: the moments aimed at from its position and
    // length have moved. The handler must not destroy the player within the call. A player
    // that never calls it is watched by the engine's clock only.
    virtual void setChangeHandler(std::function<void()> handler) { (void)handler; }

    // Gapless: the file at `path` follows the present one in this player, its first sample
    // right after the last one. False (with *error set when the file cannot be opened) when the
    // player does not take it; the engine then hands over with a player of its own. A later
    // call replaces the file and an empty path withdraws it, until the player has begun to read
    // it (nextFileTaken). When the file begins to be heard, followedFiles() grows by one,
    // position, length and end are the new file's from then on, and the change handler is
    // called. `gain` (as setGain) applies from the new file's first sample on.
    virtual bool setNextFile(const QString& path, float gain, QString* error) {
        (void)path;
        (void)gain;
        (void)error;
        return false;
    }
    virtual bool nextFileTaken() const { return false; }
    virtual int followedFiles() const { return 0; }

    virtual void updateMeters() = 0;
    // RMS of the last metering window in dBFS (0 at full scale, very negative in silence).
    virtual float averagePower(int channel) const = 0;
};

} // namespace orvane
