#include "ui/glowbar.h"

#include "ui/accessibility.h"
#include "ui/buttons.h"
#include "ui/theme.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace orvane {

GlowBar::GlowBar(Theme* theme, QWidget* parent)
    : QWidget(parent)
    , theme_(theme) {
    setFixedHeight(barHeight + 2 * margin);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    // A click gives the keyboard too (the arrows then move this bar); the ring shows only for
    // focus that came from the keyboard.
    setFocusPolicy(Qt::StrongFocus);
    installAccessibleWidgets();
    connect(theme_, &Theme::changed, this, qOverload<>(&QWidget::update));
}

void GlowBar::setValue(double value) {
    if (value == value_ || (std::isnan(value) && std::isnan(value_)))
        return;
    const double before = fillWidth();
    value_ = value;
    // The position moves twenty times a second by a fraction of a pixel: repaint only when the
    // fill visibly changes.
    if (std::abs(fillWidth() - before) >= 0.25 || (before == 0) != (fillWidth() == 0))
        update();
}

void GlowBar::setAccessibleValue(double maximum, const QString& text) {
    if (maximum == accessibleMaximum_ && text == valueText_)
        return;
    accessibleMaximum_ = maximum;
    valueText_ = text;
    // Told when the words change (once a second while a track plays), not at every step.
    if (QAccessible::isActive()) {
        const double v = std::isnan(value_) ? 0.0 : std::clamp(value_, 0.0, 1.0);
        QAccessibleValueChangeEvent event(this, v * maximum);
        QAccessible::updateAccessibility(&event);
    }
}

void GlowBar::request(double fraction) {
    if (onChange_)
        onChange_(std::clamp(std::isnan(fraction) ? 0.0 : fraction, 0.0, 1.0));
}

void GlowBar::step(int direction) {
    if (keyStep_ <= 0 || direction == 0)
        return;
    const double v = std::isnan(value_) ? 0.0 : value_;
    request(v + (direction > 0 ? 1 : -1) * keyStep_);
}

void GlowBar::setSideMargin(int side) {
    side_ = std::max(0, side);
    updateGeometry();
    update();
}

QRectF GlowBar::barRect() const {
    return QRectF(side_, margin, std::max(0, width() - 2 * side_), barHeight);
}

double GlowBar::fillWidth() const {
    const double v = std::isnan(value_) ? 0.0 : std::min(std::max(value_, 0.0), 1.0);
    return std::max(0.0, barRect().width() * v);
}

double GlowBar::fractionAt(double x) const {
    const double w = barRect().width();
    if (w <= 0)
        return 0;
    return std::min(1.0, std::max(0.0, (x - side_) / w));
}

void GlowBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bar = barRect();
    const double r = barHeight / 2.0;
    p.setPen(Qt::NoPen);
    p.setBrush(theme_->primary(0.15));
    p.drawRoundedRect(bar, r, r);
    const double w = fillWidth();
    if (w > 0) {
        const QRectF fill(bar.left(), bar.top(), w, bar.height());
        QLinearGradient gradient(fill.topLeft(), fill.topRight());
        QColor end = theme_->neon();
        end.setAlphaF(0.6f);
        gradient.setColorAt(0, theme_->neon());
        gradient.setColorAt(1, end);
        p.setBrush(gradient);
        p.drawRoundedRect(fill, std::min(r, w / 2), r);
    }
    if (hasFocus() && ring_)
        paintFocusRing(p, QRectF(rect()).adjusted(side_ > 2 ? 2 : 0, 2, side_ > 2 ? -2 : 0, -2), 8,
                       *theme_);
}

namespace {
int stepDirection(const QKeyEvent* event) {
    if (event->modifiers() & ~Qt::KeypadModifier)
        return 0;
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Down:
        return -1;
    case Qt::Key_Right:
    case Qt::Key_Up:
        return 1;
    default:
        return 0;
    }
}
} // namespace

bool GlowBar::event(QEvent* event) {
    // The arrows belong to the focused bar, before the window's own Left/Right.
    if (event->type() == QEvent::ShortcutOverride && keyStep_ > 0 &&
        stepDirection(static_cast<QKeyEvent*>(event)) != 0) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

void GlowBar::keyPressEvent(QKeyEvent* event) {
    const int direction = stepDirection(event);
    if (direction == 0 || keyStep_ <= 0 || !onChange_) {
        QWidget::keyPressEvent(event);
        return;
    }
    step(direction);
}

void GlowBar::focusInEvent(QFocusEvent* event) {
    ring_ = isKeyboardFocus(event->reason());
    QWidget::focusInEvent(event);
    update();
}

void GlowBar::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}

void GlowBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && onChange_)
        onChange_(fractionAt(event->position().x()));
}

void GlowBar::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) && onChange_)
        onChange_(fractionAt(event->position().x()));
}

} // namespace orvane

namespace orvane {

void GlowBar::wheelEvent(QWheelEvent* event) {
    if (keyStep_ <= 0 || !onChange_) {
        event->ignore();
        return;
    }
    // 120 eighths of a degree are one notch; a touchpad sends them a few at a time.
    const QPoint delta = event->angleDelta();
    wheelRest_ += delta.y() != 0 ? delta.y() : -delta.x();
    const int notches = wheelRest_ / 120;
    wheelRest_ -= notches * 120;
    if (notches != 0) {
        const double v = std::isnan(value_) ? 0.0 : value_;
        request(v + notches * keyStep_);
    }
    event->accept();
}

} // namespace orvane
