#include "ui/icons.h"

#include "ui/resources.h"

#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

namespace orvane::Icons {

QPixmap pixmap(const QString& name, const QColor& color, int size, qreal dpr) {
    static QHash<QString, QPixmap> cache;
    const QString key =
        QStringLiteral("%1|%2|%3|%4").arg(name).arg(color.rgba()).arg(size).arg(dpr);
    if (const auto it = cache.constFind(key); it != cache.constEnd())
        return *it;
    ::orvaneInitResources();
    QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(name));
    QPixmap pixmap(int(size * dpr), int(size * dpr));
    pixmap.fill(Qt::transparent);
    {
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        renderer.render(&p);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(pixmap.rect(), color);
    }
    pixmap.setDevicePixelRatio(dpr);
    if (cache.size() > 512)
        cache.clear();
    cache.insert(key, pixmap);
    return pixmap;
}

} // namespace orvane::Icons
