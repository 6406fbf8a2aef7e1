#include "engine/metadatacache.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QtEndian>
#include <bit>
#include <cmath>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

namespace {

constexpr qint32 kNoCover = -1;
constexpr qint32 kCoverNotKept = -2;
// The least bytes one entry takes in the file: bookmark length, stamp, four string lengths,
// track number, duration and cover index.
constexpr qint64 kMinEntryBytes = 4 + 16 + 4 * 4 + 4 + 8 + 4;

// Reads the QDataStream forms (Qt 6.0, big-endian) of the entries straight from the bytes: the
// same values as QDataStream, without its device calls per field (a third of a large start's
// reading of the cache). Any read past the end leaves `ok` false.
class EntryReader {
public:
    EntryReader(const QByteArray& bytes, qint64 from)
        : p_(bytes.constData() + from)
        , end_(bytes.constData() + bytes.size()) {}
    bool ok() const { return ok_; }
    bool atEnd() const { return p_ == end_; }
    template <typename T> T number() {
        if (!take(sizeof(T)))
            return T{};
        return qFromBigEndian<T>(p_ - sizeof(T));
    }
    double real() { return std::bit_cast<double>(number<quint64>()); }
    QByteArray bytes() {
        const quint32 size = number<quint32>();
        if (size == 0xFFFFFFFF || !take(size))
            return {};
        return QByteArray(p_ - size, qsizetype(size));
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

} // namespace

MetadataCache::MetadataCache(QString path, const QString& lang)
    : path_(std::move(path))
    , lang_(languageKey(lang)) {}

QString MetadataCache::languageKey(const QString& lang) {
    if (lang != QLatin1String("en") && lang != QLatin1String("ru"))
        return lang + QLatin1Char(':') + QLocale::system().uiLanguages().value(0);
    return lang;
}

bool MetadataCache::loadAnyLanguage() {
    lang_.clear(); // any: what the file says is taken
    const bool loaded = load();
    loadedLang_ = lang_;
    return loaded;
}

void MetadataCache::keepFor(const QString& lang) {
    lang_ = languageKey(lang);
    if (loadedLang_ != lang_)
        entries_.clear();
}

bool MetadataCache::load() {
    entries_.clear();
    dirty_ = false;
    if (path_.isEmpty())
        return false;
    // Opened without blocking and read only when it is a regular file: a FIFO in its place
    // must not hold up the start.
    const int fd =
        ::open(QFile::encodeName(path_).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > maxFileBytes) {
        ::close(fd);
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    const QByteArray bytes = file.read(maxFileBytes);
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    quint32 fileMagic = 0, version = 0;
    QString lang;
    in >> fileMagic >> version;
    if (in.status() != QDataStream::Ok || fileMagic != magic || version != formatVersion)
        return false;
    in >> lang;
    if (lang_.isNull())
        lang_ = lang; // loadAnyLanguage
    if (in.status() != QDataStream::Ok || lang != lang_)
        return false;

    auto remaining = [&] { return bytes.size() - in.device()->pos(); };
    quint32 coverCount = 0;
    in >> coverCount;
    if (in.status() != QDataStream::Ok || qint64(coverCount) * 4 > remaining())
        return false;
    QList<QByteArray> covers;
    covers.reserve(coverCount);
    for (quint32 i = 0; i < coverCount; ++i) {
        QByteArray cover;
        in >> cover;
        if (in.status() != QDataStream::Ok || cover.isEmpty())
            return false;
        covers.append(cover);
    }
    quint32 count = 0;
    in >> count;
    if (in.status() != QDataStream::Ok || qint64(count) * kMinEntryBytes > remaining())
        return false;
    QHash<QByteArray, Entry> entries;
    entries.reserve(count);
    EntryReader entryIn(bytes, in.device()->pos());
    for (quint32 i = 0; i < count; ++i) {
        Entry e;
        const QByteArray bookmark = entryIn.bytes();
        e.stamp.size = entryIn.number<qint64>();
        e.stamp.mtimeNs = entryIn.number<qint64>();
        e.title = entryIn.string();
        e.artist = entryIn.string();
        e.album = entryIn.string();
        e.info = entryIn.string();
        const qint32 trackNumber = entryIn.number<qint32>();
        e.duration = entryIn.real();
        const qint32 cover = entryIn.number<qint32>();
        if (!entryIn.ok() || bookmark.isEmpty() || e.stamp.size < 0 || !std::isfinite(e.duration) ||
            e.duration < 0 || cover < kCoverNotKept || cover >= qint64(covers.size()))
            return false;
        e.trackNumber = trackNumber;
        if (cover >= 0)
            e.artwork = covers.at(cover); // shared among the entries of one cover
        e.coverMissing = cover == kCoverNotKept;
        entries.insert(bookmark, std::move(e));
    }
    if (!entryIn.atEnd())
        return false;
    entries_ = std::move(entries);
    return true;
}

const MetadataCache::Entry* MetadataCache::find(const QByteArray& bookmark) const {
    const auto it = entries_.constFind(bookmark);
    return it == entries_.cend() ? nullptr : &*it;
}

Track MetadataCache::track(const Entry& entry, QUrl url, const QByteArray& bookmark,
                           const QUuid& id) {
    Track t; // no id of its own: that one is given
    t.id = id;
    t.url = std::move(url);
    t.title = entry.title;
    t.artist = entry.artist;
    t.duration = entry.duration;
    t.artwork = entry.artwork;
    t.info = entry.info;
    t.bookmark = bookmark;
    t.album = entry.album;
    t.trackNumber = entry.trackNumber;
    return t;
}

void MetadataCache::put(const QByteArray& bookmark, const FileStamp& stamp, const Track& track) {
    Entry e;
    e.stamp = stamp;
    e.title = track.title;
    e.artist = track.artist;
    e.album = track.album;
    e.info = track.info;
    e.trackNumber = track.trackNumber;
    e.duration = track.duration;
    e.artwork = track.artwork;
    entries_.insert(bookmark, std::move(e));
    dirty_ = true;
}

void MetadataCache::retain(const QSet<QByteArray>& keep) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (keep.contains(it.key())) {
            ++it;
        } else {
            it = entries_.erase(it);
            dirty_ = true;
        }
    }
}

MetadataCache::~MetadataCache() {
    waitForWrites();
}

void MetadataCache::save() {
    if (path_.isEmpty())
        return;
    dirty_ = false;
    if (!writer_) {
        writer_ = std::make_unique<QThreadPool>();
        writer_->setMaxThreadCount(1);
    }
    // A copy shares the entries until the next change here.
    writer_->start(
        [path = path_, lang = lang_, entries = entries_] { write(path, lang, entries); });
}

void MetadataCache::waitForWrites() {
    if (writer_)
        writer_->waitForDone();
}

bool MetadataCache::write(const QString& path, const QString& lang,
                          const QHash<QByteArray, Entry>& entries) {
    // Each distinct cover once, as long as they fit.
    QList<QByteArray> covers;
    QHash<QByteArray, qint32> coverIndex;
    qint64 coverBytes = 0;
    QList<qint32> indexOf;
    indexOf.reserve(entries.size());
    for (const Entry& e : std::as_const(entries)) {
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
        indexOf.append(index);
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
    out << quint32(entries.size());
    qsizetype i = 0;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it, ++i) {
        const Entry& e = *it;
        out << it.key() << e.stamp.size << e.stamp.mtimeNs << e.title << e.artist << e.album
            << e.info << qint32(e.trackNumber) << e.duration << indexOf.at(i);
    }
    if (out.status() != QDataStream::Ok || !file.commit()) {
        std::cerr << "orvane: cannot write " << path.toStdString() << ": "
                  << file.errorString().toStdString() << std::endl;
        return false;
    }
    return true;
}

} // namespace orvane
