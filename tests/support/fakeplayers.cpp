#include "support/fakeplayers.h"
#include "engine/filename.h"

#include <sys/stat.h>

#include <QFileInfo>
#include <algorithm>
#include <cmath>

namespace orvane::test {

float FakeFilePlayer::volume() const {
    if (!ramp)
        return staticVolume;
    const double f =
        ramp->length <= 0 ? 1.0 : std::clamp((clock_.now() - ramp->start) / ramp->length, 0.0, 1.0);
    return float(ramp->from + (ramp->to - ramp->from) * f);
}

void FakeFilePlayer::setVolume(float volume) {
    ramp.reset();
    staticVolume = volume;
}

void FakeFilePlayer::setVolume(float target, double fadeDuration, double startDelay) {
    const float from = volume();
    ramp = Ramp{clock_.now() + startDelay, fadeDuration, from, target, startDelay};
    staticVolume = target;
}

void FakeFilePlayer::play() {
    ++playCalls;
    if (failed || stopped)
        return;
    if (!playing_) {
        position_ = currentTime();
        if (duration_ > 0 && position_ >= duration_)
            position_ = 0;
        startedAt_ = clock_.now();
        playing_ = true;
    }
}

void FakeFilePlayer::pause() {
    ++pauseCalls;
    position_ = currentTime();
    playing_ = false;
}

void FakeFilePlayer::stop() {
    position_ = currentTime();
    playing_ = false;
    stopped = true;
}

bool FakeFilePlayer::setNextFile(const QString& next, float gain, QString* error) {
    if (!takesNextFiles || failed || stopped || nextFileTaken())
        return false;
    Q_UNUSED(gain);
    Q_UNUSED(error);
    nextFile = next;
    return !next.isEmpty();
}

bool FakeFilePlayer::nextFileTaken() const {
    return !nextFile.isEmpty() && duration_ - currentTime() < 1.0;
}

int FakeFilePlayer::followedFiles() const {
    followNext();
    return int(followed.size());
}

void FakeFilePlayer::followNext() const {
    if (!playing_ || failed || nextFile.isEmpty() || !(duration_ > 0))
        return;
    const double end = startedAt_ + (duration_ - position_); // clock time of the end
    if (clock_.now() < end)
        return;
    followed.append(std::exchange(nextFile, QString()));
    startedAt_ = end;
    position_ = 0;
    duration_ = lengthOf ? lengthOf(followed.back()) : duration_;
}

bool FakeFilePlayer::isPlaying() const {
    followNext();
    return playing_ && !failed && (duration_ <= 0 || currentTime() < duration_);
}

double FakeFilePlayer::currentTime() const {
    followNext();
    double t = position_;
    if (playing_ && !failed)
        t += clock_.now() - startedAt_;
    return duration_ > 0 ? std::min(t, duration_) : t;
}

void FakeFilePlayer::setCurrentTime(double seconds) {
    seeks.push_back(seconds);
    position_ = seconds;
    startedAt_ = clock_.now();
}

std::shared_ptr<AudioFilePlayer> FakePlayerFactory::openFile(const QString& path, QString* error) {
    if (unopenable.contains(path)) {
        *error = QStringLiteral("cannot open");
        return nullptr;
    }
    auto p = std::make_shared<FakeFilePlayer>(clock_, path, durations.value(path, defaultDuration));
    p->lengthOf = [this](const QString& next) { return durations.value(next, defaultDuration); };
    files.push_back(p);
    return p;
}

PlayerFactory::FileCheck FakePlayerFactory::fileCheck() const {
    return [unopenable = unopenable](const QString& path) {
        struct stat st {};
        if (::stat(encodeFileName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
            return QStringLiteral("not a regular file");
        return unopenable.contains(path) ? QStringLiteral("cannot open") : QString();
    };
}

std::shared_ptr<StreamPlayer> FakePlayerFactory::openStream(const QUrl& url) {
    auto p = std::make_shared<FakeStreamPlayer>(url);
    streams.push_back(p);
    return p;
}

} // namespace orvane::test
