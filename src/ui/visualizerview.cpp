#include "ui/visualizerview.h"

#include "ui/accessibility.h"
#include "ui/theme.h"

#include <QPaintEvent>
#include <QPainter>

namespace orvane {

VisualizerView::VisualizerView(Theme* theme, QWidget* parent)
    : QWidget(parent)
    , theme_(theme) {
    installAccessibleWidgets();
    setFixedHeight(54);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_OpaquePaintEvent); // every pixel is drawn: the backdrop, then the bars
    step_.setTimerType(Qt::PreciseTimer);
    step_.setSingleShot(true);
    connect(&step_, &QTimer::timeout, this, [this] {
        if (stepsLeft_ == 2) {
            for (qsizetype i = 0; i < shown_.size(); ++i)
                shown_[i] = (from_.at(i) + to_.at(i)) / 2;
            stepsLeft_ = 1;
            // The last step is due with the next values, which draw it (setLevels); this one
            // comes only when they do not, a little after they would have.
            step_.start(kStep + 10);
        } else {
            shown_ = to_;
            stepsLeft_ = 0;
        }
        // Drawn now: update() would ask for the frame through a timer of the window's, a
        // second wake-up for each of the 40 frames a second.
        repaint();
    });
    connect(theme_, &Theme::changed, this, qOverload<>(&QWidget::update));
}

void VisualizerView::setLevels(const QList<double>& levels) {
    if (levels == to_)
        return;
    if (!isVisible() || shown_.size() != levels.size()) {
        // Nothing to animate from, or nobody to see it: jump.
        step_.stop();
        stepsLeft_ = 0;
        to_ = from_ = shown_ = levels;
        update();
        return;
    }
    if (stepsLeft_ > 0) {
        // The change before ends now, in this wake-up rather than a timer's of its own.
        shown_ = to_;
        repaint();
    }
    from_ = shown_;
    to_ = levels;
    stepsLeft_ = 2;
    step_.start(kStep);
}

const QPixmap& VisualizerView::backdrop() {
    QWidget* root = this;
    while (root->parentWidget() && !root->isWindow() &&
           (root == this || !root->testAttribute(Qt::WA_OpaquePaintEvent)))
        root = root->parentWidget();
    const QRect place(mapTo(root, QPoint(0, 0)), size());
    const qreal dpr = devicePixelRatioF();
    if (!backdrop_.isNull() && place == backdropPlace_ && root->size() == backdropRootSize_ &&
        backdrop_.devicePixelRatio() == dpr && backdropDark_ == theme_->isDark())
        return backdrop_;
    backdrop_ = QPixmap(size() * dpr);
    backdrop_.setDevicePixelRatio(dpr);
    backdrop_.fill(palette().color(QPalette::Window));
    // Outermost first, each ancestor's own painting only (no children: not this view).
    QList<QWidget*> chain;
    for (QWidget* w = parentWidget(); w; w = w->parentWidget()) {
        chain.prepend(w);
        if (w == root)
            break;
    }
    for (QWidget* w : std::as_const(chain))
        w->render(&backdrop_, QPoint(), QRegion(QRect(mapTo(w, QPoint(0, 0)), size())),
                  w == root ? QWidget::DrawWindowBackground : QWidget::RenderFlags());
    backdropPlace_ = place;
    backdropRootSize_ = root->size();
    backdropDark_ = theme_->isDark();
    return backdrop_;
}

void VisualizerView::paintEvent(QPaintEvent* event) {
    const qreal dpr = devicePixelRatioF();
    const QPixmap& back = backdrop(); // made before this view's painter starts
    QPainter p(this);
    const QRect dirty = event->rect();
    p.drawPixmap(dirty, back, QRectF(QPointF(dirty.topLeft()) * dpr, QSizeF(dirty.size()) * dpr));
    if (shown_.isEmpty())
        return;
    // Twenty value changes a second, each animated: the painting must be cheap. A capsule is a
    // plain (non-antialiased) body between two antialiased caps taken from a small cached
    // sprite, so no painting here is heavy enough for Qt to split it across threads.
    const int n = int(shown_.size());
    const double spacing = 3;
    const double step = (width() + spacing) / n;
    const int barWidth = std::max(1, int(std::lround(step - spacing)));
    const QColor neon = theme_->neon();
    if (cap_.width() != int(barWidth * dpr) || capColor_ != neon) {
        cap_ = QPixmap(int(barWidth * dpr), int(barWidth * dpr));
        cap_.fill(Qt::transparent);
        QPainter cp(&cap_);
        cp.setRenderHint(QPainter::Antialiasing);
        cp.setPen(Qt::NoPen);
        cp.setBrush(neon);
        cp.drawEllipse(QRectF(0, 0, cap_.width(), cap_.height()));
        cap_.setDevicePixelRatio(dpr);
        capColor_ = neon;
    }
    const double radius = barWidth / 2.0;
    for (int i = 0; i < n; ++i) {
        const double level = std::clamp(shown_.at(i), 0.0, 1.0);
        const double h = 5 + 46 * level;
        const int x = int(std::lround(i * step));
        p.setOpacity(0.3 + 0.7 * level);
        const double top = height() - h;
        const double body = std::max(0.0, h - 2 * radius);
        const QSizeF half(barWidth, radius);
        p.drawPixmap(QRectF(QPointF(x, top), half), cap_,
                     QRectF(0, 0, cap_.width(), cap_.height() / 2.0));
        if (body > 0)
            p.fillRect(QRectF(x, top + radius, barWidth, body), neon);
        p.drawPixmap(QRectF(QPointF(x, top + radius + body), half), cap_,
                     QRectF(0, cap_.height() / 2.0, cap_.width(), cap_.height() / 2.0));
    }
}

} // namespace orvane
