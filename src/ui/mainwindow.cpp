#include "ui/mainwindow.h"

#include "app/localization.h"
#include "app/preferences.h"
#include "engine/audioengine.h"
#include "ui/theme.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace orvane {

MainWindow::MainWindow(AudioEngine* engine, Preferences* preferences, Theme* theme, QWidget* parent)
    : QWidget(parent)
    , engine_(engine)
    , preferences_(preferences)
    , theme_(theme)
    , nowPlaying_(new QLabel) {
    setWindowTitle(QStringLiteral("Orvane"));
    setObjectName(QStringLiteral("main"));
    resize(880, 560);
    auto* layout = new QVBoxLayout(this);
    nowPlaying_->setAlignment(Qt::AlignCenter);
    nowPlaying_->setWordWrap(true);
    layout->addWidget(nowPlaying_);
    for (auto signal : {&AudioEngine::currentIDChanged, &AudioEngine::currentStationIDChanged,
                        &AudioEngine::isPlayingChanged})
        connect(engine_, signal, this, &MainWindow::refresh);
    connect(preferences_, &Preferences::languageChanged, this, &MainWindow::refresh);
    connect(theme_, &Theme::changed, this, [this] {
        refresh();
        update();
    });
    refresh();
}

void MainWindow::refresh() {
    QString text = loc(QStringLiteral("select_track"), preferences_->language());
    if (const auto track = engine_->currentTrack())
        text = track->artist.isEmpty() ? track->title : track->artist + " – " + track->title;
    else if (const auto station = engine_->currentStation())
        text = station->name;
    nowPlaying_->setText(text);
    QPalette p = nowPlaying_->palette();
    p.setColor(QPalette::WindowText, theme_->primary());
    nowPlaying_->setPalette(p);
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Q_EMIT appeared();
}

void MainWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!isMinimized())
        Q_EMIT disappeared();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    hide(); // the process goes on with its tray icon
    event->ignore();
}

void MainWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QLinearGradient gradient(rect().topLeft(), rect().bottomRight());
    gradient.setColorAt(0, theme_->bgTop());
    gradient.setColorAt(1, theme_->bgBottom());
    p.fillRect(rect(), gradient);
}

} // namespace orvane
