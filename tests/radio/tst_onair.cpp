// What a station says is on the air, end to end: a loopback ICY stream, the real stream player
// and engine, the player panel's header, the tray menu's first line and the media controls.
#include "app/mprisservice.h"
#include "app/traymenu.h"
#include "support/httptestserver.h"
#include "support/playerctl.h"
#include "support/realengine.h"
#include "support/testaudio.h"
#include "support/windowfixture.h"
#include "ui/addstationsheet.h"
#include "ui/playerpanel.h"
#include "ui/radiopanel.h"

#include <QDBusConnection>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace orvane;
using namespace orvane::test;

class TestOnAir : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void theSongOnTheAirIsShownAndPublished() {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(),
                 "no session bus: run the tests through scripts/test (dbus-run-session)");
        QTemporaryDir dir;
        const QByteArray mp3 = mp3Tone(dir.filePath("tone.mp3"), 4.0);
        QVERIFY(!mp3.isEmpty());
        HttpTestServer server;
        QVERIFY(server.listen());
        auto title = std::make_shared<QByteArray>("Кино - Группа крови");
        server.route("/icy", {200, "audio/mpeg", mp3, HttpTestServer::Mode::Endless});
        server.icy("/icy", title);

        RecordingAnnouncer announcer;
        RealEngine real(nullptr, &announcer);
        AudioEngine& engine = *real.engine;
        MprisService mpris(&engine, {[] {}, [] {}}, dir.filePath("covers"));
        engine.setNowPlayingPublisher(&mpris);
        QVERIFY(mpris.start());
        WindowViews window(engine, &real.settings);

        const RadioStation station{QUuid::createUuid(), "Тестовое радио", server.url("/icy")};
        engine.setStations({station});
        engine.play(station);
        QTRY_COMPARE_WITH_TIMEOUT(engine.streamTitle(), QStringLiteral("Кино - Группа крови"),
                                  15000);
        QCOMPARE(engine.radioStatus(), QStringLiteral("on_air"));
        PlayerPanel* panel = window.view.playerPanel();
        QCOMPARE(panel->headerLines().mid(0, 2),
                 (QStringList{"Тестовое радио", "Кино - Группа крови"}));
        QCOMPARE(TrayMenu::entries(engine, "en").first().text,
                 QStringLiteral("Тестовое радио — Кино - Группа крови"));
        QCOMPARE(announcer.shown.size(), std::size_t(1)); // the station, once
        QCOMPARE(playerctl({"metadata", "--format", "{{artist}}|{{title}}|{{album}}"}),
                 QStringLiteral("Кино|Группа крови|Тестовое радио"));

        // A new song: followed everywhere (no toast for it: tst_audioengine's stream title case).
        *title = "Jingle";
        QTRY_COMPARE_WITH_TIMEOUT(engine.streamTitle(), QStringLiteral("Jingle"), 30000);
        QCOMPARE(panel->headerLines().at(1), QStringLiteral("Jingle"));
        QCOMPARE(TrayMenu::entries(engine, "en").first().text,
                 QStringLiteral("Тестовое радио — Jingle"));
        QCOMPARE(playerctl({"metadata", "--format", "{{artist}}|{{title}}|{{album}}"}),
                 QStringLiteral("Internet Radio|Jingle|Тестовое радио"));

        // The station removed: its title goes with it.
        engine.removeStations({station.id});
        QVERIFY(engine.streamTitle().isEmpty());
        QCOMPARE(panel->headerLines().at(0), QStringLiteral("Orvane"));
        QCOMPARE(playerctl({"status"}), QStringLiteral("Stopped"));
    }

    void aSearchResultWhoseAddressIsAPlaylistPlays() {
        // The catalog's answer names a .pls (as it does for many stations); the station is added
        // from the search results with its button, and played, on the real stream player.
        QTemporaryDir dir;
        const QByteArray mp3 = mp3Tone(dir.filePath("tone.mp3"), 4.0);
        QVERIFY(!mp3.isEmpty());
        HttpTestServer server;
        QVERIFY(server.listen());
        server.route("/live", {200, "audio/mpeg", mp3, HttpTestServer::Mode::Endless});
        server.icy("/live", std::make_shared<QByteArray>("Loop Band - Live Song"));
        server.route("/listen.pls", {200, "audio/x-scpls",
                                     "[playlist]\nFile1=" + server.url("/live").toUtf8() +
                                         "\nTitle1=Live\nNumberOfEntries=1\nVersion=2\n"});
        server.route("/json/stations/byname/loop?limit=25&hidebroken=true&order=votes&reverse=true",
                     {200, "application/json",
                      "[{\"name\":\"Loop FM\",\"url_resolved\":\"" +
                          server.url("/listen.pls").toUtf8() + "\"}]"});
        RealEngine real;
        AudioEngine& engine = *real.engine;
        WindowViews window(engine, &real.settings);
        RadioBrowser catalog(&window.network, {QUrl(server.url(""))});
        AddStationSheet sheet(&engine, &catalog, &window.prefs, &window.theme);
        sheet.show();
        sheet.queryField()->setText("loop");
        QTest::keyClick(sheet.queryField(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(sheet.resultRows().size() == 1, 15000);
        QTest::mouseClick(sheet.resultRows().first()->addButton(), Qt::LeftButton);
        QCOMPARE(engine.stations().last().name, QStringLiteral("Loop FM"));
        QCOMPARE(engine.stations().last().url, server.url("/listen.pls"));
        // Played as a person does: a double click on its row.
        engine.setMode(PlayerMode::Radio);
        clickRow(window.view.radioPanel()->list(), int(engine.stations().size()) - 1, true);
        QTRY_COMPARE_WITH_TIMEOUT(engine.radioStatus(), QStringLiteral("on_air"), 20000);
        QCOMPARE(engine.currentStationID(), engine.stations().last().id);
        QVERIFY(engine.isPlaying());
        // The stream behind the playlist names its songs as any station's does.
        QTRY_COMPARE_WITH_TIMEOUT(engine.streamTitle(), QStringLiteral("Loop Band - Live Song"),
                                  15000);
        QCOMPARE(engine.stations().last().url, server.url("/listen.pls")); // kept as given
    }
};

QTEST_MAIN(TestOnAir)
#include "tst_onair.moc"
