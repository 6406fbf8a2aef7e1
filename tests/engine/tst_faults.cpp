// Faults from outside: a damaged or unwritable settings store, a process killed while saving,
// and streams that misbehave.
#include "core/settingswriter.h"
#include "engine/audioengine.h"
#include "engine/clock.h"
#include "engine/gstplayerfactory.h"
#include "engine/gstsupport.h"
#include "radio/stationstore.h"
#include "support/enginefixture.h"
#include "support/httptestserver.h"
#include "support/testaudio.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <csignal>

using namespace orvane;
using namespace orvane::test;

namespace {

// The stored list a writer process alternates between: every entry "A" or every entry "B".
QVariantList bookmarks(char fill, int count) {
    QVariantList list;
    for (int i = 0; i < count; ++i)
        list.append(QByteArray("ORVB\x01/music/") + QByteArray(40, fill) + QByteArray::number(i));
    return list;
}

int runWriter(const QString& path) {
    QSettings settings(path, QSettings::IniFormat);
    for (int round = 0;; ++round) {
        settings.setValue("playlistBookmarks", bookmarks(round % 2 ? 'B' : 'A', 5000));
        settings.sync();
    }
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void damagedSettingsStartWithDefaults() {
        QTemporaryDir dir;
        QByteArray noise(8192, Qt::Uninitialized);
        QRandomGenerator rng(11);
        for (char& c : noise)
            c = char(rng.bounded(256));
        for (const QByteArray& content :
             {noise,
              QByteArray("[General]\nradioStations=@ByteArray(\\xff\\xfe\nplaylistBookmarks=@"
                         "Variant(\\0\\0\\0\\x7f"),
              QByteArray("[General]\nplaylistBookmarks=1, 2, 3\nradioStations=not json\n")}) {
            const QString path = dir.filePath("damaged.ini");
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(content);
            file.close();
            QSettings settings(path, QSettings::IniFormat);
            VirtualClock clock;
            FakePlayerFactory players(clock);
            AudioEngine engine({&clock, &players, &settings, nullptr, nullptr, {}, {}, {}});
            QCOMPARE(engine.stations().size(), 6); // the presets
            QTest::qWait(20);
            QVERIFY(engine.playlist().isEmpty());
            engine.play(engine.stations().at(0)); // and it works
            QCOMPARE(engine.radioStatus(), QStringLiteral("buffering"));
        }
    }

    void unreadableOrUnwritableSettingsKeepWorkingInMemory() {
        QTemporaryDir dir;
        QFile blocker(dir.filePath("not-a-folder"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(QDir(dir.path()).mkdir("a-folder.ini"));
        // Inside a regular file nothing can be written; a folder in the file's place can be
        // neither read nor written (whoever runs the test, root included).
        for (const QString& path :
             {dir.filePath("not-a-folder/orvane.ini"), dir.filePath("a-folder.ini")}) {
            QSettings settings(path, QSettings::IniFormat);
            SettingsWriter writer(path, QSettings::IniFormat);
            VirtualClock clock;
            FakePlayerFactory players(clock);
            AudioEngine engine(
                {&clock, &players, &settings, nullptr, nullptr, {}, {}, {}, &writer});
            QCOMPARE(engine.stations().size(), 6);
            engine.setStations(engine.stations().mid(0, 2));
            QCOMPARE(engine.stations().size(), 2);
            QFile track(dir.filePath("song.mp3"));
            QVERIFY(track.open(QIODevice::WriteOnly));
            track.close();
            engine.add({QUrl::fromLocalFile(track.fileName())});
            QTRY_COMPARE(engine.playlist().size(), 1);
            clock.advance(1); // the playlist's save is attempted and fails quietly
            writer.flush();
            QCOMPARE(writer.status(), QSettings::AccessError);
            QCOMPARE(engine.playlist().size(), 1);
            QCOMPARE(engine.stations().size(), 2);
            QVERIFY(!QFileInfo(settings.fileName()).isFile());
        }
    }

    void killedWhileSavingLeavesOldOrNew() {
        QTemporaryDir dir;
        const QString path = dir.filePath("orvane.ini");
        {
            QSettings seed(path, QSettings::IniFormat);
            seed.setValue("playlistBookmarks", bookmarks('A', 5000));
        }
        QRandomGenerator rng(3);
        for (int attempt = 0; attempt < 8; ++attempt) {
            QProcess writer;
            writer.start(QCoreApplication::applicationFilePath(), {"--writer", path});
            QVERIFY(writer.waitForStarted());
            QTest::qWait(int(rng.bounded(80, 400)));
            ::kill(pid_t(writer.processId()), SIGKILL);
            QVERIFY(writer.waitForFinished());
            QSettings reader(path, QSettings::IniFormat);
            const QVariantList stored = reader.value("playlistBookmarks").toList();
            QCOMPARE(stored.size(), 5000);
            const bool allA = stored == bookmarks('A', 5000), allB = stored == bookmarks('B', 5000);
            QVERIFY2(allA || allB, "a torn playlist");
        }
    }

    void misbehavingStreamsEndInAStateAndPlayReconnects() {
        QTemporaryDir dir;
        QString error;
        const QString tone = dir.filePath("tone.mp3");
        QVERIFY2(writeSine(tone, AudioFormat::Mp3, 3.0, 440, 0.3, &error), qPrintable(error));
        QFile toneFile(tone);
        QVERIFY(toneFile.open(QIODevice::ReadOnly));
        const QByteArray mp3 = toneFile.readAll();

        HttpTestServer server;
        QVERIFY(server.listen());
        using Mode = HttpTestServer::Mode;
        server.route("/silent", {200, "audio/mpeg", "", Mode::NoAnswer});
        server.route("/stall", {200, "audio/mpeg", mp3, Mode::StallLater});
        server.route("/drop", {200, "audio/mpeg", mp3, Mode::CloseMidway});
        server.route("/header", {200, "audio/mpeg", mp3, Mode::EndlessHeader});
        server.route("/loop", {200, "audio/mpeg", mp3, Mode::RedirectLoop});
        const QStringList paths = {"/silent", "/stall", "/drop", "/header", "/loop"};

        QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);
        SystemClock clock;
        GstPlayerFactory players;
        AudioEngine engine({&clock, &players, &settings, nullptr, nullptr, {}, {}, {}});
        QList<RadioStation> stations;
        for (const QString& path : paths)
            stations.append({QUuid::createUuid(), path, server.url(path)});
        stations.append({QUuid::createUuid(), "Refused", "http://127.0.0.1:1/none"});
        engine.setStations(stations);

        // The main loop must keep turning whatever the network does.
        QElapsedTimer sinceTurn;
        qint64 longestStall = 0;
        QTimer heartbeat;
        connect(&heartbeat, &QTimer::timeout, this,
                [&] { longestStall = std::max(longestStall, sinceTurn.restart()); });
        sinceTurn.start();
        heartbeat.start(10);

        auto requestsFor = [&](const QString& path) {
            return std::count_if(
                server.requests.begin(), server.requests.end(),
                [&](const QByteArray& r) { return r.contains(" " + path.toUtf8() + " "); });
        };
        for (const RadioStation& station : stations) {
            QStringList seen;
            auto record = connect(&engine, &AudioEngine::radioStatusChanged, this, [&] {
                if (seen.isEmpty() || seen.last() != engine.radioStatus())
                    seen.append(engine.radioStatus());
            });
            QElapsedTimer took;
            took.start();
            engine.play(station);
            QCOMPARE(engine.radioStatus(), QStringLiteral("buffering"));
            if (station.name == "/stall") {
                // Three seconds of sound, then the server goes quiet: buffering once the queue runs
                // dry. (The source then reconnects by itself after its 10 s network time-out.)
                QTRY_VERIFY_WITH_TIMEOUT(seen.size() >= 3, 15000);
                QCOMPARE(seen.mid(0, 3), QStringList({"buffering", "on_air", "buffering"}));
                disconnect(record);
                qInfo("/stall: %s after %.1f s", qPrintable(seen.join(" → ")),
                      took.elapsed() / 1000.0);
                continue;
            }
            // The network time-out is 10 s, so every fault ends within about that.
            QTRY_COMPARE_WITH_TIMEOUT(engine.radioStatus(), QStringLiteral("stream_error"), 30000);
            QVERIFY(!engine.isPlaying());
            disconnect(record);
            qInfo("%s: %s after %.1f s", qPrintable(station.name), qPrintable(seen.join(" → ")),
                  took.elapsed() / 1000.0);

            // Play tries again from scratch: a new request reaches the server.
            if (station.name.startsWith('/')) {
                const auto before = requestsFor(station.name);
                engine.togglePlay();
                QTRY_VERIFY_WITH_TIMEOUT(requestsFor(station.name) > before, 10000);
            }
        }
        qInfo("longest main-loop stall: %lld ms", longestStall);
        QVERIFY2(longestStall < 1000, qPrintable(QString::number(longestStall)));
    }

    void shortFilesPlayWholeAndInOrder() {
        QTemporaryDir dir;
        const QList<Track> tracks = sineTracks(dir.path(), {"a", "b", "c"}, 2.0);
        QCOMPARE(tracks.size(), 3);
        QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);
        SystemClock clock;
        GstPlayerFactory players;
        auto engine = std::make_unique<AudioEngine>(
            EngineServices{&clock, &players, &settings, nullptr, nullptr, {}, {}, {}});
        engine->setPlaylist(tracks);
        QStringList order;
        QList<qint64> changedAt;
        QElapsedTimer since;
        since.start();
        connect(engine.get(), &AudioEngine::currentIDChanged, this, [&] {
            order.append(engine->currentTrack() ? engine->currentTrack()->title : "");
            changedAt.append(since.elapsed());
        });
        int mostPipelines = 0;
        double furthest = 0;
        QTimer sample;
        connect(&sample, &QTimer::timeout, this, [&] {
            mostPipelines = std::max(mostPipelines, gst::livePipelines());
            furthest = std::max(furthest, engine->livePosition());
        });
        sample.start(5);

        // Three 2 s files: each once, in order, each for about half its length before the next
        // rises over its second half.
        engine->play(tracks.at(0));
        QTRY_VERIFY_WITH_TIMEOUT(order.size() >= 4, 20000);
        QCOMPARE(order.mid(0, 4), QStringList({"a", "b", "c", "a"}));
        for (int i = 1; i < 4; ++i)
            QVERIFY2(changedAt.at(i) - changedAt.at(i - 1) >= 900,
                     qPrintable(QString::number(changedAt.at(i) - changedAt.at(i - 1))));
        QVERIFY2(mostPipelines <= 2, qPrintable(QString::number(mostPipelines)));
        QVERIFY(furthest >= 0.9);

        // One short file alone, repeat off: it wraps at its own pace.
        engine->remove({tracks.at(1).id, tracks.at(2).id});
        engine->play(engine->playlist().at(0));
        order.clear();
        changedAt.clear();
        mostPipelines = 0;
        furthest = 0;
        QTRY_VERIFY_WITH_TIMEOUT(order.size() >= 3, 20000);
        QVERIFY2(changedAt.last() - changedAt.first() >= 1800,
                 qPrintable(QString::number(changedAt.last() - changedAt.first())));
        QVERIFY(furthest >= 0.9);
        QVERIFY2(mostPipelines <= 2, qPrintable(QString::number(mostPipelines)));
        engine.reset();
        QTRY_COMPARE_WITH_TIMEOUT(gst::livePipelines(), 0, 10000);
    }

    void withNothingShownTracksStillHandOverBeforeTheirEnd() {
        QTemporaryDir dir;
        const QList<Track> tracks = sineTracks(dir.path(), {"a", "b", "c"}, 6.0);
        QCOMPARE(tracks.size(), 3);
        QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);
        SystemClock clock;
        GstPlayerFactory players;
        auto engine = std::make_unique<AudioEngine>(
            EngineServices{&clock, &players, &settings, nullptr, nullptr, {}, {}, {}});
        engine->setPlaylist(tracks);
        engine->setViewsShown(false); // the window closed: no clock ticks at all
        QStringList order;
        QList<qint64> changedAt;
        QElapsedTimer since;
        since.start();
        connect(engine.get(), &AudioEngine::currentIDChanged, this, [&] {
            order.append(engine->currentTrack() ? engine->currentTrack()->title : "");
            changedAt.append(since.elapsed());
        });
        QSignalSpy progressed(engine.get(), &AudioEngine::progressChanged);

        // Each 6 s file hands over 3 s before its end, as it does with the window shown, not at
        // its end (what a player left to notice its own end would do).
        engine->play(tracks.at(0));
        QTRY_VERIFY_WITH_TIMEOUT(order.size() >= 3, 30000);
        QCOMPARE(order.mid(0, 3), QStringList({"a", "b", "c"}));
        for (int i = 1; i < 3; ++i) {
            const qint64 gap = changedAt.at(i) - changedAt.at(i - 1);
            QVERIFY2(gap >= 2900 && gap < 5000, qPrintable(QString::number(gap)));
        }
        QCOMPARE(progressed.size(), 3); // set to 0 by each start, never by a tick
        engine.reset();
        QTRY_COMPARE_WITH_TIMEOUT(gst::livePipelines(), 0, 10000);
    }

    void anInvalidStationOverAPlayingFileClaimsNothing() {
        QTemporaryDir dir;
        QString error;
        const QString path = dir.filePath("song.wav");
        QVERIFY2(writeSine(path, AudioFormat::Wav, 30.0, 440, 0.3, &error), qPrintable(error));
        QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);
        SystemClock clock;
        GstPlayerFactory players;
        RecordingPublisher published;
        AudioEngine engine({&clock, &players, &settings, &published, nullptr, {}, {}, {}});
        engine.setPlaylist({Track::load(QUrl::fromLocalFile(path), "en")});
        engine.setStations({{QUuid::createUuid(), "Broken", "htp:/nowhere"}});
        engine.play(engine.playlist().at(0));
        QTRY_VERIFY_WITH_TIMEOUT(engine.progress() > 0.3, 10000);
        engine.play(engine.stations().at(0));
        // The music stops, and nothing says it plays: not the engine, not the desktop.
        QTRY_COMPARE_WITH_TIMEOUT(gst::livePipelines(), 0, 10000);
        QVERIFY(!engine.isPlaying());
        QVERIFY(!published.published.back().playing);
        // The station is current, so its row and the player panel show why.
        QCOMPARE(engine.currentStationID(), engine.stations().at(0).id);
        QCOMPARE(engine.radioStatus(), QStringLiteral("invalid_url"));
        QCOMPARE(published.published.back().title, QStringLiteral("Broken"));
    }

    void filesThatCannotBeOpenedAreNotAdded() {
        QTemporaryDir dir;
        QString error;
        const QString ok = dir.filePath("ok.wav");
        QVERIFY2(writeSine(ok, AudioFormat::Wav, 30.0, 440, 0.3, &error), qPrintable(error));
        QFile notes(dir.filePath("notes.txt"));
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write("shopping: milk, bread\n");
        notes.close();
        QFile empty(dir.filePath("empty.mp3"));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        QVERIFY(QDir(dir.path()).mkdir("folder.mp3"));

        QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);
        SystemClock clock;
        GstPlayerFactory players;
        AudioEngine engine({&clock, &players, &settings, nullptr, nullptr, {}, {}, {}});
        engine.add({QUrl::fromLocalFile(ok)}, true);
        QTRY_VERIFY_WITH_TIMEOUT(engine.isPlaying() && engine.progress() > 0.3, 10000);
        const QUuid playing = engine.currentID();
        const QString ok2 = dir.filePath("ok2.wav");
        QVERIFY2(writeSine(ok2, AudioFormat::Wav, 1.0, 660, 0.3, &error), qPrintable(error));
        engine.add({QUrl::fromLocalFile(notes.fileName()), QUrl::fromLocalFile(empty.fileName()),
                    QUrl::fromLocalFile(dir.filePath("folder.mp3")),
                    QUrl::fromLocalFile(dir.filePath("missing.mp3")), QUrl::fromLocalFile(ok2)});
        QTRY_COMPARE_WITH_TIMEOUT(engine.playlist().size(), 2, 10000);
        QCOMPARE(engine.playlist().at(1).path(), ok2);
        // What played goes on: no fade, no change of track.
        const double before = engine.progress();
        QTRY_VERIFY_WITH_TIMEOUT(engine.progress() > before + 1.0, 10000);
        QCOMPARE(engine.currentID(), playing);
        QVERIFY(engine.isPlaying());
    }

    void filesDeletedOrReplacedMoveOn() {
        QTemporaryDir dir;
        const QList<Track> tracks = sineTracks(dir.path(), {"a", "b", "c", "d", "e"}, 6.0);
        QCOMPARE(tracks.size(), 5);
        QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);
        SystemClock clock;
        GstPlayerFactory players;
        AudioEngine engine({&clock, &players, &settings, nullptr, nullptr, {}, {}, {}});
        engine.setPlaylist(tracks);
        auto current = [&] { return engine.currentTrack() ? engine.currentTrack()->title : ""; };

        // Overwritten in place while it plays: the file stops short and the next one starts.
        engine.play(tracks.at(0));
        QTRY_VERIFY_WITH_TIMEOUT(engine.progress() > 0.5, 10000);
        {
            QFile file(tracks.at(0).path());
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(QByteArray(100, '\x7f'));
        }
        QTRY_COMPARE_WITH_TIMEOUT(current(), QStringLiteral("b"), 10000);
        QVERIFY(engine.isPlaying());

        // Deleted and replaced by something that is not audio while waiting: both are passed
        // over when their turn comes.
        QVERIFY(QFile::remove(tracks.at(2).path()));
        {
            QFile file(tracks.at(3).path());
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write("not a sound at all");
        }
        QTRY_COMPARE_WITH_TIMEOUT(current(), QStringLiteral("e"), 15000);

        // Deleted, and replaced by a new file under its name, while it plays: the open file
        // plays on to its end and the player moves on as usual.
        QVERIFY(QFile::remove(tracks.at(4).path()));
        QString error;
        QVERIFY(writeSine(tracks.at(4).path(), AudioFormat::Wav, 1.0, 880, 0.3, &error));
        QTRY_VERIFY_WITH_TIMEOUT(engine.progress() > 2.5 && current() == "e", 10000);
        QTRY_COMPARE_WITH_TIMEOUT(current(), QStringLiteral("b"), 10000);
        QVERIFY(engine.isPlaying());
    }
};

int main(int argc, char* argv[]) {
    if (argc == 3 && QByteArray(argv[1]) == "--writer")
        return runWriter(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    TestFaults test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_faults.moc"
