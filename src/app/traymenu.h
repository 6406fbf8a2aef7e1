#pragma once

#include "core/coalesced.h"

#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QIcon;
class QMenu;
class QSystemTrayIcon;

namespace orvane {

class AudioEngine;
class Preferences;

// The tray icon and its menu: now-playing line, Play/Pause, Next, Previous, Open Player,
// Settings…, Quit. It stays while the main window is closed. Texts follow the language setting
// at once; the icon's tooltip says what plays, like the window's title.
class TrayMenu : public QObject {
    Q_OBJECT
public:
    struct Entry {
        enum class Kind { Label, Play, Next, Previous, OpenPlayer, Settings, Quit, Separator };
        Kind kind;
        QString text;
        bool operator==(const Entry&) const = default;
    };
    // The now-playing line's widest, in pixels; longer texts end in "…".
    static constexpr int labelWidth = 360;
    // The menu for the engine's state, top to bottom.
    static QList<Entry> entries(const AudioEngine& engine, const QString& lang);

    struct Actions {
        std::function<void()> openPlayer, showSettings, quit;
    };
    TrayMenu(AudioEngine* engine, Preferences* preferences, Actions actions,
             QObject* parent = nullptr);
    ~TrayMenu() override;

    // Shows the icon when the desktop has a tray (`available`), hides it when it has none any
    // more; returns whether it is shown.
    bool show(bool available);
    QMenu* menu() const { return menu_.get(); }
    // The icon in the tray, once shown.
    QSystemTrayIcon* trayIcon() const { return icon_.get(); }
    // "note" while playing, else "note-list".
    QString iconName() const { return iconName_; }
    // The symbol as the tray shows it: light with a dark outline, readable on any panel.
    static QIcon symbolIcon(const QString& name);

private:
    void rebuild();

    AudioEngine* engine_;
    Preferences* preferences_;
    Actions actions_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    QString iconName_;
    // Engine changes come in bursts (one per appended track during an add): the menu follows
    // once per pass of the event loop.
    Coalesced rebuildSoon_{this, [this] { rebuild(); }};
};

} // namespace orvane
