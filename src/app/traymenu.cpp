#include "app/traymenu.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "engine/audioengine.h"
#include "ui/icons.h"
#include "ui/mainwindow.h"
#include "ui/resources.h"

#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <utility>

namespace orvane {

QList<TrayMenu::Entry> TrayMenu::entries(const AudioEngine& engine, const QString& lang) {
    using Kind = Entry::Kind;
    QList<Entry> list;
    if (const auto track = engine.currentTrack()) {
        list.append({Kind::Label, track->artist.isEmpty()
                                      ? track->title
                                      : track->artist + QStringLiteral(" – ") + track->title});
    } else if (const auto station = engine.currentStation()) {
        const QString song = engine.streamTitle();
        list.append({Kind::Label, song.isEmpty() ? station->name
                                                 : station->name + QStringLiteral(" — ") + song});
    }
    list.append({Kind::Play,
                 loc(engine.isPlaying() ? QStringLiteral("pause") : QStringLiteral("play"), lang)});
    list.append({Kind::Next, loc(QStringLiteral("next_track"), lang)});
    list.append({Kind::Previous, loc(QStringLiteral("prev_track"), lang)});
    list.append({Kind::Separator, {}});
    list.append({Kind::OpenPlayer, loc(QStringLiteral("open_player"), lang)});
    list.append({Kind::Separator, {}});
    list.append({Kind::Settings, loc(QStringLiteral("settings"), lang)});
    list.append({Kind::Quit, loc(QStringLiteral("quit"), lang)});
    return list;
}

TrayMenu::TrayMenu(AudioEngine* engine, Preferences* preferences, Actions actions, QObject* parent)
    : QObject(parent)
    , engine_(engine)
    , preferences_(preferences)
    , actions_(std::move(actions))
    , menu_(std::make_unique<QMenu>()) {
    ::orvaneInitResources();
    menu_->setToolTipsVisible(true);
    for (auto signal : {&AudioEngine::isPlayingChanged, &AudioEngine::currentIDChanged,
                        &AudioEngine::currentStationIDChanged, &AudioEngine::playlistChanged,
                        &AudioEngine::stationsChanged, &AudioEngine::streamTitleChanged})
        connect(engine_, signal, this, [this] { rebuildSoon_.request(); });
    connect(preferences_, &Preferences::languageChanged, this, &TrayMenu::rebuild);
    rebuild();
}

TrayMenu::~TrayMenu() = default;

QIcon TrayMenu::symbolIcon(const QString& name) {
    // Panels are dark or light: a near-white symbol inside a dark rim reads on both.
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        const int rim = std::max(1, size / 16);
        const int inner = size - 2 * rim;
        const QPixmap dark = Icons::pixmap(name, QColor(20, 20, 24, 230), inner, 1.0);
        const QPixmap light = Icons::pixmap(name, QColor(250, 250, 250), inner, 1.0);
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        for (int dx = -rim; dx <= rim; ++dx) {
            for (int dy = -rim; dy <= rim; ++dy) {
                if (dx != 0 || dy != 0)
                    p.drawPixmap(rim + dx, rim + dy, dark);
            }
        }
        p.drawPixmap(rim, rim, light);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

bool TrayMenu::show(bool available) {
    if (!available) {
        if (icon_)
            icon_->hide(); // the tray went; shown again when one comes
        return false;      // the window then ends the program when closed
    }
    if (!icon_) {
        icon_ = std::make_unique<QSystemTrayIcon>();
        icon_->setContextMenu(menu_.get());
        icon_->setToolTip(MainWindow::titleFor(*engine_));
        connect(icon_.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger) // a left click opens the player
                        actions_.openPlayer();
                });
    }
    rebuild();
    icon_->setIcon(symbolIcon(iconName_)); // before it shows: never a blank slot
    icon_->show();
    return true;
}

void TrayMenu::rebuild() {
    rebuildSoon_.cancel();
    // The playlist changes often during a large add; the menu is cheap to rebuild but only
    // its texts matter, so nothing is rebuilt while they stay the same.
    const QList<Entry> list = entries(*engine_, preferences_->language());
    const QString icon =
        engine_->isPlaying() ? QStringLiteral("note") : QStringLiteral("note-list");
    const auto old = menu_->property("entries").value<QStringList>();
    QStringList signature;
    for (const Entry& e : list)
        signature << QString::number(int(e.kind)) + e.text;
    if (icon_) {
        const QString tip = MainWindow::titleFor(*engine_);
        if (icon_->toolTip() != tip)
            icon_->setToolTip(tip);
    }
    if (icon != iconName_) {
        iconName_ = icon;
        if (icon_)
            icon_->setIcon(symbolIcon(icon));
    }
    if (signature == old && !menu_->actions().isEmpty())
        return;
    menu_->setProperty("entries", signature);
    menu_->clear();
    for (const Entry& e : list) {
        switch (e.kind) {
        case Entry::Kind::Label: {
            // A long title would make the menu as wide as the screen: one line of at most
            // labelWidth, whole in its tooltip.
            const QString shown =
                menu_->fontMetrics().elidedText(e.text, Qt::ElideRight, labelWidth);
            QAction* label = menu_->addAction(shown);
            label->setEnabled(false);
            if (shown != e.text)
                label->setToolTip(e.text);
            break;
        }
        case Entry::Kind::Separator:
            menu_->addSeparator();
            break;
        case Entry::Kind::Play:
            connect(menu_->addAction(e.text), &QAction::triggered, engine_,
                    &AudioEngine::togglePlay);
            break;
        case Entry::Kind::Next:
            connect(menu_->addAction(e.text), &QAction::triggered, engine_, &AudioEngine::next);
            break;
        case Entry::Kind::Previous:
            connect(menu_->addAction(e.text), &QAction::triggered, engine_, &AudioEngine::previous);
            break;
        case Entry::Kind::OpenPlayer:
            connect(menu_->addAction(e.text), &QAction::triggered, this,
                    [this] { actions_.openPlayer(); });
            break;
        case Entry::Kind::Settings:
            connect(menu_->addAction(e.text), &QAction::triggered, this,
                    [this] { actions_.showSettings(); });
            break;
        case Entry::Kind::Quit:
            connect(menu_->addAction(e.text), &QAction::triggered, this,
                    [this] { actions_.quit(); });
            break;
        }
    }
}

} // namespace orvane
