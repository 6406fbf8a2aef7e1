// Launching the real orvane binary from a command line: options, files and folders, one
// instance per user and settings file, and what a second launch does when it cannot hand over.
#include "app/instancelock.h"
#include "app/singleinstance.h"
#include "engine/filename.h"
#include "engine/playliststore.h"
#include "support/files.h"
#include "support/tagwriter.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <memory>
#include <vector>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;

class TestLaunch : public QObject {
    Q_OBJECT

    static constexpr const char* kService = "org.mpris.MediaPlayer2.orvane";

    QTemporaryDir dir_;
    QProcessEnvironment env_;
    QString settingsFile_;

    struct Run {
        int code = -1;
        QByteArray out, err;
    };
    // Runs a launch that is expected to end by itself.
    Run run(const QStringList& args, int ms = 60000) {
        QProcess p;
        p.setProcessEnvironment(env_);
        p.start(QStringLiteral(ORVANE_BINARY), args);
        Run r;
        if (!p.waitForStarted(10000) ||
            !QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, ms)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }
    void start(QProcess& p, const QStringList& args) {
        p.setProcessEnvironment(env_);
        p.start(QStringLiteral(ORVANE_BINARY), args);
    }
    static void stop(QProcess& p) {
        if (p.state() == QProcess::NotRunning)
            return;
        p.terminate();
        if (!p.waitForFinished(20000)) {
            p.kill();
            p.waitForFinished();
        }
    }
    // Whether `p` ends by itself within a minute, normally and with code 0 (what it said on
    // standard error shows when not).
    static bool endsCleanly(QProcess& p) {
        if (QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 60000) &&
            p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return true;
        qWarning("%s", p.readAllStandardError().right(4000).constData());
        return false;
    }
    QString wav(const QString& name) { return toneFile(dir_, name); }
    void forgetSettings() const {
        QFile::remove(settingsFile_);
        QFile::remove(PlaylistStore::pathBeside(settingsFile_));
        QFile::remove(metadataCache());
    }
    QString metadataCache() const { return dir_.filePath("cache/orvane/playlist-metadata"); }
    // Waits for the running instance's media controls.
    static bool playerAppears() {
        return QTest::qWaitFor(
            [] {
                return QDBusConnection::sessionBus()
                    .interface()
                    ->isServiceRegistered(kService)
                    .value();
            },
            60000);
    }
    static QDBusMessage call(const QString& interface, const QString& method,
                             const QVariantList& arguments = {}) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(kService, "/org/mpris/MediaPlayer2", interface, method);
        message.setArguments(arguments);
        return QDBusConnection::sessionBus().call(message);
    }
    // A property of the player, as the media controls publish it.
    static QVariant playerProperty(const QString& name) {
        const QDBusMessage reply =
            call("org.freedesktop.DBus.Properties", "Get", {"org.mpris.MediaPlayer2.Player", name});
        return reply.arguments().isEmpty()
                   ? QVariant()
                   : reply.arguments().first().value<QDBusVariant>().variant();
    }
    // The file names of the playlist the running instance stored.
    QStringList storedNames() const {
        QSettings settings(PlaylistStore::pathBeside(settingsFile_), QSettings::IniFormat);
        QStringList names;
        for (const QVariant& v : settings.value("playlistBookmarks").toList()) {
            const QByteArray bytes = v.toByteArray();
            names.append(QFileInfo(QString::fromUtf8(bytes.mid(bytes.indexOf('/')))).fileName());
        }
        return names;
    }

private Q_SLOTS:
    void initTestCase() {
        for (const char* folder : {"config", "runtime", "music/sub"})
            QVERIFY(QDir().mkpath(dir_.filePath(folder)));
        QFile::setPermissions(dir_.filePath("runtime"), QFileDevice::ReadOwner |
                                                            QFileDevice::WriteOwner |
                                                            QFileDevice::ExeOwner);
        // The test reaches the same lock and socket as the launches.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.filePath("config")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir_.filePath("runtime")));
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert("QT_QPA_PLATFORM", "offscreen");
        env_.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
        env_.insert("XDG_RUNTIME_DIR", dir_.filePath("runtime"));
        env_.insert("XDG_CACHE_HOME", dir_.filePath("cache"));
        settingsFile_ = dir_.filePath("config/Orvane/Orvane.conf");
    }

    void optionsAndArgumentsAreCheckedBeforeAnyHandOver() {
        // A running instance, played by the test.
        InstanceLock lock(InstanceLock::pathFor(settingsFile_));
        QCOMPARE(lock.tryLock(), InstanceLock::Result::Acquired);
        std::optional<SingleInstance> running;
        running.emplace(SingleInstance::defaultSocketPath(settingsFile_));
        QVERIFY2(running->listen(), qPrintable(running->errorString()));
        QSignalSpy opened(&*running, &SingleInstance::filesOpened);
        QSignalSpy raised(&*running, &SingleInstance::raiseRequested);

        Run help = run({"--help"});
        QCOMPARE(help.code, 0);
        QVERIFY(help.out.contains("Usage: orvane"));
        Run version = run({"--version"});
        QCOMPARE(version.code, 0);
        QVERIFY(version.out.startsWith("Orvane "));
        Run bad = run({"--shuffle-all", wav("one.wav")});
        QCOMPARE(bad.code, 2);
        QVERIFY(bad.err.contains("shuffle-all"));
        QVERIFY(bad.err.contains("Usage: orvane"));
        // The running one never heard of them: a hand-over is answered before the launch ends,
        // so one would have shown by now (and the next launch's shows after it, below).
        QCOMPARE(opened.count() + raised.count(), 0);

        // Folders go as they are (the running one expands them); what cannot be played is
        // reported and left out.
        const QString notes = dir_.filePath("music/notes.txt");
        QFile(notes).open(QIODevice::WriteOnly);
        Run files = run({dir_.filePath("music"), dir_.filePath("gone.mp3"), notes,
                         QUrl::fromLocalFile(wav("one.wav")).toString()});
        QCOMPARE(files.code, 0);
        QVERIFY(files.err.contains("gone.mp3: no such file or folder"));
        QVERIFY(files.err.contains("notes.txt: not an audio file"));
        QCOMPARE(opened.count(), 1);
        QCOMPARE(raised.count(), 0);
        QCOMPARE(opened.first().first().toStringList(),
                 (QStringList{dir_.filePath("music"), dir_.filePath("one.wav")}));

        // An instance that holds the lock but does not answer: the launch gives up with an
        // error and starts nothing of its own (no settings written, no second player).
        running.reset();
        Run unanswered = run({wav("one.wav")});
        QCOMPARE(unanswered.code, 1);
        QVERIFY(unanswered.err.contains("does not answer"));
        QVERIFY(!QFileInfo::exists(settingsFile_));
    }

    void oneInstanceTakesEveryLaunch() {
        // Two launches at once on fresh settings: one runs, the other hands over its folder.
        wav("music/b10.wav");
        wav("music/b2.wav");
        wav("music/sub/a1.wav");
        QProcess first, second;
        start(first, {});
        start(second, {dir_.filePath("music")});
        QVERIFY(QTest::qWaitFor(
            [&] {
                return first.state() == QProcess::NotRunning ||
                       second.state() == QProcess::NotRunning;
            },
            60000));
        QProcess& gone = first.state() == QProcess::NotRunning ? first : second;
        QProcess& running = &gone == &first ? second : first;
        QCOMPARE(gone.exitStatus(), QProcess::NormalExit);
        QCOMPARE(gone.exitCode(), 0);
        // The folder expands as a dropped one does: audio files, by name, numbers as numbers.
        QVERIFY(QTest::qWaitFor([&] { return storedNames().size() == 3; }, 60000));
        QCOMPARE(storedNames(), (QStringList{"a1.wav", "b2.wav", "b10.wav"}));
        QCOMPARE(running.state(), QProcess::Running);

        // Any name is handed over whole, a newline included.
        Run more = run({wav("A.wav"), wav("new\nline.wav"), wav("B.wav"), wav("C.wav")});
        QCOMPARE(more.code, 0);
        QVERIFY(QTest::qWaitFor([&] { return storedNames().size() == 7; }, 60000));
        QCOMPARE(storedNames().mid(3), (QStringList{"A.wav", "new\nline.wav", "B.wav", "C.wav"}));
        QCOMPARE(running.state(), QProcess::Running);

        // Many launches at once, several files each: each launch's files stay together, in
        // the order given, whatever the order the launches are taken in.
        constexpr int kLaunches = 30, kFiles = 10;
        std::vector<QStringList> given(kLaunches);
        std::vector<std::unique_ptr<QProcess>> launches;
        QStringList paths;
        for (int i = 0; i < kLaunches; ++i) {
            for (int j = 0; j < kFiles; ++j) {
                const QString name = QStringLiteral("L%1-%2.wav").arg(i).arg(j);
                QVERIFY(QFile::copy(wav("A.wav"), dir_.filePath(name)));
                given[size_t(i)].append(name);
            }
        }
        for (int i = 0; i < kLaunches; ++i) {
            QStringList args;
            for (const QString& name : given[size_t(i)])
                args.append(dir_.filePath(name));
            launches.push_back(std::make_unique<QProcess>());
            start(*launches.back(), args);
        }
        for (auto& launch : launches)
            QVERIFY(endsCleanly(*launch));
        const qsizetype total = 7 + kLaunches * kFiles;
        QVERIFY(QTest::qWaitFor([&] { return storedNames().size() == total; }, 60000));
        const QStringList names = storedNames();
        for (const QStringList& launch : given) {
            const qsizetype at = names.indexOf(launch.first());
            QVERIFY(at >= 7);
            QCOMPARE(names.mid(at, launch.size()), launch);
        }
        stop(running);
    }

    void quitEndsAtOnceWhileAHugeFileIsRead() {
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        // 4 GB of zeros named .mp3 (a sparse file): TagLib would look for a frame through all
        // of it, byte by byte.
        const QString big = dir_.filePath("zeros.mp3");
        QFile file(big);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(4) << 30));
        file.close();
        forgetSettings();
        QProcess running;
        start(running, QStringList(60, big)); // each read takes a fraction of a second: many
        QVERIFY(playerAppears());
        // The reads are under way: the file is open in the player.
        const QString fds = QStringLiteral("/proc/%1/fd").arg(running.processId());
        const QString target = QFileInfo(big).canonicalFilePath();
        QVERIFY(QTest::qWaitFor(
            [&] {
                for (const QString& fd : QDir(fds).entryList(QDir::AllEntries | QDir::System))
                    if (QFile::symLinkTarget(fds + '/' + fd) == target)
                        return true;
                return false;
            },
            60000));
        QElapsedTimer quitting;
        quitting.start();
        QCOMPARE(call("org.mpris.MediaPlayer2", "Quit").type(), QDBusMessage::ReplyMessage);
        QVERIFY(endsCleanly(running));
        qInfo("the process ended %lld ms after Quit", quitting.elapsed());
        QVERIFY(quitting.elapsed() < 3000); // 1 s unloaded; the sanitizers and a busy machine
        QFile::remove(big);
    }

    void anyFileNameOpensFromTheCommandLine() {
        // Names as bytes survive the trip through text, whatever they hold.
        for (const QByteArray& bytes :
             {QByteArray("/music/caf\xe9.mp3"), QByteArray("/\xff\xfe\x80"),
              QByteArray("/Кино/Группа крови.flac"), QByteArray("/\xed\xb3\xbf cesu"),
              QByteArray("/\xf0\x9f\x8e\xb5 \xc3"), QByteArray("/emoji \xf0\x9f\x8e\xb5")})
            QCOMPARE(encodeFileName(decodeFileName(bytes)), bytes);

        // A Latin-1 name: not UTF-8.
        QFile plain(wav("plain.wav"));
        QVERIFY(plain.open(QIODevice::ReadOnly));
        const QByteArray odd = QFile::encodeName(dir_.path()) + "/caf\xe9 tone.wav";
        const int fd = ::open(odd.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        QVERIFY(fd >= 0);
        const QByteArray audio = plain.readAll();
        QCOMPARE(::write(fd, audio.constData(), size_t(audio.size())), ssize_t(audio.size()));
        ::close(fd);

        forgetSettings();
        // Started with a low soft limit on descriptors: it raises it to the hard one.
        QProcess running;
        running.setChildProcessModifier([] {
            rlimit limit{};
            ::getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 512);
            ::setrlimit(RLIMIT_NOFILE, &limit);
        });
        start(running, {});
        QVERIFY(playerAppears());
        rlimit ours{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &ours), 0);
        QFile limits(QStringLiteral("/proc/%1/limits").arg(running.processId()));
        QVERIFY(limits.open(QIODevice::ReadOnly));
        const QString soft = QString::fromLatin1(limits.readAll()).section("Max open files", 1);
        if (ours.rlim_max > 512 && ours.rlim_max != RLIM_INFINITY)
            QCOMPARE(soft.split(' ', Qt::SkipEmptyParts).value(0), QString::number(ours.rlim_max));
        // Through a shell, so that the argument is exactly those bytes.
        QProcess second;
        second.setProcessEnvironment(env_);
        second.start("/bin/sh", {"-c", "exec \"$0\" \"$1/caf$(printf '\\351') tone.wav\"",
                                 ORVANE_BINARY, dir_.path()});
        QVERIFY(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 60000));
        const QByteArray err = second.readAllStandardError();
        QVERIFY2(second.exitCode() == 0, err.constData());
        QVERIFY2(!err.contains("no such file"), err.constData());
        // It plays, and its length was read from the file.
        QVERIFY(
            QTest::qWaitFor([&] { return playerProperty("PlaybackStatus") == "Playing"; }, 30000));
        const QVariantMap metadata = qdbus_cast<QVariantMap>(playerProperty("Metadata"));
        QCOMPARE(metadata.value("mpris:length").toLongLong(), 1000000);
        stop(running);
    }

    void quitSignalsKeepTheLastAdd() {
        // A logout (SIGTERM), Ctrl+C in a terminal (SIGINT) or a closed terminal (SIGHUP) right
        // after an add, before the playlist's save was due: the process quits as Quit does,
        // and the file is stored.
        auto title = [] {
            return qdbus_cast<QVariantMap>(playerProperty("Metadata")).value("xesam:title").toString();
        };
        for (const auto& [signal, name] :
             {std::pair{SIGTERM, "term"}, std::pair{SIGINT, "int"}, std::pair{SIGHUP, "hup"}}) {
            const QString song = wav(QStringLiteral("signal-%1.wav").arg(name));
            QVERIFY(writeWavInfo(song, QStringLiteral("Last %1").arg(name), "Artist"));
            forgetSettings();
            QProcess running;
            start(running, {});
            QVERIFY(playerAppears());
            QCOMPARE(call("org.mpris.MediaPlayer2.Player", "OpenUri",
                          {QUrl::fromLocalFile(song).toString()})
                         .type(),
                     QDBusMessage::ReplyMessage);
            // As soon as it plays (it is in the list), well inside the 0.25 s the save waits.
            QElapsedTimer since;
            since.start();
            while (title() != QStringLiteral("Last %1").arg(name) && since.elapsed() < 30000)
                QTest::qWait(5);
            QVERIFY2(since.elapsed() < 30000, name);
            QCOMPARE(::kill(pid_t(running.processId()), signal), 0);
            QVERIFY2(endsCleanly(running), name);
            QCOMPARE(storedNames(), QStringList{QFileInfo(song).fileName()});
            // What was read is kept where the next start reads it ahead (the cache's own tests
            // show what it then spares).
            QVERIFY(QFileInfo::exists(metadataCache()));
        }
        forgetSettings();
    }

    void oneInstanceHoldsWhateverHappensToTheLock() {
        const QString lockPath = InstanceLock::pathFor(settingsFile_);
        auto inode = [](const QString& path) {
            struct stat st {};
            return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
        };
        // A lock file that cannot be made (its folder is a file) is told apart from one that is
        // there but cannot be opened (a launch meets one below): only the first falls back.
        QFile regular(dir_.filePath("regular"));
        QVERIFY(regular.open(QIODevice::WriteOnly));
        QCOMPARE(InstanceLock(dir_.filePath("regular/sub.lock")).tryLock(),
                 InstanceLock::Result::Failed);

        forgetSettings();
        QFile::remove(lockPath);
        QProcess running;
        start(running, {});
        QVERIFY(playerAppears());
        // Its lock file deleted: a later launch still hands its file to it and ends.
        const ino_t first = inode(lockPath);
        QVERIFY(first != 0);
        QVERIFY(QFile::remove(lockPath));
        Run handed = run({wav("after-unlink.wav")}, 30000);
        QVERIFY2(handed.code == 0, handed.err.constData());
        QVERIFY(QTest::qWaitFor([&] { return storedNames() == QStringList{"after-unlink.wav"}; },
                                60000));
        QCOMPARE(running.state(), QProcess::Running);
        // And it holds the lock file at the path again.
        QVERIFY(QTest::qWaitFor(
            [&] {
                InstanceLock probe(lockPath);
                return probe.tryLock() == InstanceLock::Result::HeldElsewhere;
            },
            30000));
        QVERIFY(inode(lockPath) != first);
        stop(running);
        QCOMPARE(running.exitStatus(), QProcess::NormalExit);

        // A lock file that cannot be opened (a folder here; made unreadable by another user,
        // the same): the launch says so and runs nothing, rather than take another lock.
        forgetSettings();
        QVERIFY(QFile::remove(lockPath));
        QVERIFY(QDir().mkpath(lockPath));
        Run blocked = run({wav("blocked.wav")}, 30000);
        QCOMPARE(blocked.code, 1);
        QVERIFY2(blocked.err.contains("cannot take the instance lock"), blocked.err.constData());
        QVERIFY(!QFileInfo::exists(PlaylistStore::pathBeside(settingsFile_)));
        QVERIFY(QDir().rmdir(lockPath));
    }

    void aSettingsFileThatIsNoFileDoesNotBlockStartUp() {
        forgetSettings();
        QCOMPARE(mkfifo(QFile::encodeName(settingsFile_).constData(), 0600), 0);
        QProcess running;
        const QString socket = SingleInstance::defaultSocketPath(settingsFile_);
        QFile::remove(socket);
        start(running, {});
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(socket); }, 30000));
        // It answers later launches: it did not hang opening the FIFO.
        Run again = run({});
        QCOMPARE(again.code, 0);
        QCOMPARE(running.state(), QProcess::Running);
        stop(running);
        forgetSettings();
    }
};

QTEST_GUILESS_MAIN(TestLaunch)
#include "tst_launch.moc"
