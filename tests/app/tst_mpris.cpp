// The media controls through a real MPRIS client (playerctl) on a private session bus.
#include "app/mprisservice.h"
#include "support/enginefixture.h"
#include "support/playerctl.h"

#include <QDBusConnection>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace orvane;
using namespace orvane::test;

class TestMpris : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        if (!QDBusConnection::sessionBus().isConnected())
            QFAIL("no session bus: run the tests through scripts/test (dbus-run-session)");
        if (QStandardPaths::findExecutable("playerctl").isEmpty())
            QFAIL("playerctl is not installed");
    }

    void playerctlSeesAndDrivesTheEngine() {
        EngineFixture f;
        AudioEngine& e = f.start();
        QTemporaryDir cache;
        bool raised = false, quitAsked = false;
        MprisService mpris(&e, {[&] { raised = true; }, [&] { quitAsked = true; }}, cache.path());
        e.setNowPlayingPublisher(&mpris);
        QVERIFY(mpris.start());

        QVERIFY(playerctl({"-l"}).split('\n').contains("orvane"));
        QCOMPARE(playerctl({"status"}), QStringLiteral("Stopped"));

        QList<Track> list = f.tracks({"first", "second", "third"}, 200);
        list[0].artist = "Кино";
        list[0].artwork = QByteArray("\x89PNG\r\n\x1a\n fake png bytes", 24);
        e.setPlaylist(list);
        e.play(e.playlist().at(0));
        QCOMPARE(playerctl({"status"}), QStringLiteral("Playing"));
        QCOMPARE(playerctl({"metadata", "--format", "{{title}}|{{artist}}|{{mpris:length}}"}),
                 QStringLiteral("first|Кино|200000000"));
        const QString art = playerctl({"metadata", "mpris:artUrl"});
        QVERIFY2(art.startsWith("file://" + cache.path()), qPrintable(art));
        QCOMPARE(QFile(QUrl(art).toLocalFile()).size(), 24);

        playerctl({"play-pause"});
        QVERIFY(!e.isPlaying());
        QCOMPARE(playerctl({"status"}), QStringLiteral("Paused"));
        f.clock.advance(2); // the pause fade ends: the player itself is paused
        QVERIFY(!f.lastFile()->isPlaying());
        playerctl({"pause"}); // already paused: Pause is no toggle, nothing happens
        QVERIFY(!e.isPlaying());
        QVERIFY(!f.lastFile()->isPlaying());
        QCOMPARE(playerctl({"status"}), QStringLiteral("Paused"));
        playerctl({"play"});
        QVERIFY(e.isPlaying());

        playerctl({"next"});
        QCOMPARE(e.currentTrack()->title, QStringLiteral("second"));
        QCOMPARE(playerctl({"metadata", "--format", "{{title}}|{{artist}}"}),
                 QStringLiteral("second|"));

        f.lastFile()->setCurrentTime(2.5);
        // Read live from the player (playerctl adds the time its own call took while playing).
        QVERIFY(std::abs(playerctl({"position"}).toDouble() - 2.5) < 0.2);
        playerctl({"position", "30"});
        QCOMPARE(f.lastFile()->seeks.back(), 30.0);
        QVERIFY(std::abs(playerctl({"position"}).toDouble() - 30.0) < 0.2);
        playerctl({"position", "5-"});
        QCOMPARE(f.lastFile()->seeks.back(), 25.0);

        playerctl({"previous"}); // past 3 s: restart
        QCOMPARE(e.currentTrack()->title, QStringLiteral("second"));
        playerctl({"previous"});
        QCOMPARE(e.currentTrack()->title, QStringLiteral("first"));

        playerctl({"volume", "0.4"});
        QCOMPARE(e.volume(), 0.4);
        QCOMPARE(playerctl({"volume"}).toDouble(), 0.4);
        playerctl({"loop", "Track"});
        QVERIFY(e.isRepeat());
        QCOMPARE(playerctl({"loop"}), QStringLiteral("Track"));
        playerctl({"shuffle", "On"});
        QVERIFY(e.isShuffle());

        // A station: its name, the localized "Internet Radio", no length, no seeking.
        const auto seekCount = [&] {
            std::size_t n = 0;
            for (const auto& player : f.players.files)
                n += player->seeks.size();
            return n;
        };
        e.play(e.stations().at(0));
        QCOMPARE(playerctl({"metadata", "--format", "{{title}}|{{artist}}|{{mpris:length}}"}),
                 e.stations().at(0).name + "|Internet Radio|");
        const auto playersBefore = f.players.files.size();
        const auto seeksBefore = seekCount();
        QSignalSpy seeked(&e, &AudioEngine::seeked);
        playerctl({"position", "10"});
        playerctl({"position", "5+"});
        // No seeking while a station plays: no player of any kind moved, none was made, and the
        // engine announced no jump.
        QCOMPARE(f.players.files.size(), playersBefore);
        QCOMPARE(seekCount(), seeksBefore);
        QCOMPARE(seeked.count(), 0);
        QCOMPARE(e.progress(), 0.0);
        QVERIFY(e.isRadioActive());

        const QString id = playerctl({"metadata", "mpris:trackid"});
        QVERIFY2(id.contains("/orvane/station/"), qPrintable(id));
        QVERIFY(!raised && !quitAsked);
    }
};

QTEST_GUILESS_MAIN(TestMpris)
#include "tst_mpris.moc"
