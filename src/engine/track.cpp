#include "engine/track.h"

#include "core/displaytext.h"
#include "core/localization.h"
#include "engine/bookmark.h"
#include "engine/filename.h"

#include <taglib/aifffile.h>
#include <taglib/apetag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/mpegproperties.h>
#include <taglib/tpropertymap.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xingheader.h>
#include <taglib/xiphcomment.h>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

Track::Track(QString path, QString title_, QString artist_, double duration_, QByteArray artwork_,
             Technical technical_, std::optional<QByteArray> bookmark_)
    : id(QUuid::createUuid())
    , title(std::move(title_))
    , artist(std::move(artist_))
    , duration(duration_)
    , artwork(std::move(artwork_))
    , technical(std::move(technical_))
    , bookmark(std::move(bookmark_))
    , path_(std::move(path)) {}

QString Track::path() const {
    if (path_.isNull() && bookmark)
        return Bookmark::recordedPath(*bookmark).value_or(QString());
    return path_;
}

QString Track::fileName() const {
    const QString name = path();
    return name.sliced(name.lastIndexOf(QLatin1Char('/')) + 1);
}

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

// The last value of a tag field, when the field is present (an empty value counts), cleaned
// like a station's titles: a tag goes to the window and the desktop as it is read.
std::optional<QString> lastValue(const TagLib::PropertyMap& map, const char* key) {
    const auto it = map.find(key);
    if (it == map.end())
        return std::nullopt;
    return it->second.isEmpty() ? QString() : cleanDisplayText(toQString(it->second.back()));
}

// A ReplayGain value ("-6.48 dB", "0.988525"): its leading number, when it is a sane one.
float gainValue(const TagLib::PropertyMap& map, const char* key, float low, float high) {
    const auto it = map.find(key);
    if (it == map.end() || it->second.isEmpty())
        return NAN;
    const QString text = toQString(it->second.front()).trimmed();
    bool ok = false;
    const float value = text.section(QLatin1Char(' '), 0, 0).toFloat(&ok);
    return ok && std::isfinite(value) && value >= low && value <= high ? value : NAN;
}

// R128_*_GAIN (Opus): a Q7.8 integer in dB relative to -23 LUFS; ReplayGain's reference is
// -18 LUFS, 5 dB louder.
float r128Value(const TagLib::PropertyMap& map, const char* key) {
    const auto it = map.find(key);
    if (it == map.end() || it->second.isEmpty())
        return NAN;
    bool ok = false;
    const int q78 = toQString(it->second.front()).trimmed().toInt(&ok);
    return ok && q78 >= -32768 && q78 <= 32767 ? float(q78) / 256.0f + 5.0f : NAN;
}

// The gains a file's tags carry: ReplayGain's keys (ID3v2 TXXX, Vorbis comments, APE, MP4
// freeform atoms all read as these properties), else R128's.
Track::Gain readGain(const TagLib::PropertyMap& map) {
    Track::Gain g;
    g.track = gainValue(map, "REPLAYGAIN_TRACK_GAIN", -100, 100);
    g.trackPeak = gainValue(map, "REPLAYGAIN_TRACK_PEAK", 0, 100);
    g.album = gainValue(map, "REPLAYGAIN_ALBUM_GAIN", -100, 100);
    g.albumPeak = gainValue(map, "REPLAYGAIN_ALBUM_PEAK", 0, 100);
    if (std::isnan(g.track))
        g.track = r128Value(map, "R128_TRACK_GAIN");
    if (std::isnan(g.album))
        g.album = r128Value(map, "R128_ALBUM_GAIN");
    return g;
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
    // Ogg Vorbis and Opus: METADATA_BLOCK_PICTURE in the Vorbis comment.
    if (auto* xiph = dynamic_cast<TagLib::Ogg::XiphComment*>(file->tag())) {
        const auto pictures = xiph->pictureList();
        if (!pictures.isEmpty())
            return toBytes(pictures.back()->data());
        return std::nullopt;
    }
    // WavPack: an APE binary item, the picture's description and a NUL before the bytes.
    if (auto* wv = dynamic_cast<TagLib::WavPack::File*>(file)) {
        if (const TagLib::APE::Tag* ape = wv->APETag(false)) {
            const auto& items = ape->itemListMap();
            const auto it = items.find("COVER ART (FRONT)");
            if (it != items.end() && it->second.type() == TagLib::APE::Item::Binary) {
                const TagLib::ByteVector value = it->second.binaryData();
                const int nul = value.find('\0');
                if (nul >= 0)
                    return toBytes(value.mid(uint(nul) + 1));
            }
        }
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

// A reader of an encoded picture whose header says it is an image of some size; null when it
// is none, or over Track::maxPictureBytes.
std::unique_ptr<QImageReader> pictureReader(QBuffer& buffer, const QByteArray& bytes) {
    if (bytes.size() > Track::maxPictureBytes)
        return nullptr;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    auto reader = std::make_unique<QImageReader>(&buffer);
    reader->setDecideFormatFromContent(true);
    const QSize size = reader->size();
    if (!reader->canRead() || !size.isValid() || size.isEmpty())
        return nullptr;
    return reader;
}

QByteArray encoded(const QImage& image, int quality) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, image.hasAlphaChannel() ? "PNG" : "JPEG", quality);
    return out;
}

// The full cover as the current track's header shows it. Only its header is checked (the
// header's view decodes it). One over Track::maxKeptPictureBytes is re-encoded at most
// Track::maxPictureSide pixels a side, so that what is held for display stays bounded.
QByteArray fullPicture(const QByteArray& bytes) {
    QBuffer buffer;
    const auto reader = pictureReader(buffer, bytes);
    if (!reader)
        return {};
    if (bytes.size() <= Track::maxKeptPictureBytes)
        return bytes;
    const QSize size = reader->size();
    if (size.width() > Track::maxPictureSide || size.height() > Track::maxPictureSide)
        reader->setScaledSize(
            size.scaled(Track::maxPictureSide, Track::maxPictureSide, Qt::KeepAspectRatio));
    const QImage image = reader->read();
    if (image.isNull())
        return {};
    const QByteArray smaller = encoded(image, 90);
    return smaller.size() <= Track::maxKeptPictureBytes ? smaller : QByteArray();
}

// A valid MPEG audio frame header at p (4 bytes).
bool isMpegFrameHeader(const unsigned char* p) {
    return p[0] == 0xff && (p[1] & 0xe0) == 0xe0 && ((p[1] >> 3) & 3) != 1 &&
           ((p[1] >> 1) & 3) != 0 && (p[2] >> 4) != 0 && (p[2] >> 4) != 0x0f &&
           ((p[2] >> 2) & 3) != 3;
}

// Whether a valid MPEG audio frame header starts in [from, end) of the open file `fd`. Read
// a chunk at a time, a small one first: a frame is usually within the first few bytes looked
// at, and the window is megabytes long.
bool hasMpegFrame(int fd, qint64 from, qint64 end) {
    constexpr qint64 kFirst = 4 * 1024, kChunk = 64 * 1024;
    std::unique_ptr<unsigned char[]> chunk;
    unsigned char first[kFirst];
    for (qint64 at = from; at + 4 <= end;) {
        unsigned char* buffer = at == from ? first : chunk.get();
        if (!buffer) {
            chunk.reset(new unsigned char[kChunk]);
            buffer = chunk.get();
        }
        const qint64 room = at == from ? kFirst : kChunk;
        const ssize_t got = ::pread(fd, buffer, size_t(std::min(room, end - at)), at);
        if (got < 4)
            return false;
        for (ssize_t i = 0; i + 4 <= got; ++i) {
            if (isMpegFrameHeader(buffer + i))
                return true;
        }
        at += got - 3; // a header may straddle two chunks
    }
    return false;
}

// TagLib looks for an MP3's first frame from the front and its last one from the back, byte by
// byte through the whole file: minutes for gigabytes without a frame. Such a file is left to
// the player; TagLib gets only files with a frame near both ends.
bool mpegFramesNearBothEnds(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    const auto found = [fd] {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            return false;
        const qint64 size = st.st_size;
        qint64 start = 0;
        unsigned char h[10];
        if (::pread(fd, h, sizeof h, 0) == sizeof h && h[0] == 'I' && h[1] == 'D' && h[2] == '3')
            start = 10 + ((h[6] & 0x7f) << 21 | (h[7] & 0x7f) << 14 | (h[8] & 0x7f) << 7 |
                          (h[9] & 0x7f));
        const qint64 window = Track::maxFrameSearchBytes;
        if (!hasMpegFrame(fd, start, std::min(size, start + window)))
            return false;
        const qint64 tail = std::max(start, size - window);
        return tail <= start + window || hasMpegFrame(fd, tail, size);
    }();
    ::close(fd);
    return found;
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

// What an MP4 file says of its first AAC track beyond TagLib: the channel count from the
// decoder's own configuration (the AudioSpecificConfig in the esds box; some encoders write 2
// into the sample entry of a mono stream), and the length after the edit list (which trims the
// encoder's priming samples that the media duration counts).
struct Mp4Facts {
    int channels = 0;        // 0: not known from the configuration
    double editedLength = 0; // 0: no edit list
};

class BoxReader {
public:
    BoxReader(const char* data, qsizetype size)
        : p_(reinterpret_cast<const unsigned char*>(data))
        , n_(size) {}
    bool has(qsizetype bytes) const { return bytes >= 0 && pos_ + bytes <= n_; }
    quint64 be(int bytes) {
        quint64 v = 0;
        for (int i = 0; i < bytes; ++i)
            v = v << 8 | p_[pos_++];
        return v;
    }
    qsizetype pos_ = 0;
    const unsigned char* p_;
    qsizetype n_;
};

// Calls fn(type, start, end) for each box in [begin, end) of data; stops on a malformed size.
template <typename Fn>
void forEachBox(const QByteArray& data, qsizetype begin, qsizetype end, Fn fn) {
    qsizetype pos = begin;
    while (pos + 8 <= end) {
        BoxReader r(data.constData(), end);
        r.pos_ = pos;
        quint64 size = r.be(4);
        const QByteArray type = data.mid(pos + 4, 4);
        qsizetype header = 8;
        if (size == 1) {
            if (!r.has(12))
                return;
            r.pos_ = pos + 8;
            size = r.be(8);
            header = 16;
        } else if (size == 0) {
            size = quint64(end - pos);
        }
        if (size < quint64(header) || size > quint64(end - pos))
            return;
        fn(type, pos + header, pos + qsizetype(size));
        pos += qsizetype(size);
    }
}

// Channels from an AudioSpecificConfig; 0 when it does not say.
int ascChannels(const QByteArray& asc) {
    quint64 bits = 0;
    int have = 0, at = 0;
    auto take = [&](int count) -> int {
        while (have < count) {
            if (at >= asc.size())
                return -1;
            bits = bits << 8 | quint8(asc.at(at++));
            have += 8;
        }
        have -= count;
        return int((bits >> have) & ((1u << count) - 1));
    };
    int objectType = take(5);
    if (objectType == 31)
        objectType = 32 + take(6);
    if (take(4) == 15)
        take(24);
    const int config = take(4);
    if (objectType == 29 && config == 1)
        return 2; // parametric stereo: a mono core that decodes to stereo
    if (config >= 1 && config <= 6)
        return config;
    return config == 7 ? 8 : 0;
}

// The descriptors of an esds box (after its version and flags): the DecoderSpecificInfo.
QByteArray decoderSpecificInfo(const QByteArray& data, qsizetype begin, qsizetype end) {
    BoxReader r(data.constData(), end);
    r.pos_ = begin;
    auto descriptor = [&](int* tag) -> qsizetype {
        if (!r.has(2))
            return -1;
        *tag = int(r.be(1));
        qsizetype length = 0;
        for (int i = 0; i < 4 && r.has(1); ++i) {
            const int b = int(r.be(1));
            length = length << 7 | (b & 0x7f);
            if (!(b & 0x80))
                break;
        }
        return r.has(length) ? length : -1;
    };
    int tag = 0;
    if (descriptor(&tag) < 0 || tag != 0x03 || !r.has(3))
        return {};
    r.be(2); // ES_ID
    const int flags = int(r.be(1));
    if (flags & 0x80)
        r.pos_ += 2;
    if ((flags & 0x40) && r.has(1))
        r.pos_ += qsizetype(r.be(1));
    if (flags & 0x20)
        r.pos_ += 2;
    if (descriptor(&tag) < 0 || tag != 0x04 || !r.has(13))
        return {};
    r.pos_ += 13;
    const qsizetype length = descriptor(&tag);
    if (length <= 0 || tag != 0x05)
        return {};
    return data.mid(r.pos_, length);
}

Mp4Facts readMp4Facts(const QString& path) {
    Mp4Facts facts;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return facts;
    // Find the movie box among the top-level boxes without reading the media data.
    QByteArray moov;
    qint64 pos = 0;
    const qint64 fileSize = file.size();
    while (pos + 8 <= fileSize && moov.isEmpty()) {
        file.seek(pos);
        const QByteArray head = file.read(16);
        if (head.size() < 8)
            break;
        BoxReader r(head.constData(), head.size());
        quint64 size = r.be(4);
        if (size == 1 && head.size() == 16) {
            r.pos_ = 8;
            size = r.be(8);
        } else if (size == 0) {
            size = quint64(fileSize - pos);
        }
        if (size < 8 || size > quint64(fileSize - pos))
            break;
        if (head.mid(4, 4) == "moov") {
            if (size > 64 * 1024 * 1024)
                break;
            file.seek(pos);
            moov = file.read(qint64(size));
        }
        pos += qint64(size);
    }
    if (moov.isEmpty())
        return facts;

    quint32 movieScale = 0;
    bool done = false;
    forEachBox(moov, 8, moov.size(), [&](const QByteArray& type, qsizetype b, qsizetype e) {
        if (type == "mvhd") {
            BoxReader r(moov.constData(), e);
            r.pos_ = b;
            if (!r.has(4))
                return;
            const int version = int(r.be(1));
            r.pos_ += 3 + (version == 1 ? 16 : 8);
            if (r.has(4))
                movieScale = quint32(r.be(4));
            return;
        }
        if (type != "trak" || done)
            return;
        // The first track with an mp4a sample entry.
        int channels = 0;
        bool audio = false;
        double edited = 0;
        std::function<void(const QByteArray&, qsizetype, qsizetype)> walk;
        walk = [&](const QByteArray& t, qsizetype tb, qsizetype te) {
            if (t == "mdia" || t == "minf" || t == "stbl" || t == "edts") {
                forEachBox(moov, tb, te, walk);
            } else if (t == "stsd") {
                forEachBox(moov, tb + 8, te, walk); // past version, flags and entry count
            } else if (t == "mp4a") {
                audio = true;
                forEachBox(moov, tb + 28, te, walk); // past the sample entry's fields
            } else if (t == "esds") {
                channels = ascChannels(decoderSpecificInfo(moov, tb + 4, te));
            } else if (t == "elst") {
                BoxReader r(moov.constData(), te);
                r.pos_ = tb;
                if (!r.has(8))
                    return;
                const int version = int(r.be(1));
                r.pos_ += 3;
                const quint64 count = r.be(4);
                const int width = version == 1 ? 8 : 4;
                for (quint64 i = 0; i < count && r.has(2 * width + 4); ++i) {
                    const quint64 segment = r.be(width);
                    const qint64 mediaTime = width == 8 ? qint64(r.be(8)) : qint32(r.be(4));
                    r.pos_ += 4;
                    if (mediaTime != -1)
                        edited += double(segment);
                }
            }
        };
        forEachBox(moov, b, e, walk);
        if (audio) {
            done = true;
            facts.channels = channels;
            facts.editedLength = edited; // in movie units until the scale is known
        }
    });
    facts.editedLength = movieScale > 0 ? facts.editedLength / movieScale : 0;
    return facts;
}

// TagLib's picture of a file that is worth opening: an MP3 without frames near both ends is
// not given to TagLib (it would scan the whole file).
std::optional<QByteArray> pictureOfFile(const QByteArray& encodedName) {
    const qsizetype slash = encodedName.lastIndexOf('/');
    const qsizetype dot = encodedName.lastIndexOf('.');
    const bool mpeg = dot > slash && encodedName.mid(dot + 1).toLower() == "mp3";
    if (mpeg && !mpegFramesNearBothEnds(encodedName))
        return std::nullopt;
    TagLib::FileRef ref(encodedName.constData(), false);
    return ref.isNull() ? std::nullopt : lastPicture(ref.file());
}

} // namespace

QString Track::titleFromName(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    return path.mid(slash + 1, dot > slash ? dot - slash - 1 : path.size() - slash - 1);
}

Track Track::load(const QUrl& url, const QString& lang, int thumbnailSide,
                  const Thumbnailer& thumbnailer) {
    const QString path = url.toLocalFile();
    const QByteArray encoded = encodeFileName(path);
    struct stat st {};
    const bool exists = ::stat(encoded.constData(), &st) == 0;
    const bool regular = exists && S_ISREG(st.st_mode);
    const QFileInfo fileInfo(path); // for the name only
    const QString name = fileInfo.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot >= 0 ? name.mid(dot + 1) : QString();

    QString title = titleFromName(path);
    QString artist;
    QString album, albumArtist;
    int trackNumber = 0;
    Gain gain;
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
            gain = readGain(properties);
            // mp3gain and its kin put the gains in an APE tag beside the ID3v2 one.
            if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file);
                mpeg && !gain.hasTrack() && mpeg->hasAPETag())
                gain = readGain(mpeg->APETag()->properties());
            // MP4 freeform atoms ("----:com.apple.iTunes:replaygain_track_gain", in either
            // case), which TagLib's properties do not name.
            if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file);
                mp4 && !gain.hasTrack() && mp4->tag()) {
                TagLib::PropertyMap freeform;
                for (const auto& [key, item] : mp4->tag()->itemMap()) {
                    const QString name = toQString(key);
                    if (name.startsWith(QLatin1String("----:com.apple.iTunes:"),
                                        Qt::CaseInsensitive))
                        freeform.insert(TagLib::String(name.mid(22).toUpper().toStdString()),
                                        item.toStringList());
                }
                gain = readGain(freeform);
            }
            if (auto value = lastValue(properties, "TITLE"))
                title = *value;
            if (auto value = lastValue(properties, "ARTIST"))
                artist = *value;
            if (auto value = lastValue(properties, "ALBUM"))
                album = *value;
            if (auto value = lastValue(properties, "ALBUMARTIST"))
                albumArtist = *value;
            // "3" or "3/12"
            if (auto value = lastValue(properties, "TRACKNUMBER"))
                trackNumber = std::max(0, value->section(QLatin1Char('/'), 0, 0).trimmed().toInt());
            if (auto picture = lastPicture(file))
                artwork = thumbnailer ? thumbnailer(*picture, thumbnailSide)
                                      : thumbnail(*picture, thumbnailSide);
            if (const TagLib::AudioProperties* audio = ref.audioProperties()) {
                duration = audio->lengthInMilliseconds() / 1000.0;
                // TagLib's milliseconds are an int, which a Xing header's frame count can
                // overflow (past 24.8 days it reads as negative): counted again in seconds.
                if (const auto* mp = dynamic_cast<const TagLib::MPEG::Properties*>(audio);
                    mp && mp->xingHeader() && mp->xingHeader()->totalFrames() > 0 &&
                    mp->sampleRate() > 0) {
                    const bool mpeg1 = mp->version() == TagLib::MPEG::Header::Version1;
                    const double samples =
                        mp->layer() == 1 ? 384 : (mp->layer() == 2 || mpeg1 ? 1152 : 576);
                    duration = double(mp->xingHeader()->totalFrames()) * samples /
                               double(mp->sampleRate());
                }
                if (audio->sampleRate() > 0)
                    format = Format{double(audio->sampleRate()), audio->channels()};
            }
            if (dynamic_cast<TagLib::MP4::File*>(file)) {
                const Mp4Facts facts = readMp4Facts(path);
                if (format && facts.channels > 0)
                    format->channels = facts.channels;
                if (facts.editedLength > 0)
                    duration = facts.editedLength;
            }
        } else if (extension.compare(QLatin1String("aac"), Qt::CaseInsensitive) == 0) {
            Format adts;
            if (readAdts(encoded, &duration, &adts))
                format = adts;
        }
    }

    // A header's claim past the bound is taken as the bound; one that is no length as unknown.
    duration = std::isfinite(duration) && duration > 0 ? std::min(duration, maxDuration) : 0.0;

    const std::optional<qint64> size = exists ? std::optional(qint64(st.st_size)) : std::nullopt;
    // .oga is Ogg Vorbis too, and named so.
    const QString type = extension.compare(QLatin1String("oga"), Qt::CaseInsensitive) == 0
                             ? QStringLiteral("ogg")
                             : extension;
    const Technical technical =
        format ? Technical::of(type, size, duration, format->sampleRate, format->channels)
               : Technical::of(type, size, duration, std::nullopt, 0);
    Track track(path, title, artist, duration, artwork, technical);
    track.technical.words = Technical::wordsOf(lang);
    track.album = album;
    track.albumArtist = albumArtist;
    track.trackNumber = trackNumber;
    track.gain = gain;
    return track;
}

float Track::Gain::factor(bool useAlbum) const {
    const bool albumKnown = useAlbum && std::isfinite(album);
    const float db = albumKnown ? album : track;
    if (!std::isfinite(db))
        return 1.0f;
    float linear = std::pow(10.0f, db / 20.0f);
    // No clipping: the loudest sample stays at full scale at most.
    const float peak = albumKnown && std::isfinite(albumPeak) ? albumPeak : trackPeak;
    if (std::isfinite(peak) && peak > 0 && linear * peak > 1.0f)
        linear = 1.0f / peak;
    return linear;
}

int Track::thumbnailSideFor(double devicePixelRatio) {
    const double ratio = std::isfinite(devicePixelRatio) ? std::clamp(devicePixelRatio, 1.0, 4.0)
                                                         : 1.0;
    return int(std::ceil(toastCoverSide * ratio));
}

QByteArray Track::thumbnail(const QByteArray& picture, int side) {
    QBuffer buffer;
    const auto reader = pictureReader(buffer, picture);
    if (!reader)
        return {};
    const QSize size = reader->size();
    if (size.width() <= side && size.height() <= side)
        return picture.size() <= maxThumbnailBytes ? picture : QByteArray();
    // Scaled as it is decoded (a JPEG decodes straight at a fraction of its size), then the
    // centre square: header and toast both show a cover cropped to fill a square.
    const QSize scaled = size.scaled(side, side, Qt::KeepAspectRatioByExpanding);
    reader->setScaledSize(scaled);
    reader->setScaledClipRect(QRect((scaled.width() - side) / 2, (scaled.height() - side) / 2,
                                    std::min(side, scaled.width()),
                                    std::min(side, scaled.height())));
    const QImage image = reader->read();
    if (image.isNull())
        return {};
    const QByteArray small = encoded(image, 85);
    return small.size() <= maxThumbnailBytes ? small : QByteArray();
}

QByteArray Track::loadCover(const QString& path) {
    const QByteArray name = encodeFileName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const std::optional<QByteArray> picture = pictureOfFile(name);
    return picture ? fullPicture(*picture) : QByteArray();
}

Track::Technical Track::Technical::of(const QString& extension, std::optional<qint64> fileSize,
                                      double duration, std::optional<double> sampleRate,
                                      int channels) {
    Technical t;
    t.type = extension.toUpper();
    // Bit rate from the size on disk, not the stream's nominal rate; quotients truncate.
    if (duration > 0 && fileSize) {
        const double kbps = double(*fileSize) * 8.0 / duration / 1000.0;
        if (std::isfinite(kbps) && kbps >= 0 && kbps < 9e18)
            t.kbps = qint64(kbps);
    }
    if (sampleRate && std::isfinite(*sampleRate) && *sampleRate >= 0 && *sampleRate < 9e18) {
        t.kHz = qint64(*sampleRate / 1000.0);
        t.channels = std::max(channels, 0);
    }
    return t;
}

QString Track::Technical::line(QStringView stereo, QStringView mono) const {
    // Written straight into a string of the right length: a start words thousands of lines.
    constexpr QStringView separator = u" · ";
    const auto digits = [](qint64 n) {
        int count = 1;
        for (; n >= 10; n /= 10)
            ++count;
        return count;
    };
    const QStringView channelWord = channels == 2 ? stereo : mono;
    qsizetype length = type.size();
    if (kbps >= 0)
        length += separator.size() + digits(kbps) + 5;
    if (kHz >= 0)
        length += 2 * separator.size() + digits(kHz) + 4 + channelWord.size();
    QString text(length, Qt::Uninitialized);
    QChar* out = text.data();
    const auto put = [&](QStringView part) {
        std::copy(part.begin(), part.end(), out);
        out += part.size();
    };
    const auto number = [&](qint64 n) {
        QChar* end = out + digits(n);
        for (QChar* p = end; p != out; n /= 10)
            *--p = QChar(char16_t(u'0' + n % 10));
        out = end;
    };
    put(type);
    if (kbps >= 0) {
        put(separator);
        number(kbps);
        put(u" kbps");
    }
    if (kHz >= 0) {
        put(separator);
        number(kHz);
        put(u" kHz");
        put(separator);
        put(channelWord);
    }
    return text;
}

QString Track::Technical::line(const QString& lang) const {
    return line(loc(QStringLiteral("stereo"), lang), loc(QStringLiteral("mono"), lang));
}

namespace {

// The pairs of channel words met so far, numbered in that order; English's first.
struct ChannelWords {
    std::mutex mutex;
    QList<std::pair<QString, QString>> pairs{
        {loc(QStringLiteral("stereo"), QStringLiteral("en")),
         loc(QStringLiteral("mono"), QStringLiteral("en"))}};
};

ChannelWords& channelWords() {
    static ChannelWords words;
    return words;
}

} // namespace

quint8 Track::Technical::wordsOf(const QString& stereo, const QString& mono) {
    ChannelWords& words = channelWords();
    const std::lock_guard lock(words.mutex);
    for (qsizetype i = 0; i < words.pairs.size(); ++i) {
        if (words.pairs.at(i).first == stereo && words.pairs.at(i).second == mono)
            return quint8(i);
    }
    if (words.pairs.size() > 255)
        return 0; // never with the interface's languages
    words.pairs.append({stereo, mono});
    return quint8(words.pairs.size() - 1);
}

quint8 Track::Technical::wordsOf(const QString& lang) {
    return wordsOf(loc(QStringLiteral("stereo"), lang), loc(QStringLiteral("mono"), lang));
}

QString Track::Technical::line() const {
    std::pair<QString, QString> pair;
    {
        ChannelWords& all = channelWords();
        const std::lock_guard lock(all.mutex);
        pair = all.pairs.value(words, all.pairs.first());
    }
    return line(pair.first, pair.second);
}

QString Track::technicalLine(const QString& extension, std::optional<qint64> fileSize,
                             double duration, std::optional<double> sampleRate, int channels,
                             const QString& lang) {
    return Technical::of(extension, fileSize, duration, sampleRate, channels).line(lang);
}

} // namespace orvane
