#include "app/settingsview.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "ui/theme.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace orvane {

namespace {

QWidget* column(std::initializer_list<QRadioButton*> buttons) {
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QRadioButton* b : buttons)
        layout->addWidget(b);
    return box;
}

} // namespace

SettingsView::SettingsView(Preferences* preferences, QWidget* parent)
    : QWidget(parent)
    , preferences_(preferences)
    , themeLabel_(new QLabel)
    , languageLabel_(new QLabel)
    , themes_(new QButtonGroup(this))
    , languages_(new QButtonGroup(this))
    , light_(new QRadioButton)
    , dark_(new QRadioButton)
    , systemTheme_(new QRadioButton)
    , systemLanguage_(new QRadioButton)
    , levellingLabel_(new QLabel)
    , levellings_(new QButtonGroup(this))
    , levellingButtons_{new QRadioButton, new QRadioButton, new QRadioButton}
    , crossfadeLabel_(new QLabel)
    , crossfade_(new QComboBox)
    , albumGapless_(new QCheckBox) {
    setFixedWidth(340);
    auto* russian = new QRadioButton(QStringLiteral("Русский"));
    auto* english = new QRadioButton(QStringLiteral("English"));
    const QStringList themeValues{"light", "dark", "system"};
    const QStringList languageValues{"ru", "en", "system"};
    int i = 0;
    for (QRadioButton* b : {light_, dark_, systemTheme_})
        themes_->addButton(b, i++);
    i = 0;
    for (QRadioButton* b : {russian, english, systemLanguage_})
        languages_->addButton(b, i++);

    auto* form = new QFormLayout(this);
    form->setContentsMargins(24, 24, 24, 24);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignTop);
    form->addRow(themeLabel_, column({light_, dark_, systemTheme_}));
    form->addItem(new QSpacerItem(0, 10)); // extra space above the language group
    form->addRow(languageLabel_, column({russian, english, systemLanguage_}));
    form->addItem(new QSpacerItem(0, 10));
    form->addRow(levellingLabel_,
                 column({levellingButtons_[0], levellingButtons_[1], levellingButtons_[2]}));
    const QStringList levellingValues{"off", "track", "album"};
    for (int k = 0; k < 3; ++k)
        levellings_->addButton(levellingButtons_[k], k);
    connect(levellings_, &QButtonGroup::idClicked, this, [this, levellingValues](int id) {
        preferences_->setVolumeLevelling(levellingValues.at(id));
    });
    connect(preferences_, &Preferences::volumeLevellingChanged, this, &SettingsView::sync);
    for (int seconds = 0; seconds <= Preferences::maxCrossfade; ++seconds)
        crossfade_->addItem(QString());
    crossfade_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    form->addRow(crossfadeLabel_, crossfade_);
    crossfadeLabel_->setBuddy(crossfade_);
    form->addRow(albumGapless_); // the whole width: its text is longer than a field's

    connect(themes_, &QButtonGroup::idClicked, this,
            [this, themeValues](int id) { preferences_->setTheme(themeValues.at(id)); });
    connect(languages_, &QButtonGroup::idClicked, this,
            [this, languageValues](int id) { preferences_->setLanguage(languageValues.at(id)); });
    connect(crossfade_, &QComboBox::activated, this,
            [this](int seconds) { preferences_->setCrossfade(seconds); });
    connect(albumGapless_, &QCheckBox::clicked, this,
            [this](bool on) { preferences_->setAlbumGapless(on); });
    connect(preferences_, &Preferences::crossfadeChanged, this, &SettingsView::sync);
    connect(preferences_, &Preferences::albumGaplessChanged, this, &SettingsView::sync);
    connect(preferences_, &Preferences::languageChanged, this, &SettingsView::retranslate);
    connect(preferences_, &Preferences::themeChanged, this, &SettingsView::sync);
    connect(preferences_, &Preferences::languageChanged, this, &SettingsView::sync);
    retranslate();
    sync();
    restyle();
    qApp->installEventFilter(this);
}

bool SettingsView::eventFilter(QObject* watched, QEvent* event) {
    // The application's palette follows the appearance (and the desktop's, for "System").
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
        restyle();
    return QWidget::eventFilter(watched, event);
}

void SettingsView::restyle() {
    // The stock indicator is drawn in the window's own colour on a dark palette: draw it from
    // the appearance instead, a ring in the text colour and the accent when chosen.
    const QPalette p = QApplication::palette(); // the appearance in force
    const bool dark = p.color(QPalette::Window).lightness() < 128;
    QColor ring = p.color(QPalette::WindowText);
    ring.setAlphaF(0.7f);
    const QColor accent = Theme::neon(dark);
    const QString sheet =
        QStringLiteral(
            "QRadioButton::indicator { width: 14px; height: 14px; border-radius: 8px;"
            " border: 1px solid %1; background: transparent; }"
            "QRadioButton::indicator:hover { border-color: %2; }"
            "QRadioButton::indicator:checked { border: 1px solid %2; background: qradialgradient("
            "cx: 0.5, cy: 0.5, radius: 0.5, fx: 0.5, fy: 0.5, stop: 0 %2, stop: 0.5 %2,"
            " stop: 0.62 transparent, stop: 1 transparent); }"
            "QRadioButton:focus { outline: none; }"
            "QCheckBox::indicator { width: 14px; height: 14px; border-radius: 3px;"
            " border: 1px solid %1; background: transparent; }"
            "QCheckBox::indicator:hover { border-color: %2; }"
            "QCheckBox::indicator:checked { border: 1px solid %2; background: qradialgradient("
            "cx: 0.5, cy: 0.5, radius: 0.7, fx: 0.5, fy: 0.5, stop: 0 %2, stop: 0.55 %2,"
            " stop: 0.6 transparent, stop: 1 transparent); }")
            .arg(Theme::css(ring), Theme::css(accent));
    if (styleSheet() != sheet)
        setStyleSheet(sheet);
}

void SettingsView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void SettingsView::retranslate() {
    const QString lang = preferences_->language();
    setWindowTitle(loc(QStringLiteral("settings_title"), lang));
    themeLabel_->setText(loc(QStringLiteral("theme_label"), lang));
    languageLabel_->setText(loc(QStringLiteral("language_label"), lang));
    light_->setText(loc(QStringLiteral("light"), lang));
    dark_->setText(loc(QStringLiteral("dark"), lang));
    systemTheme_->setText(loc(QStringLiteral("system_mode"), lang));
    systemLanguage_->setText(loc(QStringLiteral("system_mode"), lang));
    levellingLabel_->setText(loc(QStringLiteral("levelling_label"), lang));
    levellingButtons_[0]->setText(loc(QStringLiteral("levelling_off"), lang));
    levellingButtons_[1]->setText(loc(QStringLiteral("levelling_track"), lang));
    levellingButtons_[2]->setText(loc(QStringLiteral("levelling_album"), lang));
    crossfadeLabel_->setText(loc(QStringLiteral("crossfade_label"), lang));
    crossfade_->setItemText(0, loc(QStringLiteral("crossfade_off"), lang));
    for (int seconds = 1; seconds < crossfade_->count(); ++seconds)
        crossfade_->setItemText(seconds,
                                loc(QStringLiteral("crossfade_seconds"), lang).arg(seconds));
    albumGapless_->setText(loc(QStringLiteral("album_gapless"), lang));
}

void SettingsView::sync() {
    // An unknown stored value shows as "system", which is how it acts.
    const QString theme = preferences_->theme();
    themes_->button(theme == "light" ? 0 : theme == "dark" ? 1 : 2)->setChecked(true);
    const QString language = preferences_->language();
    languages_->button(language == "ru" ? 0 : language == "en" ? 1 : 2)->setChecked(true);
    const QString levelling = preferences_->volumeLevelling(); // unknown: off, as it acts
    levellings_->button(levelling == "track" ? 1 : levelling == "album" ? 2 : 0)->setChecked(true);
    crossfade_->setCurrentIndex(preferences_->crossfade());
    albumGapless_->setChecked(preferences_->albumGapless());
}

} // namespace orvane
