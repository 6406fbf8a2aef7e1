#include "engine/metadatacache.h"

#include "core/descriptors.h"
#include "core/localization.h"
#include "engine/filename.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QtEndian>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <iostream>
#include <vector>

namespace orvane {

namespace {

constexpr qint32 kNoCover = -1;
constexpr qint32 kCoverNotKept = -2;
// The least bytes one entry takes in the file: bookmark length, stamp, five text numbers, bit
// rate, sample rate, channels, track number, duration, the four gains and cover number.
constexpr qint64 kMinEntryBytes = 4 + 40 + 5 * 4 + 8 + 8 + 4 + 4 + 8 + 4 * 4 + 4;
// The most channels a file can say it has (WAV's field is 16 bits).
constexpr int kMaxChannels = 65535;

// XXH64 (seed 0), fed in pieces: the file is written piece by piece, covers and all.
class Hash64 {
public:
    void add(const char* data, qsizetype size) {
        total_ += quint64(size);
        if (buffered_ > 0) {
            const qsizetype fill = std::min(size, kStripe - buffered_);
            std::memcpy(buffer_ + buffered_, data, size_t(fill));
            buffered_ += fill;
            data += fill;
            size -= fill;
            if (buffered_ < kStripe)
                return;
            stripe(buffer_);
            buffered_ = 0;
        }
        for (; size >= kStripe; data += kStripe, size -= kStripe)
            stripe(data);
        std::memcpy(buffer_, data, size_t(size));
        buffered_ = size;
    }
    quint64 value() const {
        quint64 h;
        if (total_ >= quint64(kStripe)) {
            h = std::rotl(v_[0], 1) + std::rotl(v_[1], 7) + std::rotl(v_[2], 12) +
                std::rotl(v_[3], 18);
            for (const quint64 v : v_)
                h = (h ^ round(0, v)) * kP1 + kP4;
        } else {
            h = kP5;
        }
        h += total_;
        const char* p = buffer_;
        qsizetype left = buffered_;
        for (; left >= 8; p += 8, left -= 8)
            h = std::rotl(h ^ round(0, qFromLittleEndian<quint64>(p)), 27) * kP1 + kP4;
        if (left >= 4) {
            h = std::rotl(h ^ (quint64(qFromLittleEndian<quint32>(p)) * kP1), 23) * kP2 + kP3;
            p += 4;
            left -= 4;
        }
        for (; left > 0; ++p, --left)
            h = std::rotl(h ^ (quint64(uchar(*p)) * kP5), 11) * kP1;
        h ^= h >> 33;
        h *= kP2;
        h ^= h >> 29;
        h *= kP3;
        return h ^ (h >> 32);
    }

private:
    static constexpr quint64 kP1 = 11400714785074694791ULL, kP2 = 14029467366897019727ULL,
                             kP3 = 1609587929392839161ULL, kP4 = 9650029242287828579ULL,
                             kP5 = 2870177450012600261ULL;
    static constexpr qsizetype kStripe = 32;
    static quint64 round(quint64 acc, quint64 input) {
        return std::rotl(acc + input * kP2, 31) * kP1;
    }
    void stripe(const char* p) {
        for (int i = 0; i < 4; ++i)
            v_[i] = round(v_[i], qFromLittleEndian<quint64>(p + 8 * i));
    }
    std::array<quint64, 4> v_{kP1 + kP2, kP2, 0, 0 - kP1};
    char buffer_[kStripe];
    qsizetype buffered_ = 0;
    quint64 total_ = 0;
};

// Reads QDataStream's forms (Qt 6.0, big-endian) straight from the bytes: the same values as
// QDataStream, without its device calls per field. Any read past the end leaves `ok` false.
class Reader {
public:
    explicit Reader(const QByteArray& bytes, qsizetype from = 0)
        : p_(bytes.constData() + from)
        , end_(bytes.constData() + bytes.size()) {}
    bool ok() const { return ok_; }
    qsizetype position(const QByteArray& bytes) const { return p_ - bytes.constData(); }
    bool atEnd() const { return p_ == end_; }
    qint64 remaining() const { return end_ - p_; }
    template <typename T> T number() {
        if (!take(sizeof(T)))
            return T{};
        return qFromBigEndian<T>(p_ - sizeof(T));
    }
    double real() { return std::bit_cast<double>(number<quint64>()); }
    // The next byte array's bytes, left where they are (valid while the bytes read are).
    QByteArrayView bytes() {
        const quint32 size = number<quint32>();
        if (size == 0xFFFFFFFF || !take(size))
            return {};
        return QByteArrayView(p_ - size, qsizetype(size));
    }
    QString string() {
        const quint32 size = number<quint32>();
        if (size == 0xFFFFFFFF)
            return {};
        if (size % 2 != 0 || !take(size)) {
            ok_ = false;
            return {};
        }
        QString text(qsizetype(size / 2), Qt::Uninitialized);
        qFromBigEndian<char16_t>(p_ - size, size / 2, text.data());
        return text;
    }

private:
    bool take(quint64 size) {
        if (!ok_ || quint64(end_ - p_) < size) {
            ok_ = false;
            return false;
        }
        p_ += size;
        return true;
    }
    const char* p_;
    const char* end_;
    bool ok_ = true;
};

// Writes QDataStream's forms (Qt 6.0, big-endian) to a file in pieces of some 64 KB, and the
// checksum of all it wrote after them. Covers go straight to the file, never copied.
class Writer {
public:
    explicit Writer(QIODevice& file)
        : file_(file) {
        buffer_.reserve(kPiece + 64);
    }
    template <typename T> void number(T value) {
        const qsizetype at = buffer_.size();
        buffer_.resize(at + qsizetype(sizeof(T)));
        qToBigEndian(value, buffer_.data() + at);
        flushIfFull();
    }
    void real(double value) { number(std::bit_cast<quint64>(value)); }
    void bytes(const QByteArray& bytes) {
        if (bytes.isNull())
            return number(quint32(0xFFFFFFFF));
        number(quint32(bytes.size()));
        if (bytes.size() < kPiece) {
            buffer_.append(bytes);
            return flushIfFull();
        }
        flush();
        put(bytes.constData(), bytes.size());
    }
    void string(const QString& text) {
        if (text.isNull())
            return number(quint32(0xFFFFFFFF));
        number(quint32(text.size() * 2));
        const qsizetype at = buffer_.size();
        buffer_.resize(at + text.size() * 2);
        qToBigEndian<char16_t>(text.utf16(), text.size(), buffer_.data() + at);
        flushIfFull();
    }
    // Ends the file with its checksum; false when a write failed.
    bool finish() {
        flush();
        char sum[MetadataCache::checksumBytes];
        qToBigEndian(hash_.value(), sum);
        put(sum, sizeof(sum));
        return ok_;
    }

private:
    static constexpr qsizetype kPiece = 64 * 1024;
    void flushIfFull() {
        if (buffer_.size() >= kPiece)
            flush();
    }
    void flush() {
        put(buffer_.constData(), buffer_.size());
        buffer_.resize(0); // keeps its room
    }
    void put(const char* data, qsizetype size) {
        if (size == 0)
            return;
        hash_.add(data, size);
        ok_ = ok_ && file_.write(data, size) == size;
    }
    QIODevice& file_;
    QByteArray buffer_;
    Hash64 hash_;
    bool ok_ = true;
};

// A value a read of a file can give. A length past the bound, or not a number, would upset
// everything that adds or compares lengths.
bool isGain(float value, float low, float high) {
    return std::isnan(value) || (value >= low && value <= high);
}

bool isSound(const MetadataCache::Entry& e) {
    return isGain(e.gain.track, -100, 100) && isGain(e.gain.album, -100, 100) &&
           isGain(e.gain.trackPeak, 0, 100) && isGain(e.gain.albumPeak, 0, 100) &&
           e.stamp.size >= 0 && std::isfinite(e.duration) && e.duration >= 0 &&
           e.duration <= Track::maxDuration && e.technical.kbps >= -1 && e.technical.kHz >= -1 &&
           e.technical.channels >= 0 && e.technical.channels <= kMaxChannels;
}

// One entry as written: its bookmark's bytes (left in the file's) and, checked against the
// texts and covers before it, its fields into `out` when given (but for the channel words).
// False for anything damaged.
bool readEntry(Reader& in, const QList<QString>& texts, const QList<QByteArray>& covers,
               QByteArrayView* bookmark, MetadataCache::Entry* out) {
    *bookmark = in.bytes();
    MetadataCache::Entry e;
    e.stamp.size = in.number<qint64>();
    e.stamp.mtimeNs = in.number<qint64>();
    e.stamp.ctimeNs = in.number<qint64>();
    e.stamp.inode = in.number<quint64>();
    e.stamp.device = in.number<quint64>();
    const quint32 title = in.number<quint32>(), artist = in.number<quint32>(),
                  album = in.number<quint32>(), type = in.number<quint32>(),
                  albumArtist = in.number<quint32>();
    e.technical.kbps = in.number<qint64>();
    e.technical.kHz = in.number<qint64>();
    e.technical.channels = in.number<qint32>();
    e.trackNumber = in.number<qint32>();
    e.duration = in.real();
    for (float* g : {&e.gain.track, &e.gain.trackPeak, &e.gain.album, &e.gain.albumPeak})
        *g = std::bit_cast<float>(in.number<quint32>());
    const qint32 cover = in.number<qint32>();
    const auto count = quint32(texts.size());
    if (!in.ok() || bookmark->isEmpty() || !isSound(e) || cover < kCoverNotKept ||
        cover >= qint64(covers.size()) || title >= count || artist >= count || album >= count ||
        type >= count || albumArtist >= count)
        return false;
    if (!out)
        return true;
    e.title = texts.at(title);
    e.artist = texts.at(artist);
    e.album = texts.at(album);
    e.albumArtist = texts.at(albumArtist);
    e.technical.type = texts.at(type);
    if (cover >= 0)
        e.artwork = covers.at(cover); // shared among the entries of one cover
    e.coverMissing = cover == kCoverNotKept;
    *out = std::move(e);
    return true;
}

} // namespace

MetadataCache::MetadataCache(QString path, const QString& lang)
    : path_(std::move(path))
    , words_(Track::Technical::wordsOf(lang)) {}

quint64 MetadataCache::checksum(QByteArrayView bytes) {
    Hash64 hash;
    hash.add(bytes.data(), bytes.size());
    return hash.value();
}

void MetadataCache::clear() {
    unread_ = {};
    released_ = false;
    changed_.clear();
    gains_.clear();
    index_.clear();
    indexed_ = false;
    dirty_ = false;
}

bool MetadataCache::load() {
    clear();
    if (path_.isEmpty())
        return false;
    // Read only when it is a regular file: a FIFO in its place must not hold up the start.
    std::optional<QByteArray> bytes = readRegularFile(path_, maxFileBytes);
    return bytes && parse(std::move(*bytes));
}

bool MetadataCache::parse(QByteArray bytes) {
    clear();
    std::optional<Unread> file = unreadFrom(std::move(bytes));
    if (!file)
        return false;
    unread_ = std::move(*file);
    return true;
}

void MetadataCache::release() {
    if (path_.isEmpty())
        return; // nothing to read again: what is held stays
    unread_ = {};
    index_ = {};
    indexed_ = false;
    released_ = true;
}

std::optional<MetadataCache::Unread> MetadataCache::unreadFrom(QByteArray bytes) {
    // The whole file first: a flipped bit anywhere, in a text as much as in a number, makes
    // it another file.
    const qsizetype body = bytes.size() - checksumBytes;
    if (body < 0 || qFromBigEndian<quint64>(bytes.constData() + body) !=
                        checksum(QByteArrayView(bytes).first(body)))
        return std::nullopt;
    bytes.chop(checksumBytes); // its own: no copy
    Reader in(bytes);
    const quint32 fileMagic = in.number<quint32>(), version = in.number<quint32>();
    if (!in.ok() || fileMagic != magic || version != formatVersion)
        return std::nullopt;

    const quint32 coverCount = in.number<quint32>();
    if (!in.ok() || qint64(coverCount) * 4 > in.remaining())
        return std::nullopt;
    Unread file;
    file.covers.reserve(coverCount);
    const qsizetype coversFrom = in.position(bytes);
    for (quint32 i = 0; i < coverCount; ++i) {
        // A cover is a row's thumbnail: one larger than any read makes is no file of ours.
        const QByteArrayView cover = in.bytes();
        if (!in.ok() || cover.isEmpty() || cover.size() > Track::maxThumbnailBytes)
            return std::nullopt;
        file.covers.append(cover.toByteArray());
    }
    const qsizetype coversTo = in.position(bytes);
    // Each text once: the entries of an album share its artist, album and type.
    const quint32 textCount = in.number<quint32>();
    if (!in.ok() || qint64(textCount) * 4 > in.remaining())
        return std::nullopt;
    file.texts.reserve(textCount);
    for (quint32 i = 0; i < textCount; ++i) {
        file.texts.append(in.string());
    }
    const quint32 count = in.number<quint32>();
    if (!in.ok() || qint64(count) * kMinEntryBytes > in.remaining())
        return std::nullopt;
    // Every entry is checked now (a damaged file is not used at all), but made only when
    // asked for.
    file.entries.reserve(count);
    for (quint32 i = 0; i < count; ++i) {
        file.entries.append(in.position(bytes));
        QByteArrayView bookmark;
        if (!readEntry(in, file.texts, file.covers, &bookmark, nullptr))
            return std::nullopt;
    }
    if (!in.atEnd())
        return std::nullopt;
    // The covers are held as read above: their bytes leave the file's (tens of megabytes of
    // thumbnails would otherwise be held twice).
    if (const qsizetype cut = coversTo - coversFrom; cut > 0) {
        bytes.remove(coversFrom, cut);
        bytes.squeeze();
        for (qsizetype& entry : file.entries)
            entry -= cut;
    }
    file.bytes = std::move(bytes);
    return file;
}

MetadataCache::Entry MetadataCache::Unread::entryAt(qsizetype i, QByteArrayView* bookmark) const {
    Reader in(bytes, entries.at(i));
    Entry e;
    QByteArrayView at;
    readEntry(in, texts, covers, &at, &e); // checked when read
    if (bookmark)
        *bookmark = at;
    return e;
}

qsizetype MetadataCache::indexOf(const QByteArray& bookmark, qsizetype at) {
    if (at >= 0 && at < unread_.entries.size() &&
        Reader(unread_.bytes, unread_.entries.at(at)).bytes() == bookmark)
        return at;
    if (!indexed_) {
        index_.clear();
        index_.reserve(unread_.entries.size());
        for (qsizetype i = 0; i < unread_.entries.size(); ++i)
            index_.emplace(Reader(unread_.bytes, unread_.entries.at(i)).bytes().toByteArray(), i);
        indexed_ = true;
    }
    return index_.value(bookmark, -1);
}

std::optional<MetadataCache::Entry> MetadataCache::find(const QByteArray& bookmark, qsizetype& at) {
    std::optional<Entry> found;
    if (const auto it = changed_.constFind(bookmark); it != changed_.cend()) {
        found = *it;
    } else if (const qsizetype i = indexOf(bookmark, at); i >= 0) {
        at = i + 1;
        found = unread_.entryAt(i, nullptr);
    }
    if (!found)
        return std::nullopt;
    found->technical.words = words_;
    return found;
}

Track MetadataCache::track(Entry entry, const QByteArray& bookmark, const QUuid& id) {
    Track t; // no id of its own: that one is given
    t.id = id;
    t.title = std::move(entry.title);
    t.artist = std::move(entry.artist);
    t.duration = entry.duration;
    t.artwork = std::move(entry.artwork);
    t.technical = std::move(entry.technical);
    t.bookmark = bookmark;
    t.album = std::move(entry.album);
    t.albumArtist = std::move(entry.albumArtist);
    t.trackNumber = entry.trackNumber;
    t.gain = entry.gain;
    return t;
}

void MetadataCache::put(const QByteArray& bookmark, const FileStamp& stamp, const Track& track) {
    Entry e;
    e.stamp = stamp;
    e.title = track.title;
    e.artist = track.artist;
    e.album = track.album;
    e.albumArtist = track.albumArtist;
    e.technical = track.technical;
    e.trackNumber = track.trackNumber;
    e.gain = track.gain;
    e.duration = track.duration;
    e.artwork = track.artwork;
    // Not kept when unsound (a start would refuse the whole file): read at each start instead.
    changed_.insert(bookmark, isSound(e) ? std::optional<Entry>(std::move(e)) : std::nullopt);
    dirty_ = true;
}

void MetadataCache::setGain(const QByteArray& bookmark, const FileStamp& stamp,
                            const Track::Gain& gain) {
    // Applied by the writer to the entry it makes, if that was read with this stamp: no entry
    // is looked for or made here.
    gains_.insert(bookmark, {stamp, gain});
    dirty_ = true;
}

MetadataCache::~MetadataCache() {
    waitForWrites();
}

void MetadataCache::save(Order order) {
    // The writer's thread would need a descriptor for its event loop (GLib aborts the process
    // without one): out of them, the cache stays due and goes with the next save.
    if (path_.isEmpty() || !descriptorsLeft())
        return;
    dirty_ = false;
    if (!writer_) {
        writer_ = std::make_unique<QThreadPool>();
        writer_->setMaxThreadCount(1);
    }
    // The copies share what they hold until the next change here. Once the file's bytes are
    // let go, the writer reads the file again: it holds what the last write (or the start)
    // left there, and the entries put since go over it as before.
    writer_->start([path = path_, file = unread_, reread = released_, changed = changed_,
                    gains = gains_, order = std::move(order)]() mutable {
        if (reread) {
            std::optional<QByteArray> bytes = readRegularFile(path, maxFileBytes);
            std::optional<Unread> read = bytes ? unreadFrom(std::move(*bytes)) : std::nullopt;
            file = read ? std::move(*read) : Unread{};
        }
        write(path, itemsFor(file, changed, gains, order));
    });
}

void MetadataCache::waitForWrites() {
    if (writer_)
        writer_->waitForDone();
}

QList<MetadataCache::Item>
MetadataCache::itemsFor(const Unread& file, const QHash<QByteArray, std::optional<Entry>>& changed,
                        const Gains& gains, const Order& order) {
    QList<Item> items = itemsFor(file, changed, order);
    if (!gains.isEmpty()) {
        for (Item& item : items) {
            const auto it = gains.constFind(item.bookmark);
            if (it != gains.cend() && it->first == item.entry.stamp) {
                Entry measured = item.entry;
                measured.gain = it->second;
                if (isSound(measured))
                    item.entry = std::move(measured);
            }
        }
    }
    return items;
}

QList<MetadataCache::Item>
MetadataCache::itemsFor(const Unread& file, const QHash<QByteArray, std::optional<Entry>>& changed,
                        const Order& order) {
    QList<Item> items;
    auto fromFile = [&](qsizetype i) {
        QByteArrayView bookmark;
        Entry e = file.entryAt(i, &bookmark);
        items.append({bookmark.toByteArray(), std::move(e)});
    };
    if (!order) {
        items.reserve(file.entries.size() + changed.size());
        QSet<QByteArray> inFile;
        for (qsizetype i = 0; i < file.entries.size(); ++i) {
            const QByteArray bookmark = Reader(file.bytes, file.entries.at(i)).bytes().toByteArray();
            if (inFile.contains(bookmark))
                continue;
            inFile.insert(bookmark);
            if (const auto it = changed.constFind(bookmark); it == changed.cend())
                fromFile(i);
            else if (*it)
                items.append({bookmark, **it});
        }
        for (auto it = changed.cbegin(); it != changed.cend(); ++it) {
            if (*it && !inFile.contains(it.key()))
                items.append({it.key(), **it});
        }
        return items;
    }
    // Each bookmark of the order once: as put since, else from the file, where a list saved in
    // the file's order finds it next (a hash only for those elsewhere).
    const QList<QByteArray> bookmarks = order();
    items.reserve(bookmarks.size());
    QHash<QByteArrayView, qsizetype> index;
    std::vector<bool> fromFileTaken(size_t(file.entries.size()), false);
    QSet<QByteArray> changedTaken;
    qsizetype at = 0;
    for (const QByteArray& bookmark : bookmarks) {
        if (const auto it = changed.constFind(bookmark); it != changed.cend()) {
            if (*it && !changedTaken.contains(bookmark)) {
                changedTaken.insert(bookmark);
                items.append({bookmark, **it});
            }
            continue;
        }
        qsizetype i = -1;
        if (at < file.entries.size() && Reader(file.bytes, file.entries.at(at)).bytes() == bookmark) {
            i = at;
        } else {
            if (index.isEmpty() && !file.entries.isEmpty()) {
                index.reserve(file.entries.size());
                for (qsizetype j = 0; j < file.entries.size(); ++j)
                    index.emplace(Reader(file.bytes, file.entries.at(j)).bytes(), j);
            }
            i = index.value(QByteArrayView(bookmark), -1);
        }
        if (i < 0 || fromFileTaken[size_t(i)])
            continue; // not read yet, or listed twice
        fromFileTaken[size_t(i)] = true;
        at = i + 1;
        items.append({bookmark, file.entryAt(i, nullptr)});
    }
    return items;
}

bool MetadataCache::write(const QString& path, const QList<Item>& items) {
    // Each distinct cover once, as long as they fit.
    QList<QByteArray> covers;
    QHash<QByteArray, qint32> coverIndex;
    qint64 coverBytes = 0;
    QList<qint32> coverOf;
    coverOf.reserve(items.size());
    // Each distinct text once.
    QList<QString> texts;
    QHash<QString, quint32> textIndex;
    auto textOf = [&](const QString& text) {
        const auto it = textIndex.constFind(text);
        if (it != textIndex.cend())
            return *it;
        texts.append(text);
        return *textIndex.insert(text, quint32(texts.size() - 1));
    };
    QList<std::array<quint32, 5>> textsOf;
    textsOf.reserve(items.size());
    for (const Item& item : items) {
        const Entry& e = item.entry;
        qint32 index = e.coverMissing ? kCoverNotKept : kNoCover;
        if (!e.artwork.isEmpty()) {
            if (const auto it = coverIndex.constFind(e.artwork); it != coverIndex.cend()) {
                index = *it;
            } else if (e.artwork.size() <= Track::maxThumbnailBytes &&
                       coverBytes + e.artwork.size() <= maxCoverBytes) {
                index = qint32(covers.size());
                coverIndex.insert(e.artwork, index);
                covers.append(e.artwork);
                coverBytes += e.artwork.size();
            } else {
                index = kCoverNotKept;
            }
        }
        coverOf.append(index);
        textsOf.append(
            {textOf(e.title), textOf(e.artist), textOf(e.album), textOf(e.technical.type),
             textOf(e.albumArtist)});
    }

    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        std::cerr << "orvane: cannot write " << path.toStdString() << ": "
                  << file.errorString().toStdString() << std::endl;
        return false;
    }
    Writer out(file);
    out.number(magic);
    out.number(formatVersion);
    out.number(quint32(covers.size()));
    for (const QByteArray& cover : std::as_const(covers))
        out.bytes(cover);
    out.number(quint32(texts.size()));
    for (const QString& text : std::as_const(texts))
        out.string(text);
    out.number(quint32(items.size()));
    for (qsizetype i = 0; i < items.size(); ++i) {
        const Entry& e = items.at(i).entry;
        const std::array<quint32, 5>& t = textsOf.at(i);
        out.bytes(items.at(i).bookmark);
        out.number(e.stamp.size);
        out.number(e.stamp.mtimeNs);
        out.number(e.stamp.ctimeNs);
        out.number(e.stamp.inode);
        out.number(e.stamp.device);
        for (const quint32 text : t)
            out.number(text);
        out.number(e.technical.kbps);
        out.number(e.technical.kHz);
        out.number(qint32(e.technical.channels));
        out.number(qint32(e.trackNumber));
        out.real(e.duration);
        for (const float g : {e.gain.track, e.gain.trackPeak, e.gain.album, e.gain.albumPeak})
            out.number(std::bit_cast<quint32>(g));
        out.number(coverOf.at(i));
    }
    if (!out.finish() || !file.commit()) {
        std::cerr << "orvane: cannot write " << path.toStdString() << ": "
                  << file.errorString().toStdString() << std::endl;
        return false;
    }
    return true;
}

} // namespace orvane
