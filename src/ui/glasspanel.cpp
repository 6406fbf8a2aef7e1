#include "ui/glasspanel.h"

#include "ui/theme.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

namespace orvane {

GlassPanel::GlassPanel(Theme* theme, QWidget* parent)
    : QWidget(parent)
    , theme_(theme) {
    connect(theme_, &Theme::changed, this, qOverload<>(&QWidget::update));
}

void GlassPanel::paint(QPainter& p, const QRectF& rect, const Theme& theme) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), 22, 22);
    // The thinnest material: a light veil over the gradient.
    p.fillPath(shape, theme.isDark() ? QColor(255, 255, 255, 14) : QColor(255, 255, 255, 110));
    p.setPen(QPen(theme.primary(0.12), 1));
    p.drawPath(shape);
    p.restore();
}

void GlassPanel::paintEvent(QPaintEvent* event) {
    const qreal dpr = devicePixelRatioF();
    if (cache_.size() != size() * dpr || cacheDark_ != theme_->isDark()) {
        cache_ = QPixmap(size() * dpr);
        cache_.setDevicePixelRatio(dpr);
        cache_.fill(Qt::transparent);
        QPainter cp(&cache_);
        paint(cp, rect(), *theme_);
        cacheDark_ = theme_->isDark();
    }
    QPainter p(this);
    p.drawPixmap(
        event->rect(), cache_,
        QRectF(QPointF(event->rect().topLeft()) * dpr, QSizeF(event->rect().size()) * dpr));
}

} // namespace orvane
