#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace orvane {

class AudioEngine;
class Preferences;

// The tray icon and its menu: now-playing line, Play/Pause, Next, Previous, Open Player, Quit.
// It stays while the main window is closed. Texts follow the language setting at once.
class TrayMenu : public QObject {
    Q_OBJECT
public:
    struct Entry {
        enum class Kind { Label, Play, Next, Previous, OpenPlayer, Quit, Separator };
        Kind kind;
        QString text;
        bool operator==(const Entry&) const = default;
    };
    // The menu for the engine's state, top to bottom.
    static QList<Entry> entries(const AudioEngine& engine, const QString& lang);

    TrayMenu(AudioEngine* engine, Preferences* preferences, std::function<void()> openPlayer,
             std::function<void()> quit, QObject* parent = nullptr);
    ~TrayMenu() override;

    // Shows the icon where the desktop has a tray.
    void show();
    QMenu* menu() const { return menu_.get(); }
    // "note" while playing, else "note-list".
    QString iconName() const { return iconName_; }

private:
    void rebuild();

    AudioEngine* engine_;
    Preferences* preferences_;
    std::function<void()> openPlayer_, quit_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    QString iconName_;
};

} // namespace orvane
