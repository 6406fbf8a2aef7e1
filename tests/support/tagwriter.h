#pragma once

#include <QByteArray>
#include <QString>
#include <QList>
#include <QStringList>
#include <utility>

namespace orvane::test {

// Writes tags into generated files with TagLib, each format its own way.
struct Tags {
    QString title, artist;
    QByteArray picture; // encoded image bytes, empty for none
    bool writeTitle = true, writeArtist = true;
};
bool writeTags(const QString& path, const Tags& tags);
// Free-form text fields (key, value) as players write ReplayGain: TXXX frames in ID3v2 (mp3,
// wav, aiff), Vorbis comments (flac, ogg, opus), APE items (wv, and mp3 when `ape`), MP4
// freeform atoms "----:com.apple.iTunes:<key in lower case>" (m4a).
bool writeFields(const QString& path, const QList<std::pair<QString, QString>>& fields,
                 bool ape = false);
// RIFF INFO title and artist in a WAV file (no ID3 chunk).
bool writeWavInfo(const QString& path, const QString& title, const QString& artist);
// ID3v2 title frames in an mp3, in this order (an empty text makes an empty frame).
bool writeTitleFrames(const QString& path, const QStringList& titles);
// A small PNG of the given size.
QByteArray pngBytes(int width, int height);

} // namespace orvane::test
