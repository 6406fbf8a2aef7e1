#include "engine/track.h"

#include "app/localization.h"
#include "engine/filename.h"

#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/wavfile.h>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

Track::Track(QUrl url_, QString title_, QString artist_, double duration_, QByteArray artwork_,
             QString info_, std::optional<QByteArray> bookmark_)
    : id(QUuid::createUuid())
    , url(std::move(url_))
    , title(std::move(title_))
    , artist(std::move(artist_))
    , duration(duration_)
    , artwork(std::move(artwork_))
    , info(std::move(info_))
    , bookmark(std::move(bookmark_)) {}

namespace {

// Opens a file by its bytes (any name, see filename.h) for reading, without blocking on a FIFO.
bool openByName(QFile& file, const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    return file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
}

QString toQString(const TagLib::String& s) {
    return QString::fromStdWString(s.toWString());
}

QByteArray toBytes(const TagLib::ByteVector& v) {
    return QByteArray(v.data(), int(v.size()));
}

// The last value of a tag field, when the field is present (an empty value counts).
std::optional<QString> lastValue(const TagLib::PropertyMap& map, const char* key) {
    const auto it = map.find(key);
    if (it == map.end())
        return std::nullopt;
    return it->second.isEmpty() ? QString() : toQString(it->second.back());
}

std::optional<QByteArray> lastPicture(const TagLib::ID3v2::Tag* tag) {
    if (!tag)
        return std::nullopt;
    const TagLib::ID3v2::FrameList& frames = tag->frameListMap()["APIC"];
    if (frames.isEmpty())
        return std::nullopt;
    const auto* apic = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frames.back());
    return apic ? std::optional(toBytes(apic->picture())) : std::nullopt;
}

// The last picture the file carries in its own format, or nothing.
std::optional<QByteArray> lastPicture(TagLib::File* file) {
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file))
        return lastPicture(mpeg->ID3v2Tag(false));
    if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file))
        return lastPicture(wav->ID3v2Tag());
    if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file))
        return lastPicture(aiff->tag());
    if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
        const auto pictures = flac->pictureList();
        if (!pictures.isEmpty())
            return toBytes(pictures.back()->data());
        return std::nullopt;
    }
    if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
        TagLib::MP4::Tag* tag = mp4->tag();
        if (tag && tag->contains("covr")) {
            const TagLib::MP4::CoverArtList covers = tag->item("covr").toCoverArtList();
            if (!covers.isEmpty())
                return toBytes(covers.back().data());
        }
    }
    return std::nullopt;
}

// Pictures are kept encoded; only their header is checked here (decoding every cover of a
// large collection would cost more than reading its tags). Bytes that are no image give none,
// and so does a picture over Track::maxPictureBytes. One over Track::maxKeptPictureBytes is
// kept as a smaller copy (at most Track::maxPictureSide pixels a side), so that what stays in
// memory for display is bounded.
QByteArray validPicture(const QByteArray& bytes) {
    if (bytes.size() > Track::maxPictureBytes)
        return {};
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();
    if (!reader.canRead() || !size.isValid() || size.isEmpty())
        return {};
    if (bytes.size() <= Track::maxKeptPictureBytes)
        return bytes;
    if (size.width() > Track::maxPictureSide || size.height() > Track::maxPictureSide)
        reader.setScaledSize(
            size.scaled(Track::maxPictureSide, Track::maxPictureSide, Qt::KeepAspectRatio));
    const QImage image = reader.read();
    if (image.isNull())
        return {};
    QByteArray smaller;
    QBuffer out(&smaller);
    out.open(QIODevice::WriteOnly);
    image.save(&out, image.hasAlphaChannel() ? "PNG" : "JPEG", 90);
    return smaller.size() <= Track::maxKeptPictureBytes ? smaller : QByteArray();
}

// A valid MPEG audio frame header at p (4 bytes).
bool isMpegFrameHeader(const unsigned char* p) {
    return p[0] == 0xff && (p[1] & 0xe0) == 0xe0 && ((p[1] >> 3) & 3) != 1 &&
           ((p[1] >> 1) & 3) != 0 && (p[2] >> 4) != 0 && (p[2] >> 4) != 0x0f &&
           ((p[2] >> 2) & 3) != 3;
}

bool hasMpegFrame(const QByteArray& data) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
    for (qsizetype i = 0; i + 4 <= data.size(); ++i) {
        if (isMpegFrameHeader(p + i))
            return true;
    }
    return false;
}

// TagLib looks for an MP3's first frame from the front and its last one from the back, byte by
// byte through the whole file: minutes for gigabytes without a frame. Such a file is left to
// the player; TagLib gets only files with a frame near both ends.
bool mpegFramesNearBothEnds(const QByteArray& path) {
    QFile file;
    if (!openByName(file, path))
        return false;
    qint64 start = 0;
    const QByteArray id3 = file.read(10);
    if (id3.size() == 10 && id3.startsWith("ID3")) {
        const auto* h = reinterpret_cast<const unsigned char*>(id3.constData());
        start =
            10 + ((h[6] & 0x7f) << 21 | (h[7] & 0x7f) << 14 | (h[8] & 0x7f) << 7 | (h[9] & 0x7f));
    }
    const qint64 window = Track::maxFrameSearchBytes;
    if (!file.seek(start) || !hasMpegFrame(file.read(window)))
        return false;
    const qint64 tail = std::max(start, file.size() - window);
    return tail <= start + window || (file.seek(tail) && hasMpegFrame(file.read(window)));
}

struct Format {
    double sampleRate = 0;
    int channels = 0;
};

// Raw ADTS AAC, which TagLib does not read: sample rate, channels and length from the frames.
bool readAdts(const QByteArray& path, double* duration, Format* format) {
    static const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};
    QFile file;
    if (!openByName(file, path) || file.size() > 512 * 1024 * 1024)
        return false;
    const QByteArray data = file.readAll();
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
    const qsizetype n = data.size();
    qsizetype pos = 0;
    // Skip an ID3v2 tag in front.
    if (n >= 10 && p[0] == 'I' && p[1] == 'D' && p[2] == '3')
        pos = 10 + ((p[6] & 0x7f) << 21 | (p[7] & 0x7f) << 14 | (p[8] & 0x7f) << 7 | (p[9] & 0x7f));
    qint64 frames = 0;
    int rateIndex = -1;
    while (pos + 7 <= n) {
        if (p[pos] != 0xff || (p[pos + 1] & 0xf6) != 0xf0)
            break;
        const int index = (p[pos + 2] >> 2) & 0x0f;
        const int length = ((p[pos + 3] & 0x03) << 11) | (p[pos + 4] << 3) | (p[pos + 5] >> 5);
        if (index > 12 || length < 7)
            break;
        if (rateIndex < 0) {
            rateIndex = index;
            format->channels = ((p[pos + 2] & 0x01) << 2) | (p[pos + 3] >> 6);
        }
        frames += (p[pos + 6] & 0x03) + 1; // raw data blocks of 1024 samples
        pos += length;
    }
    if (rateIndex < 0)
        return false;
    format->sampleRate = rates[rateIndex];
    *duration = double(frames) * 1024.0 / format->sampleRate;
    return true;
}

} // namespace

Track Track::load(const QUrl& url, const QString& lang) {
    const QString path = url.toLocalFile();
    const QByteArray encoded = encodeFileName(path);
    struct stat st {};
    const bool exists = ::stat(encoded.constData(), &st) == 0;
    const bool regular = exists && S_ISREG(st.st_mode);
    const QFileInfo fileInfo(path); // for the name only
    const QString name = fileInfo.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot >= 0 ? name.mid(dot + 1) : QString();

    QString title = dot >= 0 ? name.left(dot) : name;
    QString artist;
    double duration = 0;
    QByteArray artwork;
    std::optional<Format> format;

    const bool mpeg = extension.compare(QLatin1String("mp3"), Qt::CaseInsensitive) == 0;
    // An unreadable file fails to open below.
    if (regular && (!mpeg || mpegFramesNearBothEnds(encoded))) {
        TagLib::FileRef ref(encoded.constData(), true, TagLib::AudioProperties::Average);
        if (!ref.isNull()) {
            TagLib::File* file = ref.file();
            TagLib::PropertyMap properties = file->properties();
            // TagLib merges an mp3's tags by skipping the "empty" ones, which would lose an
            // ID3v2 tag holding only an empty title; read that tag directly when it has frames.
            if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) {
                if (TagLib::ID3v2::Tag* id3 = mpeg->ID3v2Tag(false);
                    id3 && !id3->frameList().isEmpty())
                    properties = id3->properties();
            }
            // In WAV files the ID3 chunk comes first; the RIFF INFO chunk fills what it lacks.
            if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
                properties =
                    wav->hasID3v2Tag() ? wav->ID3v2Tag()->properties() : TagLib::PropertyMap();
                if (wav->hasInfoTag()) {
                    const TagLib::PropertyMap info = wav->InfoTag()->properties();
                    for (const char* key : {"TITLE", "ARTIST"}) {
                        if (!properties.contains(key) && info.contains(key))
                            properties.insert(key, info[key]);
                    }
                }
            }
            if (auto value = lastValue(properties, "TITLE"))
                title = *value;
            if (auto value = lastValue(properties, "ARTIST"))
                artist = *value;
            if (auto picture = lastPicture(file))
                artwork = validPicture(*picture);
            if (const TagLib::AudioProperties* audio = ref.audioProperties()) {
                duration = audio->lengthInMilliseconds() / 1000.0;
                if (audio->sampleRate() > 0)
                    format = Format{double(audio->sampleRate()), audio->channels()};
            }
        } else if (extension.compare(QLatin1String("aac"), Qt::CaseInsensitive) == 0) {
            Format adts;
            if (readAdts(encoded, &duration, &adts))
                format = adts;
        }
    }

    const std::optional<qint64> size = exists ? std::optional(qint64(st.st_size)) : std::nullopt;
    const QString info = format ? technicalLine(extension, size, duration, format->sampleRate,
                                                format->channels, lang)
                                : technicalLine(extension, size, duration, std::nullopt, 0, lang);
    return Track(url, title, artist, duration, artwork, info);
}

QString Track::technicalLine(const QString& extension, std::optional<qint64> fileSize,
                             double duration, std::optional<double> sampleRate, int channels,
                             const QString& lang) {
    QStringList parts{extension.toUpper()};
    // Bit rate from the size on disk, not the stream's nominal rate; quotients truncate.
    if (duration > 0 && fileSize) {
        const double kbps = double(*fileSize) * 8.0 / duration / 1000.0;
        if (std::isfinite(kbps) && kbps < 9e18)
            parts.append(QString::number(qint64(kbps)) + QStringLiteral(" kbps"));
    }
    if (sampleRate && std::isfinite(*sampleRate) && *sampleRate >= 0 && *sampleRate < 9e18) {
        parts.append(QString::number(qint64(*sampleRate / 1000.0)) + QStringLiteral(" kHz"));
        parts.append(loc(channels == 2 ? QStringLiteral("stereo") : QStringLiteral("mono"), lang));
    }
    return parts.join(QStringLiteral(" · "));
}

} // namespace orvane
