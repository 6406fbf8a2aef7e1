#pragma once

#include <QMenu>

namespace orvane {

class Preferences;

// The window's "☰" menu: Open Files… (Ctrl+O), Open Folder…, Save Playlist… (Ctrl+S),
// Settings… (Ctrl+,), About Orvane, Quit (Ctrl+Q). Its texts follow the language; the keys it shows are the window's own
// (they work while the menu is open too).
class AppMenu : public QMenu {
    Q_OBJECT
public:
    enum Item { OpenFiles, OpenFolder, SavePlaylist, Settings, About, Quit };
    explicit AppMenu(Preferences* preferences, QWidget* parent = nullptr);
    QAction* action(Item item) const { return actions_[item]; }

private:
    void retranslate();

    Preferences* preferences_;
    QAction* actions_[Quit + 1];
};

} // namespace orvane
