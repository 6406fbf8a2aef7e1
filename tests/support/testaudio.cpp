#include "support/testaudio.h"

#include "engine/gstsupport.h"

#include <QFile>
#include <QtEndian>
#include <cmath>
#include <utility>

namespace orvane::test {

namespace {

// Each format's file name extension and the encoding that writes it, in AudioFormat's order.
constexpr std::pair<const char*, const char*> kFormats[] = {
    {"wav", "audio/x-raw,format=S16LE ! wavenc"},
    {"flac", "flacenc"},
    {"mp3", "lamemp3enc target=bitrate bitrate=320 cbr=true"},
    {"m4a", "avenc_aac ! mp4mux"},
    {"aiff", "audio/x-raw,format=S16BE ! avmux_aiff"},
    {"ogg", "vorbisenc ! oggmux"},
    {"opus", "audioresample ! audio/x-raw,rate=48000 ! opusenc ! oggmux"},
    {"wv", "wavpackenc"},
};

} // namespace

QString extension(AudioFormat format) {
    return QString::fromLatin1(kFormats[int(format)].first);
}

bool writeSine(const QString& path, AudioFormat format, double seconds, double frequency,
               double amplitude, QString* error, int channels) {
    gst::ensureInitialized();
    const char* encoder = kFormats[int(format)].second;
    const int buffers = int(seconds * 100 + 0.5); // 441 samples each
    const QString launch =
        QStringLiteral("audiotestsrc wave=sine freq=%1 volume=%2 num-buffers=%3 "
                       "samplesperbuffer=441 ! audio/x-raw,rate=44100,channels=%6 ! audioconvert ! "
                       "%4 ! filesink location=\"%5\"")
            .arg(frequency)
            .arg(amplitude)
            .arg(buffers)
            .arg(QString::fromUtf8(encoder), path)
            .arg(channels);
    GError* gerror = nullptr;
    gst::PipelinePtr pipeline = gst::adopt(gst_parse_launch(launch.toUtf8().constData(), &gerror));
    if (!pipeline) {
        *error = QString::fromUtf8(gerror ? gerror->message : "parse failed");
        g_clear_error(&gerror);
        return false;
    }
    g_clear_error(&gerror);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    gst::Ptr<GstBus> bus(gst_element_get_bus(pipeline.get()));
    gst::MessagePtr msg(gst_bus_timed_pop_filtered(
        bus.get(), 60 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    if (!msg || GST_MESSAGE_TYPE(msg.get()) != GST_MESSAGE_EOS) {
        *error = msg ? gst::errorText(msg.get()) : QStringLiteral("encoding timed out");
        return false;
    }
    return true;
}

bool writeSlices(const QString& path, double seconds, double slice, double firstFrequency,
                 double step, double amplitude, QString* error) {
    constexpr int rate = 44100, channels = 2;
    const qint64 frames = qint64(std::llround(seconds * rate));
    QByteArray data(frames * channels * 2, Qt::Uninitialized);
    auto* out = reinterpret_cast<qint16*>(data.data());
    double phase = 0; // in cycles
    for (qint64 i = 0; i < frames; ++i) {
        const double frequency = firstFrequency + step * std::floor(double(i) / rate / slice);
        const auto sample = qint16(std::lround(32767 * amplitude * std::sin(2 * M_PI * phase)));
        for (int c = 0; c < channels; ++c)
            out[i * channels + c] = qToLittleEndian(sample);
        phase = std::fmod(phase + frequency / rate, 1.0);
    }
    return writeWav(path, data, error);
}

bool writeWav(const QString& path, const QByteArray& pcm, QString* error) {
    constexpr quint32 rate = 44100;
    const auto le32 = [](quint32 v) {
        v = qToLittleEndian(v);
        return QByteArray(reinterpret_cast<const char*>(&v), 4);
    };
    // PCM, 2 channels; the rate; bytes a second; 4 bytes a frame, 16 bits a sample.
    const QByteArray wav = "RIFF" + le32(quint32(36 + pcm.size())) + "WAVEfmt " + le32(16) +
                           QByteArray::fromHex("01000200") + le32(rate) + le32(rate * 4) +
                           QByteArray::fromHex("04001000") + "data" + le32(quint32(pcm.size())) +
                           pcm;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(wav) != wav.size()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

QByteArray mp3Tone(const QString& path, double seconds, double frequency) {
    QString error;
    QFile file(path);
    if (!writeSine(path, AudioFormat::Mp3, seconds, frequency, 0.3, &error) ||
        !file.open(QIODevice::ReadOnly)) {
        qWarning("%s: %s", qPrintable(path), qPrintable(error));
        return {};
    }
    return file.readAll();
}

bool claimFrameCount(const QString& path, quint32 frames) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray audio = file.readAll();
    file.close();
    // The encoder's first frame: MPEG-1 Layer III, no CRC, so the side information (32 bytes
    // in stereo, 17 in mono) comes right after the 4-byte header, and the Xing header after it.
    if (audio.size() < 4 || uchar(audio[0]) != 0xff || (uchar(audio[1]) & 0xfe) != 0xfa)
        return false;
    QByteArray header = audio.left(4);
    header[2] = char(uchar(header[2]) & ~0x02); // no padding byte
    static const int kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int rates[] = {44100, 48000, 32000};
    const int bitrateIndex = uchar(header[2]) >> 4, rateIndex = (uchar(header[2]) >> 2) & 3;
    if (bitrateIndex < 1 || bitrateIndex > 14 || rateIndex > 2)
        return false;
    const int frameBytes = 144 * kbps[bitrateIndex] * 1000 / rates[rateIndex];
    const bool mono = (uchar(header[3]) >> 6) == 3;
    QByteArray frame(frameBytes, '\0');
    frame.replace(0, 4, header);
    const auto putBigEndian = [&frame](int at, quint32 value) {
        for (int i = 0; i < 4; ++i)
            frame[at + i] = char(value >> (24 - 8 * i));
    };
    const int at = 4 + (mono ? 17 : 32);
    frame.replace(at, 4, "Xing");
    putBigEndian(at + 4, 0x3);                    // frame count and byte count present
    putBigEndian(at + 8, frames);                 // frames
    putBigEndian(at + 12, quint32(audio.size())); // bytes
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(frame + audio) == frame.size() + audio.size() && file.flush();
}

QList<Track> sineTracks(const QString& folder, const QStringList& names, double seconds) {
    QList<Track> tracks;
    for (const QString& name : names) {
        const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".wav");
        QString error;
        if (!writeSine(path, AudioFormat::Wav, seconds, 440, 0.3, &error)) {
            qWarning("%s", qPrintable(error));
            return {};
        }
        tracks.append(Track::load(QUrl::fromLocalFile(path), QStringLiteral("en")));
    }
    return tracks;
}

} // namespace orvane::test
