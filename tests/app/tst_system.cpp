// The whole application as a user's desktop runs it: the real orvane binary on an X server
// (Xvfb), on the session bus of the test run, playing into a private sound server; driven by a
// second launch and by playerctl, as media keys and desktop widgets would.
#include "support/playerctl.h"
#include "support/soundserver.h"
#include "support/testaudio.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace orvane::test;

class TestSystem : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    SoundServer sound_;
    QProcess xserver_;
    QProcessEnvironment env_;
    QStringList files_;

    static bool waitFor(const QStringList& args, const QString& expected, int ms = 30000) {
        return QTest::qWaitFor([&] { return playerctl(args) == expected; }, ms);
    }
    static double position() { return playerctl({"position"}).toDouble(); }

    void launch(QProcess& app, const QStringList& args) {
        app.setProcessEnvironment(env_);
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.start(QStringLiteral(ORVANE_BINARY), args);
    }
    // Quits through MPRIS and checks that the process ends by itself, without an error.
    bool quit(QProcess& app) {
        QDBusInterface root("org.mpris.MediaPlayer2.orvane", "/org/mpris/MediaPlayer2",
                            "org.mpris.MediaPlayer2");
        const QDBusMessage reply = root.call("Quit");
        if (reply.type() == QDBusMessage::ErrorMessage)
            qWarning("Quit: %s", qPrintable(reply.errorMessage()));
        if (!QTest::qWaitFor([&] { return app.state() == QProcess::NotRunning; }, 30000)) {
            qWarning("still running 30 s after Quit");
            app.kill();
            app.waitForFinished();
            return false;
        }
        if (app.exitStatus() != QProcess::NormalExit || app.exitCode() != 0)
            qWarning("ended with status %d, code %d", int(app.exitStatus()), app.exitCode());
        return app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0;
    }

private Q_SLOTS:
    void initTestCase() {
        if (!QDBusConnection::sessionBus().isConnected())
            QFAIL("no session bus: run the tests through scripts/test (dbus-run-session)");
        for (const char* tool : {"Xvfb", "playerctl"}) {
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QFAIL("Xvfb, playerctl, pulseaudio and parec are needed (scripts/test installs "
                      "them)");
        }
        if (!SoundServer::available())
            QFAIL("Xvfb, playerctl, pulseaudio and parec are needed (scripts/test installs them)");

        // Xvfb picks a free display and writes its number to the given descriptor (stdout).
        xserver_.start("Xvfb",
                       {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        QVERIFY(xserver_.waitForStarted(10000));
        QByteArray display;
        QVERIFY(QTest::qWaitFor(
            [&] {
                display += xserver_.readAllStandardOutput();
                return display.contains('\n');
            },
            20000));
        QVERIFY(sound_.start());

        env_ = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"ORVANE_AUDIO_SINK", "QT_QPA_PLATFORM", "WAYLAND_DISPLAY"})
            env_.remove(name);
        env_.insert("DISPLAY", ":" + QString::fromLatin1(display.trimmed()));
        env_.insert("QT_QPA_PLATFORM", "xcb");
        env_.insert("PULSE_SERVER", sound_.address());
        for (const char* folder : {"config", "cache", "data", "home", "runtime"})
            QVERIFY(QDir().mkpath(dir_.filePath(folder)));
        QFile::setPermissions(dir_.filePath("runtime"), QFileDevice::ReadOwner |
                                                            QFileDevice::WriteOwner |
                                                            QFileDevice::ExeOwner);
        env_.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
        env_.insert("XDG_CACHE_HOME", dir_.filePath("cache"));
        env_.insert("XDG_DATA_HOME", dir_.filePath("data"));
        env_.insert("XDG_RUNTIME_DIR", dir_.filePath("runtime"));
        env_.insert("HOME", dir_.filePath("home"));

        // Three tones, one per track, so that the recording tells which one played.
        const QList<std::pair<QString, double>> tones = {
            {"One", 440}, {"Two", 660}, {"Three", 880}};
        for (const auto& [name, frequency] : tones) {
            const QString path = dir_.filePath(name + ".wav");
            QString error;
            QVERIFY2(writeSine(path, AudioFormat::Wav, 30, frequency, 0.4, &error),
                     qPrintable(error));
            files_.append(path);
        }
    }

    void cleanupTestCase() {
        sound_.stop();
        if (xserver_.state() != QProcess::NotRunning) {
            xserver_.terminate();
            if (!xserver_.waitForFinished(5000))
                xserver_.kill();
        }
    }

    // A sound server that stops answering (SIGSTOP) holds nothing up: MPRIS answers while Next
    // starts the next track, Quit ends the process at once, and the next launch runs a player of
    // its own instead of handing its file to a stuck one.
    void aStoppedSoundServerHoldsNothingUp() {
        QProcess app;
        launch(app, files_);
        QVERIFY(waitFor({"status"}, "Playing", 60000));
        QVERIFY(QTest::qWaitFor([] { return position() >= 0.5; }, 15000));

        sound_.suspend();
        const auto resume = qScopeGuard([&] { sound_.resume(); });
        // Each call gets 5 s: one that waits on the stopped server fails instead of hanging.
        auto call = [](const QString& interface, const QString& method,
                       const QList<QVariant>& args = {}) {
            QDBusInterface target("org.mpris.MediaPlayer2.orvane", "/org/mpris/MediaPlayer2",
                                  interface);
            target.setTimeout(5000);
            const QDBusMessage reply = target.callWithArgumentList(QDBus::Block, method, args);
            if (reply.type() == QDBusMessage::ErrorMessage)
                qWarning("%s: %s", qPrintable(method), qPrintable(reply.errorMessage()));
            return reply.type() == QDBusMessage::ReplyMessage;
        };
        auto answers = [&] {
            return call("org.freedesktop.DBus.Properties", "Get",
                        {"org.mpris.MediaPlayer2.Player", "PlaybackStatus"});
        };
        QVERIFY(call("org.mpris.MediaPlayer2.Player", "Next"));
        QVERIFY(answers());
        QVERIFY(waitFor({"metadata", "title"}, "Two", 15000));
        QVERIFY(answers());
        QVERIFY(call("org.mpris.MediaPlayer2.Player", "Pause"));
        QVERIFY(answers());

        QElapsedTimer quitting;
        quitting.start();
        QVERIFY(call("org.mpris.MediaPlayer2", "Quit"));
        const bool ended =
            QTest::qWaitFor([&] { return app.state() == QProcess::NotRunning; }, 10000);
        if (!ended) {
            app.kill();
            app.waitForFinished();
        }
        QVERIFY2(ended, "still running 10 s after Quit");
        qInfo("ended %lld ms after Quit", quitting.elapsed());
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);

        // The lock went with it: this launch plays (into the stopped server) and quits too.
        QProcess again;
        launch(again, {files_.last()});
        QVERIFY(waitFor({"metadata", "title"}, "Three", 60000));
        QVERIFY(answers());
        QVERIFY(call("org.mpris.MediaPlayer2", "Quit"));
        QVERIFY(QTest::qWaitFor([&] { return again.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(again.exitCode(), 0);
        // The next case starts from an empty playlist.
        QVERIFY(QDir(dir_.filePath("config/Orvane")).removeRecursively());
        QVERIFY(QDir(dir_.filePath("cache/orvane")).removeRecursively());
    }

    void playsDrivesQuitsAndComesBack() {
        const QString recording = dir_.filePath("session.raw");
        QVERIFY(sound_.record(recording));

        QProcess app;
        launch(app, {});
        QVERIFY(QTest::qWaitFor([&] { return playerctl({"-l"}).split('\n').contains("orvane"); },
                                60000));
        QCOMPARE(playerctl({"status"}), QStringLiteral("Stopped"));

        // A second launch hands its files to the running player and leaves.
        QProcess second;
        launch(second, files_);
        QVERIFY(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 30000));
        QCOMPARE(second.exitCode(), 0);

        QVERIFY(waitFor({"status"}, "Playing"));
        QCOMPARE(playerctl({"metadata", "--format", "{{title}}|{{mpris:length}}"}),
                 QStringLiteral("One|30000000"));
        // Heard at full volume for a while.
        QVERIFY(QTest::qWaitFor([] { return position() >= 1.5; }, 15000));
        QVERIFY(quit(app));

        // The playlist comes back in its order: play starts the first, next walks on.
        QProcess again;
        launch(again, {});
        QVERIFY(QTest::qWaitFor([&] { return playerctl({"-l"}).split('\n').contains("orvane"); },
                                60000));
        playerctl({"play"});
        QVERIFY(waitFor({"metadata", "title"}, "One"));
        playerctl({"next"});
        QVERIFY(waitFor({"metadata", "title"}, "Two"));
        playerctl({"next"});
        QVERIFY(waitFor({"metadata", "title"}, "Three"));
        // Let the last one be heard a little before leaving.
        QVERIFY(QTest::qWaitFor([] { return position() > 3.5; }, 15000));
        QVERIFY(quit(again));

        // The first and the last track were really heard (the second only ever began to rise).
        sound_.stop();
        QFile file(recording);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray raw = file.readAll();
        for (const double frequency : {440.0, 880.0}) {
            const auto a = toneAmplitudes(raw, frequency);
            const double loudest = a.empty() ? 0 : *std::max_element(a.begin(), a.end());
            QVERIFY2(loudest > 0.2,
                     qPrintable(QStringLiteral("%1 Hz at most %2").arg(frequency).arg(loudest)));
        }
    }

    // A screen reader's way in: over AT-SPI (the accessibility bus the session bus starts on
    // demand), a client finds the play button by its name and presses it; the name follows.
    void screenReaderPressesPlayAndPause() {
        QProcess check;
        check.start(QStringLiteral("/usr/bin/python3"), {"-c", "import pyatspi"});
        if (!check.waitForFinished(30000) || check.exitStatus() != QProcess::NormalExit ||
            check.exitCode() != 0)
            QFAIL("python3-pyatspi and at-spi2-core are needed (scripts/test installs them)");

        QProcess app;
        const QProcessEnvironment plain = env_;
        env_.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        launch(app, {});
        env_ = plain;
        QVERIFY(QTest::qWaitFor([&] { return playerctl({"-l"}).split('\n').contains("orvane"); },
                                60000));
        QProcess second;
        launch(second, {files_.first()});
        QVERIFY(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 30000));
        QVERIFY(waitFor({"status"}, "Playing"));

        auto press = [&](const QString& button) {
            QProcess client;
            client.setProcessEnvironment(env_);
            client.setProcessChannelMode(QProcess::ForwardedChannels);
            client.start(QStringLiteral("/usr/bin/python3"),
                         {QStringLiteral(ATSPI_PRESS), "Orvane", button, "120"});
            return client.waitForFinished(180000) && client.exitStatus() == QProcess::NormalExit &&
                   client.exitCode() == 0;
        };
        QVERIFY(press("Pause"));
        QVERIFY(waitFor({"status"}, "Paused"));
        // The pause fades out over 1.5 s, and a press while it still sounds is another pause:
        // wait until the position stands still for half a second.
        QElapsedTimer still;
        double last = -1;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const double now = position();
                if (now != last) {
                    last = now;
                    still.start();
                }
                return still.elapsed() > 500;
            },
            30000));
        QVERIFY(press("Play"));
        QVERIFY(waitFor({"status"}, "Playing"));
        QVERIFY(quit(app));
    }
};

QTEST_GUILESS_MAIN(TestSystem)
#include "tst_system.moc"
