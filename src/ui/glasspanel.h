#pragma once

#include <QPixmap>
#include <QWidget>

namespace orvane {

class Theme;

// The panel style: a translucent fill over the window's gradient, clipped to a rounded
// rectangle of radius 22, with a 1-pixel outline of the text colour at 12 %. No padding.
class GlassPanel : public QWidget {
    Q_OBJECT
public:
    explicit GlassPanel(Theme* theme, QWidget* parent = nullptr);
    static void paint(QPainter& painter, const QRectF& rect, const Theme& theme);

protected:
    void paintEvent(QPaintEvent* event) override;
    Theme* theme_;

private:
    // The panel's look is redrawn only when its size or the appearance changes; a repaint of
    // a child (the level bars, 60 times a second) blits it.
    QPixmap cache_;
    bool cacheDark_ = false;
};

} // namespace orvane
