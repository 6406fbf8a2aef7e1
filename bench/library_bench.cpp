// Library-scale measurements, driven by bench/library.py.
//   library_bench corpus DIR TEMPLATE COUNT [gains]
//                                            make COUNT tagged copies of TEMPLATE, a quarter
//                                            with a 50 KB cover (done once, cached); with
//                                            "gains", each also has ReplayGain's four TXXX
//                                            frames (track and album gain and peak)
//   library_bench loudness DIR [COUNT]       the background loudness measurement of DIR's
//                                            first COUNT files (all by default), one after
//                                            another as the engine runs it: the process's CPU
//                                            time per minute of audio, and the wall time
//   library_bench floor DIR [COUNT]          single-threaded TagLib loop over DIR's files (COUNT
//                                            of them, repeated), its time and CPU
//   library_bench ingest DIR                 the engine's add() of DIR's files, until stored
//   library_bench restore DIR COUNT          the engine's start-up restore of COUNT bookmarks
//   library_bench window DIR COUNT           the whole application with its window shown: DIR
//                                            dropped on it (COUNT 0), or COUNT files (DIR's,
//                                            repeated) added as the open dialog does; reports
//                                            the longest gap of a 1 ms main-thread heartbeat
//                                            and the times until all are listed and all read,
//                                            with the readers' threads' CPU
//   library_bench covers DIR TEMPLATE COUNT  resident memory with COUNT tracks each with a
//                                            distinct 2-5 MB cover (copies of TEMPLATE, made
//                                            once in DIR: about COUNT x 3.5 MB of disk): after
//                                            the add, after 50 of them were made current in
//                                            turn, and after a restart from the metadata cache
//                                            (with how many files that start read again)
//   library_bench unmounted COUNT            a start of the whole application (window shown)
//                                            whose stored playlist holds COUNT entries on a
//                                            volume not mounted now, all in the metadata cache
//                                            from when it was: the longest gap of a 10 ms
//                                            main-thread heartbeat from start until 3 s after
//                                            the window appeared
//   library_bench audacious DIR COUNT        the same for a running Audacious (on this session
//                                            bus), seen from outside: the longest gap between
//                                            answers to media-control calls made every 10 ms,
//                                            and the time until its playlist holds them all
//   library_bench answers BUSNAME SECONDS COMMAND...
//                                            asks a player on this session bus for its
//                                            playback status every 5 ms for SECONDS; 0.5 s in,
//                                            runs COMMAND (a hand-over to the player): the
//                                            longest answer, and when it came
#include "app/orvaneapp.h"
#include "engine/audioengine.h"
#include "engine/bookmark.h"
#include "engine/clock.h"
#include "engine/gstplayerfactory.h"
#include "engine/loudnessscanner.h"
#include "engine/metadatacache.h"
#include "engine/playlistrestore.h"
#include "engine/playliststore.h"
#include "ui/contentview.h"
#include "ui/mainwindow.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>

#include <QApplication>
#include <QBuffer>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QDBusVariant>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

using namespace orvane;

namespace {

QStringList corpusFiles(const QString& dir) {
    QStringList files;
    for (const QString& name : QDir(dir).entryList({"*.mp3"}, QDir::Files, QDir::Name))
        files.append(QDir(dir).filePath(name));
    return files;
}

long peakRssKb() {
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return 0;
}

QByteArray noiseJpeg(int targetBytes) {
    QImage image(400, 400, QImage::Format_RGB32);
    QRandomGenerator rng(42);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, rng.generate() | 0xff000000);
    QByteArray out;
    for (int quality = 90; quality > 5; quality -= 5) {
        out.clear();
        QBuffer buffer(&out);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "JPEG", quality);
        if (out.size() <= targetBytes)
            break;
    }
    return out;
}

int makeCorpus(const QString& dir, const QString& templ, int count, bool gains) {
    QDir().mkpath(dir);
    const QByteArray cover = noiseJpeg(50 * 1024);
    for (int i = 0; i < count; ++i) {
        const QString path =
            QDir(dir).filePath(QStringLiteral("track%1.mp3").arg(i, 5, 10, QLatin1Char('0')));
        QFile::remove(path);
        QFile::copy(templ, path);
        TagLib::MPEG::File f(QFile::encodeName(path).constData());
        TagLib::ID3v2::Tag* tag = f.ID3v2Tag(true);
        tag->setTitle(TagLib::String(QStringLiteral("Song %1").arg(i).toStdString()));
        tag->setArtist(TagLib::String("Bench Band"));
        if (i % 4 == 0) {
            auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
            frame->setMimeType("image/jpeg");
            frame->setPicture(TagLib::ByteVector(cover.constData(), uint(cover.size())));
            tag->addFrame(frame);
        }
        if (gains) {
            for (const auto& [key, value] :
                 {std::pair{"REPLAYGAIN_TRACK_GAIN", "-6.48 dB"},
                  std::pair{"REPLAYGAIN_TRACK_PEAK", "0.988525"},
                  std::pair{"REPLAYGAIN_ALBUM_GAIN", "-7.02 dB"},
                  std::pair{"REPLAYGAIN_ALBUM_PEAK", "1.000000"}}) {
                auto* txxx = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::UTF8);
                txxx->setDescription(key);
                txxx->setText(value);
                tag->addFrame(txxx);
            }
        }
        f.save(TagLib::MPEG::File::ID3v2);
    }
    std::printf("corpus: %d files%s, cover %lld bytes\n", count, gains ? " with gains" : "",
                static_cast<long long>(cover.size()));
    return 0;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The measurement's streaming threads run at nice 19; on an idle machine that costs nothing in
// speed, and the CPU time counted is theirs and this thread's.
int runLoudness(const QString& dir, int count) {
    QStringList files = corpusFiles(dir);
    if (count > 0 && count < files.size())
        files = files.mid(0, count);
    double audio = 0;
    for (const QString& f : files)
        audio += Track::load(QUrl::fromLocalFile(f), "en").duration;
    const std::atomic<bool> cancel{false};
    QElapsedTimer wall;
    wall.start();
    const double cpu0 = processCpuSeconds();
    int measured = 0;
    for (const QString& f : files)
        measured += LoudnessScanner::measure(f, cancel).has_value();
    const double cpu = processCpuSeconds() - cpu0;
    const double seconds = wall.nsecsElapsed() / 1e9;
    std::printf("loudness: %d of %lld files measured, %.1f s of audio, CPU %.3f s (%.3f s per "
                "minute of audio), wall %.3f s\n",
                measured, static_cast<long long>(files.size()), audio, cpu,
                audio > 0 ? cpu / (audio / 60) : 0.0, seconds);
    return measured == files.size() ? 0 : 1;
}

long rssKb() {
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return 0;
}

// Random noise as a JPEG `side` pixels square: noise hardly compresses, so its size follows its
// area (1500, 1950 and 2350 pixels give about 2, 3.5 and 5 MB).
QByteArray bigNoiseJpeg(int side, quint32 seed) {
    QImage image(side, side, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            image.setPixel(x, y, rng.generate() | 0xff000000);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return out;
}

// COUNT copies of TEMPLATE, each with a cover of its own: one of three big noise pictures
// made distinct by a comment segment naming the file (distinct bytes: no two tracks share a
// cover), the same size every run.
QStringList makeCoverCorpus(const QString& dir, const QString& templ, int count) {
    QDir().mkpath(dir);
    QList<QByteArray> bases;
    QStringList files;
    for (int i = 0; i < count; ++i) {
        const QString path =
            QDir(dir).filePath(QStringLiteral("cover%1.mp3").arg(i, 5, 10, QLatin1Char('0')));
        files.append(path);
        if (QFileInfo(path).size() > 1'500'000)
            continue; // made by an earlier run
        if (bases.isEmpty())
            for (int side : {1500, 1950, 2350})
                bases.append(bigNoiseJpeg(side, quint32(side)));
        const QByteArray tag = QStringLiteral("cover %1").arg(i).toLatin1();
        QByteArray comment("\xff\xfe", 2);
        comment.append(char((tag.size() + 2) >> 8)).append(char((tag.size() + 2) & 0xff));
        comment.append(tag);
        QByteArray cover = bases.at(i % 3);
        cover.insert(2, comment); // after the start-of-image marker
        QFile::remove(path);
        QFile::copy(templ, path);
        TagLib::MPEG::File f(QFile::encodeName(path).constData());
        TagLib::ID3v2::Tag* tag3 = f.ID3v2Tag(true);
        tag3->setTitle(TagLib::String(QStringLiteral("Song %1").arg(i).toStdString()));
        tag3->setArtist(TagLib::String("Bench Band"));
        auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
        frame->setMimeType("image/jpeg");
        frame->setPicture(TagLib::ByteVector(cover.constData(), uint(cover.size())));
        tag3->addFrame(frame);
        f.save(TagLib::MPEG::File::ID3v2);
    }
    return files;
}

int runCovers(const QString& dir, const QString& templ, int count) {
    const QStringList files = makeCoverCorpus(dir, templ, count);
    std::printf("covers: %d files, %.1f MB on disk\n", count, [&] {
        qint64 total = 0;
        for (const QString& f : files)
            total += QFileInfo(f).size();
        return total / 1e6;
    }());
    QTemporaryDir settingsDir;
    const QString settingsPath = settingsDir.filePath("bench.ini");
    const QString cachePath = settingsDir.filePath("playlist-metadata");
    SystemClock clock;
    GstPlayerFactory players;
    auto reads = std::make_shared<std::atomic<int>>(0);
    // Thumbnails as the application makes them for a screen of device pixel ratio 1.
    const TrackLoader counting = [reads](const QUrl& url, const QString& lang) {
        reads->fetch_add(1);
        return Track::load(url, lang, Track::thumbnailSideFor(1));
    };
    const long before = rssKb();
    auto runUntil = [](const std::function<bool()>& done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        return done();
    };
    {
        QSettings settings(settingsPath, QSettings::IniFormat);
        EngineServices services{&clock, &players, &settings, nullptr, nullptr, counting, {}, {}};
        services.metadataCachePath = cachePath;
        AudioEngine engine(services);
        QList<QUrl> urls;
        for (const QString& f : files)
            urls.append(QUrl::fromLocalFile(f));
        QElapsedTimer timer;
        timer.start();
        engine.add(urls);
        if (!runUntil([&] { return engine.playlist().size() == count && reads->load() == count; },
                      3'600'000))
            return 1;
        const double addSeconds = timer.nsecsElapsed() / 1e9;
        qint64 thumbnails = 0;
        for (const Track& t : engine.playlist())
            thumbnails += t.artwork.size();
        std::printf("covers: %d added in %.1f s, thumbnails %.1f MB, RSS %.1f MB (%.1f MB at "
                    "start)\n",
                    count, addSeconds, thumbnails / 1e6, rssKb() / 1024.0, before / 1024.0);
        const int current = std::min(count, 50);
        for (int i = 0; i < current; ++i) {
            engine.play(engine.playlist().at(i));
            runUntil([&] { return !engine.currentArtwork().isEmpty(); }, 30000);
        }
        std::printf("covers: %d made current in turn, RSS %.1f MB\n", current, rssKb() / 1024.0);
    } // written: the list and the metadata cache
    reads->store(0);
    {
        QSettings settings(settingsPath, QSettings::IniFormat);
        EngineServices services{&clock, &players, &settings, nullptr, nullptr, counting, {}, {}};
        services.metadataCachePath = cachePath;
        AudioEngine engine(services);
        runUntil([&] { return false; }, 3000); // the look at the files after start
        std::printf("covers: restart from a cache of %.1f MB: %lld rows, %d files read again, "
                    "RSS %.1f MB\n",
                    QFileInfo(cachePath).size() / 1e6,
                    static_cast<long long>(engine.playlist().size()), reads->load(),
                    rssKb() / 1024.0);
    }
    std::printf("covers: peak RSS %.1f MB\n", peakRssKb() / 1024.0);
    return 0;
}

// CPU seconds (user and system) of this process's threads whose name starts with `prefix`.
double threadsCpuSeconds(const QByteArray& prefix) {
    double total = 0;
    const long tick = sysconf(_SC_CLK_TCK);
    for (const QString& tid :
         QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm("/proc/self/task/" + tid + "/comm"), stat("/proc/self/task/" + tid + "/stat");
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith(prefix) ||
            !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            total += double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / tick;
    }
    return total;
}

qint64 threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int floorLoop(const QString& dir, int count) {
    const QStringList corpus = corpusFiles(dir);
    QStringList files;
    for (int i = 0; i < (count > 0 ? count : corpus.size()); ++i)
        files.append(corpus.at(i % corpus.size()));
    QElapsedTimer timer;
    timer.start();
    const qint64 cpuBefore = threadCpuNs();
    qint64 checksum = 0;
    for (const QString& path : files) {
        TagLib::FileRef ref(QFile::encodeName(path).constData(), true,
                            TagLib::AudioProperties::Average);
        if (ref.isNull())
            continue;
        checksum += ref.file()->properties().size();
        if (ref.audioProperties())
            checksum += ref.audioProperties()->lengthInMilliseconds();
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    std::printf("floor: %lld files in %.3f s, %.2f s of CPU (%.0f files/s, single-threaded "
                "TagLib)\n",
                static_cast<long long>(files.size()), seconds, (threadCpuNs() - cpuBefore) / 1e9,
                files.size() / seconds);
    return checksum > 0 ? 0 : 1;
}

// Counts replacements of the settings file (QSettings writes a new file and renames it).
struct WriteCounter {
    QString path;
    qint64 lastInode = -1;
    int writes = 0;
    void sample() {
        QFileInfo info(path);
        info.refresh();
        const qint64 inode =
            info.exists() ? qint64(info.lastModified().toMSecsSinceEpoch()) ^ info.size() : -1;
        if (inode != lastInode && inode != -1 && lastInode != -1)
            ++writes;
        lastInode = inode;
    }
};

int runEngine(const QString& mode, const QString& dir, int count) {
    QTemporaryDir settingsDir;
    const QString settingsPath = settingsDir.filePath("bench.ini");
    const QString playlistPath = PlaylistStore::pathBeside(settingsPath);
    QStringList files = corpusFiles(dir);
    if (mode == "restore") {
        QList<QByteArray> bookmarks;
        for (int i = 0; i < count; ++i)
            bookmarks.append(*Bookmark::make(files.at(i % files.size())));
        QSettings seed(playlistPath, QSettings::IniFormat);
        seed.setValue(PlaylistStore::key, PlaylistStore::encode(bookmarks));
        seed.sync();
    }
    QSettings settings(settingsPath, QSettings::IniFormat);
    SystemClock clock;
    GstPlayerFactory players;
    WriteCounter counter{playlistPath};
    counter.sample();

    QElapsedTimer timer;
    timer.start();
    qint64 longestAppendGapNs = 0, lastAppend = 0;
    AudioEngine engine({&clock, &players, &settings, nullptr, nullptr, {}, {}, {}});
    const int expected = mode == "restore" ? count : int(files.size());
    QObject::connect(&engine, &AudioEngine::playlistChanged, [&] {
        const qint64 now = timer.nsecsElapsed();
        longestAppendGapNs = std::max(longestAppendGapNs, now - lastAppend);
        lastAppend = now;
        counter.sample();
        if (engine.playlist().size() == expected)
            QTimer::singleShot(400, qApp, &QCoreApplication::quit); // let the coalesced save land
    });
    if (mode == "ingest") {
        QList<QUrl> urls;
        for (const QString& f : files)
            urls.append(QUrl::fromLocalFile(f));
        engine.add(urls);
    }
    QCoreApplication::exec();
    const double seconds = lastAppend / 1e9;
    counter.sample();
    std::printf("%s: %lld tracks in %.3f s (%.0f tracks/s), settings file written %d times, "
                "peak RSS %.1f MB\n",
                qPrintable(mode), static_cast<long long>(engine.playlist().size()), seconds,
                engine.playlist().size() / seconds, counter.writes, peakRssKb() / 1024.0);
    return engine.playlist().size() == expected ? 0 : 1;
}

// The main thread's longest stall while files come in, seen by a 1 ms heartbeat: the longest
// time between two of its beats. A free main thread beats every millisecond, so the longest gap
// is the longest an event could have waited, to within a millisecond (a 10 ms beat counted up
// to 10 ms of idle waiting for the next beat into a gap).
int runWindow(const QString& dir, int count) {
    QTemporaryDir home;
    auto settings = std::make_unique<QSettings>(home.filePath("bench.ini"), QSettings::IniFormat);
    settings->setValue("appLanguage", "en");
    OrvaneApp orvane(std::move(settings));
    orvane.start(true);
    QElapsedTimer clock;
    clock.start();
    while (!orvane.mainWindow().isVisible() || clock.elapsed() < 1500) // settled after showing
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    const QStringList files = corpusFiles(dir);
    QList<QUrl> urls;
    for (int i = 0; i < count; ++i)
        urls.append(QUrl::fromLocalFile(files.at(i % files.size())));
    const int expected = count > 0 ? count : int(files.size());

    AudioEngine& engine = orvane.engine();
    qint64 lastBeat = 0, longestGap = 0, listedAt = -1, readAt = -1;
    // The main thread's own CPU time in the longest gap: near the gap, the thread was busy;
    // far below it, it was ready but waited for a core (other processes, the readers).
    qint64 lastCpu = threadCpuNs(), longestGapCpu = 0, longestGapAt = 0;
    // The most CPU the main thread spent between two beats, wherever it was: the longest step it
    // took, which a loaded machine only stretches, never hides.
    qint64 busiestStepCpu = 0, busiestStepAt = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed(), cpu = threadCpuNs();
        if (now - lastBeat > longestGap) {
            longestGap = now - lastBeat;
            longestGapCpu = cpu - lastCpu;
            longestGapAt = lastBeat;
        }
        if (cpu - lastCpu > busiestStepCpu) {
            busiestStepCpu = cpu - lastCpu;
            busiestStepAt = lastBeat;
        }
        lastBeat = now;
        lastCpu = cpu;
    });
    // Listed: every row is there (a big add shows rows by their file names first). Read: every
    // row has its length from the file, which all of the corpus's have.
    // While the rows are listed: the main thread's longest stall and its CPU time in all.
    qint64 cpuAtAdd = 0, listingCpu = 0, listingGap = 0;
    QObject::connect(&engine, &AudioEngine::playlistChanged, [&] {
        if (listedAt < 0 && engine.playlist().size() == expected) {
            listedAt = clock.nsecsElapsed();
            listingCpu = threadCpuNs() - cpuAtAdd;
            listingGap = std::max(longestGap, listedAt - lastBeat);
        }
    });
    QTimer readCheck;
    QObject::connect(&readCheck, &QTimer::timeout, [&] {
        if (listedAt < 0 || readAt >= 0)
            return;
        for (const Track& t : engine.playlist()) {
            if (t.duration <= 0)
                return;
        }
        readAt = clock.nsecsElapsed();
        QTimer::singleShot(400, qApp, &QCoreApplication::quit); // the saves after the last rows
    });
    readCheck.start(50);
    const double readersCpuBefore = threadsCpuSeconds("orvane-readers");
    clock.restart();
    timespec started{}; // for lining the figures up with a profiler's monotonic timestamps
    clock_gettime(CLOCK_MONOTONIC, &started);
    heartbeat.start(1);
    cpuAtAdd = threadCpuNs();
    if (count > 0)
        engine.add(urls);
    else
        orvane.mainWindow().content()->handleDrop({QUrl::fromLocalFile(dir)});
    QTimer::singleShot(120000, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    heartbeat.stop();
    const qint64 end = clock.nsecsElapsed();
    longestGap = std::max(longestGap, end - lastBeat);
    // The readers' threads live on for a while after their last file: all of their work is in.
    const double readersCpu = threadsCpuSeconds("orvane-readers") - readersCpuBefore;
    std::printf("window %s %d: listed in %.3f s (longest main-thread stall %.1f ms, main thread's "
                "CPU %.0f ms), all read in %.3f s, readers' CPU %.2f s, "
                "longest main-thread stall until then %.1f ms (%.1f ms of it on the CPU, from "
                "%.3f s; monotonic start %ld.%09ld); busiest step %.1f ms on the CPU from %.3f s\n",
                count > 0 ? "add" : "drop", expected, listedAt / 1e9, listingGap / 1e6,
                listingCpu / 1e6, readAt / 1e9, readersCpu, longestGap / 1e6, longestGapCpu / 1e6,
                longestGapAt / 1e9, long(started.tv_sec), started.tv_nsec, busiestStepCpu / 1e6,
                busiestStepAt / 1e9);
    return readAt >= 0 ? 0 : 1;
}

int runUnmounted(int count) {
    QTemporaryDir home;
    const QString settingsPath = home.filePath("bench.ini");
    const QString cachePath = home.filePath("playlist-metadata");
    {
        // What a start finds: the list, and the cache written when the volume was there.
        QList<QByteArray> bookmarks;
        bookmarks.reserve(count);
        MetadataCache cache(cachePath, QStringLiteral("en"));
        for (int i = 0; i < count; ++i) {
            const QByteArray path = QStringLiteral("/media/orvane-absent-volume/%1/track%2.mp3")
                                        .arg(i / 12)
                                        .arg(i)
                                        .toUtf8();
            const QByteArray bookmark = QByteArray("ORVB\x01", 5) + path;
            bookmarks.append(bookmark);
            Track track(QString::fromUtf8(path), QStringLiteral("Song %1").arg(i),
                        QStringLiteral("Bench Band"), 180, {}, {});
            track.technical.type = QStringLiteral("MP3");
            FileStamp stamp;
            stamp.size = 4'000'000;
            stamp.inode = quint64(i) + 1;
            cache.put(bookmark, stamp, track);
        }
        cache.save([bookmarks] { return bookmarks; });
        cache.waitForWrites();
        QSettings list(PlaylistStore::pathBeside(settingsPath), QSettings::IniFormat);
        list.setValue(PlaylistStore::key, PlaylistStore::encode(bookmarks));
        list.sync();
    }
    std::printf("unmounted %d: cache %.1f MB\n", count, QFileInfo(cachePath).size() / 1e6);

    QElapsedTimer clock;
    clock.start();
    qint64 lastBeat = 0, longestGap = 0, longestGapAt = 0, shownAt = -1;
    // The busiest step on the main thread's CPU clock too: on a machine with other work the
    // wall-clock gap includes waiting for a core.
    qint64 lastCpu = threadCpuNs(), busiestCpu = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed(), cpu = threadCpuNs();
        if (now - lastBeat > longestGap) {
            longestGap = now - lastBeat;
            longestGapAt = lastBeat;
        }
        busiestCpu = std::max(busiestCpu, cpu - lastCpu);
        lastBeat = now;
        lastCpu = cpu;
    });
    heartbeat.start(10);
    PlaylistRestore restore(PlaylistStore::pathBeside(settingsPath), settingsPath, cachePath);
    auto settings = std::make_unique<QSettings>(settingsPath, QSettings::IniFormat);
    settings->setValue("appLanguage", "en");
    OrvaneApp orvane(std::move(settings), nullptr, &restore);
    orvane.start(true);
    const qint64 startedAt = clock.nsecsElapsed(); // before the event loop, as main() does
    lastBeat = startedAt;
    lastCpu = threadCpuNs();
    // The event loop waits for events as the application's does (a loop that polls would
    // keep the main thread busy and make the CPU figures meaningless).
    QEventLoop loop;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (shownAt < 0 && orvane.mainWindow().isVisible())
            shownAt = clock.nsecsElapsed();
        if ((shownAt >= 0 && clock.nsecsElapsed() - shownAt > 3'000'000'000) ||
            clock.elapsed() > 120000)
            loop.quit();
    });
    watch.start(50);
    loop.exec();
    watch.stop();
    const qint64 startGap = longestGap, startGapAt = longestGapAt, startCpu = busiestCpu;
    busiestCpu = 0;
    // Then an edit: one file added, and the saves it brings (the list after 0.25 s, the
    // cache after 2 s) with every entry still kept.
    longestGap = 0;
    const qint64 editedAt = clock.nsecsElapsed();
    orvane.engine().add({QUrl::fromLocalFile(QDir::home().filePath(
        QStringLiteral(".cache/orvane-bench/template.mp3")))});
    QTimer::singleShot(4000, &loop, &QEventLoop::quit);
    loop.exec();
    heartbeat.stop();
    std::printf("unmounted %d: start (list shown) %.3f s, %lld rows, longest main-thread stall "
                "after it %.1f ms (from %.3f s; busiest step %.1f ms on the CPU); after adding "
                "a file %.1f ms (from %.3f s; busiest step %.1f ms on the CPU), peak RSS %.1f MB\n",
                count, startedAt / 1e9, static_cast<long long>(orvane.engine().playlist().size()),
                startGap / 1e6, startGapAt / 1e9, startCpu / 1e6, longestGap / 1e6,
                (longestGapAt - editedAt) / 1e9, busiestCpu / 1e6, peakRssKb() / 1024.0);
    return 0;
}

int runAudacious(const QString& dir, int count) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto call = [&](const QString& method, const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(
            "org.atheme.audacious", "/org/atheme/audacious", "org.atheme.audacious", method);
        m.setArguments(args);
        return bus.call(m, QDBus::Block, 5000);
    };
    auto length = [&] {
        const QDBusMessage reply = call("Length");
        return reply.arguments().isEmpty() ? -1 : reply.arguments().first().toInt();
    };
    const int before = length();
    if (before < 0) {
        std::fprintf(stderr, "audacious: not reachable on the session bus\n");
        return 1;
    }
    const QStringList files = corpusFiles(dir);
    QStringList urls;
    for (int i = 0; i < count; ++i)
        urls.append(QUrl::fromLocalFile(files.at(i % files.size())).toString());
    const int expected = before + (count > 0 ? count : int(files.size()));
    QElapsedTimer clock;
    clock.start();
    if (count > 0)
        call("AddList", {urls});
    else
        call("Add", {QUrl::fromLocalFile(dir).toString()});
    qint64 lastAnswer = clock.nsecsElapsed(), longestGap = 0, listedAt = -1;
    while (clock.elapsed() < 120000) {
        QDBusMessage status = QDBusMessage::createMethodCall(
            "org.mpris.MediaPlayer2.audacious", "/org/mpris/MediaPlayer2",
            "org.freedesktop.DBus.Properties", "Get");
        status.setArguments({"org.mpris.MediaPlayer2.Player", "PlaybackStatus"});
        bus.call(status, QDBus::Block, 5000);
        const qint64 now = clock.nsecsElapsed();
        longestGap = std::max(longestGap, now - lastAnswer);
        lastAnswer = now;
        if (listedAt < 0 && length() >= expected)
            listedAt = clock.nsecsElapsed();
        if (listedAt >= 0 && now - listedAt > 100'000'000)
            break;
        QThread::usleep(10000);
    }
    std::printf("audacious %s %d: listed in %.3f s, longest gap in media-control answers "
                "%.1f ms (polled every 10 ms)\n",
                count > 0 ? "add" : "folder", expected - before, listedAt / 1e9, longestGap / 1e6);
    call("Clear"); // an empty playlist for the next run
    return listedAt >= 0 ? 0 : 1;
}

// The longest MPRIS answer of a player while a command hands it something: what a desktop's
// media controls see of a main thread that is busy.
int runAnswers(const QString& service, double seconds, const QStringList& command) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage status = QDBusMessage::createMethodCall(
        service, "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties", "Get");
    status.setArguments({"org.mpris.MediaPlayer2.Player", "PlaybackStatus"});
    QElapsedTimer clock;
    clock.start();
    qint64 longest = 0, longestAt = 0, longestBefore = 0, calls = 0;
    bool launched = false;
    QString firstStatus, lastStatus;
    while (clock.nsecsElapsed() < qint64(seconds * 1e9)) {
        if (!launched && clock.elapsed() >= 500) {
            launched = true;
            QProcess::startDetached(command.first(), command.mid(1));
        }
        const qint64 before = clock.nsecsElapsed();
        const QDBusMessage reply = bus.call(status, QDBus::Block, 5000);
        const qint64 took = clock.nsecsElapsed() - before;
        if (reply.type() != QDBusMessage::ReplyMessage) {
            std::fprintf(stderr, "answers: %s did not answer: %s\n", qPrintable(service),
                         qPrintable(reply.errorMessage()));
            return 1;
        }
        lastStatus = reply.arguments().first().value<QDBusVariant>().variant().toString();
        if (firstStatus.isEmpty())
            firstStatus = lastStatus;
        ++calls;
        if (launched && took > longest) {
            longest = took;
            longestAt = before;
        }
        if (!launched)
            longestBefore = std::max(longestBefore, took);
        QThread::usleep(5000);
    }
    std::printf("answers %s: %lld calls; longest answer after the hand-over %.1f ms (at %.3f s "
                "after it), before it %.1f ms; status %s, then %s\n",
                qPrintable(service), calls, longest / 1e6, longestAt / 1e9 - 0.5,
                longestBefore / 1e6, qPrintable(firstStatus), qPrintable(lastStatus));
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args.at(1) == "audacious")
        return runAudacious(args.at(2), args.size() > 3 ? args.at(3).toInt() : 0);
    if (args.size() >= 5 && args.at(1) == "answers")
        return runAnswers(args.at(2), args.at(3).toDouble(), args.mid(4));
    if (args.size() >= 3 && args.at(1) == "window")
        return runWindow(args.at(2), args.size() > 3 ? args.at(3).toInt() : 0);
    if (args.size() >= 5 && args.at(1) == "corpus")
        return makeCorpus(args.at(2), args.at(3), args.at(4).toInt(),
                          args.size() > 5 && args.at(5) == "gains");
    if (args.size() >= 3 && args.at(1) == "loudness")
        return runLoudness(args.at(2), args.size() > 3 ? args.at(3).toInt() : 0);
    if (args.size() >= 3 && args.at(1) == "unmounted")
        return runUnmounted(args.at(2).toInt());
    if (args.size() >= 5 && args.at(1) == "covers")
        return runCovers(args.at(2), args.at(3), args.at(4).toInt());
    if (args.size() >= 3 && args.at(1) == "floor")
        return floorLoop(args.at(2), args.size() > 3 ? args.at(3).toInt() : 0);
    if (args.size() >= 3 && (args.at(1) == "ingest" || args.at(1) == "restore"))
        return runEngine(args.at(1), args.at(2), args.size() > 3 ? args.at(3).toInt() : 0);
    std::fprintf(stderr, "usage: see the comment at the top of library_bench.cpp\n");
    return 2;
}
