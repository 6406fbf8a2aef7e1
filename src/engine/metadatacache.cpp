#include "engine/metadatacache.h"

#include "engine/filename.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QtEndian>
#include <array>
#include <bit>
#include <cmath>
#include <iostream>
#include <vector>

namespace orvane {

namespace {

constexpr qint32 kNoCover = -1;
constexpr qint32 kCoverNotKept = -2;
// The least bytes one entry takes in the file: bookmark length, stamp, four text numbers,
// track number, duration and cover number.
constexpr qint64 kMinEntryBytes = 4 + 16 + 4 * 4 + 4 + 8 + 4;

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

// One entry as written: its bookmark's bytes (left in the file's) and, checked against the
// texts and covers before it, its fields into `out` when given. False for anything damaged.
bool readEntry(Reader& in, const QList<QString>& texts, const QList<QByteArray>& covers,
               QByteArrayView* bookmark, MetadataCache::Entry* out) {
    *bookmark = in.bytes();
    MetadataCache::Entry e;
    e.stamp.size = in.number<qint64>();
    e.stamp.mtimeNs = in.number<qint64>();
    const quint32 title = in.number<quint32>(), artist = in.number<quint32>(),
                  album = in.number<quint32>(), info = in.number<quint32>();
    e.trackNumber = in.number<qint32>();
    e.duration = in.real();
    const qint32 cover = in.number<qint32>();
    const auto count = quint32(texts.size());
    if (!in.ok() || bookmark->isEmpty() || e.stamp.size < 0 || !std::isfinite(e.duration) ||
        e.duration < 0 || cover < kCoverNotKept || cover >= qint64(covers.size()) ||
        title >= count || artist >= count || album >= count || info >= count)
        return false;
    if (!out)
        return true;
    e.title = texts.at(title);
    e.artist = texts.at(artist);
    e.album = texts.at(album);
    e.info = texts.at(info);
    if (cover >= 0)
        e.artwork = covers.at(cover); // shared among the entries of one cover
    e.coverMissing = cover == kCoverNotKept;
    *out = std::move(e);
    return true;
}

} // namespace

MetadataCache::MetadataCache(QString path, const QString& lang)
    : path_(std::move(path))
    , lang_(languageKey(lang)) {}

QString MetadataCache::languageKey(const QString& lang) {
    if (lang != QLatin1String("en") && lang != QLatin1String("ru"))
        return lang + QLatin1Char(':') + QLocale::system().uiLanguages().value(0);
    return lang;
}

bool MetadataCache::load(const QList<QByteArray>& expected) {
    items_.clear();
    index_.clear();
    indexed_ = false;
    order_.clear();
    writtenOrder_.clear();
    dirty_ = false;
    unread_ = {};
    if (path_.isEmpty())
        return false;
    // Read only when it is a regular file: a FIFO in its place must not hold up the start.
    std::optional<QByteArray> bytes = readRegularFile(path_, maxFileBytes);
    if (!bytes)
        return false;
    Reader in(*bytes);
    const quint32 fileMagic = in.number<quint32>(), version = in.number<quint32>();
    if (!in.ok() || fileMagic != magic || version != formatVersion)
        return false;
    if (in.string() != lang_ || !in.ok())
        return false;

    const quint32 coverCount = in.number<quint32>();
    if (!in.ok() || qint64(coverCount) * 4 > in.remaining())
        return false;
    Unread file;
    file.covers.reserve(coverCount);
    for (quint32 i = 0; i < coverCount; ++i) {
        const QByteArrayView cover = in.bytes();
        if (!in.ok() || cover.isEmpty())
            return false;
        file.covers.append(cover.toByteArray());
    }
    // Each text once: the entries of an album share its artist, album and technical line.
    const quint32 textCount = in.number<quint32>();
    if (!in.ok() || qint64(textCount) * 4 > in.remaining())
        return false;
    file.texts.reserve(textCount);
    for (quint32 i = 0; i < textCount; ++i) {
        file.texts.append(in.string());
    }
    const quint32 count = in.number<quint32>();
    if (!in.ok() || qint64(count) * kMinEntryBytes > in.remaining())
        return false;
    // Every entry is checked now (a damaged file is not used at all), but made only when
    // asked for: a start makes its rows straight from the file.
    file.entries.reserve(count);
    for (quint32 i = 0; i < count; ++i) {
        file.entries.append(in.position(*bytes));
        QByteArrayView bookmark;
        if (!readEntry(in, file.texts, file.covers, &bookmark, nullptr))
            return false;
    }
    if (!in.atEnd())
        return false;
    file.bytes = std::move(*bytes);
    unread_ = std::move(file);
    writtenOrder_ = expected; // as far as is known, what it was written for
    return true;
}

MetadataCache::Entry MetadataCache::entryAt(qsizetype i, QByteArrayView* bookmark) const {
    Reader in(unread_.bytes, unread_.entries.at(i));
    Entry e;
    QByteArrayView bytes;
    readEntry(in, unread_.texts, unread_.covers, &bytes, &e); // checked when loaded
    if (bookmark)
        *bookmark = bytes;
    return e;
}

void MetadataCache::makeEntries() {
    if (unread_.entries.isEmpty() && unread_.bytes.isEmpty())
        return;
    QList<Item> items;
    items.reserve(unread_.entries.size());
    for (qsizetype i = 0; i < unread_.entries.size(); ++i) {
        QByteArrayView bookmark;
        Entry e = entryAt(i, &bookmark);
        // Where the stored list has it, its bytes are shared with that list.
        items.append({i < writtenOrder_.size() && writtenOrder_.at(i) == bookmark
                          ? writtenOrder_.at(i)
                          : bookmark.toByteArray(),
                      std::move(e)});
    }
    unread_ = {};
    items_ = std::move(items);
    index_.clear();
    indexed_ = false;
}

qsizetype MetadataCache::indexOf(const QByteArray& bookmark, qsizetype at) {
    makeEntries();
    if (at >= 0 && at < items_.size() && items_.at(at).bookmark == bookmark)
        return at;
    if (!indexed_) {
        index_.clear();
        index_.reserve(items_.size());
        for (qsizetype i = 0; i < items_.size(); ++i)
            index_.emplace(items_.at(i).bookmark, i); // the first of a repeated one
        indexed_ = true;
    }
    return index_.value(bookmark, -1);
}

std::optional<MetadataCache::Entry> MetadataCache::find(const QByteArray& bookmark, qsizetype& at) {
    // Straight from the file while the look-ups follow its order.
    if (at >= 0 && at < unread_.entries.size() &&
        Reader(unread_.bytes, unread_.entries.at(at)).bytes() == bookmark) {
        return entryAt(at++, nullptr);
    }
    const qsizetype i = indexOf(bookmark, at);
    if (i < 0)
        return std::nullopt;
    at = i + 1;
    return items_.at(i).entry;
}

Track MetadataCache::track(Entry entry, const QByteArray& bookmark, const QUuid& id) {
    Track t; // no id of its own: that one is given
    t.id = id;
    t.title = std::move(entry.title);
    t.artist = std::move(entry.artist);
    t.duration = entry.duration;
    t.artwork = std::move(entry.artwork);
    t.info = std::move(entry.info);
    t.bookmark = bookmark;
    t.album = std::move(entry.album);
    t.trackNumber = entry.trackNumber;
    return t;
}

void MetadataCache::put(const QByteArray& bookmark, const FileStamp& stamp, const Track& track) {
    makeEntries();
    Entry e;
    e.stamp = stamp;
    e.title = track.title;
    e.artist = track.artist;
    e.album = track.album;
    e.info = track.info;
    e.trackNumber = track.trackNumber;
    e.duration = track.duration;
    e.artwork = track.artwork;
    if (const qsizetype i = indexOf(bookmark, -1); i >= 0) {
        items_[i].entry = std::move(e);
    } else {
        index_.insert(bookmark, items_.size());
        items_.append({bookmark, std::move(e)});
    }
    dirty_ = true;
}

void MetadataCache::retain(const QList<QByteArray>& order) {
    makeEntries();
    // Which entries the list still has. Nothing is copied when it has them all (every save
    // while files come in); the order is the writer's business, off this thread.
    std::vector<bool> taken(size_t(items_.size()), false);
    qsizetype count = 0, at = 0;
    for (const QByteArray& bookmark : order) {
        const qsizetype i = indexOf(bookmark, at);
        if (i < 0 || taken[size_t(i)])
            continue; // not read yet, or listed twice
        taken[size_t(i)] = true;
        at = i + 1;
        ++count;
    }
    if (count < items_.size()) {
        QList<Item> kept;
        kept.reserve(count);
        for (qsizetype i = 0; i < items_.size(); ++i) {
            if (taken[size_t(i)])
                kept.append(std::move(items_[i]));
        }
        items_ = std::move(kept);
        index_.clear();
        indexed_ = false;
        dirty_ = true;
    }
    if (order != writtenOrder_)
        dirty_ = true;
    order_ = order;
}

MetadataCache::~MetadataCache() {
    waitForWrites();
}

void MetadataCache::save() {
    if (path_.isEmpty())
        return;
    dirty_ = false;
    makeEntries();
    if (!writer_) {
        writer_ = std::make_unique<QThreadPool>();
        writer_->setMaxThreadCount(1);
    }
    // A copy shares the entries until the next change here.
    writer_->start([path = path_, lang = lang_, items = items_, order = order_] {
        write(path, lang, items, order);
    });
    writtenOrder_ = order_;
}

void MetadataCache::waitForWrites() {
    if (writer_)
        writer_->waitForDone();
}

bool MetadataCache::write(const QString& path, const QString& lang, const QList<Item>& unordered,
                          const QList<QByteArray>& order) {
    // The entries in the order given (each once), then any it does not name.
    QList<Item> items;
    items.reserve(unordered.size());
    {
        QHash<QByteArray, qsizetype> index;
        index.reserve(unordered.size());
        for (qsizetype i = 0; i < unordered.size(); ++i)
            index.emplace(unordered.at(i).bookmark, i);
        std::vector<bool> written(size_t(unordered.size()), false);
        for (const QByteArray& bookmark : order) {
            const qsizetype i = index.value(bookmark, -1);
            if (i >= 0 && !written[size_t(i)]) {
                written[size_t(i)] = true;
                items.append(unordered.at(i));
            }
        }
        for (qsizetype i = 0; i < unordered.size(); ++i) {
            if (!written[size_t(i)])
                items.append(unordered.at(i));
        }
    }
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
    QList<std::array<quint32, 4>> textsOf;
    textsOf.reserve(items.size());
    for (const Item& item : items) {
        const Entry& e = item.entry;
        qint32 index = e.coverMissing ? kCoverNotKept : kNoCover;
        if (!e.artwork.isEmpty()) {
            if (const auto it = coverIndex.constFind(e.artwork); it != coverIndex.cend()) {
                index = *it;
            } else if (coverBytes + e.artwork.size() <= maxCoverBytes) {
                index = qint32(covers.size());
                coverIndex.insert(e.artwork, index);
                covers.append(e.artwork);
                coverBytes += e.artwork.size();
            } else {
                index = kCoverNotKept;
            }
        }
        coverOf.append(index);
        textsOf.append({textOf(e.title), textOf(e.artist), textOf(e.album), textOf(e.info)});
    }

    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        std::cerr << "orvane: cannot write " << path.toStdString() << ": "
                  << file.errorString().toStdString() << std::endl;
        return false;
    }
    QDataStream out(&file);
    out.setVersion(QDataStream::Qt_6_0);
    out << magic << formatVersion << lang << quint32(covers.size());
    for (const QByteArray& cover : std::as_const(covers))
        out << cover;
    out << quint32(texts.size());
    for (const QString& text : std::as_const(texts))
        out << text;
    out << quint32(items.size());
    for (qsizetype i = 0; i < items.size(); ++i) {
        const Entry& e = items.at(i).entry;
        const std::array<quint32, 4>& t = textsOf.at(i);
        out << items.at(i).bookmark << e.stamp.size << e.stamp.mtimeNs << t[0] << t[1] << t[2]
            << t[3] << qint32(e.trackNumber) << e.duration << coverOf.at(i);
    }
    if (out.status() != QDataStream::Ok || !file.commit()) {
        std::cerr << "orvane: cannot write " << path.toStdString() << ": "
                  << file.errorString().toStdString() << std::endl;
        return false;
    }
    return true;
}

} // namespace orvane
