#include "radio/streamtitle.h"

namespace orvane {

QString cleanStreamTitle(const QString& raw) {
    QString out;
    out.reserve(std::min<qsizetype>(raw.size(), kMaxStreamTitleLength));
    bool space = false;
    for (const QChar c : raw) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            continue; // control and invisible formatting characters (bidi overrides included)
        if (c.isSpace()) {
            space = !out.isEmpty();
            continue;
        }
        if (space) {
            out += QLatin1Char(' ');
            space = false;
        }
        out += c;
        if (out.size() >= kMaxStreamTitleLength)
            break;
    }
    if (out.size() > kMaxStreamTitleLength)
        out.truncate(kMaxStreamTitleLength);
    if (!out.isEmpty() && out.back().isHighSurrogate())
        out.chop(1); // never half a character
    return out;
}

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
