// The covers written for the desktop's media controls stay a bounded recent set.
#include "app/covercache.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace orvane;

class TestCoverCache : public QObject {
    Q_OBJECT

    static QByteArray picture(int i, qsizetype size) {
        QByteArray bytes = "\x89PNG" + QByteArray::number(i);
        bytes.resize(size, 'p');
        return bytes;
    }
    static qint64 folderBytes(const QString& folder, int* count) {
        qint64 bytes = 0;
        *count = 0;
        for (const QFileInfo& f : QDir(folder).entryInfoList(QDir::Files)) {
            bytes += f.size();
            ++*count;
        }
        return bytes;
    }

private Q_SLOTS:
    void keepsTheCurrentAndABoundedRecentSet() {
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

QTEST_GUILESS_MAIN(TestCoverCache)
#include "tst_covercache.moc"
