#pragma once

#include "engine/bookmark.h"
#include "engine/track.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QThreadPool>
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
    // 6: each entry holds its album artist (after the type's text).
    static constexpr quint32 formatVersion = 6;
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
        Track::Technical technical;
        // The technical line as find() gives it: worded from `technical` in the language the
        // cache was made with (the start's). Not kept.
        QString info;
        int trackNumber = 0;
        double duration = 0;
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
    // file. `expected`: the bookmarks about to be looked up, in order (the stored list); an
    // entry found in its place there shares its bytes instead of a copy of its own. Every entry
    // is checked, but the file's bytes are kept and an entry is made from them only when asked
    // for: a start makes its rows straight from them, and the first change makes them all.
    bool load(const QList<QByteArray>& expected = {});
    // The same with the bytes of a file, checksum and all.
    bool parse(QByteArray bytes, const QList<QByteArray>& expected = {});
    // The entry for this bookmark whatever its file is like now (its stamp says what it was
    // read with: whoever shows it checks the file against that). `at`: where to look first
    // in the order of the entries; it is moved past the entry found, so that looking up a list
    // in the order it was saved in never needs the hash (nor makes the other entries).
    std::optional<Entry> find(const QByteArray& bookmark, qsizetype& at);
    // The track an entry describes, with the id given (a fresh one).
    static Track track(Entry entry, const QByteArray& bookmark, const QUuid& id);
    // A track with a value no start would take (a length over Track::maxDuration, say) is not
    // kept, and an entry it had goes.
    void put(const QByteArray& bookmark, const FileStamp& stamp, const Track& track);
    // Keeps the entries of these bookmarks only, and writes them in this order (the stored
    // list's, repeats and all); a new order alone makes the cache dirty too.
    void retain(const QList<QByteArray>& order);
    bool isDirty() const { return dirty_; }
    // Writes the file atomically (it is replaced whole or not at all) from a snapshot of the
    // entries, on a thread of its own so that thousands of entries never hold up the caller.
    // Writes happen in the order asked; a failure is reported on standard error.
    void save();
    // Returns once every write asked for so far is done; the destructor waits too.
    void waitForWrites();
    ~MetadataCache();

private:
    struct Item {
        QByteArray bookmark;
        Entry entry;
    };
    void clear();
    qsizetype indexOf(const QByteArray& bookmark, qsizetype at);
    // The entry at this place in the file read (checked when it was loaded), and its bookmark's
    // bytes when asked for.
    Entry entryAt(qsizetype i, QByteArrayView* bookmark) const;
    // Makes the entries the file read still holds, and lets its bytes go.
    void makeEntries();
    static bool write(const QString& path, const QList<Item>& items,
                      const QList<QByteArray>& order);

    QString path_;
    // The channel words of this start's language, and the line worded last (the tracks of an
    // album mostly share one, and then one string).
    QString stereo_, mono_;
    Track::Technical lastTechnical_;
    QString lastLine_;
    // The file as read, until its entries are made: its bytes, its covers and texts, and
    // where each entry starts.
    struct Unread {
        QByteArray bytes;
        QList<QByteArray> covers;
        QList<QString> texts;
        QList<qsizetype> entries;
    };
    Unread unread_;
    QList<Item> items_; // made from unread_, then as put (the writer puts them in order_)
    // The order of the next write, and the one the file has (as far as this process knows).
    QList<QByteArray> order_, writtenOrder_;
    // Bookmark to position in items_, made when a look-up first misses its expected place.
    QHash<QByteArray, qsizetype> index_;
    bool indexed_ = false;
    bool dirty_ = false;
    std::unique_ptr<QThreadPool> writer_; // one thread: writes never overtake each other
};

} // namespace orvane
