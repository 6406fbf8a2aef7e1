#pragma once

#include <QList>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

namespace orvane {

class Theme;

// The level bars: one capsule per value (newest on the left), 5 + 46 × level high, opacity
// 0.3 + 0.7 × level, growing up from a common base line in a 54-high frame. A change of values
// animates linearly over 0.05 s in two steps of 25 ms (the values themselves change every
// 50 ms, and the second step is drawn as the next change arrives); nothing repaints while
// they stay the same or while the window is closed. The view is opaque: it draws what lies
// behind it (the window's background and the panel's veil, kept as a picture) itself, so its
// 40 repaints a second touch no other widget.
class VisualizerView : public QWidget {
    Q_OBJECT
public:
    explicit VisualizerView(Theme* theme, QWidget* parent = nullptr);
    void setLevels(const QList<double>& levels);
    // What is drawn now (mid-animation values included).
    const QList<double>& shown() const { return shown_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // What the ancestors draw behind the view, up to the first opaque one, without their
    // children; made again when the view's place or size, or the appearance, changed.
    const QPixmap& backdrop();
    QPixmap backdrop_;
    QRect backdropPlace_; // the view's rectangle in the opaque ancestor when it was made
    QSize backdropRootSize_;
    bool backdropDark_ = false;

    static constexpr int kStep = 25; // ms
    Theme* theme_;
    QList<double> from_, to_, shown_;
    QTimer step_;
    int stepsLeft_ = 0; // of the change being animated: 2 before its middle, 1 before its end
    QPixmap cap_; // a disc of the bar's width, its halves are the capsules' ends
    QColor capColor_;
};

} // namespace orvane
