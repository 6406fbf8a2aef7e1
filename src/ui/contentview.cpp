#include "ui/contentview.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "engine/audioengine.h"
#include "engine/audiofiles.h"
#include "engine/filename.h"
#include "ui/aboutview.h"
#include "ui/appmenu.h"
#include "engine/playlistfile.h"
#include "ui/buttons.h"
#include "ui/glowbar.h"
#include "ui/icons.h"
#include "ui/noticebar.h"
#include "ui/playerpanel.h"
#include "ui/playlistpanel.h"
#include "ui/questionbar.h"
#include "ui/radiopanel.h"
#include "ui/rowmenus.h"
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
    buildMenu();
    rowMenus_ = new RowMenus(engine_, playlist_, &selection_, radio_, preferences_, this);
    wireNotices();
    // Tab goes down the player, then through the list on show and its footer.
    QWidget* chain[] = {
        player_->progressBar(),    player_->shuffleButton(), player_->previousButton(),
        player_->playButton(),     player_->nextButton(),    player_->repeatButton(),
        player_->volumeBar(),      player_->libraryButton(), player_->radioButton(),
        menuButton_,
        playlist_->filterField(),  playlist_->list(),        playlist_->addButton(),
        playlist_->removeButton(), radio_->list(),           radio_->addButton(),
        radio_->removeButton()};
    for (size_t i = 1; i < std::size(chain); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
    // A button pressed with the pointer never keeps the keyboard (one reached by Tab and then
    // clicked lets it go), so the next key is the window's, not another press.
    for (QAbstractButton* b : findChildren<QAbstractButton*>())
        b->installEventFilter(this);
}

bool ContentView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == right_ && (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        placeMenuButton(); // the menu button follows the panel's corner
    // At the press, before the button is down: losing the focus later would cancel the click.
    if (event->type() == QEvent::MouseButtonPress) {
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button && button->hasFocus())
            button->clearFocus();
    }
    return QWidget::eventFilter(watched, event);
}

void ContentView::buildMenu() {
    // Over the list panel's header, at its right; it serves both lists.
    menuButton_ = new SymbolButton(
        theme_, {30, 8, 1, [this] { return theme_->primary(0.10); }, {}, false, 18}, this);
    menuButton_->setFocusPolicy(Qt::TabFocus);
    appMenu_ = new AppMenu(preferences_, this);
    auto recolor = [this] {
        menuButton_->setSymbol(QStringLiteral("menu"), theme_->primary());
        menuButton_->setAccessibleName(loc(QStringLiteral("menu"), preferences_->language()));
        menuButton_->setToolTip(menuButton_->accessibleName());
    };
    connect(theme_, &Theme::changed, this, recolor);
    connect(preferences_, &Preferences::languageChanged, this, recolor);
    recolor();
    connect(menuButton_, &QAbstractButton::clicked, this, [this] {
        // Right-aligned under the button.
        const QSize size = appMenu_->sizeHint();
        appMenu_->popup(menuButton_->mapToGlobal(
            QPoint(menuButton_->width() - size.width(), menuButton_->height() + 4)));
    });
    connect(appMenu_->action(AppMenu::OpenFiles), &QAction::triggered, this,
            &ContentView::openFiles);
    connect(appMenu_->action(AppMenu::OpenFolder), &QAction::triggered, this,
            &ContentView::openFolder);
    connect(appMenu_->action(AppMenu::SavePlaylist), &QAction::triggered, this,
            &ContentView::savePlaylist);
    connect(appMenu_->action(AppMenu::Settings), &QAction::triggered, this,
            &ContentView::settingsRequested);
    connect(appMenu_->action(AppMenu::About), &QAction::triggered, this, &ContentView::showAbout);
    connect(appMenu_->action(AppMenu::Quit), &QAction::triggered, this,
            &ContentView::quitRequested);
    right_->installEventFilter(this); // the button follows the panel's corner
    placeMenuButton();
}

void ContentView::placeMenuButton() {
    // In line with the header's text: the header has 20 of padding around one headline line.
    const QRect panel = right_->geometry();
    const int headline = QFontMetrics(Theme::textStyle(font(), Theme::Headline, true)).height();
    menuButton_->move(panel.right() - 14 - menuButton_->width() + 1,
                      panel.top() + 20 + (headline - menuButton_->height()) / 2);
    menuButton_->raise();
}


void ContentView::showAbout() {
    if (!about_)
        about_ = new AboutView(preferences_, window());
    if (!about_->isVisible()) {
        about_->adjustSize();
        const QRect over = window()->frameGeometry();
        about_->move(over.center() - QPoint(about_->width() / 2, about_->height() / 2));
    }
    about_->show();
    about_->raise();
    about_->activateWindow();
}

void ContentView::openFolder() {
    QUrl folder;
    if (folderChooser_)
        folder = folderChooser_();
    else
        folder = QFileDialog::getExistingDirectoryUrl(this);
    if (folder.isLocalFile())
        handleDrop({folder}); // walked off the main thread like a dropped folder
}

void ContentView::installKeys() {
    auto key = [this](QKeySequence sequence, std::function<void()> action) {
        auto* shortcut = new QShortcut(sequence, this);
        connect(shortcut, &QShortcut::activated, this, std::move(action));
    };
    // Space is play/pause wherever the focus is (a text field keeps it by itself, for typing);
    // a focused button is pressed with Return.
    auto focusedButton = [this]() -> QAbstractButton* {
        return qobject_cast<QAbstractButton*>(window()->focusWidget());
    };
    key(Qt::Key_Space, [this] { engine_->togglePlay(); });
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
    key(QKeySequence::SelectAll, [this] {
        if (engine_->mode() == PlayerMode::Library)
            playlist_->selectAll();
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

void ContentView::showNotice(const QString& text) {
    ListPanel* panel = engine_->mode() == PlayerMode::Library ? static_cast<ListPanel*>(playlist_)
                                                              : static_cast<ListPanel*>(radio_);
    playlist_->noticeBar()->hide();
    radio_->noticeBar()->hide();
    panel->noticeBar()->showNotice(text);
}

namespace {

// A name as a notice lists it: a very long one is cut in its middle, keeping its extension.
QString shortName(const QString& name) {
    constexpr qsizetype kMax = 40;
    return name.size() <= kMax ? name
                               : name.left(kMax / 2) + QChar(0x2026) + name.right(kMax / 2 - 1);
}

} // namespace

void ContentView::wireNotices() {
    connect(engine_, &AudioEngine::filesNotOpened, this, [this](const QStringList& names) {
        // Files of one add arrive over several passes: while its notice shows, it grows.
        const NoticeBar* shown = engine_->mode() == PlayerMode::Library ? playlist_->noticeBar()
                                                                        : radio_->noticeBar();
        if (!shown->isVisible() || shown->text() != unopenedNotice_)
            unopened_.clear();
        unopened_ += names;
        const QString lang = preferences_->language();
        if (unopened_.size() == 1) {
            unopenedNotice_ = loc(QStringLiteral("file_not_opened"), lang)
                                  .arg(shortName(unopened_.constFirst()));
        } else {
            QStringList listed;
            for (qsizetype i = 0; i < std::min<qsizetype>(unopened_.size(), 3); ++i)
                listed.append(shortName(unopened_.at(i)));
            if (unopened_.size() > 3)
                listed.append(QString(QChar(0x2026)));
            unopenedNotice_ = loc(QStringLiteral("files_not_opened"), lang)
                                  .arg(QString::number(unopened_.size()),
                                       listed.join(QStringLiteral(", ")));
        }
        showNotice(unopenedNotice_);
    });
    connect(engine_, &AudioEngine::trackSkipped, this, [this](const QString& title) {
        showNotice(loc(QStringLiteral("file_gone"), preferences_->language())
                       .arg(shortName(title)));
    });
    connect(engine_, &AudioEngine::streamFailed, this, [this] {
        const auto station = engine_->currentStation();
        const QString lang = preferences_->language();
        QString what = loc(QStringLiteral("stream_error"), lang);
        const QString why = StreamPlayer::describe(engine_->radioFailure(), lang);
        if (!why.isEmpty())
            what += QStringLiteral(": ") + why;
        showNotice(station ? loc(QStringLiteral("stream_failed"), lang).arg(station->name, what)
                           : what);
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
        offerStations(found.streams);
    });
    watcher->setFuture(QtConcurrent::run(engine_->readerPool(), &PlaylistFile::expand, urls));
}

void ContentView::offerStations(const QList<PlaylistFile::Stream>& streams) {
    if (streams.isEmpty())
        return;
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
