#pragma once

#include <QString>

namespace orvane {

// "Artist - Song" split at the first " - "; without the separator the whole text is the title.
struct StreamSong {
    QString artist;
    QString title;
};
StreamSong splitStreamTitle(const QString& text);

} // namespace orvane
