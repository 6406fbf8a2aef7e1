#include "ui/mainwindow.h"

#include "ui/contentview.h"

#include <QCloseEvent>
#include <QShortcut>
#include <QVBoxLayout>

namespace orvane {

MainWindow::MainWindow(AudioEngine* engine, RadioBrowser* catalog, Preferences* preferences,
                       Theme* theme, QWidget* parent)
    : QWidget(parent)
    , content_(new ContentView(engine, catalog, preferences, theme)) {
    setWindowTitle(QStringLiteral("Orvane"));
    setObjectName(QStringLiteral("main"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content_);
    resize(960, 640);
    // The desktop's usual "close window" keys (Ctrl+W): the window goes, playback stays.
    auto* close = new QShortcut(QKeySequence::Close, this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &MainWindow::quitRequested);
    auto* settings = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), this);
    connect(settings, &QShortcut::activated, this, &MainWindow::settingsRequested);
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Q_EMIT appeared();
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
