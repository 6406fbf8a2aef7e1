// The stored form of the station list.
#include "radio/stationstore.h"

#include <QTest>

using namespace orvane;

class TestStationStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void encodesTheExactStoredFormAndReadsAnyMemberOrder() {
        const QList<RadioStation> list = {
            {QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")),
             QStringLiteral("Radio Paradise — эклектика"),
             QStringLiteral("https://stream.radioparadise.com/eclectic-128")},
            {QUuid::fromString(QStringLiteral("00000000-0000-0000-0000-000000000001")),
             QStringLiteral("Quote \" back\\slash\ttab"), QString()},
        };
        const QByteArray json = StationStore::encode(list);
        QCOMPARE(json, QByteArray(
                           "[{\"id\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\","
                           "\"name\":\"Radio Paradise \xE2\x80\x94 \xD1\x8D\xD0\xBA\xD0\xBB\xD0\xB5"
                           "\xD0\xBA\xD1\x82\xD0\xB8\xD0\xBA\xD0\xB0\","
                           "\"url\":\"https:\\/\\/stream.radioparadise.com\\/eclectic-128\"},"
                           "{\"id\":\"00000000-0000-0000-0000-000000000001\","
                           "\"name\":\"Quote \\\" back\\\\slash\\ttab\",\"url\":\"\"}]"));
        QCOMPARE(StationStore::decode(json), list);
        // Read in any member order, with members of no use and slashes not escaped.
        QCOMPARE(StationStore::decode("[{\"url\":\"http://a/b\",\"extra\":[1,2],\"name\":\"Хит "
                                      "FM\",\"id\":\"e621e1f8-c36c-495a-93fc-0c247a3e6e5f\"}]"),
                 (QList<RadioStation>{{list.first().id, QStringLiteral("Хит FM"), "http://a/b"}}));
        QCOMPARE(StationStore::encode({}), QByteArray("[]"));
        QCOMPARE(StationStore::decode("[]")->size(), 0);
    }

    void rejectsTheWholeListOnAnyBadElement_data() {
        QTest::addColumn<QByteArray>("json");
        const QByteArray good =
            "{\"id\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\",\"name\":\"a\",\"url\":\"u\"}";
        QTest::newRow("not json") << QByteArray("garbage");
        QTest::newRow("object") << good;
        QTest::newRow("missing url")
            << "[" + good + ",{\"id\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\",\"name\":\"b\"}]";
        QTest::newRow("null name") << QByteArray(
            "[{\"id\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\",\"name\":null,\"url\":\"u\"}]");
        QTest::newRow("number url") << QByteArray(
            "[{\"id\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\",\"name\":\"a\",\"url\":5}]");
        QTest::newRow("bad uuid") << QByteArray(
            "[{\"id\":\"not-a-uuid\",\"name\":\"a\",\"url\":\"u\"}]");
        QTest::newRow("braced uuid") << QByteArray(
            "[{\"id\":\"{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}\",\"name\":\"a\",\"url\":\"u\"}]");
        QTest::newRow("element not object") << "[" + good + ",3]";
        QTest::newRow("trailing garbage") << "[" + good + "]x";
        QTest::newRow("empty bytes") << QByteArray();
    }
    void rejectsTheWholeListOnAnyBadElement() {
        QFETCH(QByteArray, json);
        QVERIFY(!StationStore::decode(json));
    }
};

QTEST_GUILESS_MAIN(TestStationStore)
#include "tst_stationstore.moc"
