#pragma once

#include <QString>

namespace orvane::test {

enum class AudioFormat { Wav, Flac, Mp3, M4a, Aiff };

QString extension(AudioFormat format);

// Writes a 44.1 kHz sine (stereo unless `channels` says otherwise) to `path` with GStreamer's own
// encoders. `amplitude` is the peak in 0..1 (its RMS is amplitude / √2). Returns false with *error
// set on failure.
bool writeSine(const QString& path, AudioFormat format, double seconds, double frequency,
               double amplitude, QString* error, int channels = 2);

} // namespace orvane::test
