// The window's views, offscreen: rows, bars, the player panel, the add-station sheet, dropping.
#include "app/preferences.h"
#include "radio/radiobrowser.h"
#include "support/enginefixture.h"
#include "support/httptestserver.h"
#include "ui/addstationsheet.h"
#include "ui/buttons.h"
#include "ui/contentview.h"
#include "ui/glowbar.h"
#include "ui/playerpanel.h"
#include "ui/playlistpanel.h"
#include "ui/radiopanel.h"
#include "ui/theme.h"

#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <cmath>

using namespace orvane;
using namespace orvane::test;

namespace {

// An engine, the settings views read, and the window's content around them.
struct Window {
    EngineFixture f;
    AudioEngine& e = f.start();
    Preferences prefs{f.settings.get()};
    Theme theme;
    QNetworkAccessManager network;
    RadioBrowser catalog{&network, {QUrl("http://127.0.0.1:9")}};
    ContentView view{&e, &catalog, &prefs, &theme};
    Window() {
        prefs.setLanguage("en");
        view.resize(860, 560);
        view.show();
    }
    QListView* list() { return view.playlistPanel()->list(); }
    void click(int row, bool twice = false) {
        QListView* l = list();
        const QPoint at = l->visualRect(l->model()->index(row, 0)).center();
        QTest::mouseClick(l->viewport(), Qt::LeftButton, {}, at);
        if (twice) // the second press of a double click
            QTest::mouseDClick(l->viewport(), Qt::LeftButton, {}, at);
    }
};

void press(GlowBar& bar, double xFromLeadingEdge) {
    QTest::mousePress(&bar, Qt::LeftButton, {},
                      QPoint(int(GlowBar::margin + xFromLeadingEdge), bar.height() / 2));
    QTest::mouseRelease(&bar, Qt::LeftButton, {},
                        QPoint(int(GlowBar::margin + xFromLeadingEdge), bar.height() / 2));
}

} // namespace

class TestUi : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    QString touch(const QString& relative) {
        const QString path = dir_.filePath(relative);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        return path;
    }

private Q_SLOTS:
    void playlistRowsSelectPlayAndRemove() {
        Window w;
        PlaylistPanel* panel = w.view.playlistPanel();
        QVERIFY(panel->showsEmptyState());
        QCOMPARE(panel->footerText(), QStringLiteral("0 tracks · 0:00"));
        QCOMPARE(panel->emptyText(), QStringLiteral("Click “+” to add MP3 files"));
        QVERIFY(!panel->removeButton()->isEnabled());

        QList<Track> list = w.f.tracks({"Song", "Other", "Long"});
        list[0].artist = "Band";
        list[0].duration = 200;
        list[1].duration = 125.5;
        list[2].duration = 3600;
        w.e.setPlaylist(list);
        QVERIFY(!panel->showsEmptyState());
        QCOMPARE(panel->footerText(), QStringLiteral("3 tracks · 1:05:25"));

        w.click(1);
        QCOMPARE(w.view.selection(), QSet<QUuid>{w.e.playlist().at(1).id});
        QVERIFY(panel->removeButton()->isEnabled());
        w.click(2);
        QCOMPARE(w.view.selection(), QSet<QUuid>{w.e.playlist().at(2).id});

        w.click(0, true); // a double click plays
        QCOMPARE(w.e.currentID(), w.e.playlist().at(0).id);

        w.click(2);
        QTest::mouseClick(panel->removeButton(), Qt::LeftButton);
        QCOMPARE(w.e.playlist().size(), 2);
        QCOMPARE(w.e.playlist().at(1).title, QStringLiteral("Other"));
        QVERIFY(w.view.selection().isEmpty());
        QVERIFY(!panel->removeButton()->isEnabled());
        QCOMPARE(w.e.currentID(), w.e.playlist().at(0).id); // the playing one stayed

        // The row texts: numbers, the current mark, artist – title, the time.
        const Track& band = w.e.playlist().at(0);
        RowLook look = PlaylistRow::look(band, 0, true, false);
        QCOMPARE(look.name, QStringLiteral("Band – Song"));
        QCOMPARE(look.markSymbol, QStringLiteral("play-circle-filled"));
        QCOMPARE(look.trailing, QStringLiteral("3:20"));
        QVERIFY(look.trailingAccent);
        look = PlaylistRow::look(w.e.playlist().at(1), 8, false, true);
        QCOMPARE(look.mark, QStringLiteral("09"));
        QCOMPARE(look.name, QStringLiteral("Other"));
        QVERIFY(look.markSymbol.isEmpty() && look.selected);
        QCOMPARE(PlaylistRow::look(band, 0, false, false).mark, QStringLiteral("01"));
        QCOMPARE(PlaylistRow::look(band, 99, false, false).mark, QStringLiteral("100"));
    }

    void stationRowsSelectPlayAndRemove() {
        Window w;
        w.e.setMode(PlayerMode::Radio);
        RadioPanel* panel = w.view.radioPanel();
        QListView* list = panel->list();
        auto click = [&](int row, bool twice) {
            const QPoint at = list->visualRect(list->model()->index(row, 0)).center();
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
            if (twice)
                QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
        };
        QVERIFY(!panel->removeButton()->isEnabled());
        click(3, false);
        QCOMPARE(panel->selection(), QSet<QUuid>{w.e.stations().at(3).id});
        QVERIFY(panel->removeButton()->isEnabled());
        click(1, true);
        QCOMPARE(w.e.currentStationID(), w.e.stations().at(1).id);
        RowLook look = RadioRow::look(w.e.stations().at(1), 1, true, false, "Buffering…");
        QCOMPARE(look.markSymbol, QStringLiteral("radio-waves"));
        QCOMPARE(look.trailing, QStringLiteral("Buffering…"));
        QCOMPARE(RadioRow::look(w.e.stations().at(2), 2, false, false, "x").trailing, QString());
        QCOMPARE(RadioRow::look(w.e.stations().at(2), 2, false, false, "x").mark,
                 QStringLiteral("03"));
        // Removing the playing station stops it.
        QTest::mouseClick(panel->removeButton(), Qt::LeftButton);
        QCOMPARE(w.e.stations().size(), 5);
        QVERIFY(w.e.currentStationID().isNull() && !w.e.isPlaying());
        QVERIFY(!panel->removeButton()->isEnabled());
        w.e.setStations({});
        QVERIFY(panel->showsEmptyState());
        QCOMPARE(panel->footerText(), QStringLiteral("0 stations"));
        QCOMPARE(panel->emptyText(), QStringLiteral("Click “+” to add a station"));
    }

    void glowBarReportsFractionsAndDrawsClamped() {
        Theme theme;
        GlowBar bar(&theme);
        bar.resize(216, bar.height()); // a 200-wide bar
        bar.show();
        QList<double> seen;
        bar.setOnChange([&](double f) { seen.append(f); });
        press(bar, -5);
        press(bar, 205);
        press(bar, 100); // at once, before any movement
        QCOMPARE(seen, (QList<double>{0.0, 1.0, 0.5}));
        QTest::mousePress(&bar, Qt::LeftButton, {}, QPoint(GlowBar::margin + 20, 10));
        QMouseEvent move(QEvent::MouseMove, QPointF(GlowBar::margin + 150, 10),
                         QPointF(GlowBar::margin + 150, 10), Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(&bar, &move);
        QTest::mouseRelease(&bar, Qt::LeftButton, {}, QPoint(GlowBar::margin + 150, 10));
        QCOMPARE(seen.mid(3), (QList<double>{0.1, 0.75}));
        QCOMPARE(bar.value(), 0.0); // it never changes its own value

        const std::pair<double, double> fills[] = {{0, 0},    {1, 200},          {1.7, 200},
                                                   {-0.3, 0}, {std::nan(""), 0}, {0.25, 50}};
        for (const auto& [value, width] : fills) {
            bar.setValue(value);
            QCOMPARE(bar.fillWidth(), width);
        }
    }

    void playerPanelShowsTrackStationAndVolume() {
        Window w;
        PlayerPanel* panel = w.view.playerPanel();
        QCOMPARE(panel->headerLines(), (QStringList{"Orvane", "Select a track", ""}));
        QCOMPARE(panel->progressTexts(), (QStringList{"0:00", "0:01"}));
        QCOMPARE(panel->artwork()->kind(), ArtworkView::Kind::Note);
        QCOMPARE(panel->volumeText(), QStringLiteral("73%"));
        QCOMPARE(panel->speakerSymbol(), QStringLiteral("speaker-waves"));

        QList<Track> list = w.f.tracks({"Long"}, 3725);
        list[0].info = "MP3 · 320 kbps · 44 kHz · Stereo";
        w.e.setPlaylist(list);
        w.e.play(w.e.playlist().at(0));
        w.f.clock.advance(125.4);
        QCOMPARE(panel->headerLines(),
                 (QStringList{"", "Long", "MP3 · 320 kbps · 44 kHz · Stereo"}));
        QCOMPARE(panel->progressTexts(), (QStringList{"2:05", "1:02:05"}));
        QVERIFY(std::abs(panel->progressBar()->value() - 125.4 / 3725) < 1e-9);
        press(*panel->progressBar(), panel->progressBar()->barRect().width() / 2);
        QCOMPARE(w.f.lastFile()->seeks.back(), 1862.5);

        for (const auto& [volume, text, symbol] :
             {std::tuple{0.0, "0%", "speaker-slash"}, std::tuple{0.999, "99%", "speaker-waves"},
              std::tuple{0.001, "0%", "speaker-waves"}}) {
            w.e.setVolume(volume);
            QCOMPARE(panel->volumeText(), QString::fromUtf8(text));
            QCOMPARE(panel->speakerSymbol(), QString::fromUtf8(symbol));
        }

        QCOMPARE(panel->shuffleButton()->symbolColor(), w.theme.secondary());
        QTest::mouseClick(panel->shuffleButton(), Qt::LeftButton);
        QVERIFY(w.e.isShuffle());
        QCOMPARE(panel->shuffleButton()->symbolColor(), w.theme.neon());

        // A station while the window shows the playlist: the radio variants at once.
        w.e.play(w.e.stations().at(2));
        QCOMPARE(panel->headerLines(), (QStringList{"Наше Радио", "Internet Radio", "Buffering…"}));
        QVERIFY(panel->showsLive());
        QCOMPARE(panel->progressTexts(), (QStringList{"LIVE", "Buffering…"}));
        QCOMPARE(panel->artwork()->kind(), ArtworkView::Kind::Radio);
        w.f.lastStream()->report(StreamPlayer::TimeControlStatus::Playing);
        QTRY_COMPARE(panel->progressTexts().at(1), QStringLiteral("On Air"));
        w.prefs.setLanguage("ru");
        QCOMPARE(panel->progressTexts().at(1), QStringLiteral("В эфире"));
    }

    void modeSwitchKeepsPlayback() {
        Window w;
        w.e.setPlaylist(w.f.tracks({"a"}));
        w.e.play(w.e.playlist().at(0));
        QTest::mouseClick(w.view.playerPanel()->radioButton(), Qt::LeftButton);
        QCOMPARE(w.e.mode(), PlayerMode::Radio);
        QVERIFY(w.e.isPlaying() && !w.f.lastFile()->stopped);
        QVERIFY(w.view.radioPanel()->isVisible() && !w.view.playlistPanel()->isVisible());
        QVERIFY(w.view.playerPanel()->radioButton()->isSelected());
        QCOMPARE(w.view.radioPanel()->footerText(), QStringLiteral("6 stations"));
        QTest::mouseClick(w.view.playerPanel()->libraryButton(), Qt::LeftButton);
        QVERIFY(w.view.playlistPanel()->isVisible());
    }

    void addStationSheetRules() {
        for (const auto& [text, ok] :
             {std::pair{"http://a.b/s", true}, std::pair{"https://x/y", true},
              std::pair{"ftp://x/y", false}, std::pair{"example.com/s", false},
              std::pair{"", false}, std::pair{"httpx://odd", true}})
            QCOMPARE(AddStationSheet::acceptsAddress(QString::fromUtf8(text)), ok);

        HttpTestServer server;
        QVERIFY(server.listen());
        Window w;
        RadioBrowser catalog(&w.network, {QUrl(server.url(""))});
        AddStationSheet sheet(&w.e, &catalog, &w.prefs, &w.theme);
        sheet.show();
        const auto before = w.e.stations().size();

        QVERIFY(!sheet.addButton()->isEnabled());
        sheet.urlField()->setText("https://stream.example/live");
        QVERIFY(sheet.addButton()->isEnabled());
        QTest::mouseClick(sheet.addButton(), Qt::LeftButton);
        QCOMPARE(w.e.stations().size(), before + 1);
        QCOMPARE(w.e.stations().last().name, QStringLiteral("https://stream.example/live"));
        QVERIFY(sheet.nameField()->text().isEmpty() && sheet.urlField()->text().isEmpty());
        QVERIFY(!sheet.addButton()->isEnabled());

        // Spaces only: no search, Return does nothing.
        sheet.queryField()->setText("  \t ");
        QVERIFY(!sheet.findButton()->isEnabled());
        QTest::keyClick(sheet.queryField(), Qt::Key_Return);
        QVERIFY(!sheet.isSearching());
        QVERIFY(server.requests.isEmpty());

        // Searched with its spaces; results keep their ids; check marks by exact address.
        const QByteArray body =
            "[{\"name\":\"Known\",\"url_resolved\":\"https://stream.example/live\"},"
            "{\"name\":\"Case\",\"url_resolved\":\"https://STREAM.example/live\"},"
            "{\"name\":\"New\",\"url_resolved\":\"http://new.example/s\"}]";
        server.route(
            "/json/stations/byname/%20jazz%20?limit=25&hidebroken=true&order=votes&reverse=true",
            {200, "application/json", body});
        sheet.queryField()->setText(" jazz ");
        QTest::mouseClick(sheet.findButton(), Qt::LeftButton);
        QVERIFY(sheet.isSearching());
        QTRY_VERIFY(!sheet.isSearching());
        QList<SearchResultRow*> rows = sheet.resultRows();
        QCOMPARE(rows.size(), 3);
        QVERIFY(rows.at(0)->isAdded());
        QVERIFY(!rows.at(1)->isAdded());
        QVERIFY(!rows.at(2)->isAdded());
        const QUuid id = sheet.results().at(2).id;
        QTest::mouseClick(rows.at(2)->addButton(), Qt::LeftButton);
        QCOMPARE(w.e.stations().last().id, id);
        QTRY_VERIFY(sheet.resultRows().size() == 3 && sheet.resultRows().at(2)->isAdded());

        server.route("/json/stations/byname/zzz?limit=25&hidebroken=true&order=votes&reverse=true",
                     {200, "application/json", "[]"});
        sheet.queryField()->setText("zzz");
        QTest::keyClick(sheet.queryField(), Qt::Key_Return);
        QTRY_VERIFY(sheet.showsNothingFound());
    }

    void dropsAreFilteredWalkedAndSortedNaturally() {
        const QString folder = dir_.filePath("drop");
        touch("drop/b.mp3");
        touch("drop/A.flac");
        touch("drop/cover.jpg");
        touch("drop/sub/c.wav");
        touch("drop/.hidden/Z.m4a");
        QVERIFY(QFile::link(folder, dir_.filePath("drop/sub/loop"))); // a link back up
        const QList<QUrl> found = ContentView::collectDropped({QUrl::fromLocalFile(folder)});
        QStringList names;
        for (const QUrl& u : found)
            names << QFileInfo(u.toLocalFile()).fileName();
        QCOMPARE(names, (QStringList{"A.flac", "b.mp3", "c.wav", "Z.m4a"}));

        const QList<QUrl> numbered = ContentView::collectDropped(
            {QUrl::fromLocalFile(touch("10 x.mp3")), QUrl::fromLocalFile(touch("9 x.mp3")),
             QUrl::fromLocalFile(touch("Song.MP3")), QUrl::fromLocalFile(touch("old.aif")),
             QUrl::fromLocalFile(touch("noext"))});
        names.clear();
        for (const QUrl& u : numbered)
            names << QFileInfo(u.toLocalFile()).fileName();
        QCOMPARE(names, (QStringList{"9 x.mp3", "10 x.mp3", "Song.MP3"}));

        Window w;
        QVERIFY(!w.view.handleDrop({QUrl::fromLocalFile(touch("notes.txt"))}));
        QTest::qWait(50);
        QVERIFY(w.e.playlist().isEmpty());

        w.e.setMode(PlayerMode::Radio);
        QSignalSpy added(&w.view, &ContentView::dropAdded);
        QVERIFY(w.view.handleDrop({QUrl::fromLocalFile(folder)}));
        QTRY_COMPARE(added.count(), 1);
        QTRY_COMPARE(w.e.playlist().size(), 4);
        QCOMPARE(w.e.mode(), PlayerMode::Radio); // adding does not switch modes

        // The highlight follows a drag over the window.
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(folder)});
        QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(&w.view, &enter);
        QVERIFY(w.view.isDropTargeted());
        QDragLeaveEvent leave;
        QApplication::sendEvent(&w.view, &leave);
        QVERIFY(!w.view.isDropTargeted());
    }

    void openDialogAddsInItsOwnOrder() {
        Window w;
        const QList<QUrl> chosen{QUrl::fromLocalFile(touch("z.mp3")),
                                 QUrl::fromLocalFile(touch("a.aif"))};
        w.view.setFileChooser([chosen] { return chosen; });
        QTest::mouseClick(w.view.playlistPanel()->addButton(), Qt::LeftButton);
        QTRY_COMPARE(w.e.playlist().size(), 2);
        QCOMPARE(w.e.playlist().at(0).title, QStringLiteral("z"));
        QCOMPARE(w.e.playlist().at(1).title, QStringLiteral("a")); // .aif through the dialog
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
