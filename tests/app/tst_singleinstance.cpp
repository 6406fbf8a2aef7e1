// One instance per settings file: a second launch hands its files over the instance's socket,
// whatever comes down that socket, however many connections wait on it, and wherever the socket's
// folder was planted.
#include "app/singleinstance.h"
#include "support/descriptors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent/QtConcurrentRun>
#include <QtEndian>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;

class TestSingleInstance : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    static sockaddr_un addressOf(const QString& socket) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(socket).constData(), sizeof address.sun_path);
        return address;
    }

private Q_SLOTS:
    void secondLaunchesForwardFilesOrRaise() {
        const QString socket = dir_.filePath("run/orvane.sock");
        SingleInstance running(socket);
        QVERIFY(running.listen()); // (its folder's 0700: theSocketFolderIsPrivateAndNeverTakenOver)
        struct stat st {};
        QCOMPARE(stat(socket.toUtf8().constData(), &st), 0);
        QCOMPARE(st.st_mode & 0077, 0u); // this user only

        QSignalSpy opened(&running, &SingleInstance::filesOpened);
        QSignalSpy raised(&running, &SingleInstance::raiseRequested);
        // The second launch blocks while it waits; the running one answers from its event loop.
        auto launch = [socket](QStringList paths) {
            return QtConcurrent::run([socket, paths] {
                SingleInstance second(socket);
                return second.forwardToRunning(paths, 20000);
            });
        };
        // Any byte string is one path: a newline in a name splits nothing.
        const QStringList odd{"/music/a.mp3", "/music/new\nline.mp3", "/music/Кино/b.flac",
                              "/music/c.mp3"};
        auto first = launch(odd);
        QTRY_VERIFY(first.isFinished());
        QVERIFY(first.result());
        QCOMPARE(opened.count(), 1);
        QCOMPARE(opened.first().first().toStringList(), odd);
        auto bare = launch({});
        QTRY_VERIFY(bare.isFinished());
        QVERIFY(bare.result());
        QCOMPARE(raised.count(), 1);

        // More than a mebibyte of paths: 20,000 files under a 59-character folder.
        const QString folder = "/" + QString(58, 'f');
        QStringList many;
        for (int i = 0; i < 20000; ++i)
            many.append(QStringLiteral("%1/track %2.mp3").arg(folder).arg(i));
        auto big = launch(many);
        QTRY_VERIFY_WITH_TIMEOUT(big.isFinished(), 30000);
        QVERIFY(big.result());
        QCOMPARE(opened.count(), 2);
        QCOMPARE(opened.last().first().toStringList(), many);

        // Garbage, relative paths and floods are answered with an error and have no effect.
        auto frame = [](const QByteArray& bytes) {
            QByteArray n(4, 0);
            qToBigEndian(quint32(bytes.size()), n.data());
            return n + bytes;
        };
        for (const QByteArray& junk :
             {QByteArray("HELLO\n\n"), "ORVANE/2\n" + frame(frame("relative/path.mp3")),
              "ORVANE/2\n" + frame(frame(QByteArray("/nul\0.mp3", 9))),
              "ORVANE/2\n" + frame(QByteArray("\xff\xff\xff\xff/x", 6)),
              QByteArray("ORVANE/2\n\x7f\xff\xff\xff", 13)}) {
            QLocalSocket client;
            client.connectToServer(socket);
            QVERIFY(client.waitForConnected(2000));
            client.write(junk);
            client.flush();
            QTRY_VERIFY(client.canReadLine());
            QVERIFY2(client.readLine().startsWith("ERR "), junk.left(20).constData());
            QTRY_COMPARE(client.state(), QLocalSocket::UnconnectedState);
        }
        QCOMPARE(opened.count(), 2);
        QCOMPARE(raised.count(), 1);
        {
            // The sender learns why.
            SingleInstance tooLong(socket);
            QCOMPARE(tooLong.handOver({"/" + QByteArray(SingleInstance::maxPathBytes, 'x')}),
                     SingleInstance::Handover::Refused);
        }

        // Running out of descriptors (a failed accept) does not end the server.
        {
            // Clients made first; then every descriptor below the lowered limit is taken, so
            // the server has none to accept with.
            std::vector<int> clients;
            for (int i = 0; i < 50; ++i)
                clients.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            int used = 0;
            for (int fd = 0; fd < 65536; ++fd)
                used = fcntl(fd, F_GETFD) != -1 ? fd + 1 : used;
            NoDescriptorsLeft none{rlim_t(used)};
            const sockaddr_un address = addressOf(socket);
            for (int fd : clients)
                QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address),
                         0);
            // The server says so once, and keeps listening.
            static QAtomicInt stalled;
            static QtMessageHandler previous;
            stalled = 0;
            previous = qInstallMessageHandler(
                [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
                    if (message.contains("cannot take a hand-over now"))
                        stalled.fetchAndAddRelaxed(1);
                    else
                        previous(type, context, message);
                });
            QTRY_VERIFY_WITH_TIMEOUT(stalled.loadRelaxed() > 0, 20000);
            none.release();
            for (int fd : clients)
                ::close(fd);
            QVERIFY(running.isListening());
            auto after = launch({"/music/after.mp3"});
            QTRY_VERIFY_WITH_TIMEOUT(after.isFinished(), 20000);
            qInstallMessageHandler(previous);
            QVERIFY(after.result());
            QCOMPARE(opened.last().first().toStringList(), QStringList{"/music/after.mp3"});
            QCOMPARE(stalled.loadRelaxed(), 1); // not once per retry
        }

        // No instance left: a launch finds nobody.
        SingleInstance nobody(dir_.filePath("run/none.sock"));
        QVERIFY(!nobody.forwardToRunning({"/x.mp3"}, 300));
    }

    void idleConnectionsHoldFewDescriptorsAndALaunchStillGetsThrough() {
        const QString socket = dir_.filePath("run/idle.sock");
        SingleInstance running(socket);
        QVERIFY(running.listen());
        QSignalSpy opened(&running, &SingleInstance::filesOpened);
        const auto openDescriptors = [] { return QDir("/proc/self/fd").count(); };
        const qsizetype before = openDescriptors();

        // 100 connections that never say anything.
        const sockaddr_un address = addressOf(socket);
        struct Idle {
            int fd;
            QByteArray answer;
            bool closed = false;
        };
        std::vector<Idle> idle;
        for (int i = 0; i < 100; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            QVERIFY(fd >= 0);
            QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
            idle.push_back({fd, {}, false});
        }
        // Those past the cap close the oldest at once, with an answer (before the time-out
        // for a message that never comes would answer them all).
        const auto closedCount = [&idle] {
            int closed = 0;
            for (Idle& c : idle) {
                char buffer[64];
                ssize_t n;
                while (!c.closed && (n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) {
                    if (n == 0)
                        c.closed = true;
                    else
                        c.answer.append(buffer, n);
                }
                closed += c.closed ? 1 : 0;
            }
            return closed;
        };
        const int past = 100 - SingleInstance::maxConnections;
        QTRY_COMPARE_WITH_TIMEOUT(closedCount(), past, 8000);
        for (const Idle& c : idle)
            QVERIFY(!c.closed || c.answer == "ERR busy\n");
        // Ours and the server's ends of those kept, no more.
        QVERIFY2(openDescriptors() - before <= 100 + SingleInstance::maxConnections + 2,
                 qPrintable(QString::number(openDescriptors() - before)));

        // A launch is served meanwhile; it takes the place of the oldest idle one.
        auto launch = QtConcurrent::run([socket] {
            return SingleInstance(socket).forwardToRunning({"/music/through.mp3"}, 20000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(launch.isFinished(), 20000);
        QVERIFY(launch.result());
        QCOMPARE(opened.count(), 1);
        QCOMPARE(opened.first().first().toStringList(), QStringList{"/music/through.mp3"});
        QVERIFY(running.isListening());
        for (const Idle& c : idle)
            ::close(c.fd);
    }

    void theSocketFolderIsPrivateAndNeverTakenOver() {
        QTemporaryDir dir;
        QString error;
        // Made by us: 0700 whatever the umask.
        const mode_t mask = umask(0);
        const QString made = dir.filePath("made");
        QVERIFY(SingleInstance::preparePrivateFolder(made, &error));
        umask(mask);
        struct stat st {};
        QCOMPARE(lstat(QFile::encodeName(made).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0700u);

        // Planted by someone: open to others, a link, a shared sticky folder, a file.
        const QByteArray open = QFile::encodeName(dir.filePath("open"));
        QCOMPARE(mkdir(open.constData(), 0700), 0);
        QCOMPARE(chmod(open.constData(), 0777), 0);
        const QByteArray sticky = QFile::encodeName(dir.filePath("sticky"));
        QCOMPARE(mkdir(sticky.constData(), 0700), 0);
        QCOMPARE(chmod(sticky.constData(), 01777), 0);
        QVERIFY(QFile::link(made, dir.filePath("link")));
        QFile file(dir.filePath("file"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QStringList planted{QString::fromLocal8Bit(open), QString::fromLocal8Bit(sticky),
                            dir.filePath("link"), dir.filePath("file")};
        if (geteuid() == 0) { // one owned by another user can be made here
            const QByteArray foreign = QFile::encodeName(dir.filePath("foreign"));
            QCOMPARE(mkdir(foreign.constData(), 0700), 0);
            QCOMPARE(chown(foreign.constData(), 65534, 65534), 0);
            planted.append(QString::fromLocal8Bit(foreign));
        }
        for (const QString& folder : planted) {
            // Someone listens there already: a launch hands it nothing.
            QLocalServer thief;
            const QString socket = folder + "/orvane.sock";
            const bool listening = QFileInfo(folder).isDir() && thief.listen(socket);
            SingleInstance launch(socket);
            QCOMPARE(launch.handOver({"/secret/file.mp3"}, 1000),
                     SingleInstance::Handover::NoAnswer);
            QVERIFY(!thief.hasPendingConnections());
            if (listening)
                thief.close();
            SingleInstance instance(socket);
            QVERIFY2(!instance.listen(), qPrintable(folder));
            QVERIFY(!instance.errorString().isEmpty());
        }
        // Nothing was changed.
        QCOMPARE(lstat(open.constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0777u);
        QCOMPARE(lstat(sticky.constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 01777u);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
