#include "ui/theme.h"

namespace orvane {

namespace {
QColor rgb(double r, double g, double b) {
    return QColor::fromRgbF(float(r), float(g), float(b));
}
} // namespace

void Theme::setDark(bool dark) {
    const bool was = dark_;
    dark_ = dark;
    if (was != dark)
        Q_EMIT changed();
}

QColor Theme::neon(bool dark) {
    return dark ? rgb(0.55, 0.93, 0.23) : rgb(0.18, 0.45, 0.95);
}
QColor Theme::neon() const {
    return neon(dark_);
}
QColor Theme::bgTop() const {
    return dark_ ? rgb(0.03, 0.04, 0.15) : rgb(0.85, 0.89, 0.94);
}
QColor Theme::bgBottom() const {
    return dark_ ? rgb(0.10, 0.05, 0.22) : rgb(0.93, 0.94, 0.97);
}

QFont Theme::textStyle(const QFont& base, Style style, bool bold) {
    QFont font = base;
    const double body = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
    font.setPointSizeF(body * double(style) / 13.0);
    font.setBold(bold || style == Headline);
    return font;
}

QColor Theme::primary(double opacity) const {
    QColor c = dark_ ? QColor(255, 255, 255) : QColor(0, 0, 0);
    c.setAlphaF(float(opacity));
    return c;
}

QString Theme::css(const QColor& color) {
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(color.alpha());
}

} // namespace orvane
