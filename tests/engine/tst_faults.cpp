// Faults from outside, with the real players: a damaged or unwritable settings store, streams
// that misbehave, files replaced or deleted as they play; and no clock with nothing shown.
#include "core/settingswriter.h"
#include "engine/gstsupport.h"
#include "support/descriptors.h"
#include "support/enginefixture.h"
#include "support/httptestserver.h"
#include "support/realengine.h"
#include "support/testaudio.h"
#include "support/waits.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <cerrno>

using namespace orvane;
using namespace orvane::test;

class TestFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Out of descriptors, files to add wait instead of the process aborting (a new reader
    // thread's event loop would find none): they come in once descriptors are free again.
    void filesAddedWithNoDescriptorLeftWaitForOne() {
        EngineFixture f;
        AudioEngine& engine = f.start([](const QUrl& url, const QString&) {
            return Track(url.toLocalFile(), QFileInfo(url.toLocalFile()).baseName(), {}, 1, {},
                         {"WAV"});
        });
        // One add as usual first (settle's wait then ends the pool's threads): the path is
        // the same, and the sanitizers have seen its types while they can still look.
        engine.add(placeholderFiles(f.dir, {"first.wav"}));
        QVERIFY(settle(engine));
        const QList<QUrl> files = placeholderFiles(f.dir, {"held.wav"});

        NoDescriptorsLeft none(1024);
        engine.add(files);
        const bool settled = settle(engine);
        const qsizetype whileShort = engine.playlist().size();
        none.release();
        QCOMPARE(none.error(), EMFILE);
        QVERIFY(settled);
        QCOMPARE(whileShort, 1);
        QTRY_COMPARE_WITH_TIMEOUT(titles(engine), (QStringList{"first", "held"}), 10000);
    }

    // A settings store that is damaged, or that can be neither read nor written (inside a
    // regular file; a folder in the file's place, whoever runs the test, root included): the
    // player starts with the presets and an empty list, and its changes are kept in memory.
    void damagedOrUnusableSettingsStartWithDefaults_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QByteArray noise(8192, Qt::Uninitialized);
        QRandomGenerator rng(11);
        for (char& c : noise)
            c = char(rng.bounded(256));
        QTest::newRow("noise") << "damaged.ini" << noise;
        QTest::newRow("broken values")
            << "damaged.ini"
            << QByteArray("[General]\nradioStations=@ByteArray(\\xff\\xfe\nplaylistBookmarks=@"
                          "Variant(\\0\\0\\0\\x7f");
        QTest::newRow("wrong types")
            << "damaged.ini"
            << QByteArray("[General]\nplaylistBookmarks=1, 2, 3\nradioStations=not json\n");
        QTest::newRow("inside a file") << "not-a-folder/orvane.ini" << QByteArray();
        QTest::newRow("a folder") << "a-folder.ini" << QByteArray();
    }
    void damagedOrUnusableSettingsStartWithDefaults() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        QFile blocker(dir.filePath("not-a-folder"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(QDir(dir.path()).mkdir("a-folder.ini"));
        const QString path = dir.filePath(name);
        if (!content.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        QSettings settings(path, QSettings::IniFormat);
        SettingsWriter writer(path, QSettings::IniFormat);
        VirtualClock clock;
        FakePlayerFactory players(clock);
        AudioEngine engine({&clock, &players, &settings, nullptr, nullptr, {}, {}, {}, &writer});
        QCOMPARE(engine.stations().size(), 6); // the presets
        QVERIFY(settle(engine));
        QVERIFY(engine.playlist().isEmpty());
        engine.play(engine.stations().at(0)); // and it works
        QCOMPARE(engine.radioStatus(), QStringLiteral("buffering"));
        engine.setStations(engine.stations().mid(0, 2));
        engine.add(placeholderFiles(dir, {"song.mp3"}));
        QTRY_COMPARE(engine.playlist().size(), 1);
        clock.advance(
            1); // the playlist's save is attempted (and where it cannot be, fails quietly)
        writer.flush();
        QCOMPARE(engine.playlist().size(), 1);
        QCOMPARE(engine.stations().size(), 2);
        if (content.isEmpty()) {
            QCOMPARE(writer.status(), QSettings::AccessError);
            QVERIFY(!QFileInfo(settings.fileName()).isFile());
        }
    }

    void misbehavingStreamsEndInAStateAndPlayReconnects() {
        QTemporaryDir dir;
        const QByteArray mp3 = mp3Tone(dir.filePath("tone.mp3"), 3.0);
        QVERIFY(!mp3.isEmpty());

        HttpTestServer server;
        QVERIFY(server.listen());
        using Mode = HttpTestServer::Mode;
        server.route("/silent", {200, "audio/mpeg", "", Mode::NoAnswer});
        server.route("/stall", {200, "audio/mpeg", mp3, Mode::StallLater});
        server.route("/drop", {200, "audio/mpeg", mp3, Mode::CloseMidway});
        server.route("/header", {200, "audio/mpeg", mp3, Mode::EndlessHeader});
        server.route("/loop", {200, "audio/mpeg", mp3, Mode::RedirectLoop});
        const QStringList paths = {"/silent", "/stall", "/drop", "/header", "/loop"};

        RealEngine real;
        AudioEngine& engine = *real.engine;
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

    void withNothingShownTracksStillHandOverBeforeTheirEnd() {
        RealEngine real;
        const QList<Track> tracks = sineTracks(real.dir.path(), {"a", "b", "c"}, 6.0);
        QCOMPARE(tracks.size(), 3);
        auto& engine = real.engine;
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
        QVERIFY(real.end());
    }

    void filesDeletedOrReplacedMoveOn() {
        RealEngine real;
        AudioEngine& engine = *real.engine;
        const QList<Track> tracks = sineTracks(real.dir.path(), {"a", "b", "c", "d", "e"}, 6.0);
        QCOMPARE(tracks.size(), 5);
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

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
