#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QUuid>

class QListView;
class QMenu;
class QPoint;

namespace orvane {

class AudioEngine;
class PlaylistPanel;
class Preferences;
class RadioPanel;

// The lists' right-click menus: on a track Play, Remove, Show in Folder; on a station Play,
// Edit…, Remove. A right-click on a row outside the selection selects that row first, so
// Remove takes what is selected, as the footer's "−" does. Main thread only.
class RowMenus : public QObject {
    Q_OBJECT
public:
    RowMenus(AudioEngine* engine, PlaylistPanel* playlist, const QSet<QUuid>* trackSelection,
             RadioPanel* radio, Preferences* preferences, QObject* parent = nullptr);
    // The menu open now; null when none.
    QMenu* menu() const { return menu_; }
    // Shows the file selected in the desktop's file manager
    // (org.freedesktop.FileManager1.ShowItems on the session bus); where none answers, opens the
    // folder holding it with the desktop's handler for folders.
    static void showInFolder(const QString& path);

private:
    void trackMenu(const QPoint& at);
    void stationMenu(const QPoint& at);
    // The row under `at` in the list's viewport, or the keyboard's current row (the menu key).
    static int rowAt(QListView* list, const QPoint& at);
    void popup(QMenu* menu, QListView* list, int row, const QPoint& at);

    AudioEngine* engine_;
    PlaylistPanel* playlist_;
    const QSet<QUuid>* trackSelection_;
    RadioPanel* radio_;
    Preferences* preferences_;
    QPointer<QMenu> menu_;
};

} // namespace orvane
