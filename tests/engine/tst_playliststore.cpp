// The stored playlist's own file: an older version's list moved over from the settings file
// without ever being lost, whatever stops the move.
#include "engine/bookmark.h"
#include "engine/playliststore.h"
#include "support/child.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;

class TestPlaylistStore : public QObject {
    Q_OBJECT

    struct Files {
        QTemporaryDir dir;
        QString main = dir.filePath(QStringLiteral("Orvane.conf"));
        QString playlist = PlaylistStore::pathBeside(main);

        QList<QByteArray> list(const QString& name, int count) const {
            QList<QByteArray> bookmarks;
            for (int i = 0; i < count; ++i) {
                QFile file(dir.filePath(QStringLiteral("%1 %2.mp3").arg(name).arg(i)));
                if (file.open(QIODevice::WriteOnly))
                    file.write("not really audio");
                file.close();
                const std::optional<QByteArray> bookmark = Bookmark::make(file.fileName());
                if (bookmark)
                    bookmarks.append(*bookmark);
            }
            return bookmarks;
        }
        // Written by an older version: the list in the main settings file.
        void seedMain(const QList<QByteArray>& bookmarks) const {
            QSettings settings(main, QSettings::IniFormat);
            settings.setValue(QStringLiteral("appTheme"), QStringLiteral("dark"));
            settings.setValue(PlaylistStore::key, PlaylistStore::encode(bookmarks));
        }
        // What a file holds on disk (not this process's view of it).
        static bool holdsList(const QString& path) {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) && file.readAll().contains("playlistBookmarks=");
        }
        static QList<QByteArray> listIn(const QString& path) {
            return PlaylistStore::decode(QSettings(path, QSettings::IniFormat).value(PlaylistStore::key));
        }
    };

private Q_SLOTS:
    void anOlderListMovesOverOnceEvenWhenKilledMidway() {
        Files f;
        const QList<QByteArray> older = f.list(QStringLiteral("older"), 3);
        f.seedMain(older);

        // Killed between writing the playlist file and removing the key: both hold the list.
        QCOMPARE(inChild([&] {
                     PlaylistStore::readStored(f.playlist, f.main, [] { _exit(42); });
                     return 0;
                 }),
                 42);
        QVERIFY(Files::holdsList(f.main));
        QVERIFY(Files::holdsList(f.playlist));

        // The next start finishes the move: the playlist file is the one that counts.
        QCOMPARE(PlaylistStore::readStored(f.playlist, f.main), older);
        QVERIFY(!Files::holdsList(f.main));
        QCOMPARE(Files::listIn(f.playlist), older);
        QCOMPARE(QSettings(f.main, QSettings::IniFormat).value("appTheme").toString(),
                 QStringLiteral("dark"));
        QCOMPARE(PlaylistStore::readStored(f.playlist, f.main), older); // and stays so

        // Both present with different lists: the playlist file has the changes made since.
        f.seedMain(f.list(QStringLiteral("stale"), 5));
        QCOMPARE(PlaylistStore::readStored(f.playlist, f.main), older);
        QVERIFY(!Files::holdsList(f.main));
    }

    void aListThatCannotMoveStaysAndIsShown() {
        Files f;
        const QList<QByteArray> older = f.list(QStringLiteral("older"), 4);
        f.seedMain(older);
        QFile before(f.main);
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray mainBytes = before.readAll();

        // A read-only settings folder (root writes anywhere: a read-only mount of its own).
        const int status = inChild([&] {
            const QByteArray folder = QFile::encodeName(f.dir.path());
            if (geteuid() == 0) {
                if (unshare(CLONE_NEWNS) != 0 ||
                    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                    mount(folder.constData(), folder.constData(), nullptr, MS_BIND, nullptr) != 0 ||
                    mount(nullptr, folder.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                          nullptr) != 0)
                    return 77;
            } else if (chmod(folder.constData(), 0555) != 0) {
                return 77;
            }
            const bool shown = PlaylistStore::readStored(f.playlist, f.main) == older;
            chmod(folder.constData(), 0755);
            return shown ? 0 : 1;
        });
        if (status == 77) // a check that cannot run is a failure, never a silent pass
            QFAIL("no way to make a read-only folder here");
        QCOMPARE(status, 0); // the list was shown from where it was
        QVERIFY(!QFile::exists(f.playlist));
        QFile after(f.main);
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), mainBytes); // untouched: nothing lost

        // Once the folder can be written, the move happens.
        QCOMPARE(PlaylistStore::readStored(f.playlist, f.main), older);
        QCOMPARE(Files::listIn(f.playlist), older);
        QVERIFY(!Files::holdsList(f.main));
    }
};

QTEST_GUILESS_MAIN(TestPlaylistStore)
#include "tst_playliststore.moc"
