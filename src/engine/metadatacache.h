#pragma once

#include "engine/bookmark.h"
#include "engine/track.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QThreadPool>
#include <functional>
#include <memory>
#include <optional>

namespace orvane {

// What was read from each playlist file, kept between runs so that a start shows a stored
// playlist without reading its files again. Keyed by the file's bookmark; each entry holds the
// track's fields (not its id) and the stamp of the file when it was read, and is used only
// while the file still has that stamp. Lives in the user's cache folder, apart from the
// settings: losing it only costs a re-read.
//
// File form (QDataStream's forms, Qt 6.0 encoding, big-endian): magic, format version, the
// distinct covers, the distinct texts, then the entries in the stored playlist's order, each
// naming its texts and cover by number, and last a checksum of all that precedes it. A start
// looks its stored list up in that same order, so it finds each entry where it expects it,
// without a hash. The technical line is kept as what it says (type, bit rate, sample rate,
// channels), not in words: the file is the same whatever the language. A file that is too
// large, fails its checksum, is damaged or of another version, or holds a value no read gives
// (a length that is not a number, negative or over Track::maxDuration) is ignored as a whole.
// One thread at a time (a start reads it on its own thread, then hands it to the main thread).
class MetadataCache {
public:
    static constexpr quint32 magic = 0x4F52564D; // "ORVM"
    // 4: texts as Track::load cleans them; a file of an older version held tags as they were.
    // 5: covers are the rows' thumbnails (Track::thumbnailSide); an older file held whole
    // pictures, up to a megabyte each, and is not read (its files are read again once).
    // 6: each entry holds its loudness gains (four floats, NaN where unknown).
    // 7: and its album artist (after the type's text).
    static constexpr quint32 formatVersion = 7;
    // A file over this size is not read at all.
    static constexpr qint64 maxFileBytes = 256LL * 1024 * 1024;
    // Cover bytes kept in the file, all covers together: thumbnails of a few kilobytes each, so
    // tens of thousands of distinct covers fit. Entries whose cover does not fit are marked as
    // having one, and their files are read again at the next start.
    static constexpr qint64 maxCoverBytes = 64LL * 1024 * 1024;
    // The checksum's bytes at the end of the file.
    static constexpr qsizetype checksumBytes = 8;

    struct Entry {
        FileStamp stamp;
        QString title;
        QString artist;
        QString album;
        QString albumArtist;
        // find() gives it with the channel words of the language the cache was made with (the
        // start's); the file does not keep them.
        Track::Technical technical;
        int trackNumber = 0;
        double duration = 0;
        Track::Gain gain; // from the tags or measured
        QByteArray artwork;
        bool coverMissing = false; // the file has a cover this entry does not hold
    };

    // `path` is the cache file; empty: nothing is read or written. `lang` is the language the
    // technical lines of the entries found are worded in; the file does not depend on it.
    MetadataCache(QString path, const QString& lang);
    // The checksum the file ends with, of the bytes before it (a 64-bit hash, XXH64 with seed
    // 0, written big-endian).
    static quint64 checksum(QByteArrayView bytes);

    const QString& path() const { return path_; }
    // Reads the file, replacing what is held. False (and nothing held) when there is no usable
    // file. Every entry is checked, but the file's bytes are kept as they are and an entry is
    // made from them only when asked for: a start makes its rows straight from them, and a
    // write makes them on its own thread.
    bool load();
    // The same with the bytes of a file, checksum and all.
    bool parse(QByteArray bytes);
    // The entry for this bookmark whatever its file is like now (its stamp says what it was
    // read with: whoever shows it checks the file against that). `at`: where to look first
    // in the order of the file's entries; it is moved past the entry found, so that looking up
    // a list in the order it was saved in never needs the hash.
    std::optional<Entry> find(const QByteArray& bookmark, qsizetype& at);
    // Lets go of the file's bytes once a start has found what it shows (tens of megabytes at a
    // hundred thousand entries): find() then knows only the entries put since, and a write
    // reads the file again, on its own thread, for the entries it keeps from there.
    void release();
    // The track an entry describes, with the id given (a fresh one).
    static Track track(Entry entry, const QByteArray& bookmark, const QUuid& id);
    // A track with a value no start would take (a length over Track::maxDuration, say) is not
    // kept, and an entry it had goes.
    void put(const QByteArray& bookmark, const FileStamp& stamp, const Track& track);
    // A gain measured in the background goes into the entry read from the file with this stamp;
    // none when the entry is gone or was read from another state of the file.
    void setGain(const QByteArray& bookmark, const FileStamp& stamp, const Track::Gain& gain);
    bool isDirty() const { return dirty_; }
    // The bookmarks a write keeps, in their order (the stored list's, repeats and all).
    using Order = std::function<QList<QByteArray>()>;
    // Writes the file atomically (it is replaced whole or not at all) from a snapshot of the
    // entries, on a thread of its own so that a million entries never hold up the caller:
    // `order` runs there too and says which entries are kept, each once, in its order; without
    // one every entry is, in the file's order and then as put. Writes happen in the order
    // asked; a failure is reported on standard error.
    void save(Order order = {});
    // Returns once every write asked for so far is done; the destructor waits too.
    void waitForWrites();
    ~MetadataCache();

private:
    struct Item {
        QByteArray bookmark;
        Entry entry;
    };
    void clear();
    // Where the file has this bookmark's entry (the first of a repeated one), -1: nowhere.
    qsizetype indexOf(const QByteArray& bookmark, qsizetype at);
    struct Unread;
    // Gains measured since the file was read, with the stamp of the file they were measured on.
    using Gains = QHash<QByteArray, std::pair<FileStamp, Track::Gain>>;
    static bool write(const QString& path, const QList<Item>& items);
    // The file's entries as parse() keeps them; nullopt when the bytes are no usable file.
    static std::optional<Unread> unreadFrom(QByteArray bytes);
    // The entries a write keeps: `order`'s (or all) from the file's and those put since.
    static QList<Item> itemsFor(const Unread& file,
                                const QHash<QByteArray, std::optional<Entry>>& changed,
                                const Gains& gains, const Order& order);
    static QList<Item> itemsFor(const Unread& file,
                                const QHash<QByteArray, std::optional<Entry>>& changed,
                                const Order& order);

    QString path_;
    // The channel words of this start's language (Track::Technical::wordsOf).
    quint8 words_ = 0;
    // The file as read: its bytes, its covers and texts, and where each entry starts. Never
    // changed once read, and shared with the writes.
    struct Unread {
        QByteArray bytes;
        QList<QByteArray> covers;
        QList<QString> texts;
        QList<qsizetype> entries;
        // The entry at this place (checked when it was read), and its bookmark's bytes when
        // asked for.
        Entry entryAt(qsizetype i, QByteArrayView* bookmark) const;
    };
    Unread unread_;
    bool released_ = false; // unread_ let go: a write reads the file again
    // Entries put since the file was read, over the file's: none (std::nullopt) when the
    // track's values are not to be kept.
    QHash<QByteArray, std::optional<Entry>> changed_;
    Gains gains_;
    // Bookmark to position in the file's entries, made when a look-up first misses its
    // expected place.
    QHash<QByteArray, qsizetype> index_;
    bool indexed_ = false;
    bool dirty_ = false;
    std::unique_ptr<QThreadPool> writer_; // one thread: writes never overtake each other
};

} // namespace orvane
