// A start shows the stored playlist from what earlier runs read, reads again only the files that
// changed, and survives any cache file it finds.
#include "engine/bookmark.h"
#include "engine/metadatacache.h"
#include "engine/playlistrestore.h"
#include "support/enginefixture.h"
#include "support/files.h"
#include "support/tagwriter.h"
#include "support/testaudio.h"
#include "support/waits.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QtEndian>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

using namespace orvane;
using namespace orvane::test;

namespace {

// Reads nothing from the files: each track says which read made it, and the reads are counted.
struct CountingLoader {
    explicit CountingLoader(const QString& mark = {})
        : mark(mark) {}
    std::shared_ptr<std::atomic<int>> reads = std::make_shared<std::atomic<int>>(0);
    QString mark;
    // Reads of files named `hold` wait until released.
    QString hold;
    std::shared_ptr<std::atomic<bool>> released = std::make_shared<std::atomic<bool>>(false);

    TrackLoader loader() const {
        return [reads = reads, mark = mark, hold = hold, released = released](const QUrl& url,
                                                                              const QString&) {
            while (!hold.isEmpty() && url.fileName() == hold && !released->load())
                QThread::msleep(2);
            reads->fetch_add(1);
            const QString name = url.fileName();
            // A file named "endless…" says it lasts some 30 years.
            Track t(url.toLocalFile(), mark + name, QStringLiteral("Artist ") + name,
                    name.startsWith(QLatin1String("endless")) ? 1e9 : 100 + name.size(),
                    name.startsWith(QLatin1Char('b')) ? pngBytes(8, 8) : QByteArray(),
                    {QStringLiteral("MP3"), 320, -1, 0}); // "MP3 · 320 kbps"
            t.album = QStringLiteral("Album");
            t.albumArtist = QStringLiteral("Various");
            t.trackNumber = int(name.size());
            if (name.startsWith(QLatin1Char('b')))
                t.gain = {-6.5f, 0.9f, NAN, 1.5f};
            return t;
        };
    }
};

} // namespace

class TestMetadataCache : public QObject {
    Q_OBJECT

    QTemporaryDir music_;

    struct Fixture : EngineFixture {
        QString cachePath() const {
            return dir.filePath(QStringLiteral("cache/playlist-metadata"));
        }
        // As the program starts: the stored list read ahead on a thread of its own while the
        // engine is made, then shown; or read by the engine itself.
        bool readAhead = false;
        std::unique_ptr<PlaylistRestore> ahead;
        // The files are looked at a moment after the list is shown: that moment is let pass.
        AudioEngine& startCached(TrackLoader loader) {
            metadataCachePath = cachePath();
            if (!readAhead) {
                AudioEngine& e = start(std::move(loader));
                clock.advance(1);
                return e;
            }
            engine.reset();
            settings->sync();
            playlistWriter->flush();
            ahead = std::make_unique<PlaylistRestore>(playlistPath(), settings->fileName(),
                                                      cachePath());
            restore = ahead.get();
            AudioEngine& e = start(std::move(loader));
            restore = nullptr;
            e.showRestoredPlaylist();
            clock.advance(1);
            return e;
        }
        QVariantList stored() { return EngineFixture::stored("playlistBookmarks").toList(); }
    };

    QList<QUrl> files(const QStringList& names) { return placeholderFiles(music_, names); }
    // A first run that adds these files and quits, leaving the stored list and the cache.
    void firstRun(Fixture& f, const QStringList& names) {
        CountingLoader first{QStringLiteral("read:")};
        AudioEngine& e = f.startCached(first.loader());
        e.add(files(names));
        QTRY_COMPARE(e.playlist().size(), names.size());
        f.engine.reset();
        QVERIFY(QFile::exists(f.cachePath()));
    }
    static void setMtime(const QString& path, qint64 seconds) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::fromSecsSinceEpoch(seconds),
                                 QFileDevice::FileModificationTime));
    }

    static void eitherWay() {
        QTest::addColumn<bool>("readAhead");
        QTest::newRow("read by the engine") << false;
        QTest::newRow("read ahead") << true;
    }

private Q_SLOTS:
    void unchangedFilesComeBackWithoutAnyRead_data() { eitherWay(); }
    void unchangedFilesComeBackWithoutAnyRead() {
        Fixture f;
        QFETCH(bool, readAhead);
        f.readAhead = readAhead;
        // One name with what a URL or a file name can get wrong.
        const QString c4 = QStringLiteral("c4 100% 50%20off a#b?c Жёлтый [x] {y}.mp3");
        firstRun(f, {"a1.mp3", "b2.mp3", "b3.mp3", c4});
        const QVariantList storedBefore = f.stored();
        QCOMPARE(storedBefore.size(), 4);

        CountingLoader second;
        AudioEngine& e = f.startCached(second.loader());
        // Whole at once, before the event loop has run: nothing was read.
        QCOMPARE(titles(e),
                 (QStringList{"read:a1.mp3", "read:b2.mp3", "read:b3.mp3", "read:" + c4}));
        QCOMPARE(second.reads->load(), 0);
        const Track& b2 = e.playlist().at(1);
        QCOMPARE(b2.artist, QStringLiteral("Artist b2.mp3"));
        QCOMPARE(b2.album, QStringLiteral("Album"));
        QCOMPARE(b2.albumArtist, QStringLiteral("Various"));
        QCOMPARE(b2.trackNumber, 6);
        QCOMPARE(b2.gain, (Track::Gain{-6.5f, 0.9f, NAN, 1.5f}));
        QCOMPARE(e.playlist().at(0).gain, Track::Gain());
        QCOMPARE(b2.duration, 106.0);
        QCOMPARE(b2.info(), QStringLiteral("MP3 · 320 kbps"));
        QCOMPARE(e.totalDuration(), durationSum(e));
        QCOMPARE(b2.url(), QUrl::fromLocalFile(music_.filePath("b2.mp3")));
        QCOMPARE(e.playlist().at(3).url().toEncoded(),
                 QUrl::fromLocalFile(music_.filePath(c4)).toEncoded());
        QCOMPARE(*b2.bookmark, storedBefore.at(1).toByteArray());
        QCOMPARE(b2.artwork, pngBytes(8, 8));
        // One cover, one buffer.
        QCOMPARE(e.playlist().at(2).artwork.constData(), b2.artwork.constData());
        QVERIFY(e.playlist().at(0).artwork.isEmpty());
        QVERIFY(e.currentID().isNull() && !e.isPlaying());

        // It plays like any track, and the stored list is the one the settings had.
        e.play(e.playlist().at(3));
        QVERIFY(e.isPlaying());
        QCOMPARE(f.lastFile()->path, music_.filePath(c4));
        f.clock.advance(3);
        f.engine.reset();
        QCOMPARE(second.reads->load(), 0);
        QCOMPARE(f.stored(), storedBefore);

        // Reordered, with one file in it twice: the next start shows it so, still unread.
        CountingLoader third{QStringLiteral("third:")};
        AudioEngine& reordered = f.startCached(third.loader());
        reordered.move({reordered.playlist().at(3).id}, 0);
        reordered.add(files({"b2.mp3"}));
        QTRY_COMPARE(reordered.playlist().size(), 5);
        f.clock.advance(3);
        f.engine.reset();
        CountingLoader fourth;
        AudioEngine& again = f.startCached(fourth.loader());
        QCOMPARE(titles(again), (QStringList{"read:" + c4, "read:a1.mp3", "third:b2.mp3",
                                             "read:b3.mp3", "third:b2.mp3"}));
        f.engine.reset();
        QCOMPARE(fourth.reads->load(), 0);
    }

    void theCacheIsWrittenOnceAddsPauseAndNeverWaitsLong() {
        Fixture f;
        CountingLoader loader;
        AudioEngine& e = f.startCached(loader.loader());
        const QString cache = f.cachePath();
        // Files keep coming in, each add within two seconds of the last: nothing is written
        // while they do (each write would cost the next add a copy of every entry)…
        int added = 0;
        auto addOne = [&] {
            ++added;
            e.add(files({QStringLiteral("burst%1.mp3").arg(added)}));
            QTRY_COMPARE(e.playlist().size(), added);
        };
        for (int i = 0; i < 4; ++i) {
            addOne();
            f.clock.advance(1.5);
        }
        QVERIFY(!QFile::exists(cache));
        // …and once they pause, it is.
        f.clock.advance(0.6);
        QTRY_VERIFY(QFile::exists(cache));
        // A stream of changes that never pauses still has it written within 15 s.
        QVERIFY(QFile::remove(cache));
        for (int i = 0; i < 10; ++i) {
            addOne();
            f.clock.advance(1.5);
        }
        QTRY_VERIFY(QFile::exists(cache));
    }

    void aChangedFileIsReadAgainAndUpdatedInPlace_data() { eitherWay(); }
    void aChangedFileIsReadAgainAndUpdatedInPlace() {
        Fixture f;
        QFETCH(bool, readAhead);
        f.readAhead = readAhead;
        firstRun(f, {"one.mp3", "grown.mp3", "replaced.mp3", "gone.mp3", "touched.mp3"});
        QVariantList raw = f.stored();
        // A file on a volume that is not mounted now keeps its place.
        const QByteArray unmounted("ORVB\x01/media/orvane-absent-volume/song.mp3");
        raw.insert(2, unmounted);
        f.storePlaylist(raw);
        {
            QFile grown(music_.filePath("grown.mp3"));
            QVERIFY(grown.open(QIODevice::Append));
            grown.write(" and more");
        }
        // Saved as many editors save: a new file put in the old one's place.
        const QString replaced = music_.filePath("replaced.mp3");
        QVERIFY(QFile::copy(replaced, replaced + ".new"));
        QCOMPARE(::rename(QFile::encodeName(replaced + ".new").constData(),
                          QFile::encodeName(replaced).constData()),
                 0);
        // Same size, another time (the files are shared by the rows of this test).
        const QString touched = music_.filePath("touched.mp3");
        setMtime(touched, QFileInfo(touched).lastModified().toSecsSinceEpoch() - 1000);
        QFile::remove(music_.filePath("gone.mp3"));

        CountingLoader second{QStringLiteral("again:")};
        second.hold = QStringLiteral("grown.mp3");
        AudioEngine& e = f.startCached(second.loader());
        // Shown at once as last read, but for the unmounted one, which keeps its place in the
        // stored list. Then the folder's listing tells the file replaced (read again in place)
        // and the gone one (it leaves); the files changed in place are looked at only when
        // their rows are wanted.
        QCOMPARE(titles(e), (QStringList{"read:one.mp3", "read:grown.mp3", "read:replaced.mp3",
                                         "read:gone.mp3", "read:touched.mp3"}));
        const QUuid grownId = e.playlist().at(1).id;
        const QUuid touchedId = e.playlist().at(4).id;
        QTRY_COMPARE(titles(e), (QStringList{"read:one.mp3", "read:grown.mp3",
                                             "again:replaced.mp3", "read:touched.mp3"}));
        QCOMPARE(second.reads->load(), 1);

        // A changed file that becomes current is read again, and keeps playing once it is.
        e.play(e.playlist().at(1));
        QVERIFY(e.isPlaying());
        const size_t players = f.players.files.size();
        QSignalSpy changes(&e, &AudioEngine::playlistChanged);
        second.released->store(true);
        QTRY_COMPARE(titles(e), (QStringList{"read:one.mp3", "again:grown.mp3",
                                             "again:replaced.mp3", "read:touched.mp3"}));
        QVERIFY(!changes.isEmpty());
        QCOMPARE(e.playlist().at(1).id, grownId);
        QCOMPARE(e.playlist().at(1).duration, 109.0);
        QCOMPARE(e.currentID(), grownId);
        QVERIFY(e.isPlaying());
        QCOMPARE(f.players.files.size(), players);
        QCOMPARE(f.nowPlaying.published.back().title, QStringLiteral("again:grown.mp3"));
        // A search looks at every file not looked at yet (the list's way to ask, for the rows
        // it shows, is tst_ui's).
        e.checkAllFiles();
        QTRY_COMPARE(titles(e).last(), QStringLiteral("again:touched.mp3"));
        QCOMPARE(e.playlist().at(3).id, touchedId);
        QCOMPARE(second.reads->load(), 3);

        // The stored list lost the file that is gone and kept the unmounted one in its place.
        f.clock.advance(3);
        const QVariantList kept = f.stored();
        QCOMPARE(kept.size(), 5);
        QCOMPARE(kept.at(2).toByteArray(), unmounted);
        f.engine.reset();

        // The next start trusts what was read this time.
        CountingLoader third;
        AudioEngine& again = f.startCached(third.loader());
        QCOMPARE(titles(again), (QStringList{"read:one.mp3", "again:grown.mp3",
                                             "again:replaced.mp3", "again:touched.mp3"}));
        f.clock.advance(1);
        QVERIFY(settle(again));
        f.engine.reset();
        QCOMPARE(third.reads->load(), 0);
    }

    void rowsOnAVolumeNotMountedAreNotShownAndStoredOnceWheneverTheQuitComes() {
        // Entries whose folder has gone (a volume not mounted) are not shown at all: a start
        // never shows a million rows to take them out again. Their entries keep their places,
        // after the row they followed, whenever the quit comes.
        Fixture f;
        QVERIFY(QDir(music_.path()).mkpath(QStringLiteral("volume")));
        firstRun(f, {"m1.mp3", "volume/v1.mp3", "volume/v2.mp3", "m2.mp3"});
        const QVariantList storedBefore = f.stored();
        QVERIFY(QDir(music_.filePath(QStringLiteral("volume"))).removeRecursively());
        for (const bool quitEarly : {true, false}) {
            f.metadataCachePath = f.cachePath();
            CountingLoader again;
            AudioEngine& e = f.start(again.loader());
            QCOMPARE(titles(e), (QStringList{"read:m1.mp3", "read:m2.mp3"}));
            if (quitEarly) {
                f.engine.reset();
                QCOMPARE(f.stored(), storedBefore);
                continue;
            }
            f.clock.advance(0.3); // the files are looked at
            QVERIFY(settle(e));
            QCOMPARE(e.playlist().size(), 2);
            e.move({e.playlist().at(1).id}, 0); // m1 takes its kept entries along
            f.engine.reset();
            QCOMPARE(f.stored(), (QVariantList{storedBefore.at(3), storedBefore.at(0),
                                               storedBefore.at(1), storedBefore.at(2)}));
            QCOMPARE(again.reads->load(), 0);
        }
    }

    void aFileEditedInPlaceWithItsTimePutBackIsReadAgain() {
        // Read again as well: a file whose length no start would take (kept, it would cost
        // every start the whole cache; left out, it costs its own read).
        Fixture f;
        firstRun(f, {"e1.mp3", "edited.mp3", "endless.mp3"});
        const QString path = music_.filePath("edited.mp3");
        const QByteArray name = QFile::encodeName(path);
        struct stat before {};
        QCOMPARE(::stat(name.constData(), &before), 0);
        // As a tag editor does: other bytes of the same length in place, then the modification
        // time put back. Only the change time tells; it moves with the kernel's coarse clock, so
        // the edit is made until it has moved.
        const auto edit = [&] {
            QFile file(path);
            if (!file.open(QIODevice::ReadWrite) || file.write("NOT REALLY AUDIO") != 16)
                return false;
            file.close();
            const timespec times[2] = {before.st_atim, before.st_mtim};
            struct stat after {};
            return ::utimensat(AT_FDCWD, name.constData(), times, 0) == 0 &&
                   ::stat(name.constData(), &after) == 0 && after.st_size == before.st_size &&
                   after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                   after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
                   (after.st_ctim.tv_sec != before.st_ctim.tv_sec ||
                    after.st_ctim.tv_nsec != before.st_ctim.tv_nsec);
        };
        QTRY_VERIFY(edit());
        CountingLoader second{QStringLiteral("again:")};
        AudioEngine& e = f.startCached(second.loader());
        QTRY_COMPARE(titles(e),
                     (QStringList{"read:e1.mp3", "read:edited.mp3", "again:endless.mp3"}));
        // Its folder's listing cannot tell; a look at the file when its row is shown does.
        e.checkFile(e.playlist().at(1).id, 1);
        QTRY_COMPARE(titles(e),
                     (QStringList{"read:e1.mp3", "again:edited.mp3", "again:endless.mp3"}));
        f.engine.reset();
        QCOMPARE(second.reads->load(), 2);
    }

    void theTechnicalLineIsInTheLanguageOfEachStart_data() { eitherWay(); }
    void theTechnicalLineIsInTheLanguageOfEachStart() {
        Fixture f;
        QFETCH(bool, readAhead);
        f.readAhead = readAhead;
        const QString path = toneFile(music_, readAhead ? "ahead.wav" : "lines.wav");
        const QUrl url = QUrl::fromLocalFile(path);
        const QString english = Track::load(url, "en").info(), russian = Track::load(url, "ru").info();
        QVERIFY2(english.endsWith(" · 44 kHz · Stereo"), qPrintable(english));
        QCOMPARE(russian, english.chopped(6) + QStringLiteral("Стерео"));
        auto reads = std::make_shared<std::atomic<int>>(0);
        const TrackLoader loader = [reads](const QUrl& u, const QString& lang) {
            reads->fetch_add(1);
            return Track::load(u, lang);
        };
        // Read while the window is in Russian; a line read stays as it was read.
        f.settings->setValue("appLanguage", "en");
        AudioEngine& e = f.startCached(loader);
        e.setLanguage("ru");
        e.add({url});
        QTRY_COMPARE(e.playlist().size(), 1);
        QCOMPARE(e.playlist().at(0).info(), russian);
        e.setLanguage("en");
        QCOMPARE(e.playlist().at(0).info(), russian);
        f.engine.reset();
        // Each start words it in its own language, from the cache.
        for (const auto& [lang, line] : {std::pair{"en", english}, std::pair{"ru", russian}}) {
            f.settings->setValue("appLanguage", lang);
            AudioEngine& again = f.startCached(loader);
            QCOMPARE(again.playlist().size(), 1);
            QCOMPARE(again.playlist().at(0).info(), line);
            f.engine.reset();
        }
        QCOMPARE(reads->load(), 1);
    }

    void aLongListComesBackWholeAndInOrder() {
        // Thousands of rows made straight from the cache file, in a playlist file of its own
        // (over 256 KB) while the settings file stays small.
        Fixture f;
        f.readAhead = true;
        QStringList names;
        for (int i = 0; i < 4000; ++i)
            names << QStringLiteral("%1 a track with a rather long name.mp3")
                         .arg(i, 4, 10, QLatin1Char('0'));
        CountingLoader first{QStringLiteral("read:")};
        AudioEngine& e = f.startCached(first.loader());
        e.add(files(names));
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                f.clock.advance(0.3); // rows read in the background are published
                return e.playlist().size() == names.size() &&
                       std::all_of(e.playlist().cbegin(), e.playlist().cend(), [](const Track& t) {
                           return t.title.startsWith(QLatin1String("read:"));
                       });
            }(),
            60000);
        f.engine.reset();
        f.playlistWriter->flush();
        f.writer->flush();
        QVERIFY(QFileInfo(f.playlistPath()).size() > 256 * 1024);
        QVERIFY(QFileInfo(f.settings->fileName()).size() < 4096);

        QStringList shown;
        for (const QString& name : std::as_const(names))
            shown << QStringLiteral("read:") + name;
        CountingLoader second;
        AudioEngine& again = f.startCached(second.loader());
        QCOMPARE(titles(again), shown);
        QCOMPARE(again.totalDuration(), durationSum(again));
        // A change makes the cache's entries from its file; they are written back whole.
        again.remove({again.playlist().at(10).id});
        f.engine.reset();
        shown.removeAt(10);
        AudioEngine& third = f.startCached(second.loader());
        QCOMPARE(titles(third), shown);
        f.engine.reset();
        QCOMPARE(second.reads->load(), 0);
    }

    void aListReadAheadIsShownOnceAndNotSavedBefore() {
        Fixture f;
        firstRun(f, {"x1.mp3", "x2.mp3", "x3.mp3"});
        const QVariantList storedBefore = f.stored();
        f.metadataCachePath = f.cachePath();
        CountingLoader second;
        {
            // An engine that goes before the list it was given is shown leaves it as stored.
            PlaylistRestore ahead(f.playlistPath(), f.settings->fileName(), f.cachePath());
            f.restore = &ahead;
            AudioEngine& e = f.start(second.loader());
            QVERIFY(e.playlist().isEmpty());
            f.clock.advance(3);
            f.engine.reset();
            QCOMPARE(f.stored(), storedBefore);
        }
        PlaylistRestore ahead(f.playlistPath(), f.settings->fileName(), f.cachePath());
        f.restore = &ahead;
        AudioEngine& e = f.start(second.loader());
        f.restore = nullptr;
        QSignalSpy changes(&e, &AudioEngine::playlistChanged);
        e.showRestoredPlaylist();
        QCOMPARE(titles(e), (QStringList{"read:x1.mp3", "read:x2.mp3", "read:x3.mp3"}));
        e.showRestoredPlaylist(); // once only
        QCOMPARE(changes.size(), 1);
        QCOMPARE(titles(e), (QStringList{"read:x1.mp3", "read:x2.mp3", "read:x3.mp3"}));
        // Edits after it are saved as ever.
        e.remove({e.playlist().at(1).id});
        f.clock.advance(3);
        QCOMPARE(f.stored(), (QVariantList{storedBefore.at(0), storedBefore.at(2)}));
        f.engine.reset();
        QCOMPARE(second.reads->load(), 0);
    }

    void aDamagedOrForeignCacheOnlyCostsARead_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("readAhead");
        for (const bool ahead : {false, true}) {
            for (const char* damage : {"missing", "truncated", "garbage", "older version",
                                       "newer version", "count", "cover", "big cover", "large",
                                       "fifo", "bit", "huge length", "no length"})
                QTest::addRow("%s%s", damage, ahead ? ", read ahead" : "") << damage << ahead;
        }
    }
    void aDamagedOrForeignCacheOnlyCostsARead() {
        QFETCH(QString, damage);
        QFETCH(bool, readAhead);
        Fixture f;
        f.readAhead = readAhead;
        const QStringList names{"d1.mp3", "b2.mp3", "d3.mp3"};
        firstRun(f, names);
        const QVariantList storedBefore = f.stored();
        QFile file(f.cachePath());
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QByteArray good = file.readAll();
        QByteArray bad = good;
        auto header = [](quint32 version) {
            QByteArray bytes;
            QDataStream out(&bytes, QIODevice::WriteOnly);
            out.setVersion(QDataStream::Qt_6_0);
            out << MetadataCache::magic << version;
            return bytes;
        };
        QVERIFY(good.startsWith(header(MetadataCache::formatVersion)));
        // Damage behind a checksum that still matches, for the reader's own checks.
        bad.chop(MetadataCache::checksumBytes);
        const auto seal = [&] {
            QByteArray sum(MetadataCache::checksumBytes, Qt::Uninitialized);
            qToBigEndian(MetadataCache::checksum(bad), sum.data());
            bad += sum;
        };
        if (damage == "truncated") {
            bad = good.chopped(7);
        } else if (damage == "garbage") {
            bad = good;
            for (qsizetype i = 12; i < bad.size(); i += 3)
                bad[i] = char(bad[i] ^ 0x5a);
        } else if (damage.endsWith("version")) {
            // An older file held whole covers where thumbnails are now.
            bad.replace(0, 8, header(MetadataCache::formatVersion +
                                     (damage == "older version" ? -1 : 1)));
            seal();
        } else if (damage == "big cover") {
            // A whole picture where a thumbnail belongs.
            const QByteArray cover = pngBytes(8, 8);
            const qsizetype at = bad.indexOf(cover);
            QVERIFY(at > 8);
            const QByteArray big(Track::maxThumbnailBytes + 1, 'x');
            QByteArray size(4, Qt::Uninitialized);
            qToBigEndian(quint32(big.size()), size.data());
            bad.replace(at - 4, 4 + cover.size(), size + big);
            seal();
        } else if (damage == "count") {
            QDataStream out(&bad, QIODevice::WriteOnly);
            out.setVersion(QDataStream::Qt_6_0);
            out << MetadataCache::magic << MetadataCache::formatVersion << quint32(0)
                << quint32(0xffffffff);
            seal();
        } else if (damage == "cover") {
            bad.chop(4); // the last entry's cover index
            QDataStream out(&bad, QIODevice::Append);
            out << qint32(7);
            seal();
        } else if (damage == "bit") {
            // One bit of a title ("read:d3.mp3" would read "reed:d3.mp3").
            bad = good;
            const QString title = QStringLiteral("read:d3.mp3");
            QByteArray text(title.size() * 2, Qt::Uninitialized);
            qToBigEndian<char16_t>(title.utf16(), title.size(), text.data());
            const qsizetype at = bad.indexOf(text);
            QVERIFY(at > 0);
            bad[at + 5] = char(bad[at + 5] ^ 0x04);
        } else if (damage.endsWith("length")) {
            // A length no file has, in an otherwise sound file.
            QByteArray length(8, Qt::Uninitialized);
            qToBigEndian(106.0, length.data()); // d1.mp3's
            const qsizetype at = bad.indexOf(length);
            QVERIFY(at > 0);
            qToBigEndian(damage == "huge length" ? 1e300 : std::nan(""), bad.data() + at);
            seal();
        }
        QVERIFY(file.resize(0));
        QVERIFY(file.seek(0));
        if (damage == "missing" || damage == "fifo")
            QVERIFY(file.remove());
        else if (damage == "large")
            QVERIFY(file.resize(MetadataCache::maxFileBytes + 1)); // sparse, never read
        else
            QCOMPARE(file.write(bad), bad.size());
        file.close();
        if (damage == "fifo") // nothing ever writes to it: opening it to read would wait forever
            QCOMPARE(::mkfifo(QFile::encodeName(f.cachePath()).constData(), 0600), 0);

        CountingLoader second{QStringLiteral("again:")};
        AudioEngine& e = f.startCached(second.loader());
        QCOMPARE(e.playlist().size(), 3); // by their names until read
        QTRY_COMPARE(titles(e), (QStringList{"again:d1.mp3", "again:b2.mp3", "again:d3.mp3"}));
        QCOMPARE(second.reads->load(), 3);
        QCOMPARE(e.playlist().at(1).artwork, pngBytes(8, 8));
        f.engine.reset();
        QCOMPARE(f.stored(), storedBefore);

        // Written anew: the next start reads nothing.
        CountingLoader third;
        AudioEngine& again = f.startCached(third.loader());
        QCOMPARE(titles(again), (QStringList{"again:d1.mp3", "again:b2.mp3", "again:d3.mp3"}));
        f.engine.reset();
        QCOMPARE(third.reads->load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMetadataCache)
#include "tst_metadatacache.moc"
