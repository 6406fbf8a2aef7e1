// The window's keys and the pointer's other ways in, offscreen: Space, Return and the arrows,
// buttons that give up the keyboard, the wheel, the speaker, the playlist's selection from the
// keyboard, whole texts in tooltips, and the window's commands over the add-station sheet.
#include "support/windowfixture.h"
#include "ui/addstationsheet.h"
#include "ui/buttons.h"
#include "ui/contentview.h"
#include "ui/glowbar.h"
#include "ui/mainwindow.h"
#include "ui/playerpanel.h"
#include "ui/playlistpanel.h"
#include "ui/radiopanel.h"
#include "ui/theme.h"

#include <QApplication>
#include <QFile>
#include <QHelpEvent>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>
#include <cmath>

using namespace orvane;
using namespace orvane::test;

class TestKeys : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    QString touch(const QString& relative) { return touchFile(dir_, relative); }

private Q_SLOTS:
    void windowKeysDriveTheEngine() {
        KeyWindow w;
        QVERIFY(w.active());
        w.e.setPlaylist(w.f.tracks({"a", "b", "c"}, 100));
        PlayerPanel* player = w.view.playerPanel();
        PlaylistPanel* playlist = w.view.playlistPanel();

        // Tab reaches every control, in the order they are seen.
        QList<QWidget*> seen;
        for (int i = 0; i < 26 && seen.size() < 13; ++i) {
            w.key(Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            if (focus && (seen.isEmpty() ? focus == player->progressBar() : true) &&
                !seen.contains(focus))
                seen.append(focus);
        }
        const QList<QWidget*> order{
            player->progressBar(),   player->shuffleButton(), player->previousButton(),
            player->playButton(),    player->nextButton(),    player->repeatButton(),
            player->volumeBar(),     player->libraryButton(), player->radioButton(),
            w.view.menuButton(),     playlist->filterField(), playlist->list(),
            playlist->addButton()};
        QCOMPARE(seen, order);

        // The focus ring shows in both appearances.
        for (const bool dark : {true, false}) {
            w.theme.setDark(dark);
            player->playButton()->setFocus(Qt::TabFocusReason);
            const QImage focused = player->playButton()->grab().toImage();
            playlist->list()->setFocus(Qt::TabFocusReason);
            const QImage plain = player->playButton()->grab().toImage();
            QVERIFY(focused != plain);
            const QColor ring = focused.pixelColor(focused.width() / 2, 1);
            QVERIFY2(std::abs(ring.hue() - w.theme.neon().hue()) < 20, qPrintable(ring.name()));
        }

        // (The list's cursor selects and Return plays the selected row: the selection case
        // below and tst_ui's filter case; the station list's the same, below.)
        playlist->list()->setFocus(Qt::TabFocusReason);
        w.e.play(w.e.playlist().at(1));

        // Space pauses and plays, Left/Right seek by 5 s.
        w.key(Qt::Key_Space);
        QVERIFY(!w.e.isPlaying());
        w.f.clock.advance(2); // the pause fade
        w.key(Qt::Key_Space);
        QVERIFY(w.e.isPlaying());
        const double at = w.e.livePosition();
        w.key(Qt::Key_Right);
        QCOMPARE(w.f.lastFile()->seeks.back(), at + 5);
        w.key(Qt::Key_Right);
        QCOMPARE(w.f.lastFile()->seeks.back(), at + 10);
        w.key(Qt::Key_Left);
        QCOMPARE(w.f.lastFile()->seeks.back(), at + 5);

        // Ctrl+O opens the dialog.
        int asked = 0;
        w.view.setFileChooser([&] {
            ++asked;
            return QList<QUrl>{QUrl::fromLocalFile(touch("opened.mp3"))};
        });
        w.key(Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(asked, 1);
        QTRY_COMPARE(w.e.playlist().size(), 4);

        // Ctrl+R and Ctrl+L switch between radio and library; the station list works the same.
        w.key(Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(w.e.mode(), PlayerMode::Radio);
        RadioPanel* radio = w.view.radioPanel();
        radio->list()->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(!radio->selection().isEmpty());
        w.key(Qt::Key_Down);
        QCOMPARE(radio->selection(), QSet<QUuid>{w.e.stations().at(1).id});
        w.key(Qt::Key_Return);
        QCOMPARE(w.e.currentStationID(), w.e.stations().at(1).id);
        const auto stations = w.e.stations().size();
        w.key(Qt::Key_Delete);
        QCOMPARE(w.e.stations().size(), stations - 1);
        w.key(Qt::Key_L, Qt::ControlModifier);
        QCOMPARE(w.e.mode(), PlayerMode::Library);

        // Space is play/pause also on a focused button, which Return presses.
        player->shuffleButton()->setFocus(Qt::TabFocusReason);
        const bool shuffle = w.e.isShuffle(), playing = w.e.isPlaying();
        w.key(Qt::Key_Space);
        QCOMPARE(w.e.isShuffle(), shuffle);
        QCOMPARE(w.e.isPlaying(), !playing);
        w.key(Qt::Key_Return);
        QCOMPARE(w.e.isShuffle(), !shuffle);

        // A track whose length is not known yet still seeks forward.
        w.e.setPlaylist(w.f.tracks({"unknown"}, 0));
        w.e.play(w.e.playlist().at(0));
        playlist->list()->setFocus(Qt::TabFocusReason);
        const double start = w.e.livePosition();
        w.key(Qt::Key_Right);
        QCOMPARE(w.f.lastFile()->seeks.back(), start + 5);
    }

    void pointerAndWheelLeaveTheKeysToTheWindow() {
        KeyWindow w;
        QVERIFY(w.active());
        w.e.setPlaylist(w.f.tracks({"a", "b", "c"}, 100));
        w.e.play(w.e.playlist().at(0));
        PlayerPanel* player = w.view.playerPanel();

        // Next and Shuffle by the pointer (one of them reached by Tab before): Space after
        // them is play/pause, not the button again.
        player->nextButton()->setFocus(Qt::TabFocusReason);
        for (SymbolButton* button : {player->nextButton(), player->shuffleButton()}) {
            const QUuid current = w.e.currentID();
            const bool shuffle = w.e.isShuffle(), playing = w.e.isPlaying();
            QTest::mouseClick(button, Qt::LeftButton);
            QVERIFY(!button->hasFocus());
            const QUuid afterClick = w.e.currentID();
            QVERIFY(button == player->nextButton() ? afterClick != current
                                                   : w.e.isShuffle() != shuffle);
            w.key(Qt::Key_Space);
            QCOMPARE(w.e.isPlaying(), !playing);
            QCOMPARE(w.e.currentID(), afterClick);
            QCOMPARE(w.e.isShuffle(), button == player->shuffleButton() ? !shuffle : shuffle);
            w.f.clock.advance(2); // a pause fade ends
        }

        // The wheel over the volume bar: 5 % a notch, both ways.
        auto wheel = [](QWidget* widget, int delta) {
            const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
            QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, delta),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(widget, &event);
        };
        w.e.setVolume(0.5);
        wheel(player->volumeBar(), 120);
        QCOMPARE(player->volumeText(), QStringLiteral("55%"));
        wheel(player->volumeBar(), -240);
        QCOMPARE(player->volumeText(), QStringLiteral("45%"));
        wheel(player->volumeBar(), 60); // half a notch from a fine wheel: not yet
        QCOMPARE(player->volumeText(), QStringLiteral("45%"));
        wheel(player->volumeBar(), 60);
        QCOMPARE(player->volumeText(), QStringLiteral("50%"));

        // The speaker mutes and gives the volume back.
        QTest::mouseClick(player->speakerButton(), Qt::LeftButton);
        QCOMPARE(w.e.volume(), 0.0);
        QCOMPARE(player->speakerSymbol(), QStringLiteral("speaker-slash"));
        QTest::mouseClick(player->speakerButton(), Qt::LeftButton);
        QCOMPARE(w.e.volume(), 0.5);

        // A click on the volume bar gives it the arrows: all four change the volume, none seeks.
        pressBar(*player->volumeBar(), player->volumeBar()->barRect().width() / 2);
        QVERIFY(player->volumeBar()->hasFocus());
        const auto seeks = w.f.lastFile()->seeks.size();
        for (const auto& [k, text] : {std::pair{Qt::Key_Right, "55%"}, std::pair{Qt::Key_Up, "60%"},
                                      std::pair{Qt::Key_Down, "55%"}, std::pair{Qt::Key_Left, "50%"}}) {
            w.key(k);
            QCOMPARE(player->volumeText(), QString::fromUtf8(text));
        }
        QCOMPARE(w.f.lastFile()->seeks.size(), seeks);

        // The position bar takes the wheel: 5 s a notch.
        const double at = w.e.livePosition();
        wheel(player->progressBar(), 120);
        QVERIFY(std::abs(w.f.lastFile()->seeks.back() - (at + 5)) < 0.1);
    }

    void playlistSelectionFromTheKeyboardAndWholeTexts() {
        KeyWindow w;
        QVERIFY(w.active());
        w.e.setPlaylist(w.f.tracks({"a", "b", "c", "d", "e"}, 100));
        PlaylistPanel* playlist = w.view.playlistPanel();
        auto ids = [&](std::initializer_list<int> rows) {
            QSet<QUuid> set;
            for (int r : rows)
                set.insert(w.e.playlist().at(r).id);
            return set;
        };
        playlist->list()->setFocus(Qt::TabFocusReason);
        QTRY_COMPARE(w.view.selection(), ids({0}));
        w.key(Qt::Key_Down);
        w.key(Qt::Key_Down, Qt::ShiftModifier);
        QCOMPARE(w.view.selection(), ids({1, 2}));
        w.key(Qt::Key_End, Qt::ShiftModifier);
        QCOMPARE(w.view.selection(), ids({1, 2, 3, 4}));
        w.key(Qt::Key_Up, Qt::ShiftModifier);
        QCOMPARE(w.view.selection(), ids({1, 2, 3}));
        w.key(Qt::Key_Home, Qt::ShiftModifier);
        QCOMPARE(w.view.selection(), ids({0, 1}));
        w.key(Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(w.view.selection(), ids({0, 1, 2, 3, 4}));

        // Delete goes on down the list, then up from its end.
        const QUuid c = w.e.playlist().at(2).id;
        w.click(1);
        w.key(Qt::Key_Delete);
        QCOMPARE(w.e.playlist().size(), 4);
        QCOMPARE(w.view.selection(), QSet<QUuid>{c});
        w.key(Qt::Key_Delete);
        QCOMPARE(w.view.selection(), ids({1}));
        w.key(Qt::Key_End);
        w.key(Qt::Key_Delete);
        QCOMPARE(w.e.playlist().size(), 2);
        QCOMPARE(w.view.selection(), ids({1}));

        // A row's name cut by "…" shows whole in a tooltip; one that fits shows none.
        QList<Track> list = w.f.tracks({"short", "long"}, 100);
        list[1].title = QString("Очень длинное название песни, которое не помещается ").repeated(3);
        w.e.setPlaylist(list);
        auto tipAt = [&](int row) {
            QToolTip::hideText();
            const QRect r = playlist->list()->visualRect(playlist->model()->index(row));
            QHelpEvent help(QEvent::ToolTip, r.center(),
                            playlist->list()->viewport()->mapToGlobal(r.center()));
            QApplication::sendEvent(playlist->list()->viewport(), &help);
            return QToolTip::isVisible() ? QToolTip::text() : QString();
        };
        QCOMPARE(tipAt(0), QString());
        QCOMPARE(tipAt(1), list[1].title.simplified());
    }

    void windowCommandsWorkOverTheSheetAndTheCatalogSaysWhenItIsUnreachable() {
        EngineFixture f;
        AudioEngine& e = f.start();
        ViewServices s(f.settings.get());
        MainWindow window(&e, &s.catalog, &s.prefs, &s.theme);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        e.setMode(PlayerMode::Radio);
        QSignalSpy quit(&window, &MainWindow::quitRequested);
        QSignalSpy settings(&window, &MainWindow::settingsRequested);
        QString unreachable;
        // While the sheet is open (its exec() runs), its keys and a search that reaches no
        // server (the catalog of the fixture is a closed port).
        QTimer::singleShot(0, &window, [&] {
            auto* sheet = window.findChild<AddStationSheet*>();
            if (!sheet)
                return;
            // Activated as a window manager would (the offscreen platform leaves it inactive).
            QApplication::setActiveWindow(sheet);
            if (QApplication::activeWindow() != sheet)
                qWarning("the sheet is not active");
            QTest::keyClick(sheet, Qt::Key_Comma, Qt::ControlModifier);
            QTest::keyClick(sheet, Qt::Key_Q, Qt::ControlModifier);
            sheet->queryField()->setText("jazz");
            QTest::keyClick(sheet->queryField(), Qt::Key_Return);
            if (QTest::qWaitFor([&] { return sheet->showsNothingFound(); }, 20000))
                unreachable = sheet->resultNote();
            sheet->reject();
        });
        QTest::mouseClick(window.content()->radioPanel()->addButton(), Qt::LeftButton);
        QCOMPARE(settings.size(), 1);
        QCOMPARE(quit.size(), 1);
        QCOMPARE(unreachable, QStringLiteral("Could not reach the station catalog"));
    }
};

QTEST_MAIN(TestKeys)
#include "tst_keys.moc"
