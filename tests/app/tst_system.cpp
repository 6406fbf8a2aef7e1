// The whole application as a user's desktop runs it: the real orvane binary on an X server
// (Xvfb), on the session bus of the test run, playing into a private sound server; driven by a
// second launch and by playerctl, as media keys and desktop widgets would.
#include "support/files.h"
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
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace orvane::test;

// The desktop's notification server, as far as a sender sees it: takes each Notify and keeps
// its summary.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList summaries;

public Q_SLOTS:
    uint Notify(const QString&, uint replaces, const QString&, const QString& summary,
                const QString&, const QStringList&, const QVariantMap&, int) {
        summaries.append(summary);
        return replaces ? replaces : 1;
    }
};

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
    static bool onTheBus() {
        return QTest::qWaitFor([] { return playerctl({"-l"}).split('\n').contains("orvane"); },
                               60000);
    }
    static bool ends(QProcess& p, int ms = 30000) {
        return QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, ms);
    }
    // A desktop tool's output, run on the test's display.
    QString tool(const QString& program, const QStringList& args) const {
        QProcess p;
        p.setProcessEnvironment(env_);
        p.start(program, args);
        p.waitForFinished(30000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    // The first visible window with this title (the window manager's reading), "" if none.
    QString windowTitled(const QString& title) const {
        return tool("xdotool", {"search", "--onlyvisible", "--name",
                                "^" + QRegularExpression::escape(title) + "$"})
            .section('\n', 0, 0);
    }

    void launch(QProcess& app, const QStringList& args) {
        app.setProcessEnvironment(env_);
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.start(QStringLiteral(ORVANE_BINARY), args);
    }
    // Quits through MPRIS (the call answered within `answerMs`, -1: D-Bus's default) and checks
    // that the process ends by itself within `ms`, without an error.
    bool quit(QProcess& app, int ms = 30000, int answerMs = -1) {
        QDBusInterface root("org.mpris.MediaPlayer2.orvane", "/org/mpris/MediaPlayer2",
                            "org.mpris.MediaPlayer2");
        root.setTimeout(answerMs);
        const QDBusMessage reply = root.call("Quit");
        if (reply.type() == QDBusMessage::ErrorMessage)
            qWarning("Quit: %s", qPrintable(reply.errorMessage()));
        if (!ends(app, ms)) {
            qWarning("still running %d ms after Quit", ms);
            app.kill();
            app.waitForFinished();
            return false;
        }
        if (app.exitStatus() != QProcess::NormalExit || app.exitCode() != 0)
            qWarning("ended with status %d, code %d", int(app.exitStatus()), app.exitCode());
        return reply.type() == QDBusMessage::ReplyMessage &&
               app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0;
    }

private Q_SLOTS:
    void initTestCase() {
        if (!QDBusConnection::sessionBus().isConnected())
            QFAIL("no session bus: run the tests through scripts/test (dbus-run-session)");
        const char* tools[] = {"Xvfb",     "playerctl", "openbox", "xdotool", "xprop",
                               "xwininfo", "xcompmgr",  "trayer",  "weston"};
        for (const char* program : tools) {
            if (QStandardPaths::findExecutable(program).isEmpty())
                QFAIL(qPrintable(QStringLiteral("%1 is needed (scripts/deps test installs it)")
                                     .arg(QLatin1String(program))));
        }
        if (!SoundServer::available())
            QFAIL("pulseaudio and parec are needed (scripts/deps test installs them)");

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
        for (const auto& [name, frequency] : tones)
            files_.append(toneFile(dir_, name + ".wav", AudioFormat::Wav, 30, frequency, 0.4));
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
        QVERIFY(quit(app, 10000, 5000));

        // The lock went with it: this launch plays (into the stopped server) and quits too.
        QProcess again;
        launch(again, {files_.last()});
        QVERIFY(waitFor({"metadata", "title"}, "Three", 60000));
        QVERIFY(answers());
        QVERIFY(quit(again, 10000, 5000));
        // The next case starts from an empty playlist.
        QVERIFY(QDir(dir_.filePath("config/Orvane")).removeRecursively());
        QVERIFY(QDir(dir_.filePath("cache/orvane")).removeRecursively());
    }

    void playsDrivesQuitsAndComesBack() {
        const QString recording = dir_.filePath("session.raw");
        QVERIFY(sound_.record(recording));

        QProcess app;
        launch(app, {});
        QVERIFY(onTheBus());

        // A second launch hands its files to the running player and leaves.
        QProcess second;
        launch(second, files_);
        QVERIFY(ends(second));
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
        QVERIFY(onTheBus());
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

    // Under a window manager: the title it shows follows what plays, the window comes back
    // where it was left, at the size it had, and the toast is shaped only where nothing
    // composites.
    void theWindowManagerSeesTheTitleAndThePlaceIsKept() {
        // The window manager manages the screen once it has set the root's check property. Once,
        // on a machine loaded by other work, it took longer than 30 s (or went): it gets more
        // time, is started again if it went, and what it said is shown if it never manages.
        QProcess wm;
        wm.setProcessEnvironment(env_);
        wm.setProcessChannelMode(QProcess::MergedChannels);
        auto managed = [&] {
            return tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id");
        };
        bool ready = false;
        QByteArray said;
        for (int attempt = 0; attempt < 3 && !ready; ++attempt) {
            if (wm.state() == QProcess::NotRunning) {
                wm.start("openbox", {"--sm-disable"});
                QVERIFY(wm.waitForStarted(10000));
            }
            ready = QTest::qWaitFor([&] { return managed() || wm.state() == QProcess::NotRunning; },
                                    60000) &&
                    managed();
            said += wm.readAll();
        }
        QVERIFY2(ready, said.constData());
        // The visible main window, by its title.
        auto windowNamed = [&](const QString& title) {
            QString id;
            // (No window by then: the caller fails on the empty id.)
            (void)QTest::qWaitFor([&] { return !(id = windowTitled(title)).isEmpty(); }, 60000);
            return id;
        };
        auto geometry = [&](const QString& id) {
            return tool("xdotool", {"getwindowgeometry", id}).section('\n', 1);
        };

        // The toast's window while it shows (320 × 76): its shape's extents as the X server has
        // them, "none" when it is not shaped.
        auto toastShape = [&] {
            QString shape;
            (void)QTest::qWaitFor( // none by then: the caller fails on the empty answer
                [&] {
                    const QStringList ids =
                        tool("xdotool", {"search", "--onlyvisible", "--class", "orvane"})
                            .split('\n', Qt::SkipEmptyParts);
                    for (const QString& window : ids) {
                        const QString info = tool("xwininfo", {"-id", window, "-shape"});
                        if (!info.contains("Width: 320") || !info.contains("Height: 76"))
                            continue;
                        shape = info.contains("Window shape extents:")
                                    ? info.section("Window shape extents:", 1)
                                          .section('\n', 0, 0)
                                          .trimmed()
                                    : QStringLiteral("none");
                        return true;
                    }
                    return false;
                },
                20000);
            return shape;
        };

        // No compositor: the toast is shaped to its rounded panel (2 px in from each side).
        QProcess app;
        launch(app, {files_.at(1)});
        QCOMPARE(toastShape(), QStringLiteral("316x72+2+2"));
        const QString id = windowNamed("Two");
        QVERIFY2(!id.isEmpty(), "no window titled after the track");
        QCOMPARE(tool("xprop", {"-id", id, "_NET_WM_NAME"}),
                 QStringLiteral("_NET_WM_NAME(UTF8_STRING) = \"Two\""));
        tool("xdotool", {"windowsize", "--sync", id, "1000", "640"});
        tool("xdotool", {"windowmove", "--sync", id, "150", "90"});
        // Settled: the same size and place read three times over.
        QString placed;
        int same = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QString now = geometry(id);
                same = now == placed ? same + 1 : 0;
                placed = now;
                return same >= 3 && placed.contains("1000x640");
            },
            20000));
        QVERIFY(quit(app));

        // The next start, with a compositor: the window is where it was left, at its size, and
        // the toast keeps its soft edge (no shape).
        QProcess compositor;
        compositor.setProcessEnvironment(env_);
        compositor.start("xcompmgr", {});
        QVERIFY(compositor.waitForStarted(10000));
        QVERIFY(QTest::qWaitFor( // its window owns the compositing selection once it is there
            [&] {
                return !tool("xdotool", {"search", "--name", "^xcompmgr$"}).isEmpty();
            },
            20000));
        QProcess again;
        launch(again, {files_.at(2)});
        QCOMPARE(toastShape(), QStringLiteral("none"));
        const QString next = windowNamed("Three");
        QVERIFY2(!next.isEmpty(), "no window titled after the track");
        QVERIFY2(QTest::qWaitFor([&] { return geometry(next) == placed; }, 20000),
                 qPrintable(geometry(next) + " is not " + placed));
        QVERIFY(quit(again));
        for (QProcess* process : {&compositor, &wm}) {
            process->terminate();
            QVERIFY(process->waitForFinished(10000));
        }
    }

    // A tray host that starts after the player gets its icon; closing the window then keeps
    // the music; the host going away while the window is hidden brings the window back.
    void trayComesAndGoes() {
        // The main window, while it is mapped (titled after what plays).
        auto windowShown = [&] { return !windowTitled("One").isEmpty(); };
        // The player's icon sits in the tray host's window ("panel" "trayer"): a window of
        // orvane's below it.
        auto iconInTray = [&] {
            const QString hosts = tool("xdotool", {"search", "--class", "^trayer$"});
            for (const QString& host : hosts.split('\n', Qt::SkipEmptyParts))
                if (tool("xwininfo", {"-tree", "-id", host})
                        .contains("(\"orvane\"", Qt::CaseInsensitive))
                    return true;
            return false;
        };

        QProcess app;
        launch(app, {files_.first()});
        QVERIFY(waitFor({"status"}, "Playing", 60000));
        QVERIFY(QTest::qWaitFor(windowShown, 30000));
        QVERIFY(!iconInTray());

        QProcess tray;
        tray.setProcessEnvironment(env_);
        tray.start("trayer", {"--edge", "top", "--align", "right", "--expand", "false",
                              "--width", "10", "--height", "24"});
        QVERIFY(tray.waitForStarted(10000));
        QVERIFY2(QTest::qWaitFor(iconInTray, 30000),
                 qPrintable(tool("xwininfo", {"-root", "-tree"})));

        // Closed with Ctrl+W: the window hides, the music goes on.
        // (Pressed again while the window has not taken the keyboard yet: no window manager
        // hands it over here.)
        const QString window = windowTitled("One");
        bool hidden = false;
        for (int attempt = 0; attempt < 10 && !hidden; ++attempt) {
            tool("xdotool", {"windowfocus", "--sync", window, "key", "ctrl+w"});
            hidden = QTest::qWaitFor([&] { return !windowShown(); }, 3000);
        }
        QVERIFY(hidden);
        QVERIFY(app.state() == QProcess::Running);
        QCOMPARE(playerctl({"status"}), QStringLiteral("Playing"));

        // The tray host goes: the window is the way back, so it comes back.
        tray.kill();
        tray.waitForFinished(10000);
        QVERIFY(QTest::qWaitFor(windowShown, 30000));
        QCOMPARE(playerctl({"status"}), QStringLiteral("Playing"));
        QVERIFY(quit(app));
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
        launch(app, {files_.first()});
        env_ = plain;
        QVERIFY(waitFor({"status"}, "Playing", 60000));

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

    void runsNativelyUnderWayland() {
        // A headless compositor of its own, its socket in a runtime folder of its own.
        const QString runtime = dir_.filePath("wayland-runtime");
        QVERIFY(QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
        QProcessEnvironment compositorEnv = QProcessEnvironment::systemEnvironment();
        compositorEnv.insert("XDG_RUNTIME_DIR", runtime);
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
            compositorEnv.remove(name);
        QProcess compositor;
        compositor.setProcessEnvironment(compositorEnv);
        compositor.setProcessChannelMode(QProcess::MergedChannels);
        compositor.start("weston", {"--backend=headless-backend.so", "--socket=orvane-test",
                                    "--idle-time=0"});
        QVERIFY(compositor.waitForStarted(10000));
        const auto stopCompositor = qScopeGuard([&] {
            compositor.terminate();
            if (!compositor.waitForFinished(10000))
                compositor.kill();
        });
        QVERIFY2(QTest::qWaitFor([&] { return QFileInfo::exists(runtime + "/orvane-test"); },
                                 30000),
                 compositor.readAll().constData());

        // The announcement goes to the desktop's notifications: a floating window cannot be
        // placed on Wayland.
        NotificationServer notifications;
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerObject("/org/freedesktop/Notifications", &notifications,
                                   QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService("org.freedesktop.Notifications"));
        const auto unregister = qScopeGuard([&] {
            bus.unregisterService("org.freedesktop.Notifications");
            bus.unregisterObject("/org/freedesktop/Notifications");
        });

        QProcessEnvironment env = env_;
        env.remove("DISPLAY");
        env.insert("QT_QPA_PLATFORM", "wayland");
        env.insert("WAYLAND_DISPLAY", "orvane-test");
        env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("XDG_CONFIG_HOME", dir_.filePath("wayland-config"));
        env.insert("ORVANE_AUDIO_SINK", "fakesink sync=true");
        env.insert("WAYLAND_DEBUG", "client"); // the client's requests, on standard error
        // libwayland-client and the graphics drivers Qt's Wayland plugin loads (and unloads:
        // nothing can name them then) leave allocations at exit; Orvane's own code is checked
        // for leaks by the runs under X and offscreen.
        if (const QString asan = env.value("ASAN_OPTIONS"); !asan.isEmpty())
            env.insert("ASAN_OPTIONS", asan + ":detect_leaks=0");
        QProcess app;
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::SeparateChannels);
        app.start(QStringLiteral(ORVANE_BINARY), {files_.at(1)});
        QByteArray protocol;
        const auto mapped = [&] {
            protocol += app.readAllStandardError();
            // A top-level surface, configured by the compositor, then given its first buffer.
            const qsizetype acked = protocol.indexOf("xdg_surface@");
            const qsizetype configured = protocol.indexOf(".ack_configure(", acked);
            return acked >= 0 && configured >= 0 &&
                   protocol.indexOf(".attach(wl_buffer@", configured) >= 0;
        };
        QVERIFY2(QTest::qWaitFor(mapped, 60000), protocol.right(4000).constData());
        QVERIFY(protocol.contains("xdg_wm_base@") && protocol.contains("get_toplevel("));
        QVERIFY(waitFor({"status"}, "Playing", 60000));
        QCOMPARE(playerctl({"metadata", "--format", "{{title}}"}), QStringLiteral("Two"));
        const double from = position();
        QVERIFY(QTest::qWaitFor([&] { return position() > from + 0.5; }, 30000));
        QTRY_VERIFY_WITH_TIMEOUT(notifications.summaries.contains("Two"), 30000);
        app.readAllStandardError(); // the protocol log is no longer looked at
        const bool ended = quit(app);
        QByteArray said;
        for (const QByteArray& line : app.readAllStandardError().split('\n'))
            if (!line.startsWith('['))
                said += line + '\n';
        QVERIFY2(ended, said.right(6000).constData());
    }
};

QTEST_GUILESS_MAIN(TestSystem)
#include "tst_system.moc"
