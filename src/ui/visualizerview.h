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
// 50 ms); nothing repaints while they stay the same or while the window is closed.
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
    Theme* theme_;
    QList<double> from_, to_, shown_;
    QTimer step_;
    int stepsLeft_ = 0;
    QPixmap cap_; // a disc of the bar's width, its halves are the capsules' ends
    QColor capColor_;
};

} // namespace orvane
