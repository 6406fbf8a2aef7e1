#include "support/soundserver.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace orvane::test {

bool SoundServer::available() {
    return !QStandardPaths::findExecutable("pulseaudio").isEmpty() &&
           !QStandardPaths::findExecutable("parec").isEmpty();
}

bool SoundServer::start() {
    if (daemon_.state() == QProcess::Running)
        return true;
    if (!runtime_.isValid())
        return false;
    QFile::setPermissions(runtime_.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString socket = runtime_.filePath("native");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime_.path());
    env.insert("HOME", runtime_.path());
    daemon_.setProcessEnvironment(env);
    // A desktop's sound server and audio threads run at raised priority (rtkit): where the test
    // may, so do these, so that other work on the machine does not starve the recording.
    const bool mayRaise = ::geteuid() == 0;
    daemon_.start("nice", {"-n", mayRaise ? "-15" : "0", "pulseaudio", "-n", "--daemonize=no",
                           "--exit-idle-time=-1", "--use-pid-file=no",
                           "--load=module-null-sink sink_name=spk rate=44100 channels=2"
                           " norewinds=1",
                           "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket});
    if (mayRaise)
        ::setpriority(PRIO_PROCESS, 0, -10); // threads made from now on, the players' too
    if (!daemon_.waitForStarted(10000))
        return false;
    if (!QTest::qWaitFor([&] { return QFile::exists(socket); }, 15000))
        return false;
    address_ = "unix:" + socket;
    qputenv("PULSE_SERVER", address_.toUtf8());
    // A sound card's sink wakes for a new stream at once; the null sink, idle, sleeps up to two
    // seconds first. A stream of silence keeps it awake, as a card would be. (Without rewinds:
    // a running sink rewound to take in a new stream early renders its start twice to the
    // monitor, and the recording would show a glitch the output never had.)
    keeper_.setProcessEnvironment(env);
    keeper_.setStandardInputFile("/dev/zero");
    keeper_.start("pacat", {"--server=" + address_, "--raw", "--format=s16le", "--rate=44100",
                            "--channels=2", "--latency-msec=20"});
    return keeper_.waitForStarted(10000);
}

bool SoundServer::record(const QString& path) {
    // An earlier recording at the path would pass for this one's first second.
    QFile::remove(path);
    recorder_.start("parec", {"-d", "spk.monitor", "--format=s16le", "--rate=44100", "--channels=2",
                              "--raw", path});
    if (!recorder_.waitForStarted(10000))
        return false;
    return QTest::qWaitFor([&] { return QFileInfo(path).size() > 4 * kRate; }, 15000);
}

void SoundServer::suspend() {
    if (daemon_.state() == QProcess::Running)
        ::kill(pid_t(daemon_.processId()), SIGSTOP);
}

void SoundServer::resume() {
    if (daemon_.state() == QProcess::Running)
        ::kill(pid_t(daemon_.processId()), SIGCONT);
}

void SoundServer::stop() {
    resume(); // a stopped server would not take its SIGTERM
    for (QProcess* p : {&keeper_, &recorder_, &daemon_}) {
        if (p->state() != QProcess::NotRunning) {
            p->terminate();
            if (!p->waitForFinished(5000))
                p->kill();
            p->waitForFinished(5000);
        }
    }
}

std::vector<double> toneAmplitudes(const QByteArray& raw, double frequency, int window) {
    constexpr int rate = SoundServer::kRate;
    const auto* samples = reinterpret_cast<const qint16*>(raw.constData());
    const qsizetype frames = raw.size() / 4;
    std::vector<double> out;
    const double coeff = 2 * std::cos(2 * M_PI * frequency / rate);
    for (qsizetype start = 0; start + window <= frames; start += window) {
        double s1 = 0, s2 = 0;
        for (int i = 0; i < window; ++i) {
            const double s = samples[2 * (start + i)] / 32768.0 + coeff * s1 - s2;
            s2 = s1;
            s1 = s;
        }
        const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
        out.push_back(2 * std::sqrt(std::max(0.0, power)) / window);
    }
    return out;
}

} // namespace orvane::test
