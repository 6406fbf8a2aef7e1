// The media controls through a real MPRIS client (playerctl) on a private session bus, under a
// flood of oversized requests, and the covers they publish.
#include "app/covercache.h"
#include "app/mprisservice.h"
#include "engine/gstsupport.h"
#include "support/enginefixture.h"
#include "support/playerctl.h"
#include "support/realengine.h"
#include "support/testaudio.h"

#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

using namespace orvane;
using namespace orvane::test;

namespace {

QString gdbus(const QStringList& args) {
    QProcess process;
    process.start("gdbus", args);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 15000))
        qFatal("gdbus hung");
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// A Player property as gdbus prints it ("true", "'Playing'", "2.0").
QString playerProperty(const QString& name) {
    QString out =
        gdbus({"call", "--session", "--dest", "org.mpris.MediaPlayer2.orvane", "--object-path",
               "/org/mpris/MediaPlayer2", "--method", "org.freedesktop.DBus.Properties.Get",
               "org.mpris.MediaPlayer2.Player", name});
    // "(<true>,)"
    return out.mid(2, out.size() - 5);
}

void setPlayerProperty(const QString& name, const QString& value) {
    gdbus({"call", "--session", "--dest", "org.mpris.MediaPlayer2.orvane", "--object-path",
           "/org/mpris/MediaPlayer2", "--method", "org.freedesktop.DBus.Properties.Set",
           "org.mpris.MediaPlayer2.Player", name, "<" + value + ">"});
}

} // namespace

class Listener : public QObject {
    Q_OBJECT
public:
    explicit Listener(std::function<void(const QVariantMap&)> fn)
        : fn_(std::move(fn)) {}
public Q_SLOTS:
    void changed(const QString&, const QVariantMap& properties, const QStringList&) {
        fn_(properties);
    }

private:
    std::function<void(const QVariantMap&)> fn_;
};

// An engine on fakes publishing through the media controls, covers in a folder of its own.
struct Published {
    EngineFixture f;
    AudioEngine& e = f.start();
    QTemporaryDir cache;
    MprisService mpris;
    explicit Published(MprisService::Hooks hooks = {})
        : mpris(&e, std::move(hooks), cache.path()) {
        e.setNowPlayingPublisher(&mpris);
    }
    ~Published() { e.setNowPlayingPublisher(nullptr); }
};

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
        bool raised = false, quitAsked = false;
        Published p({[&] { raised = true; }, [&] { quitAsked = true; }});
        EngineFixture& f = p.f;
        AudioEngine& e = p.e;
        QVERIFY(p.mpris.start());

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
        QVERIFY2(art.startsWith("file://" + p.cache.path()), qPrintable(art));
        QCOMPARE(QFile(QUrl(art).toLocalFile()).size(), 24);

        playerctl({"play-pause"});
        QVERIFY(!e.isPlaying());
        QCOMPARE(playerctl({"status"}), QStringLiteral("Paused"));
        f.clock.advance(2); // the pause fade ends (the player paused: tst_audioengine)
        playerctl({"pause"}); // already paused: Pause is no toggle, nothing happens
        QVERIFY(!e.isPlaying());
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
        playerctl({"shuffle", "On"});
        QVERIFY(e.isShuffle());

        // A station: its name, the localized "Internet Radio", no length, no seeking.
        e.play(e.stations().at(0));
        QCOMPARE(playerctl({"metadata", "--format", "{{title}}|{{artist}}|{{mpris:length}}"}),
                 e.stations().at(0).name + "|Internet Radio|");
        const auto playersBefore = f.players.files.size();
        QSignalSpy seeked(&e, &AudioEngine::seeked);
        playerctl({"position", "10"});
        playerctl({"position", "5+"});
        // No seeking while a station plays: no player was made (a skip), and the engine announced
        // no jump (a seek it passes on to a player: tst_audioengine's seekClamps... ignores radio).
        QCOMPARE(f.players.files.size(), playersBefore);
        QCOMPARE(seeked.count(), 0);
        QCOMPARE(e.progress(), 0.0);
        QVERIFY(e.isRadioActive());

        const QString id = playerctl({"metadata", "mpris:trackid"});
        QVERIFY2(id.startsWith("'/org/orvane/Station/"), qPrintable(id));

        // Stop on a station: "Stopped", and the song it named is gone from the metadata.
        f.lastStream()->report(StreamPlayer::TimeControlStatus::Playing);
        f.lastStream()->reportTitle("Band - Song");
        QTRY_COMPARE(playerctl({"metadata", "title"}), QStringLiteral("Song"));
        playerctl({"stop"});
        QCOMPARE(playerctl({"status"}), QStringLiteral("Stopped"));
        QCOMPARE(e.radioStatus(), QStringLiteral("stopped"));
        QCOMPARE(playerctl({"metadata", "title"}), e.stations().at(0).name);
        // A stream that fails reads "Stopped", not "Paused", without its last song either.
        playerctl({"play"});
        f.lastStream()->report(StreamPlayer::TimeControlStatus::Playing);
        f.clock.advance(1); // titles are published at most twice a second
        f.lastStream()->reportTitle("Band - Other");
        QTRY_COMPARE(playerctl({"metadata", "title"}), QStringLiteral("Other"));
        f.lastStream()->fail({StreamPlayer::Failure::Refused, 0});
        QTRY_COMPARE(e.radioStatus(), QStringLiteral("stream_error"));
        QCOMPARE(playerctl({"status"}), QStringLiteral("Stopped"));
        QCOMPARE(playerctl({"metadata", "title"}), e.stations().at(0).name);
        QVERIFY(!raised && !quitAsked);
    }

    void propertiesMeanWhatMprisSays() {
        Published p;
        EngineFixture& f = p.f;
        AudioEngine& e = p.e;
        QVERIFY(p.mpris.start());
        // A second connection listens as a desktop's media widget would.
        QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "w");
        QVERIFY(other.isConnected());
        QVariantMap lastChange;
        Listener listener([&](const QVariantMap& changed) {
            for (auto it = changed.begin(); it != changed.end(); ++it)
                lastChange.insert(it.key(), it.value());
        });
        QVERIFY(other.connect(QString(), "/org/mpris/MediaPlayer2",
                              "org.freedesktop.DBus.Properties", "PropertiesChanged", &listener,
                              SLOT(changed(QString, QVariantMap, QStringList))));

        // Nothing to play: nothing can be done.
        const QStringList can = {"CanPlay", "CanPause", "CanGoNext", "CanGoPrevious", "CanSeek"};
        for (const QString& name : can)
            QCOMPARE(playerProperty(name), QStringLiteral("false"));
        e.setPlaylist(f.tracks({"one", "two"}, 100));
        QCOMPARE(playerProperty("CanPlay"), QStringLiteral("true"));
        QCOMPARE(playerProperty("CanPause"), QStringLiteral("false"));
        QTRY_COMPARE(lastChange.value("CanPlay"), QVariant(true));
        e.play(e.playlist().at(0));
        for (const QString& name : can)
            QCOMPARE(playerProperty(name), QStringLiteral("true"));
        QTRY_COMPARE(lastChange.value("CanSeek"), QVariant(true));
        e.remove({e.playlist().at(0).id, e.playlist().at(1).id});
        QTRY_COMPARE(lastChange.value("CanPlay"), QVariant(false));
        QCOMPARE(playerctl({"status"}), QStringLiteral("Stopped"));
        QVERIFY(playerProperty("Metadata").contains("/org/mpris/MediaPlayer2/TrackList/NoTrack"));

        // Album and track number from the tags; the track id outside /org/mpris.
        QList<Track> list = f.tracks({"a", "b"}, 100);
        list[0].album = "Группа крови";
        list[0].trackNumber = 3;
        e.setPlaylist(list);
        e.play(e.playlist().at(0));
        QCOMPARE(playerctl({"metadata", "--format", "{{album}}|{{xesam:trackNumber}}"}),
                 QStringLiteral("Группа крови|3"));
        QVERIFY(playerctl({"metadata", "mpris:trackid"}).startsWith("'/org/orvane/Track/"));

        // Stop stops: status Stopped, position 0; Play starts again from the start, fading in.
        f.clock.advance(20);
        playerctl({"stop"});
        QCOMPARE(playerctl({"status"}), QStringLiteral("Stopped"));
        QCOMPARE(playerctl({"position"}).toDouble(), 0.0);
        QVERIFY(!f.lastFile()->isPlaying());
        QCOMPARE(f.lastFile()->currentTime(), 0.0);
        playerctl({"play"});
        QCOMPARE(playerctl({"status"}), QStringLiteral("Playing"));
        QCOMPARE(f.lastFile()->ramp->from, 0.0f);
        QCOMPARE(f.lastFile()->ramp->to, 0.73f);
        f.clock.advance(1);
        QVERIFY(std::abs(f.lastFile()->currentTime() - 1.0) < 1e-6);

        // Rate 0 pauses; any other rate is refused.
        setPlayerProperty("Rate", "2.0");
        QVERIFY(e.isPlaying());
        setPlayerProperty("Rate", "0.0");
        QVERIFY(!e.isPlaying());

        // The list always wraps: "Playlist" with repeat off, "Track" with it on.
        QCOMPARE(playerctl({"loop"}), QStringLiteral("Playlist"));
        playerctl({"loop", "Track"});
        QVERIFY(e.isRepeat());
        QCOMPARE(playerctl({"loop"}), QStringLiteral("Track"));
        playerctl({"loop", "None"});
        QVERIFY(!e.isRepeat());
        QCOMPARE(playerctl({"loop"}), QStringLiteral("Playlist"));
        playerctl({"loop", "Track"});
        playerctl({"loop", "Playlist"});
        QVERIFY(!e.isRepeat());
    }

    void aLengthOfWeeksOrMoreReachesTheDesktopAsAWeek() {
        // (tst_trackload holds a header's claim to the same bound.)
        Published p;
        QVERIFY(p.mpris.start());
        const qint64 week = qint64(Track::maxDuration) * 1'000'000;
        // Claimed by the player: 2^32 - 1 frames of 1152 samples (3.5 years), and far more.
        for (const double claimed : {1e300, 4294967295.0 * 1152 / 44100}) {
            p.e.setPlaylist(p.f.tracks({"endless"}, claimed));
            p.e.play(p.e.playlist().at(0));
            QCOMPARE(playerctl({"metadata", "mpris:length"}).toLongLong(), week);
        }
        p.f.clock.advance(10); // (the virtual clock counts years, not 1e300 s)
        QVERIFY(p.e.isPlaying());
        QCOMPARE(p.e.currentID(), p.e.playlist().at(0).id);
    }

    void aBurstOfNextCallsIsAnsweredAtOnceWithFewPlayers() {
        RealEngine real;
        const QList<Track> tracks = sineTracks(real.dir.path(), {"a", "b", "c"}, 5.0);
        QCOMPARE(tracks.size(), 3);
        auto& engine = real.engine;
        MprisService mpris(engine.get(), {}, real.dir.filePath("covers"));
        engine->setNowPlayingPublisher(&mpris);
        QVERIFY(mpris.start());
        engine->setPlaylist(tracks);
        engine->play(tracks.at(0));
        QTRY_VERIFY_WITH_TIMEOUT(engine->progress() > 0.2, 10000);

        int mostPipelines = 0;
        QTimer sample;
        connect(&sample, &QTimer::timeout, this,
                [&] { mostPipelines = std::max(mostPipelines, gst::heldPipelines()); });
        sample.start(5);
        QDBusConnection client =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, "burst");
        QVERIFY(client.isConnected());
        const QDBusMessage next = QDBusMessage::createMethodCall(
            "org.mpris.MediaPlayer2.orvane", "/org/mpris/MediaPlayer2",
            "org.mpris.MediaPlayer2.Player", "Next");
        constexpr int calls = 2000;
        std::vector<qint64> sentAt(calls), answeredAt(calls, -1);
        int answered = 0, failed = 0;
        QElapsedTimer since;
        since.start();
        for (int i = 0; i < calls; ++i) {
            sentAt[i] = since.elapsed();
            auto* watcher = new QDBusPendingCallWatcher(client.asyncCall(next), this);
            connect(watcher, &QDBusPendingCallWatcher::finished, this,
                    [&, i](QDBusPendingCallWatcher* w) {
                        answeredAt[i] = since.elapsed();
                        ++answered;
                        failed += w->isError() ? 1 : 0;
                        w->deleteLater();
                    });
        }
        qInfo("2000 calls sent in %lld ms", since.elapsed());
        QTRY_COMPARE_WITH_TIMEOUT(answered, calls, 60000);
        QCOMPARE(failed, 0);
        qint64 slowest = 0;
        for (int i = 0; i < calls; ++i)
            slowest = std::max(slowest, answeredAt[i] - sentAt[i]);
        qInfo("slowest answer %lld ms, at most %d pipelines", slowest, mostPipelines);
        QVERIFY2(slowest < 1000, qPrintable(QString::number(slowest)));
        // Every call counted: 2000 steps on from the first of three tracks.
        QTRY_COMPARE_WITH_TIMEOUT(engine->currentTrack()->title, QStringLiteral("c"), 10000);
        QVERIFY(engine->isPlaying());
        QVERIFY2(mostPipelines <= 3, qPrintable(QString::number(mostPipelines)));
        QDBusConnection::disconnectFromBus("burst");
        QVERIFY(real.end());
    }

    void oversizedOpenUriIsRefusedAndTheBusStaysAlive() {
        Published p;
        QVERIFY(p.mpris.start());
        // A client in another process, as the desktop's are.
        auto flood = [](int calls, int bytes) {
            QProcess process;
            process.start(DBUSFLOOD, {QString::number(calls), QString::number(bytes)});
            const bool ended =
                process.waitForStarted(10000) &&
                QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 300000);
            if (!ended)
                process.kill();
            process.waitForFinished();
            return QString::fromLatin1(process.readAllStandardOutput()).trimmed();
        };
        // errors, replies, time-outs; then whether the player still answers a ping
        QCOMPARE(flood(1, 64 * 1024 + 1), QStringLiteral("1 0 0\npong"));
        QCOMPARE(flood(130, 1 << 20), QStringLiteral("130 0 0\npong"));
        QVERIFY(p.e.playlist().isEmpty());

        // Still answering, and a URI of a sensible length still opens.
        QDBusConnection client =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, "client");
        auto call = [&](const QString& interface, const QString& name, const QVariantList& args) {
            QDBusMessage m = QDBusMessage::createMethodCall(
                "org.mpris.MediaPlayer2.orvane", "/org/mpris/MediaPlayer2", interface, name);
            m.setArguments(args);
            QDBusPendingCall pending = client.asyncCall(m, 10000);
            return QTest::qWaitFor([&] { return pending.isFinished(); }, 15000) &&
                   !pending.isError();
        };
        QVERIFY(call("org.freedesktop.DBus.Peer", "Ping", {}));
        const QString path = placeholderFiles(p.f.dir, {"fine.mp3"}).first().toLocalFile();
        QVERIFY(call("org.mpris.MediaPlayer2.Player", "OpenUri",
                     {QUrl::fromLocalFile(path).toString()}));
        QTRY_COMPARE(p.e.playlist().size(), 1);
        QDBusConnection::disconnectFromBus("client");
    }

    // The covers written for the desktop's media controls stay a bounded recent set.
    void coversKeepTheCurrentAndABoundedRecentSet() {
        const auto picture = [](int i, qsizetype size) {
            QByteArray bytes = "\x89PNG" + QByteArray::number(i);
            bytes.resize(size, 'p');
            return bytes;
        };
        const auto folderBytes = [](const QString& folder, int* count) {
            qint64 bytes = 0;
            *count = 0;
            for (const QFileInfo& f : QDir(folder).entryInfoList(QDir::Files)) {
                bytes += f.size();
                ++*count;
            }
            return bytes;
        };
        QTemporaryDir dir;
        const QString folder = dir.filePath("covers");
        QVERIFY(QDir().mkpath(folder));
        // Left by earlier runs: 211 files, 331 MB-like in proportion (here 100 × 1.5 MB).
        const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-1);
        for (int i = 0; i < 100; ++i) {
            QFile f(QDir(folder).filePath(QStringLiteral("old%1.jpg").arg(i)));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(1536 * 1024, 'o'));
            f.setFileTime(old.addSecs(i), QFileDevice::FileModificationTime);
        }
        int count = 0;
        CoverCache cache(folder, 64, 32 * 1024 * 1024);
        qint64 bytes = folderBytes(folder, &count);
        QVERIFY2(count <= 64 && bytes <= 32 * 1024 * 1024, qPrintable(QString::number(count)));
        QVERIFY(count > 0);
        // The newest of them are what stayed.
        QVERIFY(QFile::exists(QDir(folder).filePath("old99.jpg")));
        QVERIFY(!QFile::exists(QDir(folder).filePath("old0.jpg")));

        // As it grows: 210 tracks with their own covers.
        QString first, last;
        for (int i = 0; i < 210; ++i) {
            last = cache.store(picture(i, 600 * 1024));
            QVERIFY(QFile::exists(last));
            if (i == 0)
                first = last;
            bytes = folderBytes(folder, &count);
            QVERIFY2(count <= 64 && bytes <= 32 * 1024 * 1024,
                     qPrintable(QStringLiteral("%1 files, %2 bytes").arg(count).arg(bytes)));
        }
        QVERIFY(!QFile::exists(first));
        // The same picture again: the same file, no new one.
        QCOMPARE(cache.store(picture(209, 600 * 1024)), last);
        // A current cover larger than the whole budget is still written and kept.
        const QString big = cache.store(picture(1000, 40 * 1024 * 1024));
        QVERIFY(QFile::exists(big));
        folderBytes(folder, &count);
        QCOMPARE(count, 1);
        // A new start prunes to its bounds before anything is current.
        CoverCache small(folder, 1, 1024);
        QVERIFY(!QFile::exists(big));
        QCOMPARE(folderBytes(folder, &count), 0);
    }
};

QTEST_GUILESS_MAIN(TestMpris)
#include "tst_mpris.moc"
