#include "ui/buttons.h"

#include "ui/accessibility.h"
#include "ui/icons.h"
#include "ui/theme.h"

#include <QFocusEvent>
#include <QPainter>
#include <QPainterPath>

namespace orvane {

void paintFocusRing(QPainter& p, const QRectF& frame, double radius, const Theme& theme) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(theme.neon(), 2));
    const QRectF ring = frame.adjusted(1, 1, -1, -1);
    if (radius < 0)
        p.drawEllipse(ring);
    else
        p.drawRoundedRect(ring, std::max(0.0, radius - 1), std::max(0.0, radius - 1));
    p.restore();
}

bool isKeyboardFocus(Qt::FocusReason reason) {
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
           reason == Qt::ShortcutFocusReason;
}

void SymbolButton::focusInEvent(QFocusEvent* event) {
    ring_ = isKeyboardFocus(event->reason());
    QAbstractButton::focusInEvent(event);
}

void ModeButton::focusInEvent(QFocusEvent* event) {
    ring_ = isKeyboardFocus(event->reason());
    QAbstractButton::focusInEvent(event);
}

SymbolButton::SymbolButton(Theme* theme, Look look, QWidget* parent)
    : QAbstractButton(parent)
    , theme_(theme)
    , look_(std::move(look)) {
    setFixedSize(look_.size, look_.size);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus); // reached by Tab; a click leaves no ring
    connect(theme_, &Theme::changed, this, qOverload<>(&QWidget::update));
}

void SymbolButton::setSymbol(const QString& name, const QColor& color) {
    if (name == symbol_ && color == color_)
        return;
    symbol_ = name;
    color_ = color;
    update();
}

void SymbolButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double inset = look_.outlineWidth / 2 + 0.5;
    const QRectF frame = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    QPainterPath shape;
    if (look_.radius < 0)
        shape.addEllipse(frame);
    else
        shape.addRoundedRect(frame, look_.radius, look_.radius);
    if (look_.fill)
        p.fillPath(shape, look_.fill());
    if (isDown())
        p.fillPath(shape, theme_->primary(0.08));
    if (look_.gradientOutline) {
        QLinearGradient g(frame.topLeft(), frame.bottomLeft());
        QColor top = theme_->neon(), bottom(50, 173, 230); // system cyan
        top.setAlphaF(0.9f);
        bottom.setAlphaF(0.4f);
        g.setColorAt(0, top);
        g.setColorAt(1, bottom);
        p.setPen(QPen(QBrush(g), look_.outlineWidth));
        p.drawPath(shape);
    } else if (look_.outline) {
        p.setPen(QPen(look_.outline(), look_.outlineWidth));
        p.drawPath(shape);
    }
    if (!symbol_.isEmpty()) {
        const int s = look_.symbolSize;
        const QPixmap pm = Icons::pixmap(symbol_, color_, s, devicePixelRatioF());
        p.drawPixmap(QPointF((width() - s) / 2.0, (height() - s) / 2.0), pm);
    }
    if (hasFocus() && ring_)
        paintFocusRing(p, QRectF(rect()), look_.radius, *theme_);
}

ModeButton::ModeButton(Theme* theme, QString symbol, QWidget* parent)
    : QAbstractButton(parent)
    , theme_(theme)
    , symbol_(std::move(symbol)) {
    installAccessibleWidgets();
    setMinimumHeight(44);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus); // reached by Tab; a click leaves no ring
    connect(theme_, &Theme::changed, this, qOverload<>(&QWidget::update));
}

void ModeButton::setSelected(bool selected) {
    if (selected == selected_)
        return;
    selected_ = selected;
    update();
}

QSize ModeButton::sizeHint() const {
    const QFontMetrics m(font());
    return {m.horizontalAdvance(text()) + 56, 44};
}

void ModeButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor accent = theme_->neon();
    if (selected_) {
        QColor fill = accent;
        fill.setAlphaF(0.08f);
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(frame, 12, 12);
    }
    QColor outline = selected_ ? accent : theme_->primary(0.08);
    if (selected_)
        outline.setAlphaF(0.35f);
    p.setPen(QPen(outline, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(frame, 12, 12);
    const QColor color = selected_ ? accent : theme_->secondary();
    const QFontMetricsF m(font());
    const int icon = 18;
    const double total = icon + 8 + m.horizontalAdvance(text());
    const double x = (width() - total) / 2;
    p.drawPixmap(QPointF(x, (height() - icon) / 2.0),
                 Icons::pixmap(symbol_, color, icon, devicePixelRatioF()));
    p.setPen(color);
    p.drawText(QRectF(x + icon + 8, 0, m.horizontalAdvance(text()) + 2, height()),
               Qt::AlignVCenter | Qt::AlignLeft, text());
    if (hasFocus() && ring_)
        paintFocusRing(p, QRectF(rect()), 12, *theme_);
}

ModeSwitch::ModeSwitch(QWidget* parent)
    : QWidget(parent) {
    installAccessibleWidgets();
}

TintedBox::TintedBox(Theme* theme, double radius, double opacity, QWidget* parent)
    : QWidget(parent)
    , theme_(theme)
    , radius_(radius)
    , opacity_(opacity) {
    connect(theme_, &Theme::changed, this, qOverload<>(&QWidget::update));
}

void TintedBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(theme_->primary(opacity_));
    p.drawRoundedRect(rect(), radius_, radius_);
}

} // namespace orvane
