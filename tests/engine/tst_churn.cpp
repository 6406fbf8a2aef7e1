// A thousand changes through the real players: crossfades, pauses during fades, removals of the
// current track and station switches. Afterwards no pipeline, thread or file is left behind and
// memory has not crept up.
#include "engine/gstsupport.h"
#include "support/httptestserver.h"
#include "support/realengine.h"
#include "support/testaudio.h"
#include "support/virtualclock.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

using namespace orvane;
using namespace orvane::test;

namespace {

int entries(const char* dir) {
    return int(QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

double rssMb() {
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

} // namespace

class TestChurn : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void thousandChangesLeaveNothingBehind() {
        // No clock sync: the short files play as fast as they decode.
        qputenv("ORVANE_AUDIO_SINK", "fakesink sync=false");
        VirtualClock clock;
        RealEngine real(&clock);
        auto& engine = real.engine;
        const QTemporaryDir& dir = real.dir;
        QString error;
        QStringList files;
        for (int i = 0; i < 4; ++i) {
            files << dir.filePath(QStringLiteral("t%1.wav").arg(i));
            QVERIFY2(writeSine(files.last(), AudioFormat::Wav, 0.5, 300 + 100 * i, 0.3, &error),
                     qPrintable(error));
        }
        const QByteArray mp3 = mp3Tone(dir.filePath("s.mp3"), 2, 500);
        QVERIFY(!mp3.isEmpty());
        HttpTestServer server;
        QVERIFY(server.listen());
        server.route("/live", {200, "audio/mpeg", mp3, HttpTestServer::Mode::Endless});

        QList<Track> list;
        for (const QString& f : files)
            list.append(Track::load(QUrl::fromLocalFile(f), "en"));
        engine->setPlaylist(list);
        engine->setStations({{QUuid::createUuid(), "Live", server.url("/live")}});

        auto settle = [&] {
            clock.advance(4);                  // every crossfade-out and pause fade has ended
            QCoreApplication::processEvents(); // and what the players reported is handled
        };
        // Warm up what GStreamer and Qt keep for the process (plugins, pools), then count.
        engine->play(engine->playlist().at(0));
        engine->play(engine->stations().at(0));
        // The process's first station loads the network plugins, which is slow under the
        // sanitizer with other suites beside it: a generous bound.
        QTRY_COMPARE_WITH_TIMEOUT(engine->radioStatus(), QStringLiteral("on_air"), 30000);
        engine->play(engine->playlist().at(1));
        engine->remove({engine->currentID()});
        engine->setPlaylist(list);
        settle();
        QTRY_COMPARE_WITH_TIMEOUT(gst::livePipelines(), 0, 10000);
        const int fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");

        QRandomGenerator rng(2026);
        double rss = 0;
        // A first stretch fills the allocators' own caches (under AddressSanitizer freed memory
        // is kept for reuse, not returned); the memory check compares against its end.
        for (int i = -300; i < 1000; ++i) {
            if (i == 0) {
                settle();
                rss = rssMb();
            }
            const auto& playlist = engine->playlist();
            switch (rng.bounded(10)) {
            case 0:
            case 1:
            case 2:
            case 3:
                engine->play(Track(playlist.at(rng.bounded(int(playlist.size())))));
                break;
            case 4:
            case 5:
                engine->togglePlay(); // often during a fade
                break;
            case 6:
                if (!engine->currentID().isNull()) {
                    engine->remove({engine->currentID()});
                    engine->setPlaylist(list);
                }
                break;
            case 7:
                if (i % 5 == 0)
                    engine->play(engine->stations().at(0));
                else
                    engine->next();
                break;
            default:
                engine->next();
            }
            clock.advance(rng.bounded(40) * 0.1); // 0 to 4 s of the engine's time
            QCoreApplication::processEvents();
        }

        QVERIFY(real.end());
        // Players close their files on their own threads: under load that can take a while.
        QTRY_VERIFY2_WITH_TIMEOUT(entries("/proc/self/fd") <= fds,
                                  qPrintable(QStringLiteral("%1 descriptors, %2 at start")
                                                 .arg(entries("/proc/self/fd"))
                                                 .arg(fds)),
                                  30000);
        QTRY_VERIFY2_WITH_TIMEOUT(entries("/proc/self/task") <= threads + 2,
                                  qPrintable(QStringLiteral("%1 threads, %2 at start")
                                                 .arg(entries("/proc/self/task"))
                                                 .arg(threads)),
                                  10000);
        const double growth = rssMb() - rss;
        qInfo("RSS grew by %.1f MB over 1000 changes", growth);
        // AddressSanitizer's allocator keeps freed memory for reuse and never gives it back, so
        // under it RSS says nothing; the test command runs this test again in a plain build.
#if !defined(__SANITIZE_ADDRESS__)
        QVERIFY2(growth < 10.0, qPrintable(QStringLiteral("RSS grew by %1 MB").arg(growth)));
#endif
    }
};

QTEST_GUILESS_MAIN(TestChurn)
#include "tst_churn.moc"
