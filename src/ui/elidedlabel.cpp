#include "ui/elidedlabel.h"

#include <QEvent>
#include <QTextLayout>

namespace orvane {

ElidedLabel::ElidedLabel(int maxLines, QWidget* parent)
    : QLabel(parent)
    , maxLines_(std::max(1, maxLines)) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false); // the lines are broken here
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

QStringList ElidedLabel::fit(const QString& text, const QFont& font, int width, int maxLines) {
    const QString flat = text.simplified();
    if (flat.isEmpty() || width <= 0)
        return {QString()};
    QStringList lines;
    QTextLayout layout(flat, font);
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            // The last line holds the rest, cut with "…" when it does not fit.
            lines.append(QFontMetrics(font).elidedText(flat.mid(line.textStart()).trimmed(),
                                                       Qt::ElideRight, width));
            break;
        }
        lines.append(flat.mid(line.textStart(), line.textLength()).trimmed());
    }
    layout.endLayout();
    return lines;
}

void ElidedLabel::setFullText(const QString& text) {
    if (text == full_ && !this->text().isNull())
        return;
    full_ = text;
    setAccessibleName(text.simplified()); // a screen reader reads all of it, not what fits
    refit();
}

void ElidedLabel::refit() {
    const QStringList lines = fit(full_, font(), contentsRect().width(), maxLines_);
    const QString shown = lines.join(QLatin1Char('\n'));
    if (shown != text()) {
        setText(shown);
        updateGeometry();
    }
    // What "…" cut off shows whole in a tooltip.
    const bool cut = lines.size() > 0 && lines.constLast().endsWith(QChar(0x2026)) &&
                     !full_.simplified().endsWith(QChar(0x2026));
    setToolTip(cut ? full_.simplified() : QString());
    const int count = full_.simplified().isEmpty() ? 1 : int(lines.size());
    const int height =
        fontMetrics().lineSpacing() * count + contentsMargins().top() + contentsMargins().bottom();
    if (minimumHeight() != height || maximumHeight() != height)
        setFixedHeight(height);
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, QLabel::minimumSizeHint().height()};
}

QSize ElidedLabel::sizeHint() const {
    return {0, QLabel::sizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    refit();
}

void ElidedLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        refit();
}

} // namespace orvane
