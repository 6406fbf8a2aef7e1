// The window around the lists: its "☰" menu and the About window, the rows' right-click menus
// and the station editor, the small text's contrast and a tall (maximized) player column.
#include "support/windowfixture.h"
#include "ui/aboutview.h"
#include "ui/addstationsheet.h"
#include "ui/appmenu.h"
#include "ui/buttons.h"
#include "ui/contentview.h"
#include "ui/elidedlabel.h"
#include "ui/glowbar.h"
#include "ui/playerpanel.h"
#include "ui/playlistpanel.h"
#include "ui/radiopanel.h"

#include <QApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

using namespace orvane;
using namespace orvane::test;

// A stand-in for the desktop's file manager on the session bus.
class FakeFileManager : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    explicit FakeFileManager(QObject* parent)
        : QDBusAbstractAdaptor(parent) {}
    QStringList shown;
public Q_SLOTS:
    void ShowItems(const QStringList& uris, const QString&) { shown += uris; }
};

// What the desktop would be asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls.append(url); }
};

class TestWindow : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    QString touch(const QString& relative) { return touchFile(dir_, relative); }
    // A right-click on a row; whether its menu then shows.
    static bool rowMenu(QListView* list, int row) {
        rightClickRow(list, row);
        return QTest::qWaitFor([] { return openMenu() != nullptr; }, 5000);
    }

private Q_SLOTS:
    void theWindowMenuOpensFilesFoldersSettingsAboutAndQuit() {
        KeyWindow w;
        QVERIFY(w.active());
        SymbolButton* button = w.view.menuButton();
        // At the top right of the list panel, in line with its header, in both modes.
        for (const PlayerMode mode : {PlayerMode::Radio, PlayerMode::Library}) {
            w.e.setMode(mode);
            const QWidget* panel = mode == PlayerMode::Library
                                       ? static_cast<QWidget*>(w.view.playlistPanel())
                                       : static_cast<QWidget*>(w.view.radioPanel());
            const QRect shown(panel->mapTo(&w.view, QPoint(0, 0)), panel->size());
            QVERIFY(button->isVisible());
            QVERIFY(shown.right() - button->geometry().right() <= 20);
            QVERIFY(button->y() - shown.top() < 30 && button->y() > shown.top());
        }
        // (Its accessible name, in the language: the Russian one below.)
        // A click on the button opens the menu; the menu then shows.
        auto open = [&] {
            QTest::mouseClick(button, Qt::LeftButton);
            return QTest::qWaitFor([&] { return openMenu() == w.view.appMenu(); }, 5000);
        };
        QVERIFY(open());
        QCOMPARE(menuTexts(openMenu()),
                 (QStringList{"Open Files…", "Open Folder…", "Save Playlist…", "—", "Settings…",
                              "About Orvane", "—", "Quit"}));
        // The menu shows the window's keys.
        QCOMPARE(w.view.appMenu()->action(AppMenu::OpenFiles)->shortcut(),
                 QKeySequence(QKeySequence::Open));
        QCOMPARE(w.view.appMenu()->action(AppMenu::Settings)->shortcut(),
                 QKeySequence(Qt::CTRL | Qt::Key_Comma));
        QCOMPARE(w.view.appMenu()->action(AppMenu::Quit)->shortcut(),
                 QKeySequence(Qt::CTRL | Qt::Key_Q));

        const QUrl file = QUrl::fromLocalFile(touch("menu/x.mp3"));
        w.view.setFileChooser([file] { return QList<QUrl>{file}; });
        QVERIFY(chooseEntry(openMenu(), "Open Files…"));
        QTRY_COMPARE(w.e.playlist().size(), 1);
        QVERIFY(!openMenu());
        // A folder is walked like a dropped one: its tree, in name order.
        touch("menu/folder/b.mp3");
        touch("menu/folder/sub/a.flac");
        touch("menu/folder/notes.txt");
        w.view.setFolderChooser([this] { return QUrl::fromLocalFile(dir_.filePath("menu/folder")); });
        QVERIFY(open() && chooseEntry(openMenu(), "Open Folder…"));
        QTRY_COMPARE(w.e.playlist().size(), 3);
        QCOMPARE(w.e.playlist().at(1).title, QStringLiteral("a"));
        QCOMPARE(w.e.playlist().at(2).title, QStringLiteral("b"));
        // Save Playlist… writes the list (what it holds: tst_ui's round trip).
        const QString saved = dir_.filePath("menu/saved.m3u8");
        w.view.setSaveChooser([saved] { return saved; });
        QVERIFY(open() && chooseEntry(openMenu(), "Save Playlist…"));
        QTRY_VERIFY(QFile::exists(saved));

        QSignalSpy settings(&w.view, &ContentView::settingsRequested);
        QSignalSpy quit(&w.view, &ContentView::quitRequested);
        QVERIFY(open() && chooseEntry(openMenu(), "Settings…"));
        QCOMPARE(settings.count(), 1);
        QVERIFY(open() && chooseEntry(openMenu(), "Quit"));
        QCOMPARE(quit.count(), 1);

        // About: version, licence and the project's address; centred over the window; Escape
        // puts it away.
        QVERIFY(open() && chooseEntry(openMenu(), "About Orvane"));
        QTRY_VERIFY(w.view.aboutView() && w.view.aboutView()->isVisible());
        AboutView* about = w.view.aboutView();
        QCOMPARE(about->windowTitle(), QStringLiteral("About Orvane"));
        QCOMPARE(about->texts().first(), QStringLiteral("Version " ORVANE_VERSION));
        QVERIFY(about->texts().at(2).contains("GNU General Public License"));
        QVERIFY(about->texts().at(3).startsWith("https://"));
        QVERIFY((about->frameGeometry().center() - w.view.frameGeometry().center())
                    .manhattanLength() < 8);
        QVERIFY(QTest::qWaitForWindowActive(about));
        QTest::keyClick(about, Qt::Key_Escape);
        QVERIFY(!about->isVisible());

        // In Russian, at once; Escape closes the menu.
        w.prefs.setLanguage("ru");
        QVERIFY(open());
        QCOMPARE(menuTexts(openMenu()),
                 (QStringList{"Открыть файлы…", "Открыть папку…", "Сохранить плейлист…", "—",
                              "Настройки…", "О программе Orvane", "—", "Завершить"}));
        QTest::keyClick(openMenu(), Qt::Key_Escape);
        QTRY_VERIFY(!openMenu());
        QCOMPARE(button->accessibleName(), QStringLiteral("Меню"));
    }

    void rowsOfferPlayRemoveShowInFolderAndEdit() {
        KeyWindow w;
        QVERIFY(w.active());
        w.e.setPlaylist(w.f.tracks({"One", "Кино два", "Three"}));
        QListView* list = w.list();

        // A right-click selects the row and offers what can be done with it.
        QVERIFY(rowMenu(list, 1));
        QCOMPARE(menuTexts(openMenu()), (QStringList{"Play", "Remove", "—", "Show in Folder"}));
        QCOMPARE(w.view.selection(), QSet<QUuid>{w.e.playlist().at(1).id});
        QVERIFY(chooseEntry(openMenu(), "Play"));
        QCOMPARE(w.e.currentID(), w.e.playlist().at(1).id);

        // Show in Folder asks the file manager over D-Bus, the file's address as it is on disk.
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY2(bus.isConnected(), "no session bus: run the tests through scripts/test");
        QObject object;
        auto* manager = new FakeFileManager(&object);
        QVERIFY(bus.registerObject("/org/freedesktop/FileManager1", &object));
        QVERIFY(bus.registerService("org.freedesktop.FileManager1"));
        QVERIFY(rowMenu(list, 1));
        QVERIFY(chooseEntry(openMenu(), "Show in Folder"));
        QTRY_COMPARE(manager->shown.size(), 1);
        QCOMPARE(QUrl(manager->shown.first()).toLocalFile(), QStringLiteral("/music/Кино два.mp3"));
        // Where no file manager answers, the folder opens.
        bus.unregisterService("org.freedesktop.FileManager1");
        bus.unregisterObject("/org/freedesktop/FileManager1");
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        QVERIFY(rowMenu(list, 2));
        QVERIFY(chooseEntry(openMenu(), "Show in Folder"));
        QTRY_COMPARE(catcher.urls.size(), 1);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(catcher.urls.first(), QUrl::fromLocalFile("/music"));
        QCOMPARE(manager->shown.size(), 1);

        // A right-click inside a selection of several keeps them all: Remove takes them all
        // (the one row a right-click selects above, and the stations' Remove below).
        w.e.setPlaylist(w.f.tracks({"One", "Кино два", "Three", "Four"}));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(list->model()->index(1, 0)).center());
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ShiftModifier,
                          list->visualRect(list->model()->index(2, 0)).center());
        QCOMPARE(w.view.selection().size(), 2);
        QVERIFY(rowMenu(list, 2));
        QCOMPARE(w.view.selection().size(), 2);
        QVERIFY(chooseEntry(openMenu(), "Remove"));
        QCOMPARE(titles(w.e), (QStringList{"One", "Four"}));

        // Stations: Play, Edit… (the add-station sheet's fields), Remove.
        w.e.setMode(PlayerMode::Radio);
        QListView* stations = w.view.radioPanel()->list();
        const RadioStation third = w.e.stations().at(2);
        QVERIFY(rowMenu(stations, 2));
        QCOMPARE(menuTexts(openMenu()), (QStringList{"Play", "Edit…", "—", "Remove"}));
        QCOMPARE(w.view.radioPanel()->selection(), QSet<QUuid>{third.id});
        QVERIFY(chooseEntry(openMenu(), "Edit…"));
        AddStationSheet* sheet = nullptr;
        QTRY_VERIFY((sheet = qobject_cast<AddStationSheet*>(QApplication::activeModalWidget())));
        QCOMPARE(sheet->windowTitle(), QStringLiteral("Edit Station"));
        QCOMPARE(sheet->nameField()->text(), third.name);
        QCOMPARE(sheet->urlField()->text(), third.url);
        QCOMPARE(sheet->addButton()->text(), QStringLiteral("Save"));
        QVERIFY(!sheet->queryField()->isVisible());
        sheet->nameField()->selectAll();
        QTest::keyClicks(sheet->nameField(), "Renamed");
        sheet->urlField()->selectAll();
        QTest::keyClicks(sheet->urlField(), "ftp://nope");
        QVERIFY(!sheet->addButton()->isEnabled()); // the same rule as adding
        sheet->urlField()->selectAll();
        QTest::keyClicks(sheet->urlField(), "https://example.org/renamed");
        QPointer<AddStationSheet> open(sheet);
        QTest::mouseClick(sheet->addButton(), Qt::LeftButton);
        QTRY_VERIFY(!open);
        QCOMPARE(w.e.stations().size(), 6);
        QCOMPARE(w.e.stations().at(2), (RadioStation{third.id, "Renamed", "https://example.org/renamed"}));
        QVERIFY(rowMenu(stations, 2));
        QVERIFY(chooseEntry(openMenu(), "Play"));
        QCOMPARE(w.e.currentStationID(), third.id);
        QVERIFY(rowMenu(stations, 0));
        QVERIFY(chooseEntry(openMenu(), "Remove"));
        QCOMPARE(w.e.stations().size(), 5);
        QCOMPARE(w.e.stations().at(1).id, third.id);
    }

    void smallTextReadsAndATallPanelKeepsItsBlockTogether() {
        WindowFixture w;
        QList<Track> list = w.f.tracks({"Song"});
        list[0].technical = {"FLAC", 912, 44, 2}; // "FLAC · 912 kbps · 44 kHz · Stereo"
        w.e.setPlaylist(list);
        w.e.play(w.e.playlist().at(0));
        PlayerPanel* player = w.view.playerPanel();
        // The technical line against the panel as drawn, WCAG's contrast of small text.
        auto luminance = [](const QColor& c) {
            auto channel = [](double v) {
                return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
            };
            return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
                   0.0722 * channel(c.blueF());
        };
        for (const bool dark : {true, false}) {
            w.theme.setDark(dark);
            QApplication::processEvents();
            const QImage shot = w.view.grab().toImage();
            const QLabel* line = player->findChildren<ElidedLabel*>().at(2);
            QCOMPARE(line->text(), list[0].info());
            // The background just right of the line's text, inside the panel.
            const QPoint beside = line->mapTo(&w.view, QPoint(line->width() - 2, line->height() / 2));
            const QColor back = shot.pixelColor(beside);
            const QColor ink = line->palette().color(QPalette::WindowText);
            const double a = ink.alphaF();
            const QColor text = QColor::fromRgbF(ink.redF() * a + back.redF() * (1 - a),
                                                 ink.greenF() * a + back.greenF() * (1 - a),
                                                 ink.blueF() * a + back.blueF() * (1 - a));
            const double l1 = luminance(text), l2 = luminance(back);
            const double ratio = (std::max(l1, l2) + 0.05) / (std::min(l1, l2) + 0.05);
            QVERIFY2(ratio >= 4.5, qPrintable(QString("%1: %2:1").arg(dark ? "dark" : "light").arg(ratio)));
        }
        // Maximized: the block sits in the middle of the space above the mode switch, not at
        // the top of a tall empty gap.
        w.view.resize(1600, 1000);
        QApplication::processEvents();
        const int top = player->artwork()->mapTo(player, QPoint(0, 0)).y() - 22;
        const int volumeBottom = player->volumeBar()->parentWidget()->geometry().bottom();
        const int switchTop = player->libraryButton()->mapTo(player, QPoint(0, 0)).y();
        const int below = switchTop - volumeBottom;
        QVERIFY2(top > 100 && std::abs(top - below) < 40,
                 qPrintable(QString("%1 above, %2 below").arg(top).arg(below)));
        // And the header stays as tall as its cover and lines: no gap opens under it.
        const int headerBottom = std::max(player->artwork()->geometry().bottom(),
                                          player->findChildren<ElidedLabel*>().at(2)->geometry().bottom());
        const int progressTop = player->progressBar()->parentWidget()->parentWidget()->y();
        QVERIFY2(progressTop - headerBottom < 30, qPrintable(QString::number(progressTop - headerBottom)));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
