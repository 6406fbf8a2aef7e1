#pragma once

#include "core/coalesced.h"
#include "ui/glasspanel.h"

#include <QImage>

class QLabel;
class QLayout;
class QStackedWidget;

namespace orvane {

class AudioEngine;
class ElidedLabel;
class GlowBar;
class ModeButton;
class Preferences;
class SymbolButton;
class VisualizerView;

// The cover in the player's header: the radio placeholder while a station is loaded, the
// current track's full cover once it is read (its thumbnail until then), else the note
// placeholder.
class ArtworkView : public QWidget {
    Q_OBJECT
public:
    enum class Kind { Radio, Cover, Note };
    explicit ArtworkView(QWidget* parent = nullptr);
    void show(Kind kind, const QByteArray& artwork);
    Kind kind() const { return kind_; }
    // The size of the picture shown, as it was encoded (before it is scaled to the frame).
    QSize pictureSize() const { return kind_ == Kind::Cover ? pictureSize_ : QSize(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Kind kind_ = Kind::Note;
    QByteArray bytes_;
    QImage cover_;
    QSize pictureSize_;
};

// The left column: what plays, the position (or LIVE), the level bars, the transport, the
// volume and the library/radio switch. Reads the engine, calls its operations, keeps no state.
class PlayerPanel : public GlassPanel {
    Q_OBJECT
public:
    PlayerPanel(AudioEngine* engine, Preferences* preferences, Theme* theme,
                QWidget* parent = nullptr);

    // What is shown, for tests and the screenshots.
    QStringList headerLines() const;
    QStringList progressTexts() const; // elapsed and total, or LIVE and the status
    bool showsLive() const;
    QString volumeText() const;
    QString speakerSymbol() const;
    ArtworkView* artwork() const { return artwork_; }
    ElidedLabel* titleLabel() const { return line1_; }
    GlowBar* progressBar() const { return progress_; }
    GlowBar* volumeBar() const { return volume_; }
    // A click mutes, and restores the volume it took away.
    SymbolButton* speakerButton() const { return speaker_; }
    SymbolButton* shuffleButton() const { return shuffle_; }
    SymbolButton* repeatButton() const { return repeat_; }
    SymbolButton* playButton() const { return play_; }
    SymbolButton* previousButton() const { return previous_; }
    SymbolButton* nextButton() const { return next_; }
    ModeButton* libraryButton() const { return library_; }
    ModeButton* radioButton() const { return radio_; }
    VisualizerView* visualizer() const { return visualizer_; }

private:
    // The column, top to bottom: the steps that build it, then what keeps it current.
    QLayout* buildHeader();    // cover and three lines
    QWidget* buildProgress();  // the bar with its times, or the LIVE row
    QWidget* buildTransport(); // shuffle, previous, play, next, repeat
    QWidget* buildVolume();
    QWidget* buildModeSwitch();
    void wireEngine();         // each part redraws on the engine's changes it shows
    void followAppearance();   // colours and words follow the theme and the language
    QFont monoCaption() const; // the times' and the volume's digits

    void refreshHeader();
    void refreshProgress();
    void fitTimes();
    bool timesWordsStale_ = true;
    void refreshControls();
    void refreshVolume();
    void refreshMode();
    double scale() const; // the progress bar's length in seconds, at least 1
    QString statusText() const; // the station's state in words, with a failure's reason

    AudioEngine* engine_;
    Preferences* preferences_;
    ArtworkView* artwork_;
    ElidedLabel* line1_;
    ElidedLabel* line2_;
    ElidedLabel* line3_;
    QStackedWidget* progressArea_;
    GlowBar* progress_;
    QLabel* elapsed_;
    QLabel* total_;
    QLabel* liveStatus_;
    VisualizerView* visualizer_;
    SymbolButton* shuffle_;
    SymbolButton* previous_;
    SymbolButton* play_;
    SymbolButton* next_;
    SymbolButton* repeat_;
    SymbolButton* speaker_;
    double unmuted_ = 0; // the volume before the speaker muted it; 0: not muted by it
    GlowBar* volume_;
    QLabel* percent_;
    ModeButton* library_;
    ModeButton* radio_;
    QString speakerSymbol_;
    // A long add publishes the playlist once per track: the header follows once it settles.
    Coalesced playlistRefresh_{this, [this] {
                                   refreshHeader();
                                   refreshProgress();
                               }};
};

} // namespace orvane
