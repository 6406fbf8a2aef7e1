#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace orvane {

// Which files count as audio, and how a folder is walked for them: the same rule for the open
// dialog, a drop on the window, files opened from outside and the command line. Any thread.
namespace AudioFiles {

// The extensions, lower case: "mp3", "m4a", "aac", "wav", "aiff", "flac", and Ogg Vorbis
// ("ogg", "oga"), Opus ("opus") and WavPack ("wv").
const QStringList& extensions();

// Whether the file name at the end of `path` ends in one of them, in any letter case.
bool isAudioName(const QString& path);

// The audio files among `urls`: files by their extension, folders walked whole (hidden files
// too; a link back into a folder already walked is not followed; unreadable folders are
// skipped), sorted by file name as a file browser does (case-insensitive, digits as numbers).
// Anything not a local file is left out. Reads the file system: run it off the main thread.
QList<QUrl> collect(const QList<QUrl>& urls);

} // namespace AudioFiles

} // namespace orvane
