#pragma once

#include <QWidget>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QRadioButton;

namespace orvane {

class Preferences;

// The settings window: appearance (Light, Dark, System), language (Русский, English, System)
// and volume levelling (Off, Track, Album) as radio groups, then the crossfade (Off, 1..12 s)
// and "No crossfade within an album"; a choice is written and takes effect at once. Titled
// "Settings"; Escape closes it.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    explicit SettingsView(Preferences* preferences, QWidget* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void restyle();
    void retranslate();
    void sync();

    Preferences* preferences_;
    QLabel* themeLabel_;
    QLabel* languageLabel_;
    QButtonGroup* themes_;
    QButtonGroup* languages_;
    QRadioButton* light_;
    QRadioButton* dark_;
    QRadioButton* systemTheme_;
    QRadioButton* systemLanguage_;
    QLabel* levellingLabel_;
    QButtonGroup* levellings_;
    QRadioButton* levellingButtons_[3]; // Off, Track, Album
    QLabel* crossfadeLabel_;
    QComboBox* crossfade_; // item i: i seconds, 0 = Off
    QCheckBox* albumGapless_;
};

} // namespace orvane
