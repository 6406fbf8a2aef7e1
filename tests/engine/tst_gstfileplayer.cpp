// The real file player on generated audio, through a synchronised fake sink (real time, no
// sound card). A level element after the volume stage lets the test hear what leaves it.
#include "engine/gstfileplayer.h"
#include "engine/gstplayerfactory.h"
#include "engine/gstsupport.h"
#include "support/files.h"
#include "support/testaudio.h"

#include <QDeadlineTimer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;

namespace {

// RMS in dBFS of a sine with this peak.
double sineDb(double peak) {
    return 20.0 * std::log10(peak / std::sqrt(2.0));
}

struct Heard {
    double streamTime;
    double rmsDb;
};

} // namespace

class TestGstFilePlayer : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    QString make(AudioFormat format, double seconds, double amplitude = 0.5) {
        const QString name = QStringLiteral("tone%1-%2.").arg(seconds).arg(amplitude);
        return toneFile(dir_, name + extension(format), format, seconds, 440, amplitude);
    }
    // The player of `path`, or null (the reason given as a warning).
    static std::unique_ptr<GstFilePlayer> open(const QString& path) {
        QString error;
        auto player = GstFilePlayer::open(path, &error);
        if (!player)
            qWarning("%s: %s", qPrintable(path), qPrintable(error));
        return player;
    }

private Q_SLOTS:
    void initTestCase() {
        // The player's meter is before the volume stage; this one is after it.
        qputenv("ORVANE_AUDIO_SINK",
                "level name=after interval=50000000 post-messages=true ! fakesink sync=true");
    }

    // First, while this process has loaded no plugin: the warm-up loads on a thread of its own
    // what a player needs, so that opening and prerolling the first one loads none on the main
    // thread (where it would stall the window at the first press of Play).
    void theFirstPlayerLoadsNoPluginOnTheMainThread() {
        const QString path = make(AudioFormat::Mp3, 1.0); // made with plugins of its own
        struct Loads {
            GThread* main = g_thread_self();
            std::mutex mutex;
            QStringList onMain;
        } loads;
        const GstLogFunction log = [](GstDebugCategory* category, GstDebugLevel, const gchar*,
                                      const gchar*, gint, GObject*, GstDebugMessage* message,
                                      gpointer data) {
            auto* loads = static_cast<Loads*>(data);
            const QString text = QString::fromUtf8(gst_debug_message_get(message));
            if (g_thread_self() == loads->main &&
                qstrcmp(gst_debug_category_get_name(category), "GST_PLUGIN_LOADING") == 0 &&
                text.startsWith("plugin \"") && text.endsWith("\" loaded")) {
                const std::lock_guard lock(loads->mutex);
                loads->onMain.append(text);
            }
        };
        gst_debug_set_active(TRUE);
        gst_debug_set_threshold_for_name("GST_PLUGIN_LOADING", GST_LEVEL_LOG);
        gst_debug_remove_log_function(gst_debug_log_default);
        gst_debug_add_log_function(log, &loads, nullptr);
        const auto restore = qScopeGuard([&] {
            gst_debug_remove_log_function_by_data(&loads);
            gst_debug_add_log_function(gst_debug_log_default, nullptr, nullptr);
            gst_debug_unset_threshold_for_name("GST_PLUGIN_LOADING");
        });

        GstPlayerFactory factory;
        factory.warmUp();
        QTRY_VERIFY_WITH_TIMEOUT(factory.isWarm(), 60000);
        auto player = open(path);
        QVERIFY(player);
        player->play();
        QTRY_VERIFY_WITH_TIMEOUT(player->currentTime() > 0.1, 10000);
        const std::lock_guard lock(loads.mutex);
        QVERIFY2(loads.onMain.isEmpty(), qPrintable(loads.onMain.join("; ")));
    }

    void everyFormatPlaysToItsEndAndMeters_data() {
        QTest::addColumn<AudioFormat>("format");
        QTest::newRow("wav") << AudioFormat::Wav;
        QTest::newRow("flac") << AudioFormat::Flac;
        QTest::newRow("mp3") << AudioFormat::Mp3;
        QTest::newRow("m4a") << AudioFormat::M4a;
        QTest::newRow("aiff") << AudioFormat::Aiff;
        QTest::newRow("ogg") << AudioFormat::Ogg;
        QTest::newRow("opus") << AudioFormat::Opus;
        QTest::newRow("wv") << AudioFormat::Wv;
    }
    void everyFormatPlaysToItsEndAndMeters() {
        QFETCH(AudioFormat, format);
        auto player = open(make(format, 2.0, 0.1));
        QVERIFY(player);
        QCOMPARE(player->duration(), 0.0); // not known before preroll, never garbage
        // The handler is told when the length is known and at the end, not left to poll.
        std::vector<std::pair<double, bool>> told; // the length and whether it plays
        player->setChangeHandler(
            [&] { told.emplace_back(player->duration(), player->isPlaying()); });
        player->setMeteringEnabled(true);
        player->setVolume(0.0f);
        player->play();
        player->setVolume(1.0f, 0.3);
        QVERIFY(player->isPlaying());
        const auto lengthKnown = [&] {
            return std::find_if(told.begin(), told.end(),
                                [](const auto& t) { return t.first > 0; });
        };
        QTRY_VERIFY_WITH_TIMEOUT(lengthKnown() != told.end(), 5000);
        QVERIFY2(std::abs(lengthKnown()->first - 2.0) < 0.1,
                 qPrintable(QString::number(lengthKnown()->first)));
        QVERIFY(lengthKnown()->second);
        QTRY_VERIFY_WITH_TIMEOUT(player->currentTime() > 0.8, 5000);
        player->updateMeters();
        const double power = player->averagePower(0);
        QVERIFY2(std::abs(power - sineDb(0.1)) < 1.0, qPrintable(QString::number(power)));
        QTRY_VERIFY_WITH_TIMEOUT(!player->isPlaying(), 8000); // stops by itself at the end
        QVERIFY(!told.back().second);
        QVERIFY(!player->hasFailed());
        QVERIFY(std::abs(player->currentTime() - player->duration()) < 0.15);
    }

    void seeksAccuratelyAndClamps() {
        const QString path = make(AudioFormat::Flac, 6.0);
        auto player = open(path);
        QVERIFY(player);
        player->setCurrentTime(4.0); // before preroll: applied once ready
        player->play();
        QCOMPARE(player->currentTime(), 4.0);
        QTRY_VERIFY_WITH_TIMEOUT(player->currentTime() > 4.3, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!player->isPlaying(), 5000);

        auto second = open(path);
        second->play();
        QTRY_VERIFY_WITH_TIMEOUT(second->currentTime() > 0.3, 5000);
        second->setCurrentTime(std::nan(""));
        QCOMPARE(second->currentTime(), 0.0);
        second->setCurrentTime(-3);
        QCOMPARE(second->currentTime(), 0.0);
        second->setCurrentTime(1e300); // clamped to the end: the file ends
        QTRY_VERIFY_WITH_TIMEOUT(!second->isPlaying(), 5000);
        QVERIFY(!second->hasFailed());
    }

    void directAssignmentReplacesARamp() {
        auto player = open(make(AudioFormat::Wav, 6.0, 0.5));
        QVERIFY(player);
        std::vector<Heard> heard;
        player->setLevelTap([&](const QString&, double t, double db) { heard.push_back({t, db}); });
        player->setVolume(0.0f);
        player->play();
        player->setVolume(1.0f, 3.0);
        QTRY_VERIFY_WITH_TIMEOUT(player->currentTime() > 1.0, 5000);
        player->setVolume(0.25f);
        const double cut = player->currentTime();
        QCOMPARE(player->volume(), 0.25f);
        QTRY_VERIFY_WITH_TIMEOUT(player->currentTime() > cut + 1.5, 5000);
        const double expected = sineDb(0.5 * 0.25);
        for (const Heard& h : heard) {
            if (h.streamTime > cut + 0.3)
                QVERIFY2(std::abs(h.rmsDb - expected) < 0.5, "the ramp went on");
        }
    }

    void badFilesFailAtOpenAndTheReadersCheck() {
        QFile text(dir_.filePath("notes.mp3"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("These are not the sounds you are looking for.\n");
        text.close();
        QFile empty(dir_.filePath("empty.flac"));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        // What the engine's readers ask, on a thread of their own, of a file TagLib found no
        // audio in before adding it.
        GstPlayerFactory factory;
        const PlayerFactory::FileCheck check = factory.fileCheck();
        auto checked = [&](const QString& path) {
            return QtConcurrent::run([&] { return check(path); }).result();
        };
        for (const QString& path :
             {dir_.filePath("missing.mp3"), text.fileName(), empty.fileName(), dir_.path()}) {
            QString error;
            QVERIFY2(!GstFilePlayer::open(path, &error) && !error.isEmpty(), qPrintable(path));
            QVERIFY2(!checked(path).isEmpty(), qPrintable(path));
        }
        QString error;
        QVERIFY(!GstFilePlayer::open(text.fileName(), &error));
        QVERIFY(error.contains("not an audio file"));
        QVERIFY(checked(make(AudioFormat::Wav, 1.0)).isEmpty());
    }

    void aFifoInTheFilesPlaceNeverHangsOpen() {
        const QString fifo = dir_.filePath("pipe.mp3");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QString error;
        QVERIFY(!GstFilePlayer::open(fifo, &error));
        QCOMPARE(error, QStringLiteral("not a regular file"));

        // The path turns from a file into a FIFO and back while players open it: what was
        // checked is what plays, so no open ever waits for a writer.
        const QString wav = make(AudioFormat::Wav, 1.0);
        const QByteArray target = QFile::encodeName(dir_.filePath("flip.wav"));
        const QByteArray temporary = target + ".new";
        QCOMPARE(::symlink(QFile::encodeName(wav).constData(), target.constData()), 0);
        std::atomic<bool> done{false}, hung{false};
        std::atomic<int> progress{0};
        std::thread flipper([&] {
            int lastProgress = -1;
            auto lastChange = std::chrono::steady_clock::now();
            for (int i = 0; !done; ++i) {
                ::unlink(temporary.constData());
                ::symlink(QFile::encodeName(i % 2 ? fifo : wav).constData(), temporary.constData());
                ::rename(temporary.constData(), target.constData());
                std::this_thread::sleep_for(std::chrono::microseconds(300));
                if (progress != lastProgress) {
                    lastProgress = progress;
                    lastChange = std::chrono::steady_clock::now();
                } else if (std::chrono::steady_clock::now() - lastChange >
                           std::chrono::seconds(10)) {
                    // Stuck in an open of the FIFO: release it (a writer comes and goes).
                    hung = true;
                    const int w = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK);
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    ::close(w);
                }
            }
        });
        int opened = 0, refused = 0;
        QStringList unexpected;
        // At least 150 opens, and on until both kinds were met: under load the flipper can
        // sleep through a whole run of fast refusals.
        QDeadlineTimer enough(60000);
        for (int i = 0; !hung && !enough.hasExpired() && (i < 150 || !opened || !refused); ++i) {
            QString e;
            if (auto player = GstFilePlayer::open(QFile::decodeName(target), &e))
                ++opened;
            else if (e == "not a regular file")
                ++refused;
            else
                unexpected.append(e);
            ++progress;
        }
        done = true;
        flipper.join();
        QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(", ")));
        QVERIFY(!hung);
        QVERIFY(opened > 0);
        QVERIFY(refused > 0);
    }

    void truncatedFileStopsByItselfInsteadOfHanging() {
        const QString path = make(AudioFormat::Flac, 3.0);
        QFile whole(path);
        QVERIFY(whole.open(QIODevice::ReadOnly));
        QByteArray bytes = whole.readAll();
        bytes.truncate(bytes.size() / 3);
        bytes.append(QByteArray(4096, '\x5a')); // garbage where frames should be
        QFile cut(dir_.filePath("cut.flac"));
        QVERIFY(cut.open(QIODevice::WriteOnly));
        cut.write(bytes);
        cut.close();
        auto player = open(cut.fileName());
        QVERIFY(player);
        player->play();
        QTRY_VERIFY_WITH_TIMEOUT(!player->isPlaying(), 8000);
    }

    // A local file is read straight, not through the buffering queue (and its thread) that
    // network streams get. (What players leave behind, tst_churn counts through the engine.)
    void aLocalFileIsReadWithoutAStreamBuffer() {
        auto player = open(make(AudioFormat::Mp3, 1.0));
        QVERIFY(player);
        player->play();
        QTRY_VERIFY_WITH_TIMEOUT(player->currentTime() > 0.1, 5000);
        for (const QString& task :
             QDir("/proc/self/task").entryList(QDir::NoDotAndDotDot | QDir::Dirs)) {
            QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
            if (comm.open(QIODevice::ReadOnly))
                QVERIFY2(!comm.readAll().startsWith("queue2"), "a stream buffer reads the file");
        }
    }
};

QTEST_GUILESS_MAIN(TestGstFilePlayer)
#include "tst_gstfileplayer.moc"
