#pragma once

#include "engine/audiofileplayer.h"
#include "engine/playerfactory.h"
#include "engine/streamplayer.h"
#include "support/virtualclock.h"

#include <QHash>
#include <QSet>
#include <QStringList>
#include <optional>
#include <vector>

namespace orvane::test {

// A file player that plays in virtual time: its position moves with the clock while it plays,
// it stops by itself at its duration, and its volume ramps are linear in clock time.
class FakeFilePlayer final : public AudioFilePlayer {
public:
    FakeFilePlayer(const VirtualClock& clock, QString path, double duration)
        : path(std::move(path))
        , clock_(clock)
        , duration_(duration) {}

    void setMeteringEnabled(bool enabled) override { metering = enabled; }
    float volume() const override;
    using AudioFilePlayer::setVolume;
    void setVolume(float volume) override;
    void setVolume(float target, double fadeDuration, double startDelay) override;
    double outputLatency() const override { return latency; }
    void setEndFade(double seconds) override { endFade = seconds; }
    void play() override;
    void pause() override;
    void stop() override;
    bool isPlaying() const override;
    double currentTime() const override;
    void setCurrentTime(double seconds) override;
    double duration() const override {
        followNext();
        return duration_;
    }
    void setChangeHandler(std::function<void()> handler) override {
        changeHandler = std::move(handler);
    }
    // Gapless: a file set goes on from the end of this one (its length from `lengthOf`), taken
    // (no longer withdrawn) in the last second, as playbin's about-to-finish would.
    bool setNextFile(const QString& path, float gain, QString* error) override;
    bool nextFileTaken() const override;
    int followedFiles() const override;
    void updateMeters() override { ++meterUpdates; }
    float averagePower(int) const override { return power; }

    // Test controls and observations.
    // Fails as a decoding error would, and tells its handler as the real player does.
    void failNow() {
        failed = true;
        if (changeHandler)
            changeHandler();
    }
    const QString path;
    float power = -160.0f;
    bool metering = false;
    bool stopped = false;
    bool failed = false;
    int playCalls = 0, pauseCalls = 0, meterUpdates = 0;
    std::vector<double> seeks;
    double latency = 0; // reported as the output's latency
    struct Ramp {
        double start, length;
        float from, to;
        double delay = 0;
    };
    std::optional<Ramp> ramp; // the running or last ramp
    double endFade = 0;       // as last set
    float staticVolume = 1.0f;
    std::function<void()> changeHandler;
    bool takesNextFiles = true;                   // false: plays files one by one
    std::function<double(const QString&)> lengthOf; // of a next file; the factory sets it
    mutable QString nextFile;                     // set and not yet gone on into
    mutable QStringList followed;                 // the files gone on into, in order

private:
    // Goes on into the next file once the end of this one has passed.
    void followNext() const;
    const VirtualClock& clock_;
    mutable double duration_;
    bool playing_ = false;
    mutable double position_ = 0;  // position when last started or sought
    mutable double startedAt_ = 0; // clock time of that moment
};

class FakeStreamPlayer final : public StreamPlayer {
    Q_OBJECT
public:
    explicit FakeStreamPlayer(QUrl url)
        : url(std::move(url)) {}
    void setVolume(float v) override { volume = v; }
    void play() override { ++playCalls; }
    void pause() override { ++pauseCalls; }
    TimeControlStatus timeControlStatus() const override { return status_; }
    ItemStatus itemStatus() const override { return item_; }
    QString lastError() const override { return error; }

    void report(TimeControlStatus status) {
        status_ = status;
        Q_EMIT timeControlStatusChanged(status);
    }
    void report(ItemStatus status) {
        item_ = status;
        Q_EMIT itemStatusChanged(status);
    }
    void reportTitle(const QString& title) { Q_EMIT streamTitleChanged(title); }
    // Fails the item for this reason.
    void fail(FailureReason why) {
        failure = why;
        report(ItemStatus::Failed);
    }
    FailureReason failureReason() const override { return failure; }

    const QUrl url;
    FailureReason failure;
    float volume = -1;
    int playCalls = 0, pauseCalls = 0;
    QString error; // what lastError() says

private:
    TimeControlStatus status_ = TimeControlStatus::Paused;
    ItemStatus item_ = ItemStatus::Unknown;
};

// Hands out fakes and remembers each one it made, in order.
class FakePlayerFactory final : public PlayerFactory {
public:
    explicit FakePlayerFactory(const VirtualClock& clock)
        : clock_(clock) {}
    std::shared_ptr<AudioFilePlayer> openFile(const QString& path, QString* error) override;
    std::shared_ptr<StreamPlayer> openStream(const QUrl& url) override;
    // What is not a regular file and the paths in `unopenable` (as they are when asked) fail
    // the check.
    FileCheck fileCheck() const override;

    double defaultDuration = 180;
    QHash<QString, double> durations; // by path
    QSet<QString> unopenable;         // paths that fail to open
    std::vector<std::shared_ptr<FakeFilePlayer>> files;
    std::vector<std::shared_ptr<FakeStreamPlayer>> streams;

private:
    const VirtualClock& clock_;
};

} // namespace orvane::test
