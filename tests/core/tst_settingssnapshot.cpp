// The quick read of the settings a start makes gives what QSettings gives for the same file, or
// nothing at all.
#include "core/settingssnapshot.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

using namespace orvane;

namespace {

const QSet<QString> kKeys{"appTheme", "appLanguage", "radioStations", "playlistBookmarks"};

QByteArray randomBytes(QRandomGenerator& random, int maxLength) {
    QByteArray bytes(random.bounded(maxLength + 1), Qt::Uninitialized);
    for (char& c : bytes) {
        // Mostly what paths and JSON hold, often the bytes that need escapes.
        static const char kSpecial[] = "\\\"',;= \x01\x7f\xff"
                                       "0a9fF@()\n\t";
        c = random.bounded(3) == 0 ? kSpecial[random.bounded(int(sizeof(kSpecial) - 1))]
                                   : char(random.bounded(256));
    }
    return bytes;
}

QString randomText(QRandomGenerator& random) {
    static const QString kChars = QStringLiteral("abcXYZ019 ,;=\"\\@'()/.-_\t");
    QString text;
    for (int i = random.bounded(12); i > 0; --i)
        text += kChars.at(random.bounded(kChars.size()));
    return text;
}

} // namespace

class TestSettingsSnapshot : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    int files_ = 0;

    // A new file each time: QSettings keeps what it read of a file for the process.
    QString newFile() { return dir_.filePath(QStringLiteral("s%1.ini").arg(++files_)); }
    static QByteArray bytesOf(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // As a later start's QSettings reads the file (a copy: this process's QSettings would give
    // what it wrote, not what it reads).
    void compareWithQSettings(const SettingsSnapshot& snapshot, const QByteArray& file) {
        const QString path = newFile();
        QFile copy(path);
        QVERIFY(copy.open(QIODevice::WriteOnly));
        copy.write(file);
        copy.close();
        const QSettings settings(path, QSettings::IniFormat);
        for (const QString& key : kKeys) {
            const QVariant ours = snapshot.value(key), theirs = settings.value(key);
            QCOMPARE(ours.typeId(), theirs.typeId());
            QCOMPARE(ours, theirs);
        }
    }

private Q_SLOTS:
    void whatThePlayerWritesIsReadAsQSettingsReadsIt() {
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        for (int round = 0; round < 300; ++round) {
            const QString path = newFile();
            {
                QSettings settings(path, QSettings::IniFormat);
                settings.setValue("appTheme",
                                  round % 3 == 0 ? QStringLiteral("dark") : randomText(random));
                if (round % 5 != 0)
                    settings.setValue("appLanguage", randomText(random));
                settings.setValue("radioStations", randomBytes(random, 300));
                QVariantList list;
                for (int n = round % 7 == 0 ? 0 : 2 + random.bounded(40); n > 0; --n)
                    list.append(randomBytes(random, 120));
                if (round % 11 == 1 && !list.isEmpty()) // mixed values, an empty text last
                    list.append(round % 2 ? randomText(random) : QString());
                settings.setValue("playlistBookmarks", list);
                settings.setValue("someOtherKey", QStringList{"x", "y"}); // not asked for
            }
            const std::optional<SettingsSnapshot> snapshot =
                SettingsSnapshot::parse(bytesOf(path), kKeys);
            QVERIFY2(snapshot, bytesOf(path).constData()); // the player's forms are all read
            compareWithQSettings(*snapshot, bytesOf(path));
            // A stored playlist comes as one list of byte arrays, without a value for each.
            const QVariantList stored = snapshot->value("playlistBookmarks").toList();
            const bool allBytes =
                stored.size() >= 2 && std::all_of(stored.cbegin(), stored.cend(), [](auto& v) {
                    return v.typeId() == QMetaType::QByteArray;
                });
            QCOMPARE(snapshot->byteArrays("playlistBookmarks").has_value(), allBytes);
            for (qsizetype i = 0; allBytes && i < stored.size(); ++i)
                QCOMPARE(snapshot->byteArrays("playlistBookmarks")->at(i), stored.at(i));
        }
    }

    void otherFormsAreLeftToQSettings() {
        // Written by QSettings, but not read here: a one-entry list (a serialized variant),
        // text that is not ASCII.
        for (const QVariant& value :
             {QVariant(QVariantList{QByteArray("only")}), QVariant(QStringLiteral("тёмная"))}) {
            const QString path = newFile();
            QSettings(path, QSettings::IniFormat).setValue("appTheme", value);
            QVERIFY(!SettingsSnapshot::parse(bytesOf(path), kKeys));
            // …unless it is not asked for.
            QVERIFY(SettingsSnapshot::parse(bytesOf(path), {"appLanguage"}));
        }
        // Edited by hand, or in another layout: nothing (where QSettings may read something).
        const QList<QByteArray> others{
            "[General]\nappTheme = dark\n",
            "[General]\nappTheme=dark\n[Other]\nx=1\n",
            "[General]\r\nappTheme=dark\r\n",
            "appTheme=\"dark\n",
            "appTheme=dark\nappTheme=light\n",
            "appTheme=@Variant(\\0\\0\\0\\n)\n",
            "appTheme=dark,light\nappLanguage=\"a\", b\n",
            "app%20Theme=dark\n",
            "appTheme=\\x100\n",
            "playlistBookmarks=@ByteArray(a), \n",
            "playlistBookmarks=@ByteArray(a), b\n",
            "playlistBookmarks=@ByteArray(a), @ByteArray(b\n",
            "playlistBookmarks=@ByteArray(a),@ByteArray(b)\n",
            "playlistBookmarks=@ByteArray(\\x31), @ByteArray(\\x1\\x31)\n",
            // Lines not asked for that QSettings does not end at their line break: a quote
            // left open, a backslash before the break, a carriage return.
            "[General]\nother=@ByteArray(a), \"@ByteArray(b,\nappTheme=dark\nx=\"\n",
            "other=a\\\nappTheme=dark\n",
            "other=a\\\\\\\nappTheme=dark\n", // an escaped backslash, then one before the break
            "other=a\\\\\nappTheme=dark\n",   // an escaped backslash at the end: the line ends
            "other=a\rappTheme=light\nappLanguage=ru\n",
            "other=\"a;\nappTheme=dark\n\"\n",
        };
        for (const QByteArray& text : others) {
            const std::optional<SettingsSnapshot> snapshot = SettingsSnapshot::parse(text, kKeys);
            if (!snapshot)
                continue;
            compareWithQSettings(*snapshot, text); // what is read is what QSettings reads
        }
        // A line not asked for that ends in an escaped backslash ends at its break.
        const std::optional<SettingsSnapshot> escaped =
            SettingsSnapshot::parse("other=a\\\\\nappTheme=dark\n", kKeys);
        QVERIFY(escaped);
        QCOMPARE(escaped->value("appTheme").toString(), QStringLiteral("dark"));
        QVERIFY(!SettingsSnapshot::parse("[General]\nappTheme = dark\n", kKeys));
        QVERIFY(!SettingsSnapshot::parse("[Other]\nappTheme=dark\n", kKeys));
        // A list written the way QSettings writes one is read.
        const std::optional<SettingsSnapshot> list =
            SettingsSnapshot::parse("[General]\nplaylistBookmarks=@ByteArray(a), "
                                    "\"@ByteArray(b,c)\", @ByteArray(\\xff\\x30)\n",
                                    kKeys);
        QVERIFY(list);
        QCOMPARE(list->value("playlistBookmarks"),
                 QVariant(QVariantList{QByteArray("a"), QByteArray("b,c"),
                                       QByteArray("\xff"
                                                  "0")}));
    }
};

QTEST_GUILESS_MAIN(TestSettingsSnapshot)
#include "tst_settingssnapshot.moc"
