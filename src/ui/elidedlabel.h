#pragma once

#include <QLabel>

namespace orvane {

// A label that fits its text into the width it is given and at most `maxLines` lines: words
// wrap, and the last line that fits ends in "…" when text is left over. Line breaks in the text
// count as spaces. Never clips a glyph: it is exactly as tall as the lines it shows.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(int maxLines = 1, QWidget* parent = nullptr);

    void setFullText(const QString& text);
    QString fullText() const { return full_; }
    // The lines shown for `text` at `width` in `font`.
    static QStringList fit(const QString& text, const QFont& font, int width, int maxLines);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void refit();
    int maxLines_;
    QString full_;
};

} // namespace orvane
