#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

namespace orvane {

// Orvane's own symbols (SVG in the resources), tinted and rendered at a size in device-
// independent pixels, with a small cache: painting a row or a bar never parses SVG.
namespace Icons {
QPixmap pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio = 1.0);
}

} // namespace orvane
