#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace orvane::test {

// Writes tags into generated files with TagLib, each format its own way.
struct Tags {
    QString title, artist;
    QByteArray picture; // encoded image bytes, empty for none
    bool writeTitle = true, writeArtist = true;
};
bool writeTags(const QString& path, const Tags& tags);
// RIFF INFO title and artist in a WAV file (no ID3 chunk).
bool writeWavInfo(const QString& path, const QString& title, const QString& artist);
// ID3v2 title frames in an mp3, in this order (an empty text makes an empty frame).
bool writeTitleFrames(const QString& path, const QStringList& titles);
// A small PNG of the given size.
QByteArray pngBytes(int width, int height);

} // namespace orvane::test
