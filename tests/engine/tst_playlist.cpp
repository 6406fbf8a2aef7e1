// Adding, removing and storing the playlist, and the bookmarks it is stored as.
#include "engine/bookmark.h"
#include "engine/filename.h"
#include "engine/playlistfile.h"
#include "support/busyglobalpool.h"
#include "support/enginefixture.h"
#include "support/files.h"
#include "support/tagwriter.h"
#include "support/testaudio.h"
#include "support/waits.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;

class TestPlaylist : public QObject {
    Q_OBJECT

    QTemporaryDir music_;

    QList<QUrl> files(const QStringList& names) { return placeholderFiles(music_, names); }
    static QVariantList stored(EngineFixture& f) { return f.stored("playlistBookmarks").toList(); }

private Q_SLOTS:
    void hostilePlaylistFilesAreBounded() {
        const auto write = [this](const QString& name, const QByteArray& bytes) {
            QFile f(music_.filePath(name));
            if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
                qFatal("cannot write %s", qPrintable(name));
            return f.fileName();
        };
        // More entries than anyone keeps: the first 100,000.
        QByteArray many;
        for (int i = 0; i < 150'000; ++i)
            many += "f" + QByteArray::number(i) + ".mp3\n";
        const PlaylistFile::Contents bounded = PlaylistFile::read(write("many.m3u", many));
        QCOMPARE(bounded.files.size(), PlaylistFile::kMaxEntries);
        QCOMPARE(bounded.files.first(), QUrl::fromLocalFile(music_.filePath("f0.mp3")));
        QCOMPARE(bounded.files.last(), QUrl::fromLocalFile(music_.filePath("f99999.mp3")));
        // One line of 20 MB, NUL bytes and all: read up to 16 MiB, one entry.
        QByteArray line(20 * 1024 * 1024, 'x');
        line[100] = '\0';
        QCOMPARE(PlaylistFile::read(write("line.m3u", line)).files.size(), 1);
        // Two playlists naming each other (and themselves): each read once, in order.
        write("one.m3u", "one.m3u\ntwo.pls\na.mp3\n");
        write("two.pls", "[playlist]\nFile1=one.m3u\nFile2=b.mp3\nFile3=two.pls\n");
        const PlaylistFile::Contents loop = PlaylistFile::read(music_.filePath("one.m3u"));
        QCOMPARE(loop.files, (QList<QUrl>{QUrl::fromLocalFile(music_.filePath("b.mp3")),
                                          QUrl::fromLocalFile(music_.filePath("a.mp3"))}));
        // A FIFO named like a playlist is not waited on.
        const QString fifo = music_.filePath("fifo.m3u");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(PlaylistFile::read(fifo).files, QList<QUrl>{QUrl::fromLocalFile(fifo)});
    }

    void addAppendsInOrderAndStoresOnce() {
        EngineFixture f;
        AudioEngine& e = f.start();
        QSignalSpy changes(&e, &AudioEngine::playlistChanged);
        e.add(files({"c.mp3", "a.mp3", "b.mp3"}));
        QVERIFY(e.playlist().isEmpty()); // the work finishes later
        QTRY_COMPARE(e.playlist().size(), 3);
        QCOMPARE(titles(e), (QStringList{"c", "a", "b"}));
        QCOMPARE(changes.count(), 3); // one append at a time
        QVERIFY(e.currentID().isNull());
        // The appends share one write, a quarter of a second after the first.
        QVERIFY(stored(f).isEmpty());
        f.clock.advance(0.25);
        QCOMPARE(stored(f).size(), 3);

        // (What files from outside do, aBigAddIsListedAtOnceAndFilledInInPlace shows.)
        e.setMode(PlayerMode::Radio);
        e.openExternal({}); // nothing to play: nothing changes
        QVERIFY(settle(e));
        QCOMPARE(e.mode(), PlayerMode::Radio);
    }

    void survivesARestartInOrderWithNewIds() {
        // An old Latin-1 collection: "Café.mp3" with é as the single byte 0xE9.
        const QByteArray latin1 = QFile::encodeName(music_.path()) + "/Caf\xe9.mp3";
        const int fd = ::open(latin1.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QCOMPARE(::write(fd, "not really audio", 16), ssize_t(16));
        ::close(fd);
        EngineFixture f;
        AudioEngine& e = f.start();
        e.add(files({"one.mp3", "two.flac", "three.wav", "gone.mp3"}) +
              QList<QUrl>{QUrl::fromLocalFile(decodeFileName(latin1))});
        QTRY_COMPARE(e.playlist().size(), 5);
        const QUuid firstId = e.playlist().first().id;
        e.play(e.playlist().first());
        f.engine.reset(); // quitting flushes a pending save
        QFile::remove(music_.filePath("gone.mp3"));

        // A foreign value among the bookmarks: skipped, never resolved to something else.
        QVariantList raw = f.stored("playlistBookmarks").toList();
        QCOMPARE(raw.size(), 5);
        QVERIFY(raw.last().toByteArray().endsWith("/Caf\xe9.mp3")); // the bytes on disk
        raw.insert(1, QByteArray("ORVB\x01relative/path.mp3"));
        raw.insert(2, QByteArray("\x00\x01garbage", 9));
        f.storePlaylist(raw);

        AudioEngine& again = f.start();
        QVERIFY(settle(again)); // every stored entry has been looked at
        QCOMPARE(titles(again).mid(0, 3), (QStringList{"one", "two", "three"}));
        QCOMPARE(again.playlist().size(), 4);
        QCOMPARE(encodeFileName(again.playlist().last().path()), latin1);
        QVERIFY(again.playlist().first().id != firstId);
        QVERIFY(again.currentID().isNull() && !again.isPlaying());
        QCOMPARE(*again.playlist().first().bookmark, raw.first().toByteArray());
        // Stored again without the foreign values and the gone file. (An entry on a volume not
        // mounted now is kept in its place: tst_metadatacache.)
        f.clock.advance(0.3);
        QCOMPARE(stored(f), (QVariantList{raw.at(0), raw.at(3), raw.at(4), raw.at(6)}));
    }

    void aQuitDuringTheRestoreStoresEverything() {
        EngineFixture f;
        AudioEngine& e = f.start();
        e.add(files({"r1.mp3", "slow.mp3", "r3.mp3"}));
        QTRY_COMPARE(e.playlist().size(), 3);
        f.engine.reset();
        const QVariantList before = stored(f);
        QCOMPARE(before.size(), 3);

        // The second stored file takes as long as the test wants to read.
        auto release = std::make_shared<std::atomic<bool>>(false);
        TrackLoader slow = [release](const QUrl& url, const QString& lang) {
            if (url.fileName() == QLatin1String("slow.mp3"))
                release->wait(false);
            return Track::load(url, lang);
        };
        AudioEngine& again = f.start(slow);
        QTRY_COMPARE(again.playlist().size(), 1);
        again.add(files({"new.mp3"}));
        QTRY_COMPARE(again.playlist().size(), 2);
        again.remove({again.playlist().first().id}); // r1
        QCOMPARE(titles(again), QStringList{"new"});
        f.engine.reset(); // quit while slow.mp3 is still being read
        release->store(true);
        release->notify_all();
        const QVariantList after = stored(f);
        QCOMPARE(after.size(), 3); // what was shown, then what was not read yet, in order
        QCOMPARE(after.at(0).toByteArray(), *Bookmark::make(music_.filePath("new.mp3")));
        QCOMPARE(after.at(1), before.at(1));
        QCOMPARE(after.at(2), before.at(2));
        f.pool->waitForDone();
    }

    void manyFilesArriveInOrderAndARestoreKeepsThemAsStored() {
        // Qt's own pool held busy all along, as the window's drawing may hold it: the reading
        // must not wait for it.
        BusyGlobalPool busy;
        EngineFixture f;
        AudioEngine& e = f.start();
        QStringList names, expected;
        for (int i = 0; i < 1500; ++i) {
            names << QStringLiteral("many%1.mp3").arg(i, 4, 10, QLatin1Char('0'));
            expected << names.last().chopped(4);
        }
        QSignalSpy changes(&e, &AudioEngine::playlistChanged);
        e.add(files(names));
        QTRY_COMPARE_WITH_TIMEOUT(e.playlist().size(), 1500, 120000);
        QCOMPARE(titles(e), expected);
        QCOMPARE(changes.count(), 1500); // one append at a time
        f.clock.advance(0.3);
        const QVariantList before = stored(f);
        QCOMPARE(before.size(), 1500);

        f.engine.reset();
        AudioEngine& again = f.start();
        QTRY_COMPARE_WITH_TIMEOUT(again.playlist().size(), 1500, 120000);
        QCOMPARE(titles(again), expected);
        f.clock.advance(0.3);
        QCOMPARE(stored(f), before); // read back as stored, nothing lost or reordered
        for (qsizetype i = 0; i < before.size(); ++i)
            QCOMPARE(*again.playlist().at(i).bookmark, before.at(i).toByteArray());
    }

    void totalDurationIsTheSumThroughEveryChange() {
        EngineFixture f;
        // Lengths that do not add up exactly in binary, and some unknown ones.
        TrackLoader timed = [](const QUrl& url, const QString& lang) {
            Track t = Track::load(url, lang);
            const int n = url.fileName().mid(1, 3).toInt();
            t.duration = n % 7 == 0 ? 0.0 : n / 3.0 + 0.1;
            return t;
        };
        AudioEngine& e = f.start(timed);
        int changes = 0, wrong = 0;
        connect(&e, &AudioEngine::playlistChanged, &e, [&] {
            ++changes;
            wrong += e.totalDuration() != durationSum(e);
        });
        QCOMPARE(e.totalDuration(), 0.0);
        QStringList names;
        for (int i = 0; i < 80; ++i)
            names << QStringLiteral("t%1.mp3").arg(i, 3, 10, QLatin1Char('0'));
        e.add(files(names));
        QTRY_COMPARE(e.playlist().size(), 80);
        QVERIFY(e.totalDuration() > 0);

        auto ids = [&e](std::initializer_list<int> rows) {
            QSet<QUuid> set;
            for (const int row : rows)
                set.insert(e.playlist().at(row).id);
            return set;
        };
        e.play(e.playlist().at(5));
        e.remove(ids({0, 5, 17, 40, 79}));
        e.move(ids({1, 2, 60}), 30);
        e.move(ids({70}), 0);
        QList<Track> reversed = e.playlist();
        std::reverse(reversed.begin(), reversed.end());
        reversed.removeLast();
        e.setPlaylist(reversed);
        e.add(files(names.mid(0, 10))); // appends after all that
        QTRY_COMPARE(e.playlist().size(), 84);
        QCOMPARE(wrong, 0);
        QCOMPARE(e.totalDuration(), durationSum(e));
        QCOMPARE(changes, 80 + 4 + 10); // the appends, a removal, two moves, a replacement
        QSet<QUuid> all;
        for (const Track& t : e.playlist())
            all.insert(t.id);
        e.remove(all);
        QCOMPARE(e.totalDuration(), 0.0);
        QCOMPARE(wrong, 0);
    }

    void coversThatDoNotDecodeAreNoCovers() {
        const QByteArray good = pngBytes(64, 48);
        // A sound header and size, and half the picture's data.
        const QByteArray broken = good.left(good.size() / 2);
        QList<QUrl> urls;
        for (const QString name : {"good", "broken", "broken2"}) {
            const QString path = toneFile(music_, name + ".mp3", AudioFormat::Mp3, 0.5);
            QVERIFY(writeTags(path, {name, "Band", name == "good" ? good : broken}));
            urls << QUrl::fromLocalFile(path);
        }
        EngineFixture f;
        AudioEngine& e = f.start();
        e.add(urls);
        QTRY_COMPARE(e.playlist().size(), 3);
        QCOMPARE(e.playlist().at(0).artwork, good);
        QVERIFY(e.playlist().at(1).artwork.isEmpty());
        QVERIFY(e.playlist().at(2).artwork.isEmpty());
        e.play(e.playlist().at(1));
        QVERIFY(f.nowPlaying.published.back().artwork.isEmpty()); // no cover for the desktop
    }

    void oneAndNoTracksStoreAsLists() {
        EngineFixture f;
        AudioEngine& e = f.start();
        e.add(files({"only.mp3"}));
        QTRY_COMPARE(e.playlist().size(), 1);
        f.engine.reset();
        AudioEngine& again = f.start();
        QTRY_COMPARE(again.playlist().size(), 1);

        again.remove({again.playlist().first().id});
        f.clock.advance(0.3);
        const QVariant value = f.stored("playlistBookmarks");
        QVERIFY(value.isValid());
        QCOMPARE(value.toList().size(), 0);
        // On disk too: QSettings writes an empty QVariantList as "no value".
        QFile file(f.playlistPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(!file.readAll().contains("@Invalid()"), "an empty list is stored as a list");
        f.engine.reset();
        AudioEngine& empty = f.start();
        QVERIFY(settle(empty));
        QVERIFY(empty.playlist().isEmpty());

        // A value of the wrong type is ignored as a whole.
        f.engine.reset();
        f.storePlaylist(QStringLiteral("not a list"));
        QVERIFY(f.start().playlist().isEmpty());
    }

    // Moves the window cannot make, or makes only rarely. (The drag and Alt+arrows in tst_ui
    // show the playing track playing on, next following the new order and the order stored.)
    void moveGathersTheRowsAndLeavesTheCurrentTrack() {
        EngineFixture f;
        AudioEngine& e = f.startPlaying({"a", "b", "c", "d", "e"}, 180, 1);
        auto id = [&](const QString& title) {
            for (const Track& t : e.playlist())
                if (t.title == title)
                    return t.id;
            return QUuid();
        };
        QSignalSpy current(&e, &AudioEngine::currentIDChanged);
        e.move({id("d")}, 0);
        QCOMPARE(titles(e), (QStringList{"d", "a", "b", "c", "e"}));
        // Several, gathered in their order, before a row; the end; a row among the moved ones.
        e.move({id("e"), id("a")}, 3);
        QCOMPARE(titles(e), (QStringList{"d", "b", "a", "e", "c"}));
        e.move({id("d"), id("b")}, 5);
        QCOMPARE(titles(e), (QStringList{"a", "e", "c", "d", "b"}));
        e.move({id("e"), id("c")}, 1);
        QCOMPARE(titles(e), (QStringList{"a", "e", "c", "d", "b"}));
        e.move({id("e")}, 99);
        QCOMPARE(titles(e), (QStringList{"a", "c", "d", "b", "e"}));
        e.move({QUuid::createUuid()}, 0); // nothing of ours: nothing happens
        QCOMPARE(titles(e), (QStringList{"a", "c", "d", "b", "e"}));
        QCOMPARE(current.count(), 0);
        QCOMPARE(e.currentTrack()->title, QStringLiteral("b"));
    }

    void aBigAddIsListedAtOnceAndFilledInInPlace() {
        // Reading the files takes as long as the test wants; the first few are read at once.
        auto release = std::make_shared<std::atomic<bool>>(false);
        TrackLoader tags = [release](const QUrl& url, const QString& lang) {
            const QString name = url.fileName().chopped(4);
            if (name.startsWith(QLatin1String("late")))
                release->wait(false);
            Track t = Track::load(url, lang);
            if (!name.contains(QLatin1String("broken"))) {
                t.title = QStringLiteral("Tagged ") + name;
                t.duration = 60;
            }
            return t;
        };
        EngineFixture f;
        QStringList names;
        for (int i = 0; i < 8; ++i)
            names << QStringLiteral("early%1.mp3").arg(i);
        for (int i = 0; i < 300; ++i)
            names << QStringLiteral("late%1.mp3").arg(i, 3, 10, QLatin1Char('0'));
        names[150] = QStringLiteral("late-broken.mp3");
        const QList<QUrl> urls = files(names);
        f.players.unopenable.insert(urls.at(150).toLocalFile());
        AudioEngine& e = f.start(tags);
        e.setMode(PlayerMode::Radio);
        e.openExternal(urls); // as from a file manager: the first one plays

        // Every row is there before anything but the first few has been read, by file name.
        QTRY_COMPARE(e.playlist().size(), 308);
        QCOMPARE(e.playlist().at(0).title, QStringLiteral("Tagged early0"));
        QCOMPARE(e.playlist().at(7).title, QStringLiteral("Tagged early7"));
        QCOMPARE(e.playlist().at(8).title, QStringLiteral("late000"));
        QCOMPARE(e.playlist().at(150).title, QStringLiteral("late-broken"));
        QCOMPARE(e.totalDuration(), 8 * 60.0);
        QTRY_COMPARE(e.currentID(), e.playlist().at(0).id);
        QCOMPARE(e.mode(), PlayerMode::Library);
        QCOMPARE(f.players.files.size(), size_t(1)); // only the first was started
        QCOMPARE(f.announcer.shown.back().title, QStringLiteral("Tagged early0"));
        f.clock.advance(0.3);
        QCOMPARE(stored(f).size(), 308); // listed is kept: a quit now loses nothing
        QList<QUuid> ids;
        for (const Track& t : e.playlist())
            ids.append(t.id);
        e.play(e.playlist().at(200)); // a listed row (late192) plays at once

        // Read in the background, the rows are updated in place; what does not open goes.
        release->store(true);
        release->notify_all();
        QTRY_VERIFY([&] {
            f.clock.advance(0.3);
            return e.playlist().size() == 307 &&
                   std::all_of(e.playlist().cbegin(), e.playlist().cend(), [](const Track& t) {
                       return t.title.startsWith(QLatin1String("Tagged "));
                   });
        }());
        ids.removeAt(150);
        for (qsizetype i = 0; i < ids.size(); ++i)
            QCOMPARE(e.playlist().at(i).id, ids.at(i)); // same rows, same order
        QCOMPARE(e.playlist().at(8).title, QStringLiteral("Tagged late000"));
        QCOMPARE(e.totalDuration(), 307 * 60.0);
        QCOMPARE(e.currentID(), ids.at(199));
        QCOMPARE(e.currentTrack()->title, QStringLiteral("Tagged late192"));
        QVERIFY(e.isPlaying());
        QCOMPARE(f.nowPlaying.published.back().title, QStringLiteral("Tagged late192"));
        f.clock.advance(0.3);
        QCOMPARE(stored(f).size(), 307);
    }

    void bookmarksResolveOnlyToTheSameFile() {
        const QString path = files({"keep.mp3"}).first().toLocalFile();
        const auto bookmark = Bookmark::make(path);
        QVERIFY(bookmark);
        QCOMPARE(Bookmark::resolve(*bookmark), path);
        QVERIFY(!Bookmark::make("relative.mp3"));
        QVERIFY(!Bookmark::make(music_.path())); // a folder
        QVERIFY(!Bookmark::make(music_.filePath("absent.mp3")));

        QByteArray wrongVersion = *bookmark;
        wrongVersion[4] = 9;
        QByteArray dotted = QByteArray("ORVB\x01") + music_.path().toUtf8() + "/../x/keep.mp3";
        QByteArray badUtf8 = QByteArray("ORVB\x01/tmp/\xff\xfe-absent.mp3");
        // Other spellings of the same existing file are refused too.
        QVERIFY(QDir(music_.path()).mkpath("sub"));
        const QByteArray folder = QByteArray("ORVB\x01") + music_.path().toUtf8();
        QList<QByteArray> refused{
            QByteArray(), "ORVB",         "ORVB\x01",         wrongVersion,           dotted,
            badUtf8,      "ORVB\x01/etc", bookmark->left(10), QByteArray(100000, 'x')};
        for (const char* spelling :
             {"/sub/../keep.mp3", "/./keep.mp3", "//keep.mp3", "/sub/./../keep.mp3"})
            refused.append(folder + spelling);
        refused.append("ORVB\x01" + music_.path().mid(1).toUtf8() + "/keep.mp3"); // relative
        for (const QByteArray& bytes : std::as_const(refused))
            QVERIFY2(!Bookmark::resolve(bytes), bytes.constData());
        // (That the quick check a start makes of each stored row agrees with the whole decoding,
        // fuzz_bookmark asserts on every input.)

        // Resolved in a row (as a start does, keeping a folder open while its files follow one
        // another), each answer is the same, whatever came before it.
        QVERIFY(QFile::copy(path, music_.filePath("sub/inner.mp3")));
        const QByteArray inner = *Bookmark::make(music_.filePath("sub/inner.mp3"));
        const QByteArray rootFile("ORVB\x01/orvane-absent-root-file.mp3");
        const QByteArray unmounted("ORVB\x01/media/orvane-absent-volume/song.mp3");
        Bookmark::Resolver resolver;
        for (int round = 0; round < 2; ++round) {
            for (const QByteArray& bytes : std::as_const(refused)) {
                QVERIFY2(!resolver.resolve(bytes), bytes.constData());
                FileStamp stamp;
                QCOMPARE(resolver.resolve(*bookmark, &stamp), path);
                QCOMPARE(stamp, *stampOf(path));
            }
            for (const QByteArray& bytes : {inner, rootFile, *bookmark, unmounted, inner, inner})
                QCOMPARE(resolver.resolve(bytes), Bookmark::resolve(bytes));
        }
        // A folder's listing, read once for the files that follow one another in it, tells the
        // very file from another one under its name or none; a link it leaves to a stat.
        {
            const QString a = music_.filePath("sub/a.mp3"), b = music_.filePath("sub/b.mp3");
            QVERIFY(QFile::copy(path, a) && QFile::copy(path, b));
            QVERIFY(QFile::link(a, music_.filePath("sub/link.mp3")));
            const FileStamp was = *stampOf(a);
            using Listed = Bookmark::Resolver::Listed;
            Bookmark::Resolver lister;
            QCOMPARE(lister.listed(*Bookmark::make(a), was), Listed::Same);
            QCOMPARE(lister.listed(*Bookmark::make(b), was), Listed::Other);
            QCOMPARE(lister.listed(*Bookmark::make(music_.filePath("sub/link.mp3")), was),
                     Listed::Unsure);
            QCOMPARE(lister.listed(folder + "/sub/absent.mp3", was), Listed::Other);
            QCOMPARE(lister.listed(*bookmark, was), Listed::Other); // another folder
            QCOMPARE(lister.listed(rootFile, was), Listed::Other);
            QCOMPARE(lister.listed(unmounted, was), Listed::Unsure); // no listing to read
            // A folder come back to is not listed again (whatever the list's order, no more
            // work than a stat of each file): its files are left to a stat.
            QCOMPARE(lister.listed(*Bookmark::make(a), was), Listed::Unsure);
            QCOMPARE(lister.stamp(*Bookmark::make(a)), was);
        }
        QCOMPARE(resolver.resolve(inner), music_.filePath("sub/inner.mp3"));
        QFile::remove(music_.filePath("sub/inner.mp3")); // gone while its folder is open
        QVERIFY(!resolver.resolve(inner));
        QFile::remove(path);
        QVERIFY(!Bookmark::resolve(*bookmark));
        QVERIFY(!resolver.resolve(*bookmark));
    }
};

QTEST_GUILESS_MAIN(TestPlaylist)
#include "tst_playlist.moc"
