// The application shell: files from outside, the window's start, tray menu, toast, settings.
#include "app/appdelegate.h"
#include "app/appearance.h"
#include "app/nowplayingtoast.h"
#include "app/orvaneapp.h"
#include "app/settingsview.h"
#include "app/singleinstance.h"
#include "app/traymenu.h"
#include "core/localization.h"
#include "core/preferences.h"
#include "core/settingswriter.h"
#include "engine/bookmark.h"
#include "engine/playlistrestore.h"
#include "engine/playliststore.h"
#include "radio/stationstore.h"
#include "support/busyglobalpool.h"
#include "support/enginefixture.h"
#include "support/files.h"
#include "support/testaudio.h"
#include "support/waits.h"
#include "support/windowfixture.h"
#include "ui/buttons.h"
#include "ui/contentview.h"
#include "ui/mainwindow.h"
#include "ui/noticebar.h"
#include "ui/playlistpanel.h"
#include "ui/questionbar.h"
#include "ui/theme.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QRadioButton>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

using namespace orvane;
using namespace orvane::test;
using Kind = TrayMenu::Entry::Kind;

// A stand-in for the desktop portal's Settings interface.
class FakePortal : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
public:
    explicit FakePortal(QObject* parent)
        : QDBusAbstractAdaptor(parent) {}
    uint scheme = 1; // prefer dark
public Q_SLOTS:
    QDBusVariant Read(const QString& ns, const QString& key) {
        if (ns != "org.freedesktop.appearance" || key != "color-scheme")
            return QDBusVariant(QVariant());
        return QDBusVariant(QVariant::fromValue(QDBusVariant(scheme)));
    }
};

class TestShell : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    // Short real mp3 files: the player does not take what it cannot open.
    QList<QUrl> files(const QStringList& names) {
        QList<QUrl> urls;
        for (const QString& name : names)
            urls.append(QUrl::fromLocalFile(toneFile(dir_, name, AudioFormat::Mp3, 0.5)));
        return urls;
    }

private Q_SLOTS:
    void foldersAreWalkedWhileQtsPoolIsBusy() {
        QDir().mkpath(dir_.filePath("walked/sub"));
        files({"walked/b.mp3", "walked/sub/a.mp3"});
        EngineFixture f;
        AudioEngine& e = f.start();
        BusyGlobalPool busy; // as the window's drawing may hold it
        AppDelegate delegate;
        delegate.setEngine(&e);
        delegate.openFiles({QUrl::fromLocalFile(dir_.filePath("walked"))});
        QTRY_COMPARE(e.playlist().size(), 2);
        QCOMPARE(e.playlist().at(0).title, QStringLiteral("a"));
        QCOMPARE(e.playlist().at(1).title, QStringLiteral("b"));
    }

    void theWindowAppearsWithTheStoredPlaylistReadAhead() {
        QTemporaryDir dir;
        const QString settingsPath = dir.filePath("s.ini");
        QVariantList stored;
        for (int i = 0; i < 40; ++i) {
            const QString path = dir.filePath(QStringLiteral("stored %1.mp3").arg(i));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("not really audio");
            file.close();
            stored.append(*Bookmark::make(path));
        }
        const QList<RadioStation> stations{
            {QUuid::createUuid(), QStringLiteral("Радио «Ночь», 2 ч."), "https://example.org/a"},
            {QUuid::createUuid(), QStringLiteral("Plain \"quoted\" \\ one"), "http://x/;b=c"}};
        {
            QSettings settings(settingsPath, QSettings::IniFormat);
            settings.setValue("playlistBookmarks", stored);
            settings.setValue("appLanguage", "ru");
            settings.setValue("appTheme", "dark");
            settings.setValue("radioStations", StationStore::encode(stations));
        }

        // As the program starts: the list is read while the application and its window are
        // made, and is on show when the window first appears, with the stored theme, language
        // and stations. The list an older version kept in the settings file moves to a file of
        // its own.
        const QString playlistPath = PlaylistStore::pathBeside(settingsPath);
        {
            PlaylistRestore restore(playlistPath, settingsPath, dir.filePath("cache/metadata"));
            OrvaneApp app(std::make_unique<QSettings>(settingsPath, QSettings::IniFormat), nullptr,
                          &restore);
            QListView* list = nullptr;
            for (QListView* view : app.mainWindow().findChildren<QListView*>()) {
                if (qobject_cast<PlaylistModel*>(view->model()))
                    list = view;
            }
            QVERIFY(list);
            int rowsWhenShown = -1;
            connect(&app.mainWindow(), &MainWindow::appeared, this,
                    [&] { rowsWhenShown = list->model()->rowCount(); });
            app.start(true);
            QTRY_VERIFY(app.mainWindow().isVisible());
            QCOMPARE(rowsWhenShown, 40);
            QCOMPARE(list->model()->index(7, 0).data().toString(), QStringLiteral("stored 7"));
            QCOMPARE(app.engine().playlist().size(), 40);
            QCOMPARE(app.engine().stations(), stations);
            // (The stored language shows in the settings window's texts below; the tray menu
            // follows the preferences' language: trayMenuFollowsStateAndLanguage.)
            app.showSettings();
            auto* dark = childWithText<QRadioButton>(app.settingsView(), loc("dark", "ru"));
            auto* light = childWithText<QRadioButton>(app.settingsView(), loc("light", "ru"));
            QVERIFY(dark && light && dark->isChecked());
            QTest::mouseClick(light, Qt::LeftButton);
            // The crossfade, 3 s at first, set Off from the keyboard, and the album rule
            // ticked: the engine's next handover follows both.
            auto* crossfade = app.settingsView()->findChild<QComboBox*>();
            QVERIFY(crossfade);
            QCOMPARE(crossfade->currentText(), QStringLiteral("3 с"));
            crossfade->setFocus();
            QTest::keyClick(crossfade, Qt::Key_Home);
            QCOMPARE(crossfade->currentText(), loc("crossfade_off", "ru"));
            QCOMPARE(app.engine().crossfade(), 0.0);
            auto* album =
                childWithText<QCheckBox>(app.settingsView(), loc("album_gapless", "ru"));
            QVERIFY(album && !album->isChecked());
            QTest::mouseClick(album, Qt::LeftButton);
            QVERIFY(app.engine().albumGapless());
        }
        QSettings after(settingsPath, QSettings::IniFormat);
        QCOMPARE(after.value("appTheme").toString(), QStringLiteral("light"));
        QCOMPARE(after.value("crossfadeSeconds").toInt(), 0);
        QCOMPARE(after.value("albumGapless").toBool(), true);
        QVERIFY(!after.contains("playlistBookmarks"));
        QVERIFY2(QFileInfo(settingsPath).size() < 1024, "a theme change rewrites a small file");
        QCOMPARE(QSettings(playlistPath, QSettings::IniFormat).value("playlistBookmarks").toList(),
                 stored);
        {
            // The next start reads them back.
            OrvaneApp app(std::make_unique<QSettings>(settingsPath, QSettings::IniFormat));
            QCOMPARE(app.engine().crossfade(), 0.0);
            QVERIFY(app.engine().albumGapless());
        }
    }

    void relaunchBringsTheWindowBackAndHandsOverFiles() {
        QTemporaryDir dir;
        OrvaneApp app(std::make_unique<QSettings>(dir.filePath("s.ini"), QSettings::IniFormat));
        SingleInstance instance(dir.filePath("orvane.sock"));
        QVERIFY(instance.listen());
        app.acceptLaunches(&instance);
        app.openFiles(files({"early.mp3"})); // before the window: they wait
        app.openFiles(files({"early too.mp3"}));
        QVERIFY(settle(app.engine())); // a read it had asked for would have shown
        QVERIFY(app.engine().playlist().isEmpty());
        app.start(true); // a desktop with a tray
        QTRY_VERIFY(app.mainWindow().isVisible());
        QTRY_COMPARE(app.engine().playlist().size(), 2);
        QTRY_VERIFY(app.engine().currentTrack()); // in one go: the first of them plays
        QCOMPARE(app.engine().currentTrack()->title, QStringLiteral("early"));

        // A second launch blocks while it waits; the running one answers from its event loop.
        auto relaunch = [&dir](const QStringList& paths) {
            auto handed = QtConcurrent::run([&dir, paths] {
                return SingleInstance(dir.filePath("orvane.sock")).forwardToRunning(paths);
            });
            return QTest::qWaitFor([&] { return handed.isFinished(); }, 20000) && handed.result();
        };
        app.mainWindow().close(); // only hides: the process and the engine go on
        QVERIFY(!app.mainWindow().isVisible());
        QVERIFY(relaunch({}));
        QTRY_VERIFY(app.mainWindow().isVisible());
        QVERIFY(settle(app.engine()));
        QCOMPARE(app.engine().playlist().size(), 2); // the window's reappearing adds nothing
        // (A relaunch's plain files join the list: tst_launch's and tst_system's launches.)

        // A playlist file handed over: its file joins the list, its stream address is offered as
        // a station in the window.
        const QString listed = files({"listed.mp3"}).first().toLocalFile();
        const QString m3u = dir.filePath("mix.m3u8");
        QFile playlist(m3u);
        QVERIFY(playlist.open(QIODevice::WriteOnly));
        playlist.write("#EXTM3U\n" + QFile::encodeName(listed) +
                       "\n#EXTINF:-1,Loopback FM\nhttp://127.0.0.1:9/stream\n");
        playlist.close();
        const qsizetype stations = app.engine().stations().size();
        QVERIFY(relaunch({m3u}));
        QTRY_COMPARE(app.engine().playlist().size(), 3);
        QCOMPARE(app.engine().playlist().last().path(), listed);
        QuestionBar* question = app.mainWindow().content()->questionBar();
        QTRY_VERIFY(question->isVisible());
        QCOMPARE(question->text(), QStringLiteral("Add 1 stations?"));
        QTest::mouseClick(question->yesButton(), Qt::LeftButton);
        QTRY_COMPARE(app.engine().stations().size(), stations + 1);
        QCOMPARE(app.engine().stations().last().name, QStringLiteral("Loopback FM"));
        QCOMPARE(app.engine().stations().last().url, QStringLiteral("http://127.0.0.1:9/stream"));
    }

    void settingsThatCannotBeSavedShowANotice() {
        QTemporaryDir dir;
        // Its folder is a file: nothing can be written there, not even by root.
        QFile notAFolder(dir.filePath("config"));
        QVERIFY(notAFolder.open(QIODevice::WriteOnly));
        notAFolder.close();
        OrvaneApp app(
            std::make_unique<QSettings>(dir.filePath("config/Orvane.conf"), QSettings::IniFormat));
        app.start(true);
        QTRY_VERIFY(app.mainWindow().isVisible());
        NoticeBar* notice = app.mainWindow().content()->playlistPanel()->noticeBar();
        // The first start writes the preset stations: that fails, and the window says so.
        QTRY_VERIFY_WITH_TIMEOUT(notice->isVisible(), 20000);
        QVERIFY(notice->text() == "Settings could not be saved" ||
                notice->text() == QStringLiteral("Не удалось сохранить настройки"));
        PlaylistPanel* panel = app.mainWindow().content()->playlistPanel();
        QCOMPARE(notice->parentWidget(), panel);
        QTRY_VERIFY(notice->y() < panel->height() / 4); // at the top, under the header
        // A click puts it away; no dialog came.
        QTest::mouseClick(notice, Qt::LeftButton);
        QVERIFY(!notice->isVisible());
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        // The session manager's commit request: the writes still fail, and no notice comes for
        // each try.
        app.saveNow();
        QCoreApplication::processEvents();
        QVERIFY(!notice->isVisible());
        // Unclicked, a notice goes by itself.
        notice->showNotice(loc("settings_not_saved", "ru"));
        QCOMPARE(notice->text(), QStringLiteral("Не удалось сохранить настройки"));
        QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), NoticeBar::shownMs + 5000);
    }

    void trayMenuFollowsStateAndLanguage() {
        EngineFixture f;
        AudioEngine& e = f.start();
        QCOMPARE(TrayMenu::entries(e, "en").first().text, QStringLiteral("Play")); // no label

        QList<Track> list = f.tracks({"Solo", "Song"});
        list[1].artist = "Band";
        e.setPlaylist(list);
        e.play(e.playlist().at(0));
        const QList<TrayMenu::Entry> en = TrayMenu::entries(e, "en");
        QCOMPARE(en.first(), (TrayMenu::Entry{Kind::Label, "Solo"}));
        QCOMPARE(en.at(1).text, QStringLiteral("Pause"));
        e.play(e.playlist().at(1));
        QCOMPARE(TrayMenu::entries(e, "en").first().text, QStringLiteral("Band – Song"));
        QCOMPARE(MainWindow::titleFor(e), QStringLiteral("Song — Band"));
        e.togglePlay();
        QCOMPARE(TrayMenu::entries(e, "en").at(1).text, QStringLiteral("Play"));
        e.play(e.stations().at(3));
        QCOMPARE(TrayMenu::entries(e, "en").first().text, QStringLiteral("Хит FM"));
        QCOMPARE(MainWindow::titleFor(e), QStringLiteral("Хит FM"));

        // The live menu follows a change of language at once, and its actions work.
        Preferences prefs(f.settings.get());
        int opened = 0, quits = 0, settings = 0;
        TrayMenu tray(&e, &prefs,
                      TrayMenu::Actions{[&] { ++opened; }, [&] { ++settings; }, [&] { ++quits; }});
        prefs.setLanguage("en");
        QCOMPARE(menuTexts(tray.menu()), (QStringList{"Хит FM", "Play", "Next", "Previous", "—",
                                                      "Open Player", "—", "Settings…", "Quit"}));
        prefs.setLanguage("ru");
        QCOMPARE(menuTexts(tray.menu()).at(5), QStringLiteral("Открыть плеер"));
        tray.menu()->actions().at(5)->trigger();
        tray.menu()->actions().at(7)->trigger();
        tray.menu()->actions().at(8)->trigger();
        QCOMPARE(opened, 1);
        QCOMPARE(settings, 1);
        QCOMPARE(quits, 1);
        tray.menu()->actions().at(2)->trigger(); // Next: the following station
        QCOMPARE(e.currentStationID(), e.stations().at(4).id);
        QCOMPARE(tray.iconName(), QStringLiteral("note-list"));

        // A long title is cut to one line of about 360 pixels, whole in its tooltip.
        QList<Track> longOne = f.tracks({QString(20, QChar(0x416)) + " " + QString(200, 'w')});
        longOne[0].artist = QStringLiteral("Государственный академический оркестр");
        e.setPlaylist(longOne);
        e.play(e.playlist().at(0));
        QTRY_VERIFY(tray.menu()->actions().first()->text().endsWith(QChar(0x2026)));
        const QAction* label = tray.menu()->actions().first();
        QVERIFY(tray.menu()->fontMetrics().horizontalAdvance(label->text()) <= TrayMenu::labelWidth);
        QCOMPARE(label->toolTip(), TrayMenu::entries(e, "ru").first().text);
        QVERIFY(tray.menu()->sizeHint().width() < TrayMenu::labelWidth + 120);
    }

    void settingsQuitAndTheTrayAreWithinReach() {
        // Runs the event loop as the program does; returns the code it ended with (1: it did
        // not end within the time).
        auto runUntilQuit = [](const std::function<void()>& action) {
            QTimer::singleShot(0, action);
            QTimer timeout;
            timeout.setSingleShot(true);
            connect(&timeout, &QTimer::timeout, [] { QCoreApplication::exit(1); });
            timeout.start(20000);
            return QCoreApplication::exec();
        };
        QTemporaryDir dir;
        {
            auto settings =
                std::make_unique<QSettings>(dir.filePath("s.ini"), QSettings::IniFormat);
            settings->setValue("appLanguage", "en");
            OrvaneApp app(std::move(settings));
            QSignalSpy started(&app, &OrvaneApp::playerOpened);
            app.start(true);
            MainWindow& window = app.mainWindow();
            QTRY_VERIFY(window.isVisible());
            // The start brings the window up a second time a moment later: once that is done,
            // it no longer takes the focus from the settings window opened below.
            QVERIFY(started.count() > 0 || started.wait(10000));

            // The tray shows its symbol from the start, light inside a dark rim.
            QVERIFY(app.tray().trayIcon());
            const QIcon icon = app.tray().trayIcon()->icon();
            QVERIFY(!icon.isNull());
            const QImage image = icon.pixmap(22, 22).toImage();
            int light = 0, dark = 0;
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) {
                    const QColor c = image.pixelColor(x, y);
                    light += c.alpha() > 200 && c.lightness() > 220;
                    dark += c.alpha() > 150 && c.lightness() < 60;
                }
            }
            QVERIFY2(light > 10 && dark > 10, qPrintable(QString("%1 %2").arg(light).arg(dark)));

            // "Settings…" just above Quit in the tray; the window is one, shown again on Ctrl+,.
            const QList<QAction*> actions = app.tray().menu()->actions();
            QCOMPARE(actions.at(actions.size() - 2)->text(), QStringLiteral("Settings…"));
            QVERIFY(!app.settingsView());
            actions.at(actions.size() - 2)->trigger();
            QTRY_VERIFY(app.settingsView() && app.settingsView()->isVisible());
            QPointer<SettingsView> first = app.settingsView();
            first->close();
            QVERIFY(!first->isVisible());
            window.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&window));
            QTest::keyClick(&window, Qt::Key_Comma, Qt::ControlModifier);
            QTRY_VERIFY(first && first->isVisible());
            QCOMPARE(app.settingsView(), first.data());
            // Titled for what it is, centred over the main window; Escape closes it.
            QCOMPARE(first->windowTitle(), QStringLiteral("Settings"));
            QVERIFY((first->frameGeometry().center() - window.frameGeometry().center())
                        .manhattanLength() < 8);
            first->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(first));
            QWidget* focus = QApplication::focusWidget(); // a radio button, as a person left it
            QTest::keyClick(focus ? focus : first.data(), Qt::Key_Escape);
            QVERIFY(!first->isVisible());
            // The window's menu reaches it too.
            QTest::mouseClick(window.content()->menuButton(), Qt::LeftButton);
            QTRY_VERIFY(openMenu());
            QVERIFY(chooseEntry(openMenu(), "Settings…"));
            QTRY_VERIFY(first && first->isVisible());
            actions.at(actions.size() - 2)->trigger();
            QCOMPARE(app.settingsView(), first.data());

            // Open Player keeps a maximized window maximized, and restores a minimized one.
            QAction* openPlayer = nullptr;
            for (QAction* a : actions)
                if (a->text() == QStringLiteral("Open Player"))
                    openPlayer = a;
            QVERIFY(openPlayer);
            QSignalSpy opened(&app, &OrvaneApp::playerOpened);
            window.showMaximized();
            QTRY_VERIFY(window.isMaximized());
            openPlayer->trigger();
            QVERIFY(opened.wait(10000));
            QVERIFY(window.isMaximized());
            window.showMinimized();
            QTRY_VERIFY(window.isMinimized());
            openPlayer->trigger();
            QVERIFY(opened.wait(10000));
            QVERIFY(!window.isMinimized());
            QVERIFY(window.isMaximized());

            // A language chosen in the settings window is what the announcements speak from then
            // on.
            auto choose = [&](const QString& text) {
                childWithText<QRadioButton>(first.data(), text)->click();
            };
            auto toastSubtitle = [] {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (auto* toast = qobject_cast<ToastView*>(w); toast && toast->isVisible())
                        return toast->subtitle();
                return QString();
            };
            choose("Русский");
            QCOMPARE(first->windowTitle(), QStringLiteral("Настройки"));
            QCOMPARE(window.windowTitle(), QStringLiteral("Orvane"));
            app.engine().add(files({"untagged.mp3"}));
            QTRY_COMPARE(app.engine().playlist().size(), 1);
            app.engine().play(app.engine().playlist().at(0));
            QTRY_COMPARE(toastSubtitle(), QStringLiteral("Локальный файл"));
            // The window's title and the tray's tooltip say what plays.
            QCOMPARE(window.windowTitle(), QStringLiteral("untagged"));
            QTRY_COMPARE(app.tray().trayIcon()->toolTip(), QStringLiteral("untagged"));
            app.engine().togglePlay();
            choose("English");
            QTRY_VERIFY(!app.engine().isPlaying());
            // Volume levelling as chosen there is what the engine plays by (and is stored).
            QCOMPARE(app.engine().volumeLevelling(), QStringLiteral("off"));
            choose("Track");
            QCOMPARE(app.engine().volumeLevelling(), QStringLiteral("track"));

            // Ctrl+Q ends the program (with a tray, closing only hides: the relaunch case).
            window.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&window));
            QCOMPARE(
                runUntilQuit([&] { QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier); }), 0);
        }
        QCOMPARE(QSettings(dir.filePath("s.ini"), QSettings::IniFormat).value("volumeLevelling"),
                 QVariant(QStringLiteral("track")));
        {
            // A desktop without a tray: closing the window ends the program.
            OrvaneApp app(
                std::make_unique<QSettings>(dir.filePath("s2.ini"), QSettings::IniFormat));
            app.start(false);
            QTRY_VERIFY(app.mainWindow().isVisible());
            QVERIFY(!app.tray().trayIcon());
            QCOMPARE(runUntilQuit([&] { app.mainWindow().close(); }), 0);
        }
    }

    void theWindowKeepsItsStateAcrossStarts() {
        QTemporaryDir dir;
        const QString path = dir.filePath("s.ini");
        auto start = [&](auto&& check) {
            OrvaneApp app(std::make_unique<QSettings>(path, QSettings::IniFormat));
            app.start(true);
            QTRY_VERIFY(app.mainWindow().isVisible());
            check(app.mainWindow(), app.engine());
        };
        // The place is the window manager's to honour (tst_system checks it under one); the
        // offscreen screen keeps a window inside it.
        const QSize placed(900, 580);
        double volume = -1;
        start([&](MainWindow& window, AudioEngine& engine) {
            window.resize(placed);
            volume = engine.volume();
            engine.setVolume(volume / 2); // playback state is not kept
        });
        start([&](MainWindow& window, AudioEngine& engine) {
            QCOMPARE(window.size(), placed);
            QCOMPARE(engine.volume(), volume);
            window.showMaximized();
            QTRY_VERIFY(window.isMaximized());
            window.close(); // to the tray: kept then too
        });
        start([&](MainWindow& window, AudioEngine&) {
            QTRY_VERIFY(window.isMaximized());
            window.showNormal(); // the size it had before, beneath
            QTRY_COMPARE(window.size(), placed);
        });
    }

    void toastReplacesItselfAndGoesAfterThreeSeconds() {
        QTemporaryDir dir;
        QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);
        Preferences prefs(&settings);
        VirtualClock clock;
        Theme theme;
        NowPlayingToast toast(&clock, &prefs, &theme);
        toast.show("First", "Local file", {});
        QPointer<ToastView> first = toast.panel();
        QVERIFY(first && first->isVisible());
        QVERIFY(first->testAttribute(Qt::WA_ShowWithoutActivating));
        QVERIFY(first->windowFlags() & Qt::WindowDoesNotAcceptFocus);
        clock.advance(1);
        toast.show("Second", "Band", {});
        QVERIFY(!first || !first->isVisible()); // closed at once, no fade
        QPointer<ToastView> second = toast.panel();
        QCOMPARE(second->title(), QStringLiteral("Second"));
        clock.advance(2.9); // the first one's timer would have fired by now
        QCOMPARE(toast.panel(), second.data());
        clock.advance(0.2);
        QVERIFY(!toast.panel()); // fading out
        QTRY_VERIFY(!second);    // closed once the fade ended

        // With nothing compositing the screen the window takes the panel's rounded shape, and
        // the panel is opaque; with a compositor it keeps its soft, translucent edge.
        for (const bool composited : {false, true}) {
            toast.setCompositorCheck([composited] { return composited; });
            toast.show("Shaped", "Band", {});
            ToastView* view = toast.panel();
            const QImage image = view->grab().toImage();
            const QPoint centre(160, 38), corner(3, 3), plain(290, 10);
            QCOMPARE(image.pixelColor(plain).alpha(), composited ? 225 : 255);
            if (composited) {
                QVERIFY(view->mask().isEmpty());
            } else {
                QVERIFY(view->mask().contains(centre) && view->mask().contains(QPoint(160, 3)));
                QVERIFY(!view->mask().contains(corner) && !view->mask().contains(QPoint(316, 72)));
            }
        }
        clock.advance(3.1);
    }

    void systemAppearanceFollowsTheDesktopPortalAndQtsTextsTheLanguage() {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            QFAIL("no session bus");
        QObject object;
        auto* portal = new FakePortal(&object);
        QVERIFY(bus.registerObject("/org/freedesktop/portal/desktop", &object));
        QVERIFY(bus.registerService("org.freedesktop.portal.Desktop"));
        Theme theme;
        Appearance appearance(&theme);
        QCOMPARE(appearance.portalColorScheme(), 1);
        appearance.applyAppTheme("system");
        QVERIFY(theme.isDark());
        appearance.applyAppTheme("light"); // forced, whatever the desktop says
        QVERIFY(!theme.isDark());
        appearance.applyAppTheme("something odd"); // acts like "system"
        QVERIFY(theme.isDark());

        // The desktop switches to light: followed live.
        portal->scheme = 2;
        QDBusMessage changed = QDBusMessage::createSignal(
            "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Settings", "SettingChanged");
        changed << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
                << QVariant::fromValue(QDBusVariant(uint(2)));
        QVERIFY(bus.send(changed));
        QTRY_VERIFY(!theme.isDark());
        bus.unregisterService("org.freedesktop.portal.Desktop");
        bus.unregisterObject("/org/freedesktop/portal/desktop");

        // Qt's own texts follow the language.
        appearance.applyLanguage("ru");
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Отмена"));
        appearance.applyLanguage("en");
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
    }

    void settingsTakeEffectWithoutRestart() {
        QTemporaryDir dir;
        QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);
        SettingsWriter writer(settings.fileName(), settings.format()); // as the player has it
        Preferences prefs(&settings, &writer);
        // What is on disk once the writes asked for so far have landed.
        auto stored = [&](const char* key) {
            writer.flush();
            return QSettings(settings.fileName(), settings.format()).value(key).toString();
        };
        Theme theme;
        Appearance appearance(&theme);
        connect(&prefs, &Preferences::themeChanged, &appearance, &Appearance::applyAppTheme);
        SettingsView view(&prefs);
        view.show();
        auto button = [&](const QString& text) { return childWithText<QRadioButton>(&view, text); };
        QVERIFY(button("English"));
        button("English")->click();             // (stored as chosen: the Russian below)
        QVERIFY(button("System")->isChecked()); // appearance: system on a first start
        button("Dark")->click();
        QCOMPARE(stored("appTheme"), QStringLiteral("dark"));
        QVERIFY(theme.isDark());
        QCOMPARE(QApplication::palette().color(QPalette::Window).lightness() < 128, true);
        // The indicators read on the dark window: a ring in the text colour, the accent dot.
        auto indicator = [](QRadioButton* b, auto&& counts) {
            const QImage image = b->grab().toImage();
            int n = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < std::min(20, image.width()); ++x)
                    n += counts(image.pixelColor(x, y));
            return n;
        };
        const int background = QApplication::palette().color(QPalette::Window).lightness();

        QTRY_VERIFY(indicator(button("Light"), [&](const QColor& c) {
                        return c.lightness() > background + 50;
                    }) > 8);
        const QColor accent = Theme::neon(true);
        QVERIFY(indicator(button("Dark"), [&](const QColor& c) {
                    return std::abs(c.red() - accent.red()) + std::abs(c.green() - accent.green()) +
                               std::abs(c.blue() - accent.blue()) <
                           60;
                }) > 8);
        button("Light")->click();
        QVERIFY(!theme.isDark());

        button("Русский")->click(); // relabels at once
        QVERIFY(button("Тёмная") && childWithText<QLabel>(&view, "Язык:"));
        QVERIFY(button("English") && button("Русский")); // the same in every language
        QCOMPARE(stored("appLanguage"), QStringLiteral("ru"));
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
