#pragma once

#include <QString>

namespace orvane::test {

enum class AudioFormat { Wav, Flac, Mp3, M4a, Aiff };

QString extension(AudioFormat format);

// Writes a stereo 44.1 kHz sine to `path` with GStreamer's own encoders. `amplitude` is the
// peak in 0..1 (its RMS is amplitude / √2). Returns false with *error set on failure.
bool writeSine(const QString& path, AudioFormat format, double seconds, double frequency,
               double amplitude, QString* error);

} // namespace orvane::test
