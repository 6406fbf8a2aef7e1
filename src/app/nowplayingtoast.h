#pragma once

#include "engine/mediaservices.h"

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

namespace orvane {

class Clock;
class Preferences;
class Theme;
class TimerHandle;

// The toast's content: cover (or a gradient placeholder with a note), "Now Playing", the title
// and the subtitle, in a translucent rounded panel of 320 × 76. Where nothing composites the
// desktop, transparent pixels would show black: the panel is then opaque and the window is
// shaped to its rounded rectangle (a mask), at the cost of the soft edge.
class ToastView : public QWidget {
    Q_OBJECT
public:
    ToastView(QString title, QString subtitle, const QByteArray& artwork, QString nowPlaying,
              bool dark, bool composited = true, QWidget* parent = nullptr);
    const QString& title() const { return title_; }
    const QString& subtitle() const { return subtitle_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString title_, subtitle_, nowPlaying_;
    QImage cover_;
    bool dark_;
    bool composited_;
};

// Announces each new track or station for three seconds at the top right of the screen: fades
// in over 0.25 s, out over 0.4 s; a new announcement closes the old panel at once. It never
// takes focus. On Wayland, where a client cannot place its own window, the announcement goes to
// the desktop's notifications instead. Main thread only.
class NowPlayingToast : public QObject, public Announcer {
    Q_OBJECT
public:
    NowPlayingToast(Clock* clock, Preferences* preferences, Theme* theme,
                    QObject* parent = nullptr);
    ~NowPlayingToast() override;

    void show(const QString& title, const QString& subtitle, const QByteArray& artwork) override;

    // Whether a compositing manager runs on the X screen (it owns the _NET_WM_CM_S<screen>
    // selection); asked at each announcement, since one may start or stop at any time. Off X11
    // (offscreen), true.
    static bool compositorRunning();
    // Tests and the screenshots replace the question.
    void setCompositorCheck(std::function<bool()> check) { compositorCheck_ = std::move(check); }

    // The panel shown or fading in; null when none or once its fade-out began.
    ToastView* panel() const { return panel_; }
    static constexpr int width = 320, height = 76;

private:
    void dismiss();
    void notify(const QString& title, const QString& subtitle);

    Clock* clock_;
    Preferences* preferences_;
    Theme* theme_;
    QPointer<ToastView> panel_;
    std::unique_ptr<TimerHandle> hideTask_;
    uint notificationId_ = 0;
    std::function<bool()> compositorCheck_ = &NowPlayingToast::compositorRunning;
};

} // namespace orvane
