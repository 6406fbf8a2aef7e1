// The media controls under a flood of oversized requests on a private session bus: refused with
// an error, and the bus connection keeps answering.
#include "app/mprisservice.h"
#include "support/enginefixture.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QProcess>
#include <QTest>

using namespace orvane;
using namespace orvane::test;

class TestMprisFlood : public QObject {
    Q_OBJECT

    static QDBusMessage method(const QString& interface, const QString& name) {
        return QDBusMessage::createMethodCall("org.mpris.MediaPlayer2.orvane",
                                              "/org/mpris/MediaPlayer2", interface, name);
    }

private Q_SLOTS:
    void oversizedOpenUriIsRefusedAndTheBusStaysAlive() {
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        EngineFixture f;
        AudioEngine& e = f.start();
        QTemporaryDir cache;
        MprisService mpris(&e, {{}, {}}, cache.path());
        e.setNowPlayingPublisher(&mpris);
        QVERIFY(mpris.start());
        // A client in another process, as the desktop's are.
        auto flood = [](int calls, int bytes) {
            QProcess p;
            p.start(DBUSFLOOD, {QString::number(calls), QString::number(bytes)});
            const bool ended =
                p.waitForStarted(10000) &&
                QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 300000);
            if (!ended)
                p.kill();
            p.waitForFinished();
            return QString::fromLatin1(p.readAllStandardOutput()).trimmed();
        };
        // errors, replies, time-outs; then whether the player still answers a ping
        QCOMPARE(flood(1, 64 * 1024 + 1), QStringLiteral("1 0 0\npong"));
        QCOMPARE(flood(130, 1 << 20), QStringLiteral("130 0 0\npong"));
        QVERIFY(e.playlist().isEmpty());
        QDBusConnection client =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, "client");
        auto openUri = [&](const QString& uri) {
            QDBusMessage m = method("org.mpris.MediaPlayer2.Player", "OpenUri");
            m << uri;
            return client.asyncCall(m, 30000);
        };

        // Still answering, and a URI of a sensible length still opens.
        QDBusPendingCall ping = client.asyncCall(method("org.freedesktop.DBus.Peer", "Ping"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(ping.isFinished(), 10000);
        QVERIFY(!ping.isError());
        const QString path = placeholderFiles(f.dir, {"fine.mp3"}).first().toLocalFile();
        QDBusPendingCall fine = openUri(QUrl::fromLocalFile(path).toString());
        QTRY_VERIFY_WITH_TIMEOUT(fine.isFinished(), 10000);
        QVERIFY(!fine.isError());
        QTRY_COMPARE(e.playlist().size(), 1);
        QDBusConnection::disconnectFromBus("client");
    }
};

QTEST_MAIN(TestMprisFlood)
#include "tst_mprisflood.moc"
