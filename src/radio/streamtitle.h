#pragma once

#include <QString>

namespace orvane {

// What a station says is on the air ("Artist - Song" in ICY metadata, or a stream's own title
// and artist tags), made safe to show and publish: control characters removed, runs of white
// space folded, at most kMaxStreamTitleLength characters. Invalid UTF-8 has already become
// U+FFFD when the bytes were decoded.
inline constexpr int kMaxStreamTitleLength = 512;
QString cleanStreamTitle(const QString& raw);

// "Artist - Song" split at the first " - "; without the separator the whole text is the title.
struct StreamSong {
    QString artist;
    QString title;
};
StreamSong splitStreamTitle(const QString& text);

} // namespace orvane
