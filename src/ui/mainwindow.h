#pragma once

#include <QWidget>

namespace orvane {

class AudioEngine;
class ContentView;
class Preferences;
class RadioBrowser;
class Theme;

// The main window. Closing it only hides it: playback, the tray and the media keys go on.
// Its content is the ContentView.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    MainWindow(AudioEngine* engine, RadioBrowser* catalog, Preferences* preferences, Theme* theme,
               QWidget* parent = nullptr);
    ContentView* content() const { return content_; }

Q_SIGNALS:
    // Each time the window appears (the first time hands the engine to the file delegate).
    void appeared();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    ContentView* content_;
};

} // namespace orvane
