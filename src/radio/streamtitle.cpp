#include "radio/streamtitle.h"

namespace orvane {

StreamSong splitStreamTitle(const QString& text) {
    const qsizetype at = text.indexOf(QLatin1String(" - "));
    if (at <= 0)
        return {QString(), text};
    const QString title = text.mid(at + 3).trimmed();
    if (title.isEmpty())
        return {QString(), text};
    return {text.left(at).trimmed(), title};
}

} // namespace orvane
