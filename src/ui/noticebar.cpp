#include "ui/noticebar.h"

#include "ui/theme.h"

#include <QMouseEvent>
#include <QTimer>

namespace orvane {

NoticeBar::NoticeBar(Theme* theme, QWidget* parent)
    : QLabel(parent)
    , theme_(theme)
    , hideTimer_(new QTimer(this)) {
    setWordWrap(true); // a long wording at the narrowest window takes two lines, not an ellipsis
    setTextFormat(Qt::PlainText); // file and station names are shown as they are, never as markup
    setFont(Theme::textStyle(font(), Theme::Callout));
    setCursor(Qt::PointingHandCursor);
    hideTimer_->setSingleShot(true);
    hideTimer_->setInterval(shownMs);
    connect(hideTimer_, &QTimer::timeout, this, &QWidget::hide);
    connect(theme_, &Theme::changed, this, &NoticeBar::recolor);
    recolor();
    hide();
}

void NoticeBar::showNotice(const QString& text) {
    setText(text);
    setAccessibleName(text);
    show();
    hideTimer_->start();
}

void NoticeBar::mousePressEvent(QMouseEvent* event) {
    event->accept();
    hideTimer_->stop();
    hide();
}

void NoticeBar::recolor() {
    // A warning's amber, a tint of it behind the panel's own text colour: readable in both
    // appearances.
    const QColor amber(255, 159, 10);
    QColor tint = amber;
    tint.setAlphaF(0.22f);
    setStyleSheet(
        QStringLiteral("QLabel { background: %1; border: 1px solid %2; border-radius: 8px;"
                       " padding: 6px 10px; color: %3; }")
            .arg(Theme::css(tint), Theme::css(amber), Theme::css(theme_->primary())));
}

} // namespace orvane
