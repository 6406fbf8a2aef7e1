#pragma once

#include <QWidget>

class QLabel;

namespace orvane {

class AudioEngine;
class Preferences;
class Theme;

// The main window. Closing it only hides it: playback, the tray and the media keys go on.
// Its content is the player; until the full interface lands it shows what plays.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    MainWindow(AudioEngine* engine, Preferences* preferences, Theme* theme,
               QWidget* parent = nullptr);

Q_SIGNALS:
    // Each time the window appears (the first time hands the engine to the file delegate).
    void appeared();
    void disappeared();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    AudioEngine* engine_;
    Preferences* preferences_;
    Theme* theme_;
    QLabel* nowPlaying_;
};

} // namespace orvane
