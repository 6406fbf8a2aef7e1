#pragma once

#include <QLabel>

class QTimer;

namespace orvane {

class Theme;

// A short notice at the top of a panel ("Settings could not be saved"): shown in place, never
// as a dialog, it goes by itself after a few seconds or at a click. A new notice replaces the
// one shown and starts the time again.
class NoticeBar : public QLabel {
    Q_OBJECT
public:
    static constexpr int shownMs = 6000;

    explicit NoticeBar(Theme* theme, QWidget* parent = nullptr);
    void showNotice(const QString& text);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    void recolor();

    Theme* theme_;
    QTimer* hideTimer_;
};

} // namespace orvane
