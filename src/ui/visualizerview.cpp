#include "ui/visualizerview.h"

#include "ui/theme.h"

#include <QPainter>

namespace orvane {

VisualizerView::VisualizerView(Theme* theme, QWidget* parent)
    : QWidget(parent)
    , theme_(theme) {
    setFixedHeight(54);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    animation_.setDuration(50); // the clock's period
    animation_.setStartValue(0.0);
    animation_.setEndValue(1.0);
    animation_.setEasingCurve(QEasingCurve::Linear);
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        const double t = v.toDouble();
        for (qsizetype i = 0; i < shown_.size(); ++i)
            shown_[i] = from_.value(i, to_.at(i)) + (to_.at(i) - from_.value(i, to_.at(i))) * t;
        update();
    });
    connect(theme_, &Theme::changed, this, qOverload<>(&QWidget::update));
}

void VisualizerView::setLevels(const QList<double>& levels) {
    if (levels == to_)
        return;
    from_ = shown_.size() == levels.size() ? shown_ : levels;
    to_ = levels;
    shown_ = from_;
    animation_.stop();
    animation_.start();
}

void VisualizerView::paintEvent(QPaintEvent*) {
    if (shown_.isEmpty())
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const int n = int(shown_.size());
    const double spacing = 3;
    const double barWidth = std::max(1.0, (width() - spacing * (n - 1)) / n);
    const QColor neon = theme_->neon();
    for (int i = 0; i < n; ++i) {
        const double level = std::clamp(shown_.at(i), 0.0, 1.0);
        const double h = 5 + 46 * level;
        QColor c = neon;
        c.setAlphaF(float(0.3 + 0.7 * level));
        p.setBrush(c);
        const QRectF bar(i * (barWidth + spacing), height() - h, barWidth, h);
        p.drawRoundedRect(bar, barWidth / 2, barWidth / 2);
    }
}

} // namespace orvane
