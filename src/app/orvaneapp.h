#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QUrl>
#include <memory>

class QNetworkAccessManager;
class QSettings;
class QThreadPool;

namespace orvane {

class AppDelegate;
class Appearance;
class AudioEngine;
class Clock;
class GstPlayerFactory;
class MainWindow;
class MprisService;
class NowPlayingToast;
class PlaylistRestore;
class Preferences;
class RadioBrowser;
class SettingsView;
class SettingsWriter;
class SingleInstance;
class Theme;
class TrayMenu;
class TrayWatcher;

// The application: one engine for the process, the file delegate, the main window, the tray
// menu, the media controls, the toast and the settings window. It builds and wires them;
// the behaviour lives in each. Main thread only.
class OrvaneApp : public QObject {
    Q_OBJECT
public:
    // `settings`: the main settings file; null: the user's (openUserSettings). Files are read
    // and folders walked on `readers` (which must outlive the application); without one the
    // application makes its own. `restore`, when given, is the stored playlist already being
    // read (beside the same settings file); else the engine reads it itself.
    explicit OrvaneApp(std::unique_ptr<QSettings> settings, QThreadPool* readers = nullptr,
                       PlaylistRestore* restore = nullptr, QObject* parent = nullptr);
    ~OrvaneApp() override;

    // Files opened from outside, before or after the window appeared.
    void openFiles(const QList<QUrl>& urls);
    // Listens for later launches (their files, or a request to bring the window back).
    void acceptLaunches(SingleInstance* instance);
    // Shows the tray icon (where the desktop has a tray) and the main window for the first
    // time. Without a tray, closing the main window ends the program.
    // start() follows the tray while running: an icon when a tray appears, and the window
    // back when the tray goes while it is hidden.
    void start();
    void start(bool trayAvailable);
    void setTrayAvailable(bool available);
    // Show, raise and activate the main window, keeping it maximized or full screen (only a
    // minimized window is restored); once more 0.2 s later.
    void openPlayer();
    // The settings window, one for the process: asking again raises it.
    void showSettings();
    SettingsView* settingsView() const { return settingsView_.get(); }
    // Writes the playlist, the metadata cache and the settings that are due, and waits for
    // them (the session manager's commit request).
    void saveNow();
    // Ends the process (the tray's and the media controls' Quit; SIGTERM, SIGINT and SIGHUP).
    static void quit();

    AudioEngine& engine() { return *engine_; }
    MainWindow& mainWindow() { return *window_; }
    TrayMenu& tray() { return *tray_; }

Q_SIGNALS:
    // The delayed half of the open-player sequence has run.
    void playerOpened();

private:
    // A settings writer's status changed (from its thread): a failure shows a notice.
    void watchWriter(SettingsWriter* writer);
    // Writes the main window's geometry (size, place, maximized) when it changed.
    void keepWindowGeometry();

    std::unique_ptr<QSettings> settings_;    // read at start, if at all; written through writer_
    std::unique_ptr<SettingsWriter> writer_; // goes after the engine, writing what it left
    std::unique_ptr<SettingsWriter> playlistWriter_; // the playlist's file, the same way
    std::unique_ptr<Clock> clock_;
    std::unique_ptr<GstPlayerFactory> players_;
    std::unique_ptr<Preferences> preferences_;
    std::unique_ptr<Theme> theme_;
    std::unique_ptr<Appearance> appearance_;
    std::unique_ptr<QThreadPool> ownReaders_;
    QThreadPool* readers_;
    std::unique_ptr<AppDelegate> delegate_;
    std::unique_ptr<AudioEngine> engine_;
    std::unique_ptr<QNetworkAccessManager> network_;
    std::unique_ptr<RadioBrowser> catalog_;
    std::unique_ptr<NowPlayingToast> toast_;
    std::unique_ptr<MprisService> mpris_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<TrayMenu> tray_;
    std::unique_ptr<TrayWatcher> trayWatcher_;
    std::unique_ptr<SettingsView> settingsView_;
    QByteArray keptGeometry_;
};

} // namespace orvane
