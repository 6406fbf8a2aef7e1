// The window's views, offscreen: rows, bars, the player panel, the add-station sheet, dropping.
#include "core/preferences.h"
#include "engine/audiofiles.h"
#include "engine/filename.h"
#include "radio/radiobrowser.h"
#include "support/httptestserver.h"
#include "support/tagwriter.h"
#include "support/testaudio.h"
#include "support/waits.h"
#include "support/windowfixture.h"
#include "ui/addstationsheet.h"
#include "ui/buttons.h"
#include "ui/contentview.h"
#include "ui/elidedlabel.h"
#include "ui/glowbar.h"
#include "ui/mainwindow.h"
#include "ui/noticebar.h"
#include "ui/playerpanel.h"
#include "ui/playlistpanel.h"
#include "ui/questionbar.h"
#include "ui/radiopanel.h"
#include "ui/theme.h"
#include "ui/timestring.h"
#include "ui/visualizerview.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;

class TestUi : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    QString touch(const QString& relative) { return touchFile(dir_, relative); }

private Q_SLOTS:
    void playlistRowsSelectAndShowTheirTexts() {
        WindowFixture w;
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
        // (A double click plays: the filter case; removing, by the button, Delete or a row's
        // menu: tst_keys and tst_window.)

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
        QCOMPARE(PlaylistRow::look(band, 99, false, false).mark, QStringLiteral("100"));
    }

    void playlistRowsDragAndAltArrowsReorder() {
        KeyWindow w;
        QVERIFY(w.active());
        QList<Track> list = w.f.tracks({"A", "B", "C", "D", "E"});
        for (Track& t : list)
            t.bookmark = "mark-" + t.title.toUtf8();
        w.e.setPlaylist(list);
        w.e.play(w.e.playlist().at(1)); // B plays
        const auto playing = w.f.lastFile();
        QListView* l = w.list();
        QAbstractItemModel* model = l->model();
        auto order = [&] { return titles(w.e).join(QString()); };
        auto stored = [&] {
            w.f.clock.advance(0.3);
            QString order;
            for (const QVariant& v : w.f.stored("playlistBookmarks").toList())
                order += QString::fromUtf8(v.toByteArray().mid(5));
            return order;
        };
        auto at = [&](int row, double fraction = 0.5) {
            const QRect r = l->visualRect(model->index(row, 0));
            return QPoint(r.center().x(), r.top() + int(r.height() * fraction));
        };
        auto drag = [&](QPoint from, QPoint to) {
            QTest::mousePress(l->viewport(), Qt::LeftButton, {}, from);
            const QPoint step = (to - from) / 4;
            for (int i = 1; i <= 4; ++i)
                QTest::mouseMove(l->viewport(), from + step * i);
            QTest::mouseMove(l->viewport(), to);
            QTest::mouseRelease(l->viewport(), Qt::LeftButton, {}, to);
        };

        // B and C chosen (a click, then Ctrl+click), dragged by C into the upper half of E.
        w.click(1);
        QTest::mouseClick(l->viewport(), Qt::LeftButton, Qt::ControlModifier, at(2));
        QCOMPARE(w.view.selection(),
                 (QSet<QUuid>{w.e.playlist().at(1).id, w.e.playlist().at(2).id}));
        drag(at(2), at(4, 0.3));
        QCOMPARE(order(), QStringLiteral("ADBCE"));
        QCOMPARE(stored(), QStringLiteral("ADBCE"));
        // The playing track plays on, still current; the numbers follow the new places.
        QCOMPARE(w.e.currentTrack()->title, QStringLiteral("B"));
        QVERIFY(w.e.isPlaying());
        QCOMPARE(w.f.lastFile(), playing);
        QCOMPARE(model->index(2, 0).data(Qt::UserRole).value<QUuid>(), w.e.currentID());
        QCOMPARE(model->index(2, 0).data(PlaylistModel::PlaylistIndexRole).toInt(), 2);
        QCOMPARE(PlaylistRow::look(w.e.playlist().at(3), 3, false, true).mark,
                 QStringLiteral("04"));
        QCOMPARE(w.view.selection().size(), 2); // the moved rows stay chosen

        // A row outside the selection is dragged alone, here below the last row.
        drag(at(0), at(4, 0.8));
        QCOMPARE(order(), QStringLiteral("DBCEA"));
        QCOMPARE(w.view.selection(), QSet<QUuid>{w.e.playlist().at(4).id});
        // A press and release without moving is a click, not a move.
        w.click(0);
        QCOMPARE(order(), QStringLiteral("DBCEA"));
        QCOMPARE(w.view.selection(), QSet<QUuid>{w.e.playlist().at(0).id});

        // Alt+Up / Alt+Down move the selection by one; at the ends nothing happens.
        l->setFocus(Qt::TabFocusReason);
        w.click(2); // C
        for (const auto& [key, after] :
             {std::pair{Qt::Key_Up, "DCBEA"}, std::pair{Qt::Key_Up, "CDBEA"},
              std::pair{Qt::Key_Up, "CDBEA"}, std::pair{Qt::Key_Down, "DCBEA"}}) {
            QTest::keyClick(l, key, Qt::AltModifier);
            QCOMPARE(order(), QString::fromLatin1(after));
        }
        QCOMPARE(w.view.selection(), QSet<QUuid>{w.e.playlist().at(1).id});
        QCOMPARE(l->currentIndex().row(), 1); // the cursor went along
        // Without Alt the arrows still walk the rows.
        QTest::keyClick(l, Qt::Key_Down);
        QCOMPARE(w.view.selection(), QSet<QUuid>{w.e.playlist().at(2).id});
        QCOMPARE(stored(), QStringLiteral("DCBEA"));
        // Next follows the new order (from B, still current).
        QTest::keyClick(l, Qt::Key_Right, Qt::ControlModifier);
        QCOMPARE(w.e.currentTrack()->title, QStringLiteral("E"));

        // Shift+click chooses the rows from the last one clicked, Ctrl+click takes one out;
        // rows apart are dragged together and close up in their order.
        w.click(0);
        QTest::mouseClick(l->viewport(), Qt::LeftButton, Qt::ShiftModifier, at(2));
        QCOMPARE(w.view.selection().size(), 3);
        QTest::mouseClick(l->viewport(), Qt::LeftButton, Qt::ControlModifier, at(1));
        QCOMPARE(w.view.selection(),
                 (QSet<QUuid>{w.e.playlist().at(0).id, w.e.playlist().at(2).id}));
        drag(at(2), at(4, 0.8));
        QCOMPARE(order(), QStringLiteral("CEADB"));
        QCOMPARE(stored(), QStringLiteral("CEADB"));
    }

    void playlistFilterFindsAcrossScriptsAndActsOnWhatIsShown() {
        KeyWindow w;
        QVERIFY(w.active());
        PlaylistPanel* panel = w.view.playlistPanel();
        QLineEdit* field = panel->filterField();
        QList<Track> list = w.f.tracks(
            {"Ёлка", "Café del Mar", "Звезда по имени Солнце", "Кукушка", "Blue Monday", "Elegie"},
            60);
        list[0].artist = "Линда";
        list[1].artist = "Energy 52";
        list[2].artist = "Кино";
        list[3].artist = "КИНО";
        list[4].artist = "New Order";
        list[4].setPath("/music/Новый Порядок - Blue Monday.mp3");
        list[5].artist = "Fauré";
        list[5].setPath("/music/élégie-op24.flac");
        w.e.setPlaylist(list);
        QListView* l = w.list();
        auto shown = [&] {
            QStringList titles;
            for (int r = 0; r < l->model()->rowCount(); ++r)
                titles.append(l->model()->index(r, 0).data().toString());
            return titles;
        };
        auto type = [&](const QString& text) {
            field->selectAll();
            QTest::keyClick(field, Qt::Key_Backspace);
            for (const QChar c : text) // key by key, Cyrillic too
                QTest::sendKeyEvent(QTest::Click, field, Qt::Key(c.toUpper().unicode()), QString(c),
                                    {});
        };
        QCOMPARE(panel->footerText(), QStringLiteral("6 tracks · 6:00"));

        // Ctrl+F goes to the field; what is typed narrows the rows.
        l->setFocus(Qt::TabFocusReason);
        QTest::keyClick(l, Qt::Key_F, Qt::ControlModifier);
        QVERIFY(field->hasFocus());
        type("кино");
        QCOMPARE(shown(), (QStringList{"Звезда по имени Солнце", "Кукушка"}));
        QCOMPARE(panel->footerText(), QStringLiteral("2 of 6 tracks"));
        // ё is found as е and the other way round, é as e; every word counts, anywhere in the
        // title, the artist or the file name. The same before the list has made its keys in the
        // background (words typed at once make those they need) and after.
        for (const bool keysMade : {false, true}) {
            if (keysMade) {
                // The same tracks read anew: their keys are made again, in the background.
                field->clear();
                w.e.setPlaylist(w.e.playlist());
                QVERIFY(!panel->model()->keysReady());
                QTRY_VERIFY(panel->model()->keysReady());
            }
            for (const auto& [typed, found] :
                 {std::pair{"елка", "Ёлка"}, std::pair{"ЁЛ", "Ёлка"},
                  std::pair{"cafe", "Café del Mar"}, std::pair{"faure ELEGIE", "Elegie"},
                  std::pair{"OP24", "Elegie"}, std::pair{"порядок", "Blue Monday"},
                  std::pair{"  order   blue ", "Blue Monday"},
                  std::pair{"звезда солнце кино", "Звезда по имени Солнце"}}) {
                type(QString::fromUtf8(typed));
                QCOMPARE(shown(), QStringList{QString::fromUtf8(found)});
            }
        }
        type("mar кино"); // words from two tracks find neither
        QVERIFY(shown().isEmpty());
        QCOMPARE(panel->footerText(), QStringLiteral("0 of 6 tracks"));
        // The numbers are the places in the whole playlist.
        type("e");
        QCOMPARE(shown(), (QStringList{"Café del Mar", "Blue Monday", "Elegie"}));
        QCOMPARE(l->model()->index(1, 0).data(PlaylistModel::PlaylistIndexRole).toInt(), 4);

        // Removing while filtered removes the chosen row, not the one at its place in the whole.
        w.click(1); // Blue Monday, the fifth track
        QTest::mouseClick(panel->removeButton(), Qt::LeftButton);
        QCOMPARE(w.e.playlist().size(), 5);
        for (const Track& t : w.e.playlist())
            QVERIFY(t.title != QStringLiteral("Blue Monday"));
        QCOMPARE(w.e.playlist().at(1).title, QStringLiteral("Café del Mar"));
        QCOMPARE(shown(), (QStringList{"Café del Mar", "Elegie"}));
        QCOMPARE(panel->footerText(), QStringLiteral("2 of 5 tracks"));
        // (Delete presses the same button: tst_keys.)

        // Return plays the chosen shown row; next and previous go through the whole list.
        type("кукушка");
        w.click(0);
        l->setFocus(Qt::TabFocusReason);
        QTest::keyClick(l, Qt::Key_Return);
        QCOMPARE(w.e.currentTrack()->title, QStringLiteral("Кукушка"));
        QTest::keyClick(l, Qt::Key_Right, Qt::ControlModifier);
        QCOMPARE(w.e.currentTrack()->title, QStringLiteral("Elegie"));
        QTest::keyClick(l, Qt::Key_Left, Qt::ControlModifier);
        QTest::keyClick(l, Qt::Key_Left, Qt::ControlModifier);
        QCOMPARE(w.e.currentTrack()->title, QStringLiteral("Звезда по имени Солнце"));
        // A double click plays the row it is on.
        type("ёлка");
        w.click(0, true);
        QCOMPARE(w.e.currentTrack()->title, QStringLiteral("Ёлка"));
        // Return in the field with nothing chosen plays the first row found.
        QTest::keyClick(l, Qt::Key_F, Qt::ControlModifier);
        QVERIFY(field->hasFocus());
        type("звезда");
        QVERIFY(w.view.selection().isEmpty()); // what the filter hid left the selection
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(w.e.currentTrack()->title, QStringLiteral("Звезда по имени Солнце"));

        // Escape clears the filter and gives the rows back.
        QTest::keyClick(field, Qt::Key_Escape);
        QVERIFY(field->text().isEmpty());
        QCOMPARE(shown().size(), 5);
        QCOMPARE(panel->footerText(), QStringLiteral("5 tracks · 5:00"));
        QVERIFY(l->hasFocus());

        // Down from the field goes into the rows found.
        QTest::keyClick(l, Qt::Key_F, Qt::ControlModifier);
        type("кино");
        QTest::keyClick(field, Qt::Key_Down);
        QVERIFY(l->hasFocus());
        QCOMPARE(w.view.selection(), QSet<QUuid>{w.e.playlist().at(2).id}); // Звезда, by Кино

        // Tracks that arrive while filtered show when they match; a reorder keeps the filter.
        type("кино");
        QList<Track> more = w.e.playlist();
        more.append(w.f.tracks({"Кино в декабре", "Other"}));
        w.e.setPlaylist(more);
        QCOMPARE(shown(), (QStringList{"Звезда по имени Солнце", "Кукушка", "Кино в декабре"}));
        w.e.move({w.e.playlist().last().id, w.e.playlist().at(5).id}, 0);
        QCOMPARE(shown(), (QStringList{"Кино в декабре", "Звезда по имени Солнце", "Кукушка"}));
        // The current track, hidden by the filter, stays current and playing.
        QCOMPARE(w.e.currentTrack()->title, QStringLiteral("Звезда по имени Солнце"));
        QVERIFY(w.e.isPlaying());

        // Thousands of rows that come and mostly go again: the keys' text is compacted once
        // most of it is unused, and the rows left are still found by their own words.
        const QList<Track> kept = w.e.playlist();
        QStringList fillers;
        for (int i = 0; i < 4000; ++i)
            fillers.append(QStringLiteral("Filler %1 of a longer title").arg(i));
        QList<Track> grown = kept + w.f.tracks(fillers);
        w.e.setPlaylist(grown);
        w.e.setPlaylist(kept + grown.mid(grown.size() - 1));
        QCOMPARE(shown(), (QStringList{"Кино в декабре", "Звезда по имени Солнце", "Кукушка"}));
        type("3999 filler");
        QCOMPARE(shown(), QStringList{"Filler 3999 of a longer title"});
    }

    void filesChangedSinceTheLastRunShowWhenTheirRowsAreShownOrSearched() {
        // A start shows the stored list as an earlier run read it. A file rewritten in place
        // since (a tag editor's save) is read again when its row comes on screen, or when a
        // search runs; the rows nobody looks at cost no look at their files.
        QTemporaryDir music;
        QStringList names;
        for (int i = 0; i < 80; ++i)
            names.append(QStringLiteral("song %1.mp3").arg(i, 2, 10, QLatin1Char('0')));
        auto reads = std::make_shared<std::atomic<int>>(0);
        auto loader = [reads](const QString& mark) -> TrackLoader {
            return [reads, mark](const QUrl& url, const QString&) {
                reads->fetch_add(1);
                return Track(url.toLocalFile(), mark + url.fileName(), QStringLiteral("Artist"),
                             100, {}, {QStringLiteral("MP3"), 320, -1, 0});
            };
        };
        EngineFixture f;
        f.metadataCachePath = f.dir.filePath(QStringLiteral("cache/playlist-metadata"));
        f.start(loader(QStringLiteral("old ")))
            .add(placeholderFiles(music, names));
        QTRY_COMPARE(f.engine->playlist().size(), names.size());
        f.engine.reset();
        for (const QString& name : {names.first(), names.last()}) { // same inode, other bytes
            QFile file(music.filePath(name));
            QVERIFY(file.open(QIODevice::ReadWrite));
            QCOMPARE(file.write("NEW BYTES"), 9);
        }
        reads->store(0);

        AudioEngine& e = f.start(loader(QStringLiteral("new ")));
        f.clock.advance(1); // the listing of the folder (nothing to tell there)
        WindowViews w(e, f.settings.get());
        QTRY_COMPARE(titles(e).first(), QStringLiteral("new song 00.mp3"));
        QVERIFY(!w.list()->visualRect(w.list()->model()->index(79, 0)).intersects(
            w.list()->viewport()->rect()));
        QCOMPARE(titles(e).last(), QStringLiteral("old song 79.mp3"));
        QCOMPARE(reads->load(), 1);

        // A search finds the file by what it says now.
        QLineEdit* field = w.view.playlistPanel()->filterField();
        QTest::keyClicks(field, QStringLiteral("new"));
        QTRY_COMPARE(w.list()->model()->rowCount(), 2);
        QCOMPARE(w.list()->model()->index(1, 0).data().toString(),
                 QStringLiteral("new song 79.mp3"));
        QCOMPARE(reads->load(), 2);
    }

    void stationRowsSelectAndShowTheirTexts() {
        WindowFixture w;
        w.e.setMode(PlayerMode::Radio);
        RadioPanel* panel = w.view.radioPanel();
        QListView* list = panel->list();
        QVERIFY(!panel->removeButton()->isEnabled());
        clickRow(list, 3);
        QCOMPARE(panel->selection(), QSet<QUuid>{w.e.stations().at(3).id});
        QVERIFY(panel->removeButton()->isEnabled());
        // (A double click plays: tst_onair; Delete and a row's menu remove: tst_keys, tst_window.)
        RowLook look = RadioRow::look(w.e.stations().at(1), 1, true, false, "Buffering…");
        QCOMPARE(look.markSymbol, QStringLiteral("radio-waves"));
        QCOMPARE(look.trailing, QStringLiteral("Buffering…"));
        QCOMPARE(RadioRow::look(w.e.stations().at(2), 2, false, false, "x").trailing, QString());
        QCOMPARE(RadioRow::look(w.e.stations().at(2), 2, false, false, "x").mark,
                 QStringLiteral("03"));
        w.e.setStations({});
        QVERIFY(panel->showsEmptyState());
        QCOMPARE(panel->footerText(), QStringLiteral("0 stations"));
        QCOMPARE(panel->emptyText(), QStringLiteral("Click “+” to add a station"));

        // A name holding a line break is drawn on the row's one line, as with a space.
        auto render = [&](const QString& name) {
            QImage image(400, 40, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter p(&image);
            RowLook look;
            look.mark = "01";
            look.name = name;
            paintRow(p, image.rect(), look, w.theme, list->font());
            return image;
        };
        QCOMPARE(render("Строка\nс переводом"), render("Строка с переводом"));
    }

    void glowBarReportsFractionsAndDrawsClamped() {
        Theme theme;
        GlowBar bar(&theme);
        bar.resize(216, bar.height()); // a 200-wide bar
        bar.show();
        QList<double> seen;
        bar.setOnChange([&](double f) { seen.append(f); });
        // (A press inside reports at once, before any movement: the panel's seek by a press.)
        pressBar(bar, -5);
        pressBar(bar, 205);
        QCOMPARE(seen, (QList<double>{0.0, 1.0}));
        QTest::mousePress(&bar, Qt::LeftButton, {}, QPoint(GlowBar::margin + 20, 10));
        QMouseEvent move(QEvent::MouseMove, QPointF(GlowBar::margin + 150, 10),
                         QPointF(GlowBar::margin + 150, 10), Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(&bar, &move);
        QTest::mouseRelease(&bar, Qt::LeftButton, {}, QPoint(GlowBar::margin + 150, 10));
        QCOMPARE(seen.mid(2), (QList<double>{0.1, 0.75}));
        QCOMPARE(bar.value(), 0.0); // it never changes its own value

        const std::pair<double, double> fills[] = {{0, 0},    {1, 200},          {1.7, 200},
                                                   {-0.3, 0}, {std::nan(""), 0}, {0.25, 50}};
        for (const auto& [value, width] : fills) {
            bar.setValue(value);
            QCOMPARE(bar.fillWidth(), width);
        }
    }

    void timesAreTruncatedToMinutesOrHours() {
        const std::pair<double, const char*> cases[] = {
            {0.99, "0:00"},
            {59.999, "0:59"},
            {600, "10:00"},
            {3599, "59:59"},
            {3600, "1:00:00"},
            {90000, "25:00:00"},
            {std::nan(""), "0:00"},
            {std::numeric_limits<double>::infinity(), "0:00"},
            {-std::numeric_limits<double>::infinity(), "0:00"}};
        for (const auto& [seconds, text] : cases)
            QCOMPARE(timeString(seconds), QString::fromUtf8(text));
        timeString(1e300); // out of range: any text, no crash
    }

    void aRowKeepsAThumbnailAndTheCurrentHeaderTheFullCover() {
        // A cover far larger than anything a row shows.
        const QString path = toneFile(dir_, "cover.wav");
        QVERIFY(writeTags(path, {"Song", "Band", pngBytes(1000, 800)}));
        WindowFixture w;
        w.e.add({QUrl::fromLocalFile(path)});
        QTRY_COMPARE(w.e.playlist().size(), 1);
        const QSize thumbnail(Track::thumbnailSide, Track::thumbnailSide);

        // Played, the header shows the picture itself, read again from the file; the row
        // holds only its thumbnail (as tst_trackload's read makes it).
        w.e.play(w.e.playlist().at(0));
        PlayerPanel* panel = w.view.playerPanel();
        QCOMPARE(panel->artwork()->kind(), ArtworkView::Kind::Cover);
        QTRY_COMPARE(panel->artwork()->pictureSize(), QSize(1000, 800));
        QCOMPARE(w.e.currentArtwork(), pngBytes(1000, 800));
        QCOMPARE(QImage::fromData(w.e.playlist().at(0).artwork).size(), thumbnail);
        // Another item current: the full cover is let go.
        w.e.play(w.e.stations().at(0));
        QVERIFY(w.e.currentArtwork().isEmpty());
        QCOMPARE(panel->artwork()->pictureSize(), QSize());
    }

    void playerPanelShowsTrackStationVolumeAndMode() {
        WindowFixture w;
        PlayerPanel* panel = w.view.playerPanel();
        QCOMPARE(panel->headerLines(), (QStringList{"Orvane", "Select a track", ""}));
        QCOMPARE(panel->progressTexts(), (QStringList{"0:00", "0:00"})); // nothing loaded
        QCOMPARE(panel->artwork()->kind(), ArtworkView::Kind::Note);
        QCOMPARE(panel->volumeText(), QStringLiteral("73%"));
        QCOMPARE(panel->speakerSymbol(), QStringLiteral("speaker-waves"));

        QList<Track> list = w.f.tracks({"Long"}, 3725);
        list[0].technical = {"MP3", 320, 44, 2}; // "MP3 · 320 kbps · 44 kHz · Stereo"
        w.e.setPlaylist(list);
        w.e.play(w.e.playlist().at(0));
        w.f.clock.advance(125.4);
        QCOMPARE(panel->headerLines(),
                 (QStringList{"", "Long", "MP3 · 320 kbps · 44 kHz · Stereo"}));
        QCOMPARE(panel->progressTexts(), (QStringList{"2:05", "1:02:05"}));
        QVERIFY(std::abs(panel->progressBar()->value() - 125.4 / 3725) < 1e-9);
        pressBar(*panel->progressBar(), panel->progressBar()->barRect().width() / 2);
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

        // The mode switch shows the other list and leaves the track playing (the switch's
        // selected state: tst_accessibility's mode tabs).
        QTest::mouseClick(panel->radioButton(), Qt::LeftButton);
        QCOMPARE(w.e.mode(), PlayerMode::Radio);
        QVERIFY(w.e.isPlaying() && !w.f.lastFile()->stopped);
        QVERIFY(w.view.radioPanel()->isVisible() && !w.view.playlistPanel()->isVisible());
        QCOMPARE(w.view.radioPanel()->footerText(), QStringLiteral("6 stations"));
        QTest::mouseClick(panel->libraryButton(), Qt::LeftButton);
        QVERIFY(w.view.playlistPanel()->isVisible());

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

        // A name of three lines and more shows two whole lines, the second ending in "…".
        QList<RadioStation> stations = w.e.stations();
        stations[2].name = QStringLiteral("Государственная радиостанция «Маяк» —\nпрямой эфир "
                                          "круглые сутки, новости, музыка и разговоры");
        w.e.setStations(stations);
        ElidedLabel* title = panel->titleLabel();
        QTRY_COMPARE(panel->headerLines().at(0), stations[2].name);
        QTRY_COMPARE(title->text().count(QLatin1Char('\n')), 1);
        const QStringList shown = title->text().split(QLatin1Char('\n'));
        QVERIFY2(shown.last().endsWith(QChar(0x2026)), qPrintable(title->text()));
        for (const QString& line : shown)
            QVERIFY(title->fontMetrics().horizontalAdvance(line) <= title->contentsRect().width());
        QCOMPARE(title->height(), title->fontMetrics().lineSpacing() * 2);
        QCOMPARE(title->toolTip(), stations[2].name.simplified()); // whole in the tooltip
        QCOMPARE(panel->artwork()->toolTip(), QString());

        // A track with an album: the title, then "Artist — Album".
        list = w.f.tracks({"Song"}, 200);
        list[0].artist = "Band";
        list[0].album = "Record";
        w.e.setPlaylist(list);
        w.e.play(w.e.playlist().at(0));
        QCOMPARE(panel->headerLines().mid(0, 2), (QStringList{"Song", "Band — Record"}));
        QVERIFY(panel->titleLabel()->toolTip().isEmpty()); // nothing cut: no tooltip
    }

    void closedOrMinimizedWindowRestsTheClockAndTheMeter() {
        // The window tells the engine when its views are shown (what the engine then rests, the
        // clock and the player's meter, tst_audioengine checks), and shows the time at once.
        EngineFixture f;
        AudioEngine& e = f.start();
        ViewServices s(f.settings.get());
        MainWindow window(&e, &s.catalog, &s.prefs, &s.theme);
        PlayerPanel* panel = window.content()->playerPanel();
        QVERIFY(!e.viewsShown()); // made, not yet shown
        e.setPlaylist(f.tracks({"a"}, 600));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(e.viewsShown());
        e.play(e.playlist().at(0));
        window.close(); // it only hides
        QVERIFY(!window.isVisible() && e.isPlaying());
        QVERIFY(!e.viewsShown());
        f.clock.advance(30);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(e.viewsShown());
        QCOMPARE(panel->progressTexts().at(0), QStringLiteral("0:30")); // in the first frame
        window.setWindowState(Qt::WindowMinimized);
        QVERIFY(!e.viewsShown());
        f.clock.advance(5);
        window.setWindowState(Qt::WindowNoState);
        QVERIFY(e.viewsShown());
        QCOMPARE(panel->progressTexts().at(0), QStringLiteral("0:35"));
    }

    void levelBars() {
        // The bars' view is opaque: it draws the window's background and the panel's veil
        // itself. What it draws must follow the appearance and the window's size.
        WindowFixture w;
        VisualizerView* bars = w.view.playerPanel()->visualizer();
        QTRY_VERIFY(bars->isVisible());

        // Each new level is drawn halfway, then whole. The whole step is drawn as the next
        // level comes (at its tick, with no wake-up of its own), and by itself when none comes.
        w.e.setPlaylist(w.f.tracks({"a"}));
        w.e.play(w.e.playlist().at(0));
        auto player = w.f.lastFile();
        const auto newest = [&] { return bars->shown().first(); };
        const double before = newest();
        player->power = -27.5f; // a level of 0.5
        w.f.clock.advance(0.05);
        QCOMPARE(w.e.levels().first(), 0.5);
        QVERIFY(QTest::qWaitFor([&] { return newest() > before; }, 5000));
        QVERIFY(newest() == (before + 0.5) / 2 || newest() == 0.5);
        if (newest() == 0.5)
            qInfo("too slow a machine to see the halfway step before the whole one");
        player->power = 0.0f; // 1.0
        w.f.clock.advance(0.05);
        QCOMPARE(newest(), 0.5);
        QVERIFY(QTest::qWaitFor([&] { return newest() > 0.5; }, 5000));
        QVERIFY(newest() == 0.75 || newest() == 1.0);
        QVERIFY(QTest::qWaitFor([&] { return newest() == 1.0; }, 5000));
        QCOMPARE(bars->shown().at(1), 0.5);
        const auto blends = [&] {
            const QImage shot = w.view.grab().toImage();
            const QPoint corner = bars->mapTo(&w.view, QPoint(0, 0));
            // The top row of the bars' frame (no bar reaches it) and the panel just above it.
            const QColor inside = shot.pixelColor(corner + QPoint(1, 0));
            const QColor above = shot.pixelColor(corner + QPoint(1, -2));
            return std::abs(inside.red() - above.red()) <= 3 &&
                   std::abs(inside.green() - above.green()) <= 3 &&
                   std::abs(inside.blue() - above.blue()) <= 3;
        };
        QVERIFY(blends());
        w.theme.setDark(!w.theme.isDark());
        QVERIFY(blends());
        w.view.resize(1100, 760);
        QTRY_VERIFY(blends());
    }

    void playerColumnAndListsShareTheWindowsLook() {
        WindowFixture w;
        PlayerPanel* panel = w.view.playerPanel();
        QTRY_VERIFY(panel->progressBar()->isVisible());
        // The bars line up with the artwork and the boxes: the pointer's margin lies above and
        // below, not at the sides.
        auto x = [panel](QWidget* widget, double at) {
            return widget->mapTo(panel, QPoint(0, 0)).x() + at;
        };
        GlowBar* progress = panel->progressBar();
        QWidget* controls = panel->playButton()->parentWidget();
        const double left = x(panel->artwork(), 0);
        QCOMPARE(x(progress, progress->barRect().left()), left);
        QCOMPARE(x(controls, 0), left);
        QCOMPARE(x(progress, progress->barRect().right()), x(controls, controls->width()));
        QWidget* volumeBox = panel->volumeBar()->parentWidget();
        QCOMPARE(x(volumeBox, 0), left);
        QCOMPARE(volumeBox->height(), 40);

        // The footer's buttons stand apart; the list's scroll bar is slim and has no arrows.
        w.e.setPlaylist(w.f.tracks(QStringList(60, "x")));
        PlaylistPanel* list = w.view.playlistPanel();
        QVERIFY(list->removeButton()->geometry().left() - list->addButton()->geometry().right() >
                4);
        QScrollBar* bar = w.list()->verticalScrollBar();
        QTRY_VERIFY(bar->isVisible());
        QVERIFY2(bar->width() <= 10, qPrintable(QString::number(bar->width())));
        QStyleOptionSlider option;
        option.initFrom(bar);
        option.orientation = Qt::Vertical;
        option.minimum = bar->minimum();
        option.maximum = bar->maximum();
        option.sliderPosition = bar->sliderPosition();
        option.sliderValue = bar->value();
        option.pageStep = bar->pageStep();
        option.singleStep = bar->singleStep();
        option.subControls = QStyle::SC_All;
        for (const auto control : {QStyle::SC_ScrollBarAddLine, QStyle::SC_ScrollBarSubLine})
            QVERIFY(bar->style()
                        ->subControlRect(QStyle::CC_ScrollBar, &option, control, bar)
                        .height() <= 0);
    }

    void addStationSheetRules() {
        // Any scheme that begins with "http" is taken (the fields below show http, https, none
        // and an empty address; tst_window's editor ftp).
        QVERIFY(AddStationSheet::acceptsAddress("httpx://odd"));

        HttpTestServer server;
        QVERIFY(server.listen());
        WindowFixture w;
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

        // Return in the name or address field adds (when Add is enabled) and keeps the sheet
        // open: no address yet, an address refused, then two that are taken.
        struct Typed {
            const char *name, *url;
            bool inUrl;
            qsizetype added;
        };
        for (const auto& [name, url, inUrl, added] :
             {Typed{"Typed", "", false, 1}, Typed{"Typed", "example.com/s", true, 1},
              Typed{"Typed", "http://typed.example/s", true, 2},
              Typed{"By name", "http://name.example/s", false, 3}}) {
            sheet.nameField()->setText(name);
            sheet.urlField()->setText(url);
            QTest::keyClick(inUrl ? sheet.urlField() : sheet.nameField(), Qt::Key_Return);
            QVERIFY(sheet.isVisible());
            QCOMPARE(w.e.stations().size(), before + added);
            if (added > 1)
                QCOMPARE(w.e.stations().last().name, QString::fromUtf8(name));
        }

        // Spaces only: no search, Return does nothing.
        sheet.queryField()->setText("  \t ");
        QVERIFY(!sheet.findButton()->isEnabled());
        QTest::keyClick(sheet.queryField(), Qt::Key_Return);
        QVERIFY(!sheet.isSearching());
        QVERIFY(server.requests.isEmpty());
        QVERIFY(sheet.isVisible());

        // Searched with its spaces; results keep their ids; check marks by exact address.
        const QString longName = QString("Радиостанция с очень длинным названием ").repeated(4);
        const QByteArray body =
            "[{\"name\":\"Known\",\"url_resolved\":\"https://stream.example/live\"},"
            "{\"name\":\"Case\",\"url_resolved\":\"https://STREAM.example/live\"},"
            "{\"name\":\"New\",\"url_resolved\":\"http://new.example/s\"},"
            "{\"name\":\"" +
            longName.toUtf8() + "\",\"url_resolved\":\"http://long.example/" +
            QByteArray(300, 'x') + "\"}]";
        server.route(
            "/json/stations/byname/%20jazz%20?limit=25&hidebroken=true&order=votes&reverse=true",
            {200, "application/json", body});
        sheet.queryField()->setText(" jazz ");
        QTest::keyClick(sheet.queryField(), Qt::Key_Return);
        QVERIFY(sheet.isSearching());
        QVERIFY(sheet.isVisible()); // the results are to be seen
        QTRY_VERIFY(!sheet.isSearching());
        QVERIFY(sheet.isVisible());
        QList<SearchResultRow*> rows = sheet.resultRows();
        QCOMPARE(rows.size(), 4);
        QVERIFY(rows.at(0)->isAdded());
        QVERIFY(!rows.at(1)->isAdded());
        QVERIFY(!rows.at(2)->isAdded());

        // A long result elides within the list: its add button shows whole, nothing scrolls
        // sideways.
        auto* scroll = sheet.findChild<QScrollArea*>();
        QVERIFY(scroll);
        QTRY_VERIFY(rows.at(3)->addButton()->isVisible());
        QWidget* viewport = scroll->viewport();
        const QRect button(rows.at(3)->addButton()->mapTo(viewport, QPoint(0, 0)),
                           rows.at(3)->addButton()->size());
        QVERIFY2(viewport->rect().contains(button),
                 qPrintable(QString("%1 in %2").arg(button.right()).arg(viewport->width())));
        QVERIFY(!scroll->horizontalScrollBar()->isVisible());
        auto* name = rows.at(3)->findChild<QLabel*>("name");
        QVERIFY(name->text().endsWith(QChar(0x2026)));
        QVERIFY(name->fontMetrics().horizontalAdvance(name->text()) <= name->width());

        const QUuid id = sheet.results().at(2).id;
        QTest::mouseClick(rows.at(2)->addButton(), Qt::LeftButton);
        QCOMPARE(w.e.stations().last().id, id);
        QTRY_VERIFY(sheet.resultRows().size() == 4 && sheet.resultRows().at(2)->isAdded());

        server.route("/json/stations/byname/zzz?limit=25&hidebroken=true&order=votes&reverse=true",
                     {200, "application/json", "[]"});
        sheet.queryField()->setText("zzz");
        QTest::keyClick(sheet.queryField(), Qt::Key_Return);
        QTRY_VERIFY(sheet.showsNothingFound());
        QCOMPARE(sheet.resultNote(), QStringLiteral("Nothing found")); // a real empty answer
        QVERIFY(sheet.isVisible());

        // Escape closes, and so does Return outside the fields.
        QTest::keyClick(&sheet, Qt::Key_Escape);
        QVERIFY(!sheet.isVisible());
        sheet.show();
        sheet.findButton()->setFocus();
        QTest::keyClick(sheet.findButton(), Qt::Key_Return);
        QVERIFY(!sheet.isVisible());
    }

    void dropsAreFilteredWalkedAndSortedNaturally() {
        const QString folder = dir_.filePath("drop");
        touch("drop/b.mp3");
        touch("drop/A.flac");
        touch("drop/cover.jpg");
        touch("drop/sub/c.wav");
        touch("drop/.hidden/Z.m4a");
        QVERIFY(QFile::link(folder, dir_.filePath("drop/sub/loop"))); // a link back up
        // An old Latin-1 folder and file name ("Café/été.mp3" in single bytes): not UTF-8.
        const QByteArray latin1 = QFile::encodeName(folder) + "/Caf\xe9";
        QCOMPARE(::mkdir(latin1.constData(), 0755), 0);
        const int fd = ::open((latin1 + "/\xe9t\xe9.mp3").constData(), O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        const QList<QUrl> found = AudioFiles::collect({QUrl::fromLocalFile(folder)});
        QStringList names;
        bool latin1Found = false;
        for (const QUrl& u : found) {
            if (encodeFileName(u.toLocalFile()) == latin1 + "/\xe9t\xe9.mp3")
                latin1Found = true;
            else
                names << QFileInfo(u.toLocalFile()).fileName();
        }
        QCOMPARE(names, (QStringList{"A.flac", "b.mp3", "c.wav", "Z.m4a"}));
        QVERIFY(latin1Found);

        const QList<QUrl> numbered = AudioFiles::collect(
            {QUrl::fromLocalFile(touch("10 x.mp3")), QUrl::fromLocalFile(touch("9 x.mp3")),
             QUrl::fromLocalFile(touch("Song.MP3")), QUrl::fromLocalFile(touch("old.aif")),
             QUrl::fromLocalFile(touch("noext"))});
        QCOMPARE(numbered, (QList<QUrl>{QUrl::fromLocalFile(dir_.filePath("9 x.mp3")),
                                        QUrl::fromLocalFile(dir_.filePath("10 x.mp3")),
                                        QUrl::fromLocalFile(dir_.filePath("Song.MP3"))}));

        WindowFixture w;
        QVERIFY(!w.view.handleDrop({QUrl::fromLocalFile(touch("notes.txt"))}));
        QVERIFY(settle(w.e)); // a walk or a read it had started would have shown by now
        QVERIFY(w.e.playlist().isEmpty());

        w.e.setMode(PlayerMode::Radio);
        QSignalSpy added(&w.view, &ContentView::dropAdded);
        QVERIFY(w.view.handleDrop({QUrl::fromLocalFile(folder)}));
        QTRY_COMPARE(added.count(), 1);
        QTRY_COMPARE(w.e.playlist().size(), 5);
        QVERIFY(w.view.handleDrop({QUrl::fromLocalFile(decodeFileName(latin1))})); // by itself
        QTRY_COMPARE(w.e.playlist().size(), 6);
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

    void playlistFilesAddInOrderOfferStationsAndSaveRoundTrip() {
        const QString a = touch("lists/a.mp3"), b = touch("lists/sub/b.flac");
        const QString c = touch("lists/c d.ogg"), elsewhere = touch("other/é.opus");
        const QString m3u = dir_.filePath("lists/mix.m3u8");
        QFile file(m3u);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // An absolute path, a relative one, a file:// URL with percent-encoding, one that is
        // gone, three streams, the playlist itself (a loop) and a line with a NUL.
        file.write("\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:12,Artist - A\r\n" + a.toUtf8() +
                   "\r\nsub/b.flac\n" + QUrl::fromLocalFile(c).toEncoded() +
                   "\ngone.mp3\n#EXTINF:-1,Radio One\nhttp://127.0.0.1:9/one\n"
                   "https://127.0.0.1:9/two\nhttp://127.0.0.1:9/three.pls\nmix.m3u8\n" +
                   QByteArray("x\0y.mp3\n", 8) + elsewhere.toUtf8() + "\n");
        file.close();

        WindowFixture w;
        const qsizetype stations = w.e.stations().size();
        QSignalSpy offered(&w.view, &ContentView::stationsOffered);
        QVERIFY(w.view.handleDrop({QUrl::fromLocalFile(m3u)}));
        QTRY_COMPARE(offered.count(), 1);
        QTRY_COMPARE(w.e.playlist().size(), 4);
        QStringList paths;
        for (const Track& t : w.e.playlist())
            paths << t.path();
        QCOMPARE(paths, (QStringList{a, b, c, elsewhere}));
        // The streams wait for the question's answer, asked in the window.
        QCOMPARE(w.e.stations().size(), stations);
        QVERIFY(w.view.questionBar()->isVisible());
        QCOMPARE(w.view.questionBar()->text(), QStringLiteral("Add 3 stations?"));
        QTest::mouseClick(w.view.questionBar()->yesButton(), Qt::LeftButton);
        QCOMPARE(w.e.stations().size(), stations + 3);
        QCOMPARE(w.e.stations().at(stations).name, QStringLiteral("Radio One"));
        QCOMPARE(w.e.stations().last().url, QStringLiteral("http://127.0.0.1:9/three.pls"));
        QVERIFY(!w.view.questionBar()->isVisible());

        // Saved (Ctrl+S) as .m3u8 and as .xspf, cleared, opened again: the same files in the
        // same order.
        for (const char* name : {"lists/saved.m3u8", "lists/saved.xspf"}) {
            const QString saved = dir_.filePath(name);
            w.view.setSaveChooser([saved] { return saved; });
            w.view.savePlaylistAction()->trigger();
            QFile written(saved);
            QVERIFY(written.open(QIODevice::ReadOnly));
            const QByteArray text = written.readAll();
            if (saved.endsWith(".m3u8")) {
                QVERIFY2(text.startsWith("#EXTM3U\n#EXTINF:-1,a\na.mp3\n"), text.constData());
                QVERIFY2(text.contains("\nsub/b.flac\n") && text.contains("\nc d.ogg\n") &&
                             text.contains("\n" + elsewhere.toUtf8() + "\n"),
                         text.constData());
            } else {
                QVERIFY2(text.contains("<location>sub/b.flac</location>") &&
                             text.contains("<location>c%20d.ogg</location>"),
                         text.constData());
            }
            QSet<QUuid> all;
            for (const Track& t : w.e.playlist())
                all.insert(t.id);
            w.e.remove(all);
            QVERIFY(w.e.playlist().isEmpty());
            w.view.setFileChooser([saved] { return QList<QUrl>{QUrl::fromLocalFile(saved)}; });
            w.view.openFiles();
            QTRY_COMPARE(w.e.playlist().size(), 4);
            QStringList again;
            for (const Track& t : w.e.playlist())
                again << t.path();
            QCOMPARE(again, paths);
        }

        // A save that cannot be written says so in the window.
        w.view.setSaveChooser([this] { return dir_.filePath("no/such/folder/x.m3u8"); });
        w.view.savePlaylistAction()->trigger();
        QVERIFY(w.view.playlistPanel()->noticeBar()->isVisible());
    }

    void openDialogAddsInItsOwnOrder() {
        WindowFixture w;
        const QList<QUrl> chosen{QUrl::fromLocalFile(touch("z.mp3")),
                                 QUrl::fromLocalFile(touch("a.aif"))};
        w.view.setFileChooser([chosen] { return chosen; });
        QTest::mouseClick(w.view.playlistPanel()->addButton(), Qt::LeftButton);
        QTRY_COMPARE(w.e.playlist().size(), 2);
        QCOMPARE(w.e.playlist().at(0).title, QStringLiteral("z"));
        QCOMPARE(w.e.playlist().at(1).title, QStringLiteral("a")); // .aif through the dialog

        // The real dialog offers the six kinds, in the interface's language, and all files.
        w.view.setFileChooser({});
        w.prefs.setLanguage("ru");
        QStringList filters;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                filters = dialog->nameFilters();
                dialog->reject();
            }
        });
        poll.start(20);
        QTest::mouseClick(w.view.playlistPanel()->addButton(), Qt::LeftButton);
        poll.stop();
        QCOMPARE(filters, (QStringList{"Аудиофайлы (*.mp3 *.m4a *.aac *.wav *.aiff *.flac *.ogg "
                                       "*.oga *.opus *.wv *.m3u *.m3u8 *.pls *.xspf)",
                                       "Все файлы (*)"}));
        QCOMPARE(w.e.playlist().size(), 2);
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
