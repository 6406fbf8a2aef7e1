#include "app/nowplayingtoast.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "engine/clock.h"
#include "ui/resources.h"
#include "ui/theme.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <cstdlib>
#include <xcb/xcb.h>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QScreen>
#include <QSvgRenderer>

namespace orvane {

ToastView::ToastView(QString title, QString subtitle, const QByteArray& artwork, QString nowPlaying,
                     bool dark, bool composited, QWidget* parent)
    : QWidget(parent, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus)
    , title_(std::move(title))
    , subtitle_(std::move(subtitle))
    , nowPlaying_(std::move(nowPlaying))
    , dark_(dark)
    , composited_(composited) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_DeleteOnClose);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(NowPlayingToast::width, NowPlayingToast::height);
    if (!composited_) {
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()).adjusted(2, 2, -2, -2), 14, 14);
        setMask(QRegion(shape.toFillPolygon().toPolygon()));
    }
    if (!artwork.isEmpty()) {
        QImage image = QImage::fromData(artwork);
        if (!image.isNull())
            cover_ = image.scaled(96, 96, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    }
}

void ToastView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor primary = dark_ ? QColor(255, 255, 255) : QColor(0, 0, 0);
    auto withAlpha = [](QColor c, double a) {
        c.setAlphaF(float(a));
        return c;
    };

    // Panel: 2 of margin, corner radius 14, translucent fill, a faint outline.
    const QRectF panel = QRectF(rect()).adjusted(2, 2, -2, -2);
    QPainterPath shape;
    shape.addRoundedRect(panel, 14, 14);
    // Opaque where the window is shaped instead: nothing behind it would show through.
    const int alpha = composited_ ? (dark_ ? 225 : 230) : 255;
    p.fillPath(shape, dark_ ? QColor(28, 26, 44, alpha) : QColor(246, 247, 250, alpha));
    p.setPen(QPen(withAlpha(primary, 0.12), 1));
    p.drawPath(shape);

    // Cover, 48 × 48 with corner radius 8, or the gradient placeholder with a note.
    const QRectF art(panel.left() + 12, panel.center().y() - 24, 48, 48);
    QPainterPath artShape;
    artShape.addRoundedRect(art, 8, 8);
    p.save();
    p.setClipPath(artShape);
    if (!cover_.isNull()) {
        const QImage img = cover_;
        const QRectF source((img.width() - qMin(img.width(), img.height())) / 2.0,
                            (img.height() - qMin(img.width(), img.height())) / 2.0,
                            qMin(img.width(), img.height()), qMin(img.width(), img.height()));
        p.drawImage(art, img, source);
    } else {
        QLinearGradient gradient(art.topLeft(), art.bottomLeft());
        gradient.setColorAt(0, QColor(88, 86, 214));  // indigo
        gradient.setColorAt(1, QColor(175, 82, 222)); // purple
        p.fillRect(art, gradient);
        QSvgRenderer note(QStringLiteral(":/icons/note.svg"));
        QImage glyph(44, 44, QImage::Format_ARGB32_Premultiplied);
        glyph.fill(Qt::transparent);
        {
            QPainter g(&glyph);
            note.render(&g);
            g.setCompositionMode(QPainter::CompositionMode_SourceIn);
            g.fillRect(glyph.rect(), QColor(255, 255, 255, 178)); // white at 70 %
        }
        p.drawImage(QRectF(art.center().x() - 11, art.center().y() - 11, 22, 22), glyph);
    }
    p.restore();

    // Text: "Now Playing" in the accent, the title in bold, the subtitle dimmed.
    const double x = art.right() + 12;
    const double w = panel.right() - 12 - x;
    const QFont caption2 = Theme::textStyle(font(), Theme::Caption2);
    const QFont callout = Theme::textStyle(font(), Theme::Callout, true);
    const QFont caption = Theme::textStyle(font(), Theme::Caption);
    const QFontMetricsF m2(caption2), mc(callout), m1(caption);
    const double total = m2.height() + 2 + mc.height() + 2 + m1.height();
    double y = panel.center().y() - total / 2;
    p.setFont(caption2);
    p.setPen(Theme::neon(dark_));
    p.drawText(QRectF(x, y, w, m2.height()), Qt::AlignLeft | Qt::AlignVCenter,
               m2.elidedText(nowPlaying_, Qt::ElideRight, w));
    y += m2.height() + 2;
    p.setFont(callout);
    p.setPen(primary);
    p.drawText(QRectF(x, y, w, mc.height()), Qt::AlignLeft | Qt::AlignVCenter,
               mc.elidedText(title_, Qt::ElideRight, w));
    y += mc.height() + 2;
    p.setFont(caption);
    p.setPen(withAlpha(primary, 0.55));
    p.drawText(QRectF(x, y, w, m1.height()), Qt::AlignLeft | Qt::AlignVCenter,
               m1.elidedText(subtitle_, Qt::ElideRight, w));
}

NowPlayingToast::NowPlayingToast(Clock* clock, Preferences* preferences, Theme* theme,
                                 QObject* parent)
    : QObject(parent)
    , clock_(clock)
    , preferences_(preferences)
    , theme_(theme) {
    ::orvaneInitResources();
}

NowPlayingToast::~NowPlayingToast() {
    if (panel_)
        panel_->close();
}

void NowPlayingToast::show(const QString& title, const QString& subtitle,
                           const QByteArray& artwork) {
    const QString lang = preferences_->language();
    if (QGuiApplication::platformName() == QLatin1String("wayland")) {
        notify(title, subtitle);
        return;
    }
    hideTask_.reset();
    if (panel_) {
        panel_->close(); // at once, no fade
        panel_ = nullptr;
    }
    const QString theme = preferences_->theme();
    const bool dark = theme == QLatin1String("dark")    ? true
                      : theme == QLatin1String("light") ? false
                                                        : theme_->isDark();
    auto* view = new ToastView(title, subtitle, artwork, loc(QStringLiteral("now_playing"), lang),
                               dark, compositorCheck_());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        view->move(area.right() + 1 - width - 16, area.top() + 12);
    }
    view->setWindowOpacity(0.0);
    view->show();
    auto* fadeIn = new QPropertyAnimation(view, "windowOpacity", view);
    fadeIn->setDuration(250);
    fadeIn->setEndValue(1.0);
    fadeIn->start(QAbstractAnimation::DeleteWhenStopped);
    panel_ = view;
    hideTask_ = clock_->after(3.0, [this] { dismiss(); });
}

bool NowPlayingToast::compositorRunning() {
    // The offscreen platform answers for X11 too, without a connection.
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return true;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return true;
    // The screen is the number after the display's ".", 0 when it has none.
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype dot = display.lastIndexOf('.');
    const int screen = dot > display.lastIndexOf(':') ? display.mid(dot + 1).toInt() : 0;
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, quint16(name.size()), name.constData()),
        nullptr);
    if (!atom)
        return false;
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    const bool owned = owner && owner->owner != XCB_NONE;
    std::free(owner);
    std::free(atom);
    return owned;
}

void NowPlayingToast::dismiss() {
    if (!panel_)
        return;
    ToastView* view = panel_;
    panel_ = nullptr;
    auto* fadeOut = new QPropertyAnimation(view, "windowOpacity", view);
    fadeOut->setDuration(400);
    fadeOut->setEndValue(0.0);
    connect(fadeOut, &QPropertyAnimation::finished, view, &QWidget::close);
    fadeOut->start(QAbstractAnimation::DeleteWhenStopped);
}

void NowPlayingToast::notify(const QString& title, const QString& subtitle) {
    // org.freedesktop.Notifications: the new announcement replaces the previous one.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Orvane") << notificationId_ << QStringLiteral("orvane") << title
         << subtitle << QStringList() << QVariantMap{{QStringLiteral("transient"), true}}
         << int(3000);
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isValid())
            notificationId_ = reply.value();
        w->deleteLater();
    });
}

} // namespace orvane
