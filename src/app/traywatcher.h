#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <cstdint>

namespace orvane {

// Follows whether the desktop has a system tray while the program runs: on X11 the owner of the
// `_NET_SYSTEM_TRAY_S<n>` selection (a tray host announces itself with a MANAGER message on the
// root window; its window's destruction is its end), on D-Bus the owner of the
// `org.kde.StatusNotifierWatcher` name. Nothing is polled: each change is an event. Main thread.
class TrayWatcher : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit TrayWatcher(QObject* parent = nullptr);
    ~TrayWatcher() override;

    bool isAvailable() const { return available_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    // A tray appeared (true) or went (false).
    void availabilityChanged(bool available);

private:
    void watchX11();
    void watchOwner(); // the selection's owner window, whose destruction ends the tray
    void recheckSoon();
    void recheck();

    bool available_ = false;
    bool recheckQueued_ = false;
    void* connection_ = nullptr; // xcb_connection_t, Qt's own
    uint32_t root_ = 0;
    uint32_t trayAtom_ = 0;
    uint32_t managerAtom_ = 0;
    uint32_t owner_ = 0;
};

} // namespace orvane
