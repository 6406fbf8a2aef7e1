// The wording tables and how the language is chosen.
#include "core/localization.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace orvane;

namespace {

// Every key of the wording tables, as their source lists them.
QStringList tableKeys() {
    QFile source(QStringLiteral(LOCALIZATION_SOURCE));
    if (!source.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression entry(QStringLiteral(R"re(\{\s*"([a-z_]+)"\s*,)re"));
    QStringList keys;
    for (const QRegularExpressionMatch& m : entry.globalMatch(QString::fromUtf8(source.readAll())))
        keys.append(m.captured(1));
    keys.removeDuplicates();
    return keys;
}

// The format placeholders of a text ("%d", "%@", "%1"), sorted.
QStringList placeholders(const QString& text) {
    static const QRegularExpression placeholder(QStringLiteral(R"(%(\d+|d|@))"));
    QStringList found;
    for (const QRegularExpressionMatch& m : placeholder.globalMatch(text))
        found.append(m.captured());
    found.sort();
    return found;
}

} // namespace

class TestLocalization : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyKeyHasBothLanguagesWithTheSamePlaceholders() {
        const QStringList keys = tableKeys();
        QVERIFY2(keys.size() > 40, qPrintable(QString::number(keys.size())));
        for (const QString& key : keys) {
            const QString en = loc(key, "en"), ru = loc(key, "ru");
            QVERIFY2(en != key && ru != key, qPrintable(key));
            QVERIFY2(placeholders(en) == placeholders(ru), qPrintable(key));
        }
        QCOMPARE(loc("no_such_key", "ru"), QStringLiteral("no_such_key")); // shown as it is
    }

    void systemAndUnknownSettingsFollowTheFirstPreferredLanguage() {
        const QString en = loc("play", "en"), ru = loc("play", "ru");
        QVERIFY(en != ru);
        QCOMPARE(loc("play", "system", {"ru-RU", "en-US"}), ru);
        QCOMPARE(loc("play", "system", {"uk-UA", "ru-RU"}), en);
        QCOMPARE(loc("play", "system", {}), en);
        QCOMPARE(loc("play", "fr", {"ru"}), ru);
        QCOMPARE(loc("play", "RU", {"en-GB"}), en); // exact, case-sensitive
    }
};

QTEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"
