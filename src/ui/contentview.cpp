#include "ui/contentview.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "engine/audioengine.h"
#include "engine/audiofiles.h"
#include "engine/filename.h"
#include "engine/playlistfile.h"
#include "ui/buttons.h"
#include "ui/glowbar.h"
#include "ui/icons.h"
#include "ui/noticebar.h"
#include "ui/playerpanel.h"
#include "ui/playlistpanel.h"
#include "ui/questionbar.h"
#include "ui/radiopanel.h"
#include "ui/theme.h"

#include <QAbstractButton>
#include <QAction>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QtConcurrent/QtConcurrentRun>

namespace orvane {

DropHighlight::DropHighlight(Theme* theme, Preferences* preferences, QWidget* parent)
    : QWidget(parent)
    , theme_(theme)
    , preferences_(preferences) {
    setAttribute(Qt::WA_TransparentForMouseEvents); // the pointer reaches the panels below
}

void DropHighlight::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(1, 1, -1, -1);
    QColor fill = theme_->neon();
    fill.setAlphaF(0.08f);
    p.setBrush(fill);
    QPen dash(theme_->neon(), 2);
    dash.setDashPattern({5, 3}); // 10 drawn, 6 blank at width 2
    p.setPen(dash);
    p.drawRoundedRect(frame, 22, 22);
    const QString hint = loc(QStringLiteral("drop_hint"), preferences_->language());
    const QFont font = Theme::textStyle(this->font(), Theme::Title2);
    const QFontMetrics m(font);
    const int icon = m.height();
    const int total = icon + 8 + m.horizontalAdvance(hint);
    const QPointF start((width() - total) / 2.0, (height() - icon) / 2.0);
    p.drawPixmap(start, Icons::pixmap(QStringLiteral("plus-circle-filled"), theme_->neon(), icon,
                                      devicePixelRatioF()));
    p.setFont(font);
    p.setPen(theme_->neon());
    p.drawText(QRectF(start.x() + icon + 8, start.y(), total, icon), Qt::AlignVCenter, hint);
}

ContentView::ContentView(AudioEngine* engine, RadioBrowser* catalog, Preferences* preferences,
                         Theme* theme, QWidget* parent)
    : QWidget(parent)
    , engine_(engine)
    , preferences_(preferences)
    , theme_(theme) {
    setMinimumSize(860, 560);
    setAcceptDrops(true);
    setAttribute(Qt::WA_OpaquePaintEvent); // the background covers every pixel
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 16, 16, 16);
    row->setSpacing(16);
    player_ = new PlayerPanel(engine_, preferences_, theme_);
    player_->setFixedWidth(340);
    row->addWidget(player_);
    right_ = new QStackedWidget;
    playlist_ = new PlaylistPanel(engine_, &selection_, preferences_, theme_);
    radio_ = new RadioPanel(engine_, catalog, preferences_, theme_);
    right_->addWidget(playlist_);
    right_->addWidget(radio_);
    row->addWidget(right_, 1);
    playlist_->setOnImport([this] { openFiles(); });
    highlight_ = new DropHighlight(theme_, preferences_, this);
    highlight_->hide();
    question_ = new QuestionBar(theme_, this);
    savePlaylist_ = new QAction(this);
    savePlaylist_->setShortcut(QKeySequence::Save);
    savePlaylist_->setShortcutContext(Qt::WindowShortcut);
    connect(savePlaylist_, &QAction::triggered, this, &ContentView::savePlaylist);
    addAction(savePlaylist_);
    connect(preferences_, &Preferences::languageChanged, this, &ContentView::retitle);
    retitle();
    connect(engine_, &AudioEngine::modeChanged, this, &ContentView::showMode);
    connect(theme_, &Theme::changed, this, qOverload<>(&QWidget::update));
    showMode();
    installKeys();
    // Tab goes down the player, then through the list on show and its footer.
    QWidget* chain[] = {
        player_->progressBar(),    player_->shuffleButton(), player_->previousButton(),
        player_->playButton(),     player_->nextButton(),    player_->repeatButton(),
        player_->volumeBar(),      player_->libraryButton(), player_->radioButton(),
        playlist_->filterField(),  playlist_->list(),        playlist_->addButton(),
        playlist_->removeButton(), radio_->list(),           radio_->addButton(),
        radio_->removeButton()};
    for (size_t i = 1; i < std::size(chain); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}

void ContentView::installKeys() {
    auto key = [this](QKeySequence sequence, std::function<void()> action) {
        auto* shortcut = new QShortcut(sequence, this);
        connect(shortcut, &QShortcut::activated, this, std::move(action));
    };
    // A focused button keeps its own Space and Return (the desktop's way to press it); text
    // fields keep theirs by themselves.
    auto focusedButton = [this]() -> QAbstractButton* {
        return qobject_cast<QAbstractButton*>(window()->focusWidget());
    };
    key(Qt::Key_Space, [this, focusedButton] {
        if (QAbstractButton* b = focusedButton())
            b->click();
        else
            engine_->togglePlay();
    });
    for (const int k : {Qt::Key_Return, Qt::Key_Enter}) {
        key(k, [this, focusedButton] {
            if (QAbstractButton* b = focusedButton())
                b->click();
            else
                playSelection();
        });
    }
    key(QKeySequence::Open, [this] { openFiles(); });
    key(Qt::Key_Delete, [this] { removeSelection(); });
    key(Qt::Key_Left, [this] { seekBy(-5); });
    key(Qt::Key_Right, [this] { seekBy(5); });
    key(Qt::CTRL | Qt::Key_Left, [this] { engine_->previous(); });
    key(Qt::CTRL | Qt::Key_Right, [this] { engine_->next(); });
    key(Qt::CTRL | Qt::Key_L, [this] { engine_->setMode(PlayerMode::Library); });
    key(Qt::CTRL | Qt::Key_R, [this] { engine_->setMode(PlayerMode::Radio); });
    // The playlist's filter and reordering.
    key(QKeySequence::Find, [this] {
        if (engine_->mode() == PlayerMode::Library)
            playlist_->focusFilter();
    });
    key(Qt::Key_Escape, [this] {
        if (engine_->mode() == PlayerMode::Library &&
            (!playlist_->filterField()->text().isEmpty() || playlist_->filterField()->hasFocus())) {
            playlist_->clearFilter();
            playlist_->list()->setFocus(Qt::OtherFocusReason);
        }
    });
    key(Qt::ALT | Qt::Key_Up, [this] {
        if (engine_->mode() == PlayerMode::Library)
            playlist_->moveSelection(-1);
    });
    key(Qt::ALT | Qt::Key_Down, [this] {
        if (engine_->mode() == PlayerMode::Library)
            playlist_->moveSelection(1);
    });
}

void ContentView::playSelection() {
    if (engine_->mode() == PlayerMode::Library) {
        // The rows on show: Return in the filter field with nothing chosen plays the first.
        int row = playlist_->model()->rowOf(playlist_->firstSelected());
        if (row < 0 && playlist_->filterField()->hasFocus() && playlist_->model()->isFiltered())
            row = 0;
        playlist_->doubleClickRow(row);
    } else {
        const QList<RadioStation>& list = engine_->stations();
        for (int i = 0; i < list.size(); ++i) {
            if (radio_->selection().contains(list.at(i).id)) {
                radio_->doubleClickRow(i);
                return;
            }
        }
    }
}

void ContentView::removeSelection() {
    // The footer's "−", as a click would press it.
    ListPanel* panel = engine_->mode() == PlayerMode::Library ? static_cast<ListPanel*>(playlist_)
                                                              : static_cast<ListPanel*>(radio_);
    if (panel->removeButton()->isEnabled())
        panel->removeButton()->click();
}

void ContentView::seekBy(double seconds) {
    const auto track = engine_->currentTrack();
    if (engine_->isRadioActive() || !track)
        return;
    double target = std::max(engine_->livePosition() + seconds, 0.0);
    if (track->duration > 0) // a length not yet known puts no end to it
        target = std::min(target, track->duration);
    engine_->seek(target);
}

void ContentView::showMode() {
    right_->setCurrentWidget(engine_->mode() == PlayerMode::Library
                                 ? static_cast<QWidget*>(playlist_)
                                 : static_cast<QWidget*>(radio_));
}

void ContentView::openFiles() {
    QList<QUrl> urls;
    if (chooser_) {
        urls = chooser_();
    } else {
        // The kinds a drop takes, named once, and a way out for odd names; several files
        // at once, no folders.
        const QString lang = preferences_->language();
        QStringList globs;
        for (const QString& ext : AudioFiles::extensions())
            globs.append(QStringLiteral("*.") + ext);
        for (const char* ext : {"m3u", "m3u8", "pls", "xspf"})
            globs.append(QStringLiteral("*.") + QLatin1String(ext));
        QFileDialog dialog(this);
        dialog.setFileMode(QFileDialog::ExistingFiles);
        dialog.setNameFilters({loc(QStringLiteral("audio_files"), lang) +
                                   QStringLiteral(" (%1)").arg(globs.join(QLatin1Char(' '))),
                               loc(QStringLiteral("all_files"), lang) + QStringLiteral(" (*)")});
        if (dialog.exec() == QDialog::Accepted)
            urls = dialog.selectedUrls();
    }
    if (urls.isEmpty())
        return;
    if (std::none_of(urls.begin(), urls.end(), [](const QUrl& url) {
            return url.isLocalFile() && PlaylistFile::isPlaylistName(url.toLocalFile());
        })) {
        engine_->add(urls, false); // in the dialog's order, unsorted
        return;
    }
    addExpanded(urls);
}

bool ContentView::handleDrop(const QList<QUrl>& urls) {
    setDropTargeted(false);
    // Rejected at once when nothing can be a track (no folder, no accepted file).
    bool possible = false;
    for (const QUrl& url : urls) {
        if (url.isLocalFile() &&
            (isFolder(url.toLocalFile()) || AudioFiles::isAudioName(url.toLocalFile()) ||
             PlaylistFile::isPlaylistName(url.toLocalFile())))
            possible = true;
    }
    if (!possible)
        return false;
    addExpanded(urls);
    return true;
}

void ContentView::addExpanded(const QList<QUrl>& urls) {
    // Walking a large tree takes time: it runs on the pool and the window goes on drawing.
    auto* watcher = new QFutureWatcher<PlaylistFile::Contents>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        const PlaylistFile::Contents found = watcher->result();
        if (!found.files.isEmpty()) {
            engine_->add(found.files, false);
            Q_EMIT dropAdded(found.files);
        }
        if (found.streams.isEmpty())
            return;
        const QList<PlaylistFile::Stream> streams = found.streams;
        const QString lang = preferences_->language();
        question_->ask(loc(QStringLiteral("add_stations_question"), lang).arg(streams.size()),
                       loc(QStringLiteral("add"), lang), loc(QStringLiteral("cancel"), lang),
                       [this, streams] {
                           QList<RadioStation> stations = engine_->stations();
                           for (const PlaylistFile::Stream& stream : streams)
                               stations.append({QUuid::createUuid(), stream.name, stream.url});
                           engine_->setStations(std::move(stations));
                       });
        question_->setGeometry(60, 24, width() - 120, question_->sizeHint().height());
        Q_EMIT stationsOffered(int(streams.size()));
    });
    watcher->setFuture(QtConcurrent::run(engine_->readerPool(), &PlaylistFile::expand, urls));
}

void ContentView::savePlaylist() {
    const QString lang = preferences_->language();
    QString path;
    if (saveChooser_) {
        path = saveChooser_();
    } else {
        QFileDialog dialog(this);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilters(
            {loc(QStringLiteral("playlist_files"), lang) + QStringLiteral(" (*.m3u8 *.xspf)")});
        dialog.setDefaultSuffix(QStringLiteral("m3u8"));
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            path = dialog.selectedFiles().constFirst();
    }
    if (path.isEmpty())
        return;
    QString error;
    if (!PlaylistFile::save(path, engine_->playlist(), &error))
        playlist_->noticeBar()->showNotice(
            loc(QStringLiteral("playlist_not_saved"), lang).arg(error));
}

void ContentView::retitle() {
    savePlaylist_->setText(loc(QStringLiteral("save_playlist"), preferences_->language()));
}

void ContentView::setDropTargeted(bool on) {
    dropTargeted_ = on;
    highlight_->setVisible(on);
    if (on)
        highlight_->raise();
}

void ContentView::paintEvent(QPaintEvent* event) {
    const qreal dpr = devicePixelRatioF();
    if (background_.size() != size() * dpr || backgroundDark_ != theme_->isDark()) {
        background_ = QPixmap(size() * dpr);
        background_.setDevicePixelRatio(dpr);
        QPainter bp(&background_);
        QLinearGradient gradient(rect().topLeft(), rect().bottomRight());
        gradient.setColorAt(0, theme_->bgTop());
        gradient.setColorAt(1, theme_->bgBottom());
        bp.fillRect(rect(), gradient);
        backgroundDark_ = theme_->isDark();
    }
    QPainter p(this);
    p.drawPixmap(
        event->rect(), background_,
        QRectF(QPointF(event->rect().topLeft()) * dpr, QSizeF(event->rect().size()) * dpr));
}

void ContentView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    highlight_->setGeometry(rect().adjusted(10, 10, -10, -10));
    if (question_->isVisible())
        question_->setGeometry(60, 24, width() - 120, question_->sizeHint().height());
}

void ContentView::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        setDropTargeted(true);
        event->acceptProposedAction();
    }
}

void ContentView::dragLeaveEvent(QDragLeaveEvent*) {
    setDropTargeted(false);
}

void ContentView::dropEvent(QDropEvent* event) {
    if (handleDrop(event->mimeData()->urls()))
        event->acceptProposedAction();
    else
        event->ignore();
}

} // namespace orvane
