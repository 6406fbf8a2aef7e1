#include "ui/rowmenus.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "engine/audioengine.h"
#include "engine/filename.h"
#include "ui/playlistpanel.h"
#include "ui/radiopanel.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QUrl>

namespace orvane {

RowMenus::RowMenus(AudioEngine* engine, PlaylistPanel* playlist, const QSet<QUuid>* trackSelection,
                   RadioPanel* radio, Preferences* preferences, QObject* parent)
    : QObject(parent)
    , engine_(engine)
    , playlist_(playlist)
    , trackSelection_(trackSelection)
    , radio_(radio)
    , preferences_(preferences) {
    // In viewport coordinates, as scroll areas give them.
    for (QListView* list : {playlist_->list(), radio_->list()})
        list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(playlist_->list(), &QWidget::customContextMenuRequested, this, &RowMenus::trackMenu);
    connect(radio_->list(), &QWidget::customContextMenuRequested, this, &RowMenus::stationMenu);
}

int RowMenus::rowAt(QListView* list, const QPoint& at) {
    const QModelIndex index = list->indexAt(at);
    if (index.isValid())
        return index.row();
    return list->hasFocus() && list->currentIndex().isValid() ? list->currentIndex().row() : -1;
}

void RowMenus::popup(QMenu* menu, QListView* list, int row, const QPoint& at) {
    if (menu_)
        menu_->close();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu_ = menu;
    // At the pointer, or under the row when the keyboard asked.
    const QRect rect = list->visualRect(list->model()->index(row, 0));
    const QPoint where = rect.contains(at) ? at : rect.bottomLeft() + QPoint(24, 0);
    menu->popup(list->viewport()->mapToGlobal(where));
}

void RowMenus::trackMenu(const QPoint& at) {
    QListView* list = playlist_->list();
    const int row = rowAt(list, at);
    const QUuid id = playlist_->model()->idAt(row);
    const int index = playlist_->model()->playlistIndex(row);
    if (id.isNull() || index < 0)
        return;
    if (!trackSelection_->contains(id))
        playlist_->clickRow(row);
    const QString lang = preferences_->language();
    const QString path = engine_->playlist().at(index).path();
    auto* menu = new QMenu(list);
    connect(menu->addAction(loc(QStringLiteral("play"), lang)), &QAction::triggered, this,
            [this, id] {
                const int r = playlist_->model()->rowOf(id);
                if (r >= 0)
                    playlist_->doubleClickRow(r);
            });
    connect(menu->addAction(loc(QStringLiteral("remove"), lang)), &QAction::triggered, this,
            [this] {
                if (playlist_->removeButton()->isEnabled())
                    playlist_->removeButton()->click();
            });
    menu->addSeparator();
    connect(menu->addAction(loc(QStringLiteral("show_in_folder"), lang)), &QAction::triggered,
            this, [path] { showInFolder(path); });
    popup(menu, list, row, at);
}

void RowMenus::stationMenu(const QPoint& at) {
    QListView* list = radio_->list();
    const int row = rowAt(list, at);
    if (row < 0 || row >= engine_->stations().size())
        return;
    const QUuid id = engine_->stations().at(row).id;
    if (!radio_->selection().contains(id))
        radio_->clickRow(row);
    const QString lang = preferences_->language();
    // The row is found again by id when an entry is chosen: the list may have changed meanwhile.
    auto rowOf = [this, id] {
        const QList<RadioStation>& list = engine_->stations();
        for (int i = 0; i < list.size(); ++i) {
            if (list.at(i).id == id)
                return i;
        }
        return -1;
    };
    auto* menu = new QMenu(list);
    connect(menu->addAction(loc(QStringLiteral("play"), lang)), &QAction::triggered, this,
            [this, rowOf] { radio_->doubleClickRow(rowOf()); });
    connect(menu->addAction(loc(QStringLiteral("edit_station"), lang)), &QAction::triggered, this,
            [this, rowOf] { radio_->editStation(rowOf()); });
    menu->addSeparator();
    connect(menu->addAction(loc(QStringLiteral("remove"), lang)), &QAction::triggered, this,
            [this] {
                if (radio_->removeButton()->isEnabled())
                    radio_->removeButton()->click();
            });
    popup(menu, list, row, at);
}

void RowMenus::showInFolder(const QString& path) {
    // The URI from the file name's bytes, so that a name that is not UTF-8 survives.
    const QString uri = QStringLiteral("file://") +
                        QString::fromLatin1(encodeFileName(path).toPercentEncoding("/"));
    const QString folder = QFileInfo(path).absolutePath();
    auto openFolder = [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolder();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{uri} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [openFolder](QDBusPendingCallWatcher* w) {
                         if (w->isError())
                             openFolder(); // no file manager answers on the bus
                         w->deleteLater();
                     });
}

} // namespace orvane
