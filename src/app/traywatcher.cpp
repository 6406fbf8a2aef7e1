#include "app/traywatcher.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <xcb/xcb.h>

namespace orvane {

namespace {

uint32_t internAtom(xcb_connection_t* c, const QByteArray& name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.constData()),
                              nullptr);
    const uint32_t atom = reply ? reply->atom : 0;
    free(reply);
    return atom;
}

} // namespace

TrayWatcher::TrayWatcher(QObject* parent)
    : QObject(parent) {
    available_ = QSystemTrayIcon::isSystemTrayAvailable();
    // A StatusNotifierWatcher coming or going (KDE, and GNOME with its extension).
    auto* sni = new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"),
                                        QDBusConnection::sessionBus(),
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(sni, &QDBusServiceWatcher::serviceOwnerChanged, this, &TrayWatcher::recheckSoon);
    watchX11();
}

TrayWatcher::~TrayWatcher() {
    if (connection_)
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

void TrayWatcher::watchX11() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c)
        return;
    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    if (!screens.rem)
        return;
    // The first screen's: a multi-screen X display is long out of use.
    root_ = screens.data->root;
    trayAtom_ = internAtom(c, QByteArrayLiteral("_NET_SYSTEM_TRAY_S0"));
    managerAtom_ = internAtom(c, QByteArrayLiteral("MANAGER"));
    if (!trayAtom_ || !managerAtom_)
        return;
    connection_ = c;
    // MANAGER messages go to the root window with StructureNotify: added to what Qt selects.
    xcb_get_window_attributes_reply_t* attributes =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, root_), nullptr);
    const uint32_t mask =
        (attributes ? attributes->your_event_mask : 0) | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    free(attributes);
    xcb_change_window_attributes(c, root_, XCB_CW_EVENT_MASK, &mask);
    QCoreApplication::instance()->installNativeEventFilter(this);
    watchOwner();
    xcb_flush(c);
}

void TrayWatcher::watchOwner() {
    auto* c = static_cast<xcb_connection_t*>(connection_);
    xcb_get_selection_owner_reply_t* reply =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, trayAtom_), nullptr);
    owner_ = reply ? reply->owner : 0;
    free(reply);
    if (owner_) {
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY; // its DestroyNotify
        xcb_change_window_attributes(c, owner_, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c);
    }
}

bool TrayWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    switch (event->response_type & ~0x80) {
    case XCB_CLIENT_MESSAGE: {
        const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(event);
        if (m->type == managerAtom_ && m->format == 32 && m->data.data32[1] == trayAtom_) {
            watchOwner();
            recheckSoon();
        }
        break;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto* d = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
        if (owner_ && d->window == owner_) {
            owner_ = 0;
            recheckSoon();
        }
        break;
    }
    default:
        break;
    }
    return false; // Qt sees every event as before
}

void TrayWatcher::recheckSoon() {
    // After the event's own handling (Qt's tray code follows the same messages).
    if (std::exchange(recheckQueued_, true))
        return;
    QTimer::singleShot(0, this, &TrayWatcher::recheck);
}

void TrayWatcher::recheck() {
    recheckQueued_ = false;
    // Qt's answer covers a tray on D-Bus; on X11 the selection's owner says it plainly.
    const bool now = QSystemTrayIcon::isSystemTrayAvailable() || owner_ != 0;
    if (now == available_)
        return;
    available_ = now;
    Q_EMIT availabilityChanged(now);
}

} // namespace orvane
