// The settings writer on a disk that fills up: the file in place is always a whole one.
#include "core/settingswriter.h"
#include "support/child.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;

class TestSettingsWriter : public QObject {
    Q_OBJECT

    static int failAt(int line) {
        std::fprintf(stderr, "the check at line %d failed\n", line);
        return 1;
    }

    static QByteArray bytesOf(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
    }

private Q_SLOTS:
    void aFullDiskKeepsTheOldFileUntilThereIsRoom() {
        // A check that cannot run is a failure, never a silent pass.
        if (geteuid() != 0)
            QFAIL("a small disk of its own needs root (a mount namespace)");
        QTemporaryDir dir;
        const QString disk = dir.filePath("disk");
        QVERIFY(QDir().mkpath(disk));
        const QString file = disk + "/Orvane.conf";
        const QString filler = disk + "/filler";
        // The child's failures, by the line that found them.
        const int status = inChild([&]() -> int {
            const QByteArray at = QFile::encodeName(disk);
            // 64 KiB: 16 pages of 4 KiB.
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("orvane-test", at.constData(), "tmpfs", 0, "size=64k,mode=0755") != 0)
                return 77;
            std::vector<QSettings::Status> seen;
            std::mutex seenMutex;
            auto lastSeen = [&] {
                const std::lock_guard lock(seenMutex);
                return seen.empty() ? QSettings::NoError : seen.back();
            };
            SettingsWriter writer(file, QSettings::IniFormat);
            writer.setStatusObserver([&](QSettings::Status s) {
                const std::lock_guard lock(seenMutex);
                seen.push_back(s);
            });
            // About 6 KiB in place (2 pages), then a filler of 32 KiB (8 pages): 6 pages left.
            writer.setValue("appTheme", "dark");
            writer.setValue("small", QString(6000, QLatin1Char('s')));
            writer.flush();
            if (writer.status() != QSettings::NoError)
                return failAt(__LINE__);
            const QByteArray before = bytesOf(file);
            {
                QFile fill(filler);
                if (!fill.open(QIODevice::WriteOnly) ||
                    fill.write(QByteArray(32 * 1024, 'f')) != 32 * 1024 || !fill.flush())
                    return 78;
            }
            // The new file needs 8 pages: it cannot be written whole beside the old one.
            writer.setValue("big", QString(26000, QLatin1Char('b')));
            writer.flush();
            if (writer.status() == QSettings::NoError || lastSeen() == QSettings::NoError)
                return failAt(__LINE__);
            if (bytesOf(file) != before)
                return failAt(__LINE__); // the old file, byte for byte
            QStringList left = QDir(disk).entryList(QDir::Files | QDir::Hidden);
            left.sort();
            if (left != QStringList({"Orvane.conf", "filler"})) {
                std::fprintf(stderr, "left behind: %s\n", qPrintable(left.join(", ")));
                return failAt(__LINE__); // nothing half-written left behind
            }
            // Room again: the values still asked for are written at the next try, unasked.
            QFile::remove(filler);
            if (!QTest::qWaitFor([&] { return writer.status() == QSettings::NoError; }, 30000) ||
                lastSeen() != QSettings::NoError)
                return failAt(__LINE__);
            const QSettings back(file, QSettings::IniFormat); // never opened here before
            if (back.value("big").toString() != QString(26000, QLatin1Char('b')) ||
                back.value("small").toString() != QString(6000, QLatin1Char('s')) ||
                back.value("appTheme").toString() != "dark")
                return failAt(__LINE__);
            return 0;
        });
        if (status == 77)
            QFAIL("no tmpfs of its own here");
        QCOMPARE(status, 0);
    }

    void aReadOnlyFileIsLeftAndReported() {
        QTemporaryDir dir;
        const QString file = dir.filePath("s.ini");
        {
            QSettings seed(file, QSettings::IniFormat);
            seed.setValue("appTheme", "light");
        }
        const QByteArray before = bytesOf(file);
        QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner));
        std::atomic<int> failures = 0;
        SettingsWriter writer(file, QSettings::IniFormat);
        writer.setStatusObserver([&](QSettings::Status s) {
            if (s != QSettings::NoError)
                ++failures;
        });
        writer.setValue("appTheme", "dark");
        writer.flush();
        if (geteuid() != 0) { // root writes a read-only file anyway
            QCOMPARE(writer.status(), QSettings::AccessError);
            QCOMPARE(failures.load(), 1);
            QCOMPARE(bytesOf(file), before);
        }
        // (A folder that is a file, which root cannot write either: tst_faults' "inside a file".)
    }
};

QTEST_GUILESS_MAIN(TestSettingsWriter)
#include "tst_settingswriter.moc"
