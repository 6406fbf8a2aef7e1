#pragma once

#include <QAbstractButton>
#include <QWidget>
#include <functional>

class QPainter;

namespace orvane {

class Theme;

// The keyboard focus ring every control of the window draws around its frame: the accent,
// 2 px, inside `frame`.
void paintFocusRing(QPainter& painter, const QRectF& frame, double radius, const Theme& theme);
// Whether a focus change came from the keyboard (Tab, Shift+Tab): only then is the ring drawn,
// not for the focus a window hands its first control when it opens.
bool isKeyboardFocus(Qt::FocusReason reason);

// A plain-style button drawn as a symbol in a frame: an optional rounded or circular outline
// (and fill), the symbol tinted by a colour the owner chooses. The whole frame is clickable.
class SymbolButton : public QAbstractButton {
    Q_OBJECT
public:
    struct Look {
        int size = 48;      // square frame
        double radius = 12; // < 0: a circle
        double outlineWidth = 1;
        std::function<QColor()> outline; // none: no outline
        std::function<QColor()> fill;    // none: no fill
        bool gradientOutline = false;    // the play button's neon-to-cyan outline
        int symbolSize = 22;
    };
    SymbolButton(Theme* theme, Look look, QWidget* parent = nullptr);
    void setSymbol(const QString& name, const QColor& color);
    QString symbol() const { return symbol_; }
    QColor symbolColor() const { return color_; }
    QSize sizeHint() const override { return {look_.size, look_.size}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    Theme* theme_;
    Look look_;
    bool ring_ = false;
    QString symbol_;
    QColor color_;
};

// A mode button: symbol and title, accent-coloured with a tinted background when selected.
class ModeButton : public QAbstractButton {
    Q_OBJECT
public:
    ModeButton(Theme* theme, QString symbol, QWidget* parent = nullptr);
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    Theme* theme_;
    QString symbol_;
    bool selected_ = false;
    bool ring_ = false;
};

// The mode buttons side by side; a screen reader is told they are a tab list.
class ModeSwitch : public QWidget {
    Q_OBJECT
public:
    explicit ModeSwitch(QWidget* parent = nullptr);
};

// A rounded rectangle filled with the text colour at low opacity, behind a row of controls.
class TintedBox : public QWidget {
    Q_OBJECT
public:
    TintedBox(Theme* theme, double radius, double opacity = 0.04, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Theme* theme_;
    double radius_, opacity_;
};

} // namespace orvane
