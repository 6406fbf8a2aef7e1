#pragma once

#include <QWidget>
#include <functional>

namespace orvane {

class Theme;

// A slider bar 5 high: a track and a fill with the accent gradient. It never changes its value
// itself: a press or drag reports the fraction under the pointer (clamped to 0..1) and the
// owner passes the value back. The widget is the bar grown by 8 on every side (the hit area).
class GlowBar : public QWidget {
    Q_OBJECT
public:
    explicit GlowBar(Theme* theme, QWidget* parent = nullptr);

    double value() const { return value_; }
    void setValue(double value);
    void setOnChange(std::function<void(double)> onChange) { onChange_ = std::move(onChange); }
    // The fraction Left/Right (Down/Up) move by while the bar has the keyboard focus, and one
    // notch of the mouse wheel over it; 0: the keys and the wheel are left to the window.
    void setKeyStep(double step) { keyStep_ = step; }
    double keyStep() const { return keyStep_; }

    // What a screen reader is told: the value in the owner's unit (the fraction times
    // `maximum`: seconds, percent) and the owner's words for it ("1:23 of 4:07").
    void setAccessibleValue(double maximum, const QString& text);
    double accessibleMaximum() const { return accessibleMaximum_; }
    QString valueText() const { return valueText_; }
    // Asks the owner for a value, as a press at that fraction would; `step` moves by the key
    // step (+1 right, -1 left), as the arrows do.
    void request(double fraction);
    void step(int direction);

    static constexpr int margin = 8, barHeight = 5;
    // The side margins: `margin` by default; 0 lines the bar up with its neighbours' edges (the
    // pointer still has the margin above and below).
    void setSideMargin(int side);
    int sideMargin() const { return side_; }
    // The bar's rectangle inside the widget, and the fill's width for a value.
    QRectF barRect() const;
    double fillWidth() const;
    // The fraction for a pointer at widget x.
    double fractionAt(double x) const;
    QSize sizeHint() const override { return {200 + 2 * side_, barHeight + 2 * margin}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    Theme* theme_;
    double value_ = 0;
    double keyStep_ = 0;
    double accessibleMaximum_ = 100;
    QString valueText_;
    int side_ = margin;
    bool ring_ = false;
    int wheelRest_ = 0; // eighths of a degree not yet a whole notch (fine-grained wheels)
    std::function<void(double)> onChange_;
};

} // namespace orvane
