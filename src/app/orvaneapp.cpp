#include "app/orvaneapp.h"

#include "app/appdelegate.h"
#include "app/appearance.h"
#include "app/appsettings.h"
#include "app/mprisservice.h"
#include "app/nowplayingtoast.h"
#include "app/settingsview.h"
#include "app/singleinstance.h"
#include "app/traymenu.h"
#include "app/traywatcher.h"
#include "core/localization.h"
#include "core/preferences.h"
#include "core/settingswriter.h"
#include "engine/audioengine.h"
#include "engine/clock.h"
#include "engine/gstplayerfactory.h"
#include "engine/playlistrestore.h"
#include "engine/playliststore.h"
#include "radio/radiobrowser.h"
#include "ui/contentview.h"
#include "ui/mainwindow.h"
#include "ui/noticebar.h"
#include "ui/playlistpanel.h"
#include "ui/resources.h"
#include "ui/theme.h"

#include <QApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QScreen>
#include <QSessionManager>
#include <QSettings>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>
#include <algorithm>

namespace orvane {

namespace {

// The rows' cover thumbnails are made for the sharpest screen there is at start.
int thumbnailSide() {
    double ratio = 1;
    for (const QScreen* screen : QGuiApplication::screens())
        ratio = std::max(ratio, screen->devicePixelRatio());
    return Track::thumbnailSideFor(ratio);
}

} // namespace

OrvaneApp::OrvaneApp(std::unique_ptr<QSettings> settings, QThreadPool* readers,
                     PlaylistRestore* restore, QObject* parent)
    : QObject(parent)
    , settings_(settings ? std::move(settings) : openUserSettings())
    , writer_(std::make_unique<SettingsWriter>(settings_->fileName(), settings_->format()))
    , playlistWriter_(std::make_unique<SettingsWriter>(
          PlaylistStore::pathBeside(settings_->fileName()), QSettings::IniFormat))
    , clock_(std::make_unique<SystemClock>())
    , players_(std::make_unique<GstPlayerFactory>())
    , preferences_(std::make_unique<Preferences>(settings_.get(), writer_.get()))
    , theme_(std::make_unique<Theme>())
    , appearance_(std::make_unique<Appearance>(theme_.get()))
    , ownReaders_(readers ? nullptr : AudioEngine::makeReaderPool())
    , readers_(readers ? readers : ownReaders_.get())
    , delegate_(std::make_unique<AppDelegate>()) {
    ::orvaneInitResources();
    delegate_->setPool(readers_);
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    engine_ = std::make_unique<AudioEngine>(
        EngineServices{clock_.get(),
                       players_.get(),
                       settings_.get(),
                       nullptr,
                       nullptr,
                       {},
                       readers_,
                       restore ? restore->cachePath() : metadataCachePath(),
                       writer_.get(),
                       restore,
                       playlistWriter_.get(),
                       thumbnailSide()});
    toast_ = std::make_unique<NowPlayingToast>(clock_.get(), preferences_.get(), theme_.get());
    engine_->setAnnouncer(toast_.get());

    const QString covers = QDir(cache).filePath(QStringLiteral("orvane/covers"));
    mpris_ = std::make_unique<MprisService>(
        engine_.get(), MprisService::Hooks{[this] { openPlayer(); }, &OrvaneApp::quit}, covers);
    if (mpris_->start())
        engine_->setNowPlayingPublisher(mpris_.get());

    network_ = std::make_unique<QNetworkAccessManager>();
    catalog_ = std::make_unique<RadioBrowser>(network_.get());
    window_ = std::make_unique<MainWindow>(engine_.get(), catalog_.get(), preferences_.get(),
                                           theme_.get());
    // Stream addresses in a playlist file opened from outside are offered as stations in the
    // window, like a dropped one's.
    connect(delegate_.get(), &AppDelegate::stationsFound, window_->content(),
            &ContentView::offerStations);
    connect(window_.get(), &MainWindow::appeared, this, [this] {
        delegate_->setEngine(engine_.get()); // hands over every waiting file
        appearance_->applyAppTheme(preferences_->theme());
        // The first pipeline's plugins load on a thread of their own now, not at the first
        // press of Play (once; nothing waits for it).
        players_->warmUp();
    });
    // The window's size, place and maximized state as it was last left (window state only:
    // what played is not kept).
    window_->restoreGeometry(settings_->value(QStringLiteral("windowGeometry")).toByteArray());
    connect(window_.get(), &MainWindow::hidden, this, &OrvaneApp::keepWindowGeometry);
    connect(window_.get(), &MainWindow::settingsRequested, this, &OrvaneApp::showSettings);
    connect(window_.get(), &MainWindow::quitRequested, this, &OrvaneApp::quit);
    tray_ = std::make_unique<TrayMenu>(
        engine_.get(), preferences_.get(),
        TrayMenu::Actions{[this] { openPlayer(); }, [this] { showSettings(); }, &OrvaneApp::quit});

    connect(preferences_.get(), &Preferences::themeChanged, appearance_.get(),
            &Appearance::applyAppTheme);
    connect(preferences_.get(), &Preferences::languageChanged, appearance_.get(),
            &Appearance::applyLanguage);
    connect(preferences_.get(), &Preferences::languageChanged, engine_.get(),
            &AudioEngine::setLanguage);
    connect(preferences_.get(), &Preferences::volumeLevellingChanged, engine_.get(),
            &AudioEngine::setVolumeLevelling);
    connect(preferences_.get(), &Preferences::crossfadeChanged, engine_.get(),
            [this](int seconds) { engine_->setCrossfade(seconds); });
    connect(preferences_.get(), &Preferences::albumGaplessChanged, engine_.get(),
            &AudioEngine::setAlbumGapless);
    appearance_->applyLanguage(preferences_->language());
    watchWriter(writer_.get());
    watchWriter(playlistWriter_.get());

    // The session is ending (a logout): what is due is written now, without quitting; the
    // session manager may still cancel.
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(gui, &QGuiApplication::commitDataRequest, this, [this] { saveNow(); });
}

void OrvaneApp::watchWriter(SettingsWriter* writer) {
    // Tried again every few seconds; the notice comes when writing starts to fail, and again if
    // it fails after having worked once more.
    writer->setStatusObserver([this](QSettings::Status status) {
        if (status == QSettings::NoError)
            return;
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (window_)
                    window_->content()->showNotice(
                        loc(QStringLiteral("settings_not_saved"), preferences_->language()));
            },
            Qt::QueuedConnection);
    });
}

void OrvaneApp::saveNow() {
    engine_->saveNow();
    writer_->flush();
}

OrvaneApp::~OrvaneApp() {
    writer_->setStatusObserver({});
    playlistWriter_->setStatusObserver({});
    // The window and the tray go first; the engine flushes a pending playlist save last.
    if (window_->isVisible())
        keepWindowGeometry();
    settingsView_.reset();
    tray_.reset();
    window_.reset();
    engine_->setNowPlayingPublisher(nullptr);
    engine_->setAnnouncer(nullptr);
}

void OrvaneApp::openFiles(const QList<QUrl>& urls) {
    delegate_->openFiles(urls);
}

void OrvaneApp::acceptLaunches(SingleInstance* instance) {
    connect(instance, &SingleInstance::filesOpened, this, [this](const QStringList& paths) {
        QList<QUrl> urls;
        for (const QString& path : paths)
            urls.append(QUrl::fromLocalFile(path));
        openFiles(urls);
    });
    connect(instance, &SingleInstance::raiseRequested, this, &OrvaneApp::openPlayer);
}

void OrvaneApp::start() {
    trayWatcher_ = std::make_unique<TrayWatcher>();
    connect(trayWatcher_.get(), &TrayWatcher::availabilityChanged, this,
            &OrvaneApp::setTrayAvailable);
    start(trayWatcher_->isAvailable());
}

void OrvaneApp::start(bool trayAvailable) {
    // Stock GNOME has no tray: then the window is the only way back, and closing it quits.
    window_->setQuitOnClose(!tray_->show(trayAvailable));
    engine_->showRestoredPlaylist(); // read meanwhile; the window shows it as it appears
    openPlayer();
}

void OrvaneApp::setTrayAvailable(bool available) {
    window_->setQuitOnClose(!tray_->show(available));
    // The tray was the way back to a hidden window: with it gone, the window comes back.
    if (!available && !window_->isVisible())
        openPlayer();
}

void OrvaneApp::quit() {
    // Not QApplication::quit(): that first asks every window to close, and the main window
    // refuses (closing it only hides it), so the request would be dropped while it is shown.
    // Queued, so that a D-Bus caller still gets its reply.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void OrvaneApp::openPlayer() {
    // Only a minimized window is restored: a maximized or full-screen one keeps its state.
    auto bringUp = [w = window_.get()] {
        if (!w->isVisible())
            w->show();
        if (w->windowState() & Qt::WindowMinimized)
            w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
        w->raise();
        w->activateWindow();
    };
    bringUp();
    QTimer::singleShot(200, this, [this, bringUp] {
        bringUp();
        Q_EMIT playerOpened();
    });
}

void OrvaneApp::keepWindowGeometry() {
    const QByteArray geometry = window_->saveGeometry();
    if (geometry != keptGeometry_) {
        keptGeometry_ = geometry;
        writer_->setValue(QStringLiteral("windowGeometry"), geometry);
    }
}

void OrvaneApp::showSettings() {
    if (!settingsView_)
        settingsView_ = std::make_unique<SettingsView>(preferences_.get());
    if (!settingsView_->isVisible()) {
        // Centred over the main window when it is on show, else on its screen.
        settingsView_->adjustSize();
        const QRect over = window_->isVisible() ? window_->frameGeometry()
                                                : window_->screen()->availableGeometry();
        settingsView_->move(over.center() -
                            QPoint(settingsView_->width() / 2, settingsView_->height() / 2));
    }
    settingsView_->show();
    settingsView_->raise();
    settingsView_->activateWindow();
}

} // namespace orvane
