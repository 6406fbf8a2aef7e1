// What actually leaves the player: the engine on the real GStreamer players plays into a private
// PulseAudio server's null sink, whose monitor is recorded and measured tone by tone.
#include "engine/loudnessmeter.h"
#include "engine/loudnessscanner.h"
#include "engine/playerworker.h"
#include "support/realengine.h"
#include "support/soundserver.h"
#include "support/testaudio.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

using namespace orvane;
using namespace orvane::test;

namespace {

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// A line through the windows whose level lies between 15 % and 85 % of `steady`, from `from` on:
// the times (seconds) where it crosses the steady level and zero.
std::optional<std::pair<double, double>> fitRamp(const std::vector<double>& a, double steady,
                                                 size_t from, bool falling) {
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int n = 0;
    for (size_t i = from; i < a.size(); ++i) {
        const double y = a[i] / steady;
        if (y > 0.15 && y < 0.85) {
            const double x = (i + 0.5) * 0.05;
            sx += x, sy += y, sxx += x * x, sxy += x * y, ++n;
        } else if (n > 0 && (falling ? y < 0.15 : y > 0.85)) {
            break; // past the ramp
        }
    }
    if (n < 10)
        return std::nullopt;
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double intercept = (sy - slope * sx) / n;
    const double atFull = (1 - intercept) / slope, atZero = -intercept / slope;
    return falling ? std::pair{atFull, atZero} : std::pair{atZero, atFull};
}

// ORVANE_SOUND_DUMP=folder keeps the measured amplitudes for a look at a failure.
void dump(const char* name, const std::vector<double>& a, const std::vector<double>& b) {
    const QString folder = qEnvironmentVariable("ORVANE_SOUND_DUMP");
    if (folder.isEmpty())
        return;
    QFile file(folder + "/" + name + ".csv");
    if (!file.open(QIODevice::WriteOnly))
        return;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        file.write(QByteArray::number(i * 0.05, 'f', 2) + "," + QByteArray::number(a[i], 'f', 4) +
                   "," + QByteArray::number(b[i], 'f', 4) + "\n");
}

// For a failed ramp's message: the tone's level (of steady) every 50 ms from a second before
// the ramp to a second after it, so a log tells a break in the sound from a slow ramp.
QString around(const std::vector<double>& a, double steady, std::pair<double, double> ramp) {
    QString text =
        QStringLiteral("; heard from %1 s:").arg(std::max(0.0, ramp.first - 1), 0, 'f', 2);
    const auto first = size_t(std::max(0.0, ramp.first - 1) / 0.05);
    for (size_t i = first; i < a.size() && i * 0.05 < ramp.second + 1; ++i)
        text += QLatin1Char(' ') + QString::number(a[i] / steady, 'f', 2);
    return text;
}

size_t onset(const std::vector<double>& a, double threshold) {
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] > threshold)
            return i;
    return a.size();
}

// Whether the last `seconds` recorded in `path` hold `frequency` below `amplitude` throughout
// (`below`), or above it throughout.
bool lastSecondsAre(const QString& path, double frequency, double amplitude, bool below = true,
                    double seconds = 1.0) {
    QFile file(path);
    const qint64 bytes = 4 * qint64(SoundServer::kRate * seconds); // s16le stereo
    if (!file.open(QIODevice::ReadOnly) || file.size() < bytes ||
        !file.seek(file.size() / 4 * 4 - bytes))
        return false;
    const auto heard = toneAmplitudes(file.read(bytes), frequency, 441);
    return std::all_of(heard.begin(), heard.end(),
                       [&](double a) { return below ? a < amplitude : a > amplitude; });
}

// The EBU R128 meter over raw s16le stereo at 44.1 kHz, from `from` to `to` seconds.
LoudnessMeter meter(const QByteArray& raw, double from, double to) {
    LoudnessMeter m(SoundServer::kRate, 2);
    const qsizetype frames = raw.size() / 4;
    const qsizetype first = std::clamp<qsizetype>(qsizetype(from * SoundServer::kRate), 0, frames);
    const qsizetype last = std::clamp<qsizetype>(qsizetype(to * SoundServer::kRate), first, frames);
    std::vector<float> samples(size_t(last - first) * 2);
    const auto* s16 = reinterpret_cast<const qint16*>(raw.constData());
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(s16[size_t(first) * 2 + i]) / 32768.0f;
    m.add(samples.data(), size_t(last - first));
    return m;
}

// Samples `from`..`to` of one sine (`frequency` Hz, `amplitude`, 44.1 kHz, both channels alike)
// as a 16-bit WAV: two calls with adjoining ranges split the sine into two files.
bool writeSineSpan(const QString& path, double frequency, double amplitude, qint64 from,
                   qint64 to) {
    QByteArray pcm;
    pcm.reserve(int((to - from) * 4));
    for (qint64 i = from; i < to; ++i) {
        const auto v = qint16(std::lround(
            amplitude * 32767 * std::sin(2 * M_PI * frequency * double(i) / SoundServer::kRate)));
        for (int channel = 0; channel < 2; ++channel)
            pcm.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
    }
    QString error;
    return writeWav(path, pcm, &error);
}

// The left channel of raw s16le stereo, in -1..1.
std::vector<double> leftChannel(const QByteArray& raw) {
    const auto* samples = reinterpret_cast<const qint16*>(raw.constData());
    std::vector<double> out(size_t(raw.size() / 4));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = samples[2 * i] / 32768.0;
    return out;
}

// Slice-coded tracks: each sounds `slices` tones of 0.1 s, k-th at first + 100 × k Hz. In
// windows of 10 ms such tones are whole numbers of cycles, so each is measured apart from the
// others even while two tracks sound together.
constexpr double kSlice = 0.1;
constexpr int kSliceWindow = SoundServer::kRate / 100;

struct SliceTrack {
    double seconds;
    double first; // Hz
    int slices() const { return int(std::lround(seconds / kSlice)); }
};

// Where a tone was heard: runs of at least three 10 ms windows above `threshold`, as (start,
// length) in seconds of the recording.
std::vector<std::pair<double, double>> runsOf(const QByteArray& raw, double frequency,
                                              double threshold) {
    const auto a = toneAmplitudes(raw, frequency, kSliceWindow);
    std::vector<std::pair<double, double>> runs;
    size_t begin = 0;
    for (size_t i = 0; i <= a.size(); ++i) {
        if (i < a.size() && a[i] > threshold)
            continue;
        if (i >= begin + 3)
            runs.emplace_back(begin * 0.01, (i - begin) * 0.01);
        begin = i + 1;
    }
    return runs;
}

// Every pass of `track` that the recording holds whole (each run of its first slice begins
// one): every slice heard for most of its length, where it belongs after the pass's start, and
// each pass begun within the track's length after the one before (a track alone loops with no
// gap). The number of such passes, or -1 after a failure.
int checkPasses(const QByteArray& raw, const SliceTrack& track) {
    const double recorded = double(raw.size()) / 4 / SoundServer::kRate;
    std::vector<std::vector<std::pair<double, double>>> runs;
    for (int k = 0; k < track.slices(); ++k)
        runs.push_back(runsOf(raw, track.first + 100 * k, 0.005));
    const double lastFrequency = track.first + 100 * (track.slices() - 1);
    const auto last = toneAmplitudes(raw, lastFrequency, kSliceWindow);
    int whole = 0;
    double previous = -1;
    for (const auto& [start, length] : runs.front()) {
        // Anchored at the first slice's end: a fade-in's first buffer may be silent.
        const double pass = start + length - kSlice;
        if (length < 0.05 || pass + track.seconds + 0.3 > recorded)
            continue; // not a pass's start, or cut by the end of the recording
        if (previous >= 0 && pass > previous + track.seconds + 0.03) {
            qWarning("%.0f Hz: a gap before the pass begun at %.2f s", track.first, pass);
            return -1;
        }
        previous = pass;
        for (int k = 1; k < track.slices(); ++k) {
            const double due = pass + kSlice * k;
            const auto& heard = runs[size_t(k)];
            // Where passes overlap (a track crossfading with itself) the slices either side
            // may leak into a run's ends: a run that covers the slice counts. The last slice
            // falls to silence with the pass's last sample: its final hundredths are too faint
            // to be told apart from the other pass's spread in a 10 ms window (where one of its
            // slices begins; that window may also dip below the threshold), so it counts once
            // begun in its place and heard again past its middle.
            const bool isLast = k + 1 == track.slices();
            const double until = due + (isLast ? kSlice / 2 : kSlice - 0.03);
            bool heardAfterMiddle = false;
            for (auto i = size_t(std::ceil(until * 100));
                 isLast && i < last.size() && i * 0.01 < due + kSlice; ++i)
                heardAfterMiddle = heardAfterMiddle || last[i] > 0.005;
            const bool found = std::any_of(heard.begin(), heard.end(), [&](const auto& run) {
                return run.first < due + 0.02 &&
                       (run.first + run.second > until || heardAfterMiddle);
            });
            if (!found) {
                qWarning("%.0f Hz: the pass begun at %.2f s lacks its slice %d (%.0f Hz at %.2f s)",
                         track.first, pass, k, track.first + 100 * k, due);
                return -1;
            }
        }
        ++whole;
    }
    return whole;
}

// At full volume, the first of `paths` playing.
void playFirst(AudioEngine& engine, const QStringList& paths) {
    QList<Track> tracks;
    for (const QString& path : paths)
        tracks.append(Track::load(QUrl::fromLocalFile(path), "en"));
    engine.setVolume(1.0);
    engine.setPlaylist(tracks);
    engine.play(engine.playlist().at(0));
}

// Lets a stopped process go on (SIGCONT) unless done() comes within `ms`: a call that waits on
// it then returns instead of hanging the test, and fired() tells that one did.
class Watchdog {
public:
    Watchdog(qint64 pid, int ms)
        : thread_([this, pid, ms] {
            std::unique_lock lock(mutex_);
            if (!wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; })) {
                fired_ = true;
                ::kill(pid_t(pid), SIGCONT);
            }
        }) {}
    ~Watchdog() { done(); }
    void done() {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    bool fired() const { return fired_; }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_; // last: starts once the rest is set up
};

} // namespace

class TestSound : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    SoundServer server_;
    QString first_, second_;

    // A 0.5-peak tone of 44100 / 44 Hz: one whole cycle in each window of 44 samples (1 ms), so
    // the level of every millisecond is measured exactly, also of two copies in any phase.
    QString steadyTone(const QString& name) {
        const QString path = dir_.filePath(name);
        QString error;
        if (!QFile::exists(path) &&
            !writeSlices(path, 8, 8, double(SoundServer::kRate) / 44, 0, 0.5, &error))
            qFatal("%s", qPrintable(error));
        return path;
    }

    QString tone(const QString& name, double seconds, double frequency, double amplitude,
                 AudioFormat format = AudioFormat::Wav) {
        const QString path = dir_.filePath(name);
        QString error;
        if (!writeSine(path, format, seconds, frequency, amplitude, &error))
            qFatal("%s", qPrintable(error));
        return path;
    }

private Q_SLOTS:
    void initTestCase() {
        if (!SoundServer::available())
            QFAIL("pulseaudio and parec are needed (scripts/test installs them)");
        // The output the app has at home: autoaudiosink, which finds the test's server through
        // PULSE_SERVER, with whatever the app does to it.
        qunsetenv("ORVANE_AUDIO_SINK");
        // And warmed up as the app's is once its window shows: the warm-up finds the output
        // that the players then make directly.
        QVERIFY(server_.start());
        GstPlayerFactory warming;
        warming.warmUp();
        QVERIFY(QTest::qWaitFor([&] { return warming.isWarm(); }, 60000));
        first_ = tone("a440.wav", 8, 440, 0.5);
        second_ = tone("b1000.wav", 10, 1000, 0.5);
    }
    void cleanup() { server_.stop(); } // (also after a failure: the next test starts afresh)

    void crossfadeIsLinearAndGapless_data() {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<double>("tolerance"); // of the two tones' sum during the fade
        QTest::newRow("wav to wav") << first_ << second_ << 0.05;
        // Lossy, and decoded at 48 kHz and at 44.1 kHz: the same fades. The MP3 begins with
        // its encoder's priming silence (a few tens of milliseconds, played as it is), which
        // shows as a dip of a few per cent where the fade starts.
        QTest::newRow("opus to mp3") << tone("a440.opus", 8, 440, 0.5, AudioFormat::Opus)
                                     << tone("b1000.mp3", 10, 1000, 0.5, AudioFormat::Mp3) << 0.08;
    }
    void crossfadeIsLinearAndGapless() {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(double, tolerance);
        const QString rec = dir_.filePath("crossfade.raw");
        QVERIFY(server_.start()); // each recording on a fresh server
        QVERIFY(server_.record(rec));
        RealEngine real;
        AudioEngine& engine = *real.engine;
        playFirst(engine, {first, second});
        const bool done = QTest::qWaitFor(
            [&] {
                return engine.currentTrack() && engine.currentTrack()->title == "b1000" &&
                       engine.progress() > 6.0;
            },
            30000);
        QVERIFY(done);
        server_.stop();
        QFile file(rec);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray raw = file.readAll();
        const auto a = toneAmplitudes(raw, 440), b = toneAmplitudes(raw, 1000);
        dump("crossfade", a, b);

        const size_t start = onset(a, 0.1);
        QVERIFY(start + 100 < a.size());
        const double steadyA = median({a.begin() + start + 4, a.begin() + start + 60});
        QVERIFY2(std::abs(steadyA - 0.5) < 0.05, qPrintable(QString::number(steadyA)));
        // The first track starts at full volume at once.
        QVERIFY(a[start + 1] > 0.9 * steadyA);

        const double t0 = start * 0.05;
        const auto fall = fitRamp(a, steadyA, start + 60, true);
        QVERIFY2(fall,
                 qPrintable(QStringLiteral("no fall") + around(a, steadyA, {t0 + 5, t0 + 8})));
        const double fadeLength = fall->second - fall->first;
        QVERIFY2(std::abs(fadeLength - 3.0) < 0.1, qPrintable(QString::number(fadeLength)));
        const double handover = fall->first - t0;
        QVERIFY2(std::abs(handover - 5.0) < 0.15, qPrintable(QString::number(handover)));

        const size_t bStart = onset(b, 0.02);
        const size_t afterFade = size_t(fall->second / 0.05);
        QVERIFY(afterFade + 30 < b.size());
        const double steadyB = median({b.begin() + afterFade + 4, b.begin() + afterFade + 30});
        const auto rise = fitRamp(b, steadyB, bStart, false);
        QVERIFY2(rise,
                 qPrintable(QStringLiteral("no rise") + around(b, steadyB, {t0 + 5, t0 + 8})));
        QVERIFY2(std::abs(rise->second - rise->first - 3.0) < 0.1,
                 qPrintable(QString::number(rise->second - rise->first)));
        // No dip and no bump: the two tones add up to the steady level throughout.
        double worst = 0;
        for (size_t i = size_t(fall->first / 0.05) + 2; i + 2 < size_t(fall->second / 0.05); ++i) {
            const double sum = a[i] / steadyA + b[i] / steadyB;
            worst = std::max(worst, std::abs(sum - 1.0));
            QVERIFY2(std::abs(sum - 1.0) < tolerance,
                     qPrintable(QStringLiteral("sum %1 at %2 s").arg(sum).arg(i * 0.05)));
        }
        qInfo("crossfade: fall %.3f s, rise %.3f s, handover %.3f s before the end, sum within "
              "%.1f %%",
              fadeLength, rise->second - rise->first, 8.0 - handover, worst * 100);
    }

    void pauseFadesOutAndBackAndBarsReadTheLevel() {
        const QString quiet = tone("quiet.wav", 14, 440, 0.1414); // -20 dBFS RMS
        const QString hush = tone("silent.wav", 6, 440, 0);
        const QString rec = dir_.filePath("pause.raw");
        QVERIFY(server_.start());
        QVERIFY(server_.record(rec));
        RealEngine real;
        AudioEngine& engine = *real.engine;
        playFirst(engine, {quiet, hush});
        QVERIFY(QTest::qWaitFor([&] { return engine.progress() > 2.5; }, 20000));
        const double level = engine.levels().first();
        QVERIFY2(std::abs(level - 35.0 / 55.0) < 0.02, qPrintable(QString::number(level)));
        engine.togglePlay();
        const double pausedAt = engine.progress();
        // Paused through the 1.5 s fade and then a second of silence (below 2 % of the tone) as
        // the server hears it.
        QVERIFY(QTest::qWaitFor([&] { return lastSecondsAre(rec, 440, 0.003); }, 20000));
        engine.togglePlay();
        QVERIFY(QTest::qWaitFor([&] { return engine.progress() > pausedAt + 4.5; }, 20000));
        // Silence gives empty bars.
        engine.play(engine.playlist().at(1));
        QVERIFY(QTest::qWaitFor(
            [&] {
                const auto bars = engine.levels();
                return engine.currentID() == engine.playlist().at(1).id &&
                       std::all_of(bars.begin(), bars.end(), [](double v) { return v == 0; });
            },
            10000));
        server_.stop();

        QFile file(rec);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const auto a = toneAmplitudes(file.readAll(), 440);
        dump("pause", a, a);
        const size_t start = onset(a, 0.03);
        const double steady = median({a.begin() + start + 4, a.begin() + start + 40});
        const auto fall = fitRamp(a, steady, start + 40, true);
        QVERIFY2(fall,
                 qPrintable(QStringLiteral("no fall") +
                            around(a, steady, {(start + 40) * 0.05, (start + 40) * 0.05 + 3})));
        QVERIFY2(
            std::abs(fall->second - fall->first - 1.5) < 0.1,
            qPrintable(QString::number(fall->second - fall->first) + around(a, steady, *fall)));
        const size_t silent = size_t(fall->second / 0.05) + 2;
        QVERIFY(a[silent] < 0.02 * steady);
        const auto rise = fitRamp(a, steady, silent, false);
        QVERIFY2(rise, qPrintable(QStringLiteral("no rise") +
                                  around(a, steady, {silent * 0.05, silent * 0.05 + 4})));
        QVERIFY2(
            std::abs(rise->second - rise->first - 1.5) < 0.1,
            qPrintable(QString::number(rise->second - rise->first) + around(a, steady, *rise)));
        qInfo("pause: fall %.3f s, rise %.3f s, bars %.4f for -20 dBFS", fall->second - fall->first,
              rise->second - rise->first, level);
    }

    // Track levelling: two tones 10 LU apart, without gains in their tags, are measured in the
    // background and then heard at one loudness, ReplayGain's -18 LUFS at full volume (one
    // lowered, one raised), with no step in loudness through the crossfade between them, or
    // across the boundary when one follows the other gaplessly (Crossfade Off).
    void trackLevellingPlaysTwoTracksAtOneLoudness_data() {
        QTest::addColumn<double>("crossfade");
        QTest::newRow("crossfade") << 3.0;
        QTest::newRow("gapless") << 0.0;
    }
    void trackLevellingPlaysTwoTracksAtOneLoudness() {
        QFETCH(double, crossfade);
        // The meter first: a 1 kHz sine at -6 dBFS in both channels is -6.0 LUFS (BS.1770's
        // calibration), -11.98 dB from -18 LUFS.
        const std::atomic<bool> no{false};
        const auto calibration = LoudnessScanner::measure(second_, no);
        QVERIFY(calibration);
        QVERIFY2(std::abs(calibration->track + 11.98f) < 0.1f,
                 qPrintable(QString::number(calibration->track)));
        QVERIFY(std::abs(calibration->trackPeak - 0.5f) < 0.01f);

        const QString loud = tone("loud660.wav", 8, 660, 0.3);
        const QString quiet = tone("quiet440.wav", 10, 440, 0.3 / std::sqrt(10.0));
        const QString rec = dir_.filePath("levelled.raw");
        QVERIFY(server_.start());
        QVERIFY(server_.record(rec));
        RealEngine real;
        AudioEngine& engine = *real.engine;
        engine.setVolumeLevelling("track");
        engine.setCrossfade(crossfade);
        QList<Track> tracks{Track::load(QUrl::fromLocalFile(loud), "en"),
                            Track::load(QUrl::fromLocalFile(quiet), "en")};
        engine.setVolume(1.0);
        engine.setPlaylist(tracks);
        QTRY_VERIFY_WITH_TIMEOUT(engine.playlist().at(0).gain.hasTrack() &&
                                     engine.playlist().at(1).gain.hasTrack(),
                                 60000);
        const double apart =
            engine.playlist().at(0).gain.track - engine.playlist().at(1).gain.track;
        QVERIFY2(std::abs(apart + 10) < 0.3, qPrintable(QString::number(apart)));
        engine.play(engine.playlist().at(0));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return engine.currentTrack() && engine.currentTrack()->title == "quiet440" &&
                       engine.progress() > 6.0;
            },
            30000));
        server_.stop();

        QFile file(rec);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray raw = file.readAll();
        const auto a = toneAmplitudes(raw, 660), b = toneAmplitudes(raw, 440);
        dump("levelled", a, b);
        // The crossfade (3 s) starts as the second tone appears (its rise reaches 0.005 within
        // the first 0.15 s); gapless, the same span is looked at.
        const size_t start = onset(a, 0.02), rise = onset(b, 0.005);
        QVERIFY(start + 60 < rise && rise + 80 < b.size());
        const double fadeStart = rise * 0.05 - 0.2, fadeEnd = fadeStart + 3.4;
        const double alone = meter(raw, start * 0.05 + 0.5, fadeStart).integrated();
        const double after = meter(raw, fadeEnd + 0.2, fadeEnd + 2.0).integrated();
        QVERIFY2(std::abs(alone + 18) < 1 && std::abs(after + 18) < 1,
                 qPrintable(QStringLiteral("%1 and %2 LUFS").arg(alone).arg(after)));
        QVERIFY2(std::abs(alone - after) < 1,
                 qPrintable(QStringLiteral("%1 against %2 LUFS").arg(alone).arg(after)));
        // Through the crossfade, 400 ms blocks every 100 ms: no step over 1 LU, and the block
        // before the fade and the one after it within 1 LU.
        const std::vector<double> blocks = meter(raw, fadeStart - 1.0, fadeEnd + 1.0).momentary();
        QVERIFY(blocks.size() > 40);
        double worst = 0;
        for (size_t i = 1; i < blocks.size(); ++i)
            worst = std::max(worst, std::abs(blocks[i] - blocks[i - 1]));
        QVERIFY2(worst <= 1.0, qPrintable(QString::number(worst)));
        const double before = blocks[6], past = blocks[blocks.size() - 1];
        QVERIFY2(std::abs(before - past) <= 1.0,
                 qPrintable(QStringLiteral("%1 against %2 LUFS").arg(before).arg(past)));
        qInfo("levelled: %.2f and %.2f LUFS, steps within %.2f LU through the handover", alone,
              after, worst);
    }

    // Crossfade Off: one sine split into two files plays on as one. A pure sine obeys
    // s[i-1] + s[i+1] = 2 cos(w) s[i]; a gap, an overlap, a lost or repeated sample or a click
    // breaks that where it happens (the split falls mid-period, so even a whole lost period
    // shows), and the sine's length in the recording is the two files' to the sample.
    void gaplessHandoverIsSampleExact() {
        constexpr double frequency = 441.7, amplitude = 0.5;
        constexpr qint64 half = qint64(2.5 * SoundServer::kRate);
        const QString one = dir_.filePath("half1.wav"), two = dir_.filePath("half2.wav");
        QVERIFY(writeSineSpan(one, frequency, amplitude, 0, half));
        QVERIFY(writeSineSpan(two, frequency, amplitude, half, 2 * half));
        // Silence follows, gapless too (the list's wrap back to the first half would not fit).
        const QString hush = dir_.filePath("hush.wav");
        QVERIFY(writeSineSpan(hush, frequency, 0, 0, 2 * SoundServer::kRate));
        const QString rec = dir_.filePath("gapless.raw");
        QVERIFY(server_.start());
        QVERIFY(server_.record(rec));
        RealEngine real;
        AudioEngine& engine = *real.engine;
        engine.setCrossfade(0);
        double positionAtSwitch = -1;
        connect(&engine, &AudioEngine::currentIDChanged, &engine, [&] {
            if (engine.currentTrack() && engine.currentTrack()->title == "half2")
                positionAtSwitch = engine.livePosition();
        });
        playFirst(engine, {one, two, hush});
        QVERIFY(QTest::qWaitFor(
            [&] {
                return engine.currentTrack() && engine.currentTrack()->title == "hush" &&
                       engine.progress() > 1.0;
            },
            30000));
        server_.stop();
        // The new track became current when it was heard, not when it was read.
        QVERIFY2(positionAtSwitch >= 0 && positionAtSwitch < 0.5,
                 qPrintable(QString::number(positionAtSwitch)));

        QFile file(rec);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const std::vector<double> s = leftChannel(file.readAll());
        size_t first = 0;
        while (first < s.size() && std::abs(s[first]) < 0.05)
            ++first;
        QVERIFY(first < s.size());
        size_t last = first + 2 * half; // where the sine ends if nothing was lost or added
        QVERIFY(last + SoundServer::kRate / 2 < s.size());
        const double w = 2 * M_PI * frequency / SoundServer::kRate;
        double worst = 0;
        size_t worstAt = 0;
        for (size_t i = first + 8; i + 8 < last; ++i) {
            const double residual = std::abs(s[i - 1] + s[i + 1] - 2 * std::cos(w) * s[i]);
            if (residual > worst)
                worst = residual, worstAt = i;
        }
        // Rounding to 16 bits leaves a few steps of 1/32768; one lost sample leaves ~0.03.
        QVERIFY2(worst < 0.002, qPrintable(QStringLiteral("%1 at %2 s after the start")
                                               .arg(worst)
                                               .arg(double(worstAt - first) / SoundServer::kRate)));
        // Nothing after the sine's end (nor a second start of it) while the silent file plays.
        // After it the list wraps to the first half: a recording stopped late on a busy machine
        // may hold that start, which is playback going on, not a fault.
        while (last > first && std::abs(s[last]) < 0.05)
            --last;
        const qint64 length = qint64(last - first);
        QVERIFY2(std::abs(length - 2 * half) < 40, qPrintable(QString::number(length)));
        const size_t hushEnd =
            std::min(s.size(), size_t(first + 2 * half + 2 * SoundServer::kRate * 0.95));
        for (size_t i = first + 2 * half + 40; i < hushEnd; ++i)
            QVERIFY2(std::abs(s[i]) < 0.01, qPrintable(QString::number(i)));
        qInfo("gapless: %lld samples of %lld, largest step off the sine %.5f, switch heard at "
              "%.3f s",
              length, 2 * half, worst, positionAtSwitch);
    }

    // A pause begun half a second before a gapless boundary fades on across it as one line:
    // the next file goes on at the fade's level, not at full volume.
    void pauseFadeGoesOnAcrossAGaplessBoundary() {
        constexpr double frequency = 441.7, amplitude = 0.5;
        constexpr qint64 half = qint64(2.5 * SoundServer::kRate);
        const QString one = dir_.filePath("p1.wav"), two = dir_.filePath("p2.wav");
        QVERIFY(writeSineSpan(one, frequency, amplitude, 0, half));
        QVERIFY(writeSineSpan(two, frequency, amplitude, half, 2 * half));
        const QString rec = dir_.filePath("pausegapless.raw");
        QVERIFY(server_.start());
        QVERIFY(server_.record(rec));
        RealEngine real;
        AudioEngine& engine = *real.engine;
        engine.setCrossfade(0);
        playFirst(engine, {one, two});
        QVERIFY(QTest::qWaitFor([&] { return engine.progress() > 2.0; }, 20000));
        engine.togglePlay();
        QVERIFY(QTest::qWaitFor([&] { return lastSecondsAre(rec, frequency, 0.003); }, 20000));
        server_.stop();
        QCOMPARE(engine.currentTrack()->title, QStringLiteral("p2")); // reached during the fade

        QFile file(rec);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const auto a = toneAmplitudes(file.readAll(), frequency);
        dump("pausegapless", a, a);
        const size_t start = onset(a, 0.1);
        QVERIFY(start + 30 < a.size());
        const double steady = median({a.begin() + start + 2, a.begin() + start + 30});
        const auto fall = fitRamp(a, steady, start + 30, true);
        QVERIFY2(fall,
                 qPrintable(QStringLiteral("no fall") +
                            around(a, steady, {(start + 30) * 0.05, (start + 30) * 0.05 + 3})));
        const double length = fall->second - fall->first;
        QVERIFY2(std::abs(length - 1.5) < 0.1, qPrintable(QString::number(length)));
        // Where the boundary was heard (2.5 s after the start) the fade keeps to its line.
        QVERIFY(fall->first < start * 0.05 + 2.5 && fall->second > start * 0.05 + 2.5);
        for (size_t i = size_t(fall->first / 0.05) + 2; i + 2 < size_t(fall->second / 0.05); ++i) {
            const double line = (fall->second - (i + 0.5) * 0.05) / length;
            QVERIFY2(std::abs(a[i] / steady - line) < 0.05,
                     qPrintable(QStringLiteral("%1 for %2 at %3 s")
                                    .arg(a[i] / steady)
                                    .arg(line)
                                    .arg((double(i) - double(start)) * 0.05)));
        }
        qInfo("pause across a gapless boundary: fall %.3f s from %.3f s", length,
              fall->first - start * 0.05);
    }

    // Slice-coded tracks played through the engine: every 0.1 s of every track is heard, in its
    // place, however short the track (a handover then fades over half of it).
    void everySliceOfEveryTrackIsHeardInOrder_data() {
        QTest::addColumn<QList<double>>("tracks"); // seconds, one each
        QTest::addColumn<int>("starts");           // track starts to record
        QTest::newRow("three 2 s tracks") << QList<double>{2, 2, 2} << 4;
        QTest::newRow("a 1 s track alone") << QList<double>{1} << 7;
        QTest::newRow("a 0.5 s track alone") << QList<double>{0.5} << 9;
    }
    void everySliceOfEveryTrackIsHeardInOrder() {
        QFETCH(QList<double>, tracks);
        QFETCH(int, starts);
        std::vector<SliceTrack> coded;
        QStringList paths;
        for (const double seconds : tracks) {
            coded.push_back({seconds, 1000.0 + 2000.0 * double(coded.size())});
            paths.append(dir_.filePath(QStringLiteral("slices%1.wav").arg(paths.size())));
            QString error;
            QVERIFY2(
                writeSlices(paths.back(), seconds, kSlice, coded.back().first, 100, 0.5, &error),
                qPrintable(error));
        }
        const QString rec = dir_.filePath("slices.raw");
        QVERIFY(server_.start());
        QVERIFY(server_.record(rec));
        RealEngine real;
        AudioEngine& engine = *real.engine;
        int started = 0;
        connect(&engine, &AudioEngine::currentIDChanged, this, [&] { ++started; });
        playFirst(engine, paths);
        // The last start's track is cut by the end of the recording; the ones before are whole.
        QVERIFY(QTest::qWaitFor([&] { return started >= starts; }, 30000));
        // And a second and a half more: the track before the last start is still to end.
        const qint64 then = QFileInfo(rec).size();
        QVERIFY(QTest::qWaitFor(
            [&] { return QFileInfo(rec).size() > then + 6 * SoundServer::kRate; }, 10000));
        server_.stop();
        QFile file(rec);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray raw = file.readAll();
        if (const QString folder = qEnvironmentVariable("ORVANE_SOUND_DUMP"); !folder.isEmpty())
            QFile::copy(rec, folder + "/" + QTest::currentDataTag() + ".raw");
        for (const SliceTrack& track : coded) {
            const int whole = checkPasses(raw, track);
            QVERIFY(whole >= 0);
            // Each of three tracks once; a track alone every time it started but the first (begun
            // before the recording) and the last two (cut by its end).
            const int expected = coded.size() > 1 ? 1 : starts - 3;
            QVERIFY2(whole >= expected,
                     qPrintable(
                         QStringLiteral("%1 whole passes of %2 s").arg(whole).arg(track.seconds)));
        }
    }

    // Every way a sound ends, recorded: no step between consecutive milliseconds is steeper
    // than the steepest fade allowed (a 20 ms ramp from full level), and the sound does end.
    void everyEndingIsRamped_data() {
        QTest::addColumn<QString>("ending");
        for (const char* ending :
             {"stop then play", "next during a crossfade", "removing the playing track",
              "an invalid station over a playing file", "quitting"})
            QTest::newRow(ending) << QString::fromLatin1(ending);
    }
    void everyEndingIsRamped() {
        QFETCH(QString, ending);
        const QStringList paths{steadyTone("s1.wav"), steadyTone("s2.wav"), steadyTone("s3.wav")};
        const double frequency = double(SoundServer::kRate) / 44;
        const QString rec = dir_.filePath("ending.raw");
        QVERIFY(server_.start());
        QVERIFY(server_.record(rec));
        RealEngine real;
        AudioEngine& engine = *real.engine;
        playFirst(engine, paths);
        QVERIFY(QTest::qWaitFor([&] { return engine.progress() > 1.0; }, 20000));
        // The recording from the ending on: its first sound is heard after the output's buffer,
        // the first track's start well before.
        const qint64 from = QFileInfo(rec).size() / 4 * 4;
        const auto silent = [&] { return lastSecondsAre(rec, frequency, 0.001); };
        if (ending == "stop then play") {
            engine.stop();
            QVERIFY(QTest::qWaitFor(silent, 20000));
            engine.togglePlay(); // from the start, with the fade-in
            QVERIFY(QTest::qWaitFor([&] { return engine.progress() > 0.5; }, 20000));
            // (the recording is behind what the player reports heard)
            QVERIFY(QTest::qWaitFor(
                [&] { return lastSecondsAre(rec, frequency, 0.1, false, 0.05); }, 20000));
        } else if (ending == "next during a crossfade") {
            engine.next();
            QVERIFY(QTest::qWaitFor([&] { return engine.progress() > 1.0; }, 20000));
            engine.next(); // the first track is still fading out
            QVERIFY(QTest::qWaitFor([&] { return engine.progress() > 0.5; }, 20000));
            QVERIFY(QTest::qWaitFor(
                [&] { return lastSecondsAre(rec, frequency, 0.1, false, 0.05); }, 20000));
        } else if (ending == "removing the playing track") {
            engine.remove({engine.currentID()});
            QVERIFY(QTest::qWaitFor(silent, 20000));
        } else if (ending == "an invalid station over a playing file") {
            engine.setStations({RadioStation{QUuid::createUuid(), "Nowhere", "not an address"}});
            engine.play(engine.stations().first());
            QVERIFY(QTest::qWaitFor(silent, 20000));
        } else {
            QVERIFY(real.end());
            QVERIFY(QTest::qWaitFor(silent, 20000));
        }
        server_.stop();
        QFile file(rec);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.seek(from));
        const auto level = toneAmplitudes(file.readAll(), frequency, 44);
        QVERIFY(level.size() > 500);
        QVERIFY2(level.front() > 0.45, qPrintable(QString::number(level.front())));
        const bool ends = ending != "stop then play" && ending != "next during a crossfade";
        QVERIFY(ends ? level.back() < 0.001 : level.back() > 0.05);
        double steepest = 0;
        size_t at = 0;
        for (size_t i = 1; i < level.size(); ++i) {
            if (std::abs(level[i] - level[i - 1]) > steepest)
                steepest = std::abs(level[i] - level[i - 1]), at = i;
        }
        qInfo("%s: steepest step %.4f at %.3f s", qPrintable(ending), steepest, at * 0.001);
        QVERIFY2(steepest <= 0.5 / 20 + 0.002,
                 qPrintable(QStringLiteral("a step of %1 at %2 s").arg(steepest).arg(at * 0.001)));
    }

    // A sound server that stops answering: whatever is pressed meanwhile returns at once and
    // the event loop goes on turning (nothing on the main thread waits on the server), and the
    // engine goes away without waiting; its pipelines go down once the server answers again.
    void aStoppedServerHoldsNothingUp() {
        QVERIFY(server_.start());
        RealEngine real;
        AudioEngine& engine = *real.engine;
        playFirst(engine, {first_, second_});
        QVERIFY(QTest::qWaitFor([&] { return engine.progress() > 0.5; }, 20000));
        engine.setPlaylist(engine.playlist() + engine.playlist());
        engine.setStations({RadioStation{QUuid::createUuid(), "Nowhere", "http://127.0.0.1:9/"}});

        server_.suspend();
        Watchdog watchdog(server_.pid(), 15000);
        int turns = 0;
        QTimer turn;
        connect(&turn, &QTimer::timeout, [&] { ++turns; });
        turn.start(20);
        engine.next(); // a crossfade: the new player opens the output, the old one fades
        QVERIFY(QTest::qWaitFor([&] { return turns >= 10; }, 10000));
        engine.togglePlay(); // pause fade
        engine.seek(1.0);
        engine.togglePlay();
        engine.next();
        QVERIFY(QTest::qWaitFor([&] { return turns >= 20; }, 10000));
        engine.stop();
        engine.play(engine.stations().first());
        engine.togglePlay();
        engine.play(engine.playlist().first());
        // Five seconds of turns: past the end of the fades, whose players then stop.
        QVERIFY(QTest::qWaitFor([&] { return turns >= 250; }, 30000));
        real.engine.reset();
        QVERIFY(QTest::qWaitFor([&] { return turns >= 260; }, 10000));
        watchdog.done();
        QVERIFY2(!watchdog.fired(), "the main thread waited on the stopped sound server");

        server_.resume();
        QVERIFY(real.end());
        QVERIFY(PlayerWorker::waitForAll(30000));
        server_.stop();
    }
};

QTEST_GUILESS_MAIN(TestSound)
#include "tst_sound.moc"
