#pragma once

#include "engine/playlistfile.h"

#include <QList>
#include <QPixmap>
#include <QSet>
#include <QUrl>
#include <QUuid>
#include <QWidget>
#include <functional>

class QAction;
class QStackedWidget;

namespace orvane {

class AboutView;
class AppMenu;
class AudioEngine;
class PlaylistPanel;
class PlayerPanel;
class Preferences;
class QuestionBar;
class RadioBrowser;
class RadioPanel;
class RowMenus;
class SymbolButton;
class Theme;

// The dashed accent frame with the hint, over the window while files are dragged over it.
class DropHighlight : public QWidget {
    Q_OBJECT
public:
    DropHighlight(Theme* theme, Preferences* preferences, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Theme* theme_;
    Preferences* preferences_;
};

// The window's content: the player on the left (340 wide), the playlist or the station list on
// the right, the background gradient, the open dialog and dropping of files and folders.
class ContentView : public QWidget {
    Q_OBJECT
public:
    ContentView(AudioEngine* engine, RadioBrowser* catalog, Preferences* preferences, Theme* theme,
                QWidget* parent = nullptr);

    // The open dialog's choice, by default a QFileDialog for audio files; tests replace it.
    void setFileChooser(std::function<QList<QUrl>()> chooser) { chooser_ = std::move(chooser); }
    void openFiles();
    // The folder chooser of "Open Folder…", by default a QFileDialog; tests replace it. The
    // folder is walked like a dropped one.
    void setFolderChooser(std::function<QUrl()> chooser) { folderChooser_ = std::move(chooser); }
    void openFolder();
    // "About Orvane", made on first use and centred over the window.
    void showAbout();
    // What a drop does: the walk runs off the main thread, then the files go to the engine.
    // Returns false (rejected) when nothing dropped can be a track, judged without walking.
    // Playlist files add their entries in their order; the stream addresses they hold become
    // stations once the question above the content is answered yes.
    bool handleDrop(const QList<QUrl>& urls);

    // "Save Playlist…" (Ctrl+S): the playlist written as .m3u8 or .xspf, by the name chosen.
    // The action is the window's (its shortcut works wherever the focus is); menus add it as
    // it is. A failure is told in the playlist panel's notice bar.
    QAction* savePlaylistAction() const { return savePlaylist_; }
    void savePlaylist();
    // The save dialog's choice (a path, empty for none); tests replace it.
    void setSaveChooser(std::function<QString()> chooser) { saveChooser_ = std::move(chooser); }
    QuestionBar* questionBar() const { return question_; }
    // Stream addresses from a playlist file become stations once the question above the content
    // is answered yes (for drops, the open dialog and files opened from outside alike).
    void offerStations(const QList<PlaylistFile::Stream>& streams);

    // What the window's keys do.
    void playSelection();        // Return: the selected track or station plays
    void removeSelection();      // Delete: the selected rows go
    void seekBy(double seconds); // Left/Right: within the loaded track

    // A notice at the top of the list panel on show (never a dialog).
    void showNotice(const QString& text);

    PlayerPanel* playerPanel() const { return player_; }
    PlaylistPanel* playlistPanel() const { return playlist_; }
    RadioPanel* radioPanel() const { return radio_; }
    // The "☰" button at the top right of the list panel and the menu it opens.
    SymbolButton* menuButton() const { return menuButton_; }
    AppMenu* appMenu() const { return appMenu_; }
    AboutView* aboutView() const { return about_; }
    RowMenus* rowMenus() const { return rowMenus_; }
    bool isDropTargeted() const { return dropTargeted_; }
    void setDropTargeted(bool on);
    const QSet<QUuid>& selection() const { return selection_; }

Q_SIGNALS:
    // A drop's files were handed to the engine (after the walk).
    void dropAdded(const QList<QUrl>& urls);
    // The menu's Settings… and Quit.
    void settingsRequested();
    void quitRequested();
    // A drop's or an open's playlist named stream addresses: the question is shown.
    void stationsOffered(int count);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void showMode();
    void installKeys();
    void buildMenu();
    void placeMenuButton();
    void wireNotices(); // the engine's failures, told in the window
    // Drops and the open dialog's choice: folders walked and playlists read on the pool.
    void addExpanded(const QList<QUrl>& urls);
    void retitle();

    AudioEngine* engine_;
    Preferences* preferences_;
    Theme* theme_;
    QSet<QUuid> selection_;
    PlayerPanel* player_;
    QStackedWidget* right_;
    PlaylistPanel* playlist_;
    RadioPanel* radio_;
    DropHighlight* highlight_;
    bool dropTargeted_ = false;
    QPixmap background_; // the gradient, redrawn on resize and on a change of appearance
    bool backgroundDark_ = false;
    std::function<QList<QUrl>()> chooser_;
    std::function<QUrl()> folderChooser_;
    SymbolButton* menuButton_ = nullptr;
    AppMenu* appMenu_ = nullptr;
    AboutView* about_ = nullptr;
    RowMenus* rowMenus_ = nullptr;
    QStringList unopened_;   // the names the files notice on show tells of
    QString unopenedNotice_; // that notice's text, while it is the one shown
    std::function<QString()> saveChooser_;
    QAction* savePlaylist_;
    QuestionBar* question_;
};

} // namespace orvane
