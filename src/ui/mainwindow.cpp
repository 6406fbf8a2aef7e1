#include "ui/mainwindow.h"

#include "engine/audioengine.h"
#include "ui/contentview.h"

#include <QAction>
#include <QCloseEvent>
#include <QShortcut>
#include <QVBoxLayout>

namespace orvane {

MainWindow::MainWindow(AudioEngine* engine, RadioBrowser* catalog, Preferences* preferences,
                       Theme* theme, QWidget* parent)
    : QWidget(parent)
    , engine_(engine)
    , content_(new ContentView(engine, catalog, preferences, theme)) {
    setObjectName(QStringLiteral("main"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content_);
    resize(960, 640);
    // The desktop's usual "close window" keys (Ctrl+W): the window goes, playback stays.
    auto* close = new QShortcut(QKeySequence::Close, this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
    // Quit and Settings are the window's actions: a sheet over it takes them too
    // (QWidget::actions()), so they work while it is open.
    auto* quit = new QAction(this);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);
    auto* settings = new QAction(this);
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, this, &MainWindow::settingsRequested);
    addActions({quit, settings});
    connect(content_, &ContentView::settingsRequested, this, &MainWindow::settingsRequested);
    connect(content_, &ContentView::quitRequested, this, &MainWindow::quitRequested);
    for (auto signal : {&AudioEngine::currentIDChanged, &AudioEngine::currentStationIDChanged,
                        &AudioEngine::playlistChanged, &AudioEngine::stationsChanged,
                        &AudioEngine::streamTitleChanged})
        connect(engine_, signal, this, &MainWindow::updateTitle);
    updateTitle();
    tellEngineWhetherShown(); // not yet: nothing shows the bars until the window appears
}

QString MainWindow::titleFor(const AudioEngine& engine) {
    if (const auto track = engine.currentTrack()) {
        if (!track->title.isEmpty())
            return track->artist.isEmpty() ? track->title
                                           : track->title + QStringLiteral(" — ") + track->artist;
    } else if (const auto station = engine.currentStation()) {
        const QString song = engine.streamTitle();
        return song.isEmpty() ? station->name : song + QStringLiteral(" — ") + station->name;
    }
    return QStringLiteral("Orvane");
}

void MainWindow::updateTitle() {
    const QString title = titleFor(*engine_);
    if (windowTitle() != title) // a long add publishes the playlist once per track
        setWindowTitle(title);
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    tellEngineWhetherShown();
    Q_EMIT appeared();
}

void MainWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    engine_->setViewsShown(false);
    Q_EMIT hidden();
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        tellEngineWhetherShown();
}

void MainWindow::tellEngineWhetherShown() {
    engine_->setViewsShown(isVisible() && !isMinimized());
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (quitOnClose_) {
        // Without a tray nothing could bring the window back: closing it ends the program.
        event->accept();
        Q_EMIT quitRequested();
        return;
    }
    hide(); // the process goes on with its tray icon
    event->ignore();
}

} // namespace orvane
