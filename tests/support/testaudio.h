#pragma once

#include "engine/track.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace orvane::test {

enum class AudioFormat { Wav, Flac, Mp3, M4a, Aiff, Ogg, Opus, Wv };

QString extension(AudioFormat format);

// Writes a 44.1 kHz sine (stereo unless `channels` says otherwise) to `path` with GStreamer's own
// encoders. `amplitude` is the peak in 0..1 (its RMS is amplitude / √2). Returns false with *error
// set on failure.
bool writeSine(const QString& path, AudioFormat format, double seconds, double frequency,
               double amplitude, QString* error, int channels = 2);

// A WAV (44.1 kHz, 16-bit stereo) of `seconds` whose every `slice` seconds sound a frequency of
// their own: slice k at `firstFrequency` + k × `step` Hz, of peak `amplitude`, the phase carried
// across each change (no click there). A recording of it shows which part of it was heard.
bool writeSlices(const QString& path, double seconds, double slice, double firstFrequency,
                 double step, double amplitude, QString* error);

// Raw s16le stereo samples at 44.1 kHz as a WAV file.
bool writeWav(const QString& path, const QByteArray& pcm, QString* error);
// A 0.3-peak MP3 sine written to `path`, as served to a stream player; empty (with a warning)
// when it cannot be written.
QByteArray mp3Tone(const QString& path, double seconds, double frequency = 440);
// Puts an MPEG frame with a Xing header claiming `frames` frames before the first frame of a
// (constant bit rate, MPEG-1) mp3 written by writeSine: a header that lies about the length,
// as readers and GStreamer take it. False when the file has no frame where expected.
bool claimFrameCount(const QString& path, quint32 frames);

// One `seconds`-long 440 Hz WAV per name ("<folder>/<name>.wav"), each read as a track titled
// by its name; empty (with a warning) when one cannot be written.
QList<Track> sineTracks(const QString& folder, const QStringList& names, double seconds);

} // namespace orvane::test
