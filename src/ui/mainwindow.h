#pragma once

#include <QWidget>

namespace orvane {

class AudioEngine;
class ContentView;
class Preferences;
class RadioBrowser;
class Theme;

// The main window. Closing it only hides it (playback, the tray and the media keys go on),
// unless there is no tray to come back through: then closing asks to quit. Its content is the
// ContentView; the window's keys are set here. It tells the engine whether its progress and
// level bars are on screen (shown and not minimized), so that hidden playback stays light. Its
// title follows what plays.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    MainWindow(AudioEngine* engine, RadioBrowser* catalog, Preferences* preferences, Theme* theme,
               QWidget* parent = nullptr);
    ContentView* content() const { return content_; }
    // Whether closing the window ends the program (no tray to bring it back).
    void setQuitOnClose(bool quit) { quitOnClose_ = quit; }
    // What plays as a window title: "Title — Artist" (the title alone without an artist), a
    // station's name (after the song it announces), else "Orvane". The tray's tooltip too.
    static QString titleFor(const AudioEngine& engine);

Q_SIGNALS:
    // Each time the window appears (the first time hands the engine to the file delegate).
    void appeared();
    // Ctrl+, or the menu asks for the settings window.
    void settingsRequested();
    // Ctrl+Q or the menu, or closing the window when there is no tray.
    void quitRequested();
    // The window went off screen (closed to the tray, or the program ends): its place is kept.
    void hidden();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void tellEngineWhetherShown();
    void updateTitle();

    AudioEngine* engine_;
    ContentView* content_;
    bool quitOnClose_ = false;
};

} // namespace orvane
