#pragma once

#include "engine/bookmark.h"
#include "engine/track.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
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
// File form (QDataStream, Qt 6.0 encoding): magic, format version, the language the technical
// lines were written in, the distinct covers, then the entries. A file that is too large,
// damaged, of another version or another language is ignored as a whole. Main thread only.
class MetadataCache {
public:
    static constexpr quint32 magic = 0x4F52564D; // "ORVM"
    static constexpr quint32 formatVersion = 1;
    // A file over this size is not read at all.
    static constexpr qint64 maxFileBytes = 256LL * 1024 * 1024;
    // Cover bytes kept in the file, all covers together. Entries whose cover does not fit are
    // marked as having one, and their files are read again at the next start.
    static constexpr qint64 maxCoverBytes = 32LL * 1024 * 1024;

    struct Entry {
        FileStamp stamp;
        QString title;
        QString artist;
        QString album;
        QString info;
        int trackNumber = 0;
        double duration = 0;
        QByteArray artwork;
        bool coverMissing = false; // the file has a cover this entry does not hold
    };

    // `path` is the cache file; empty: nothing is read or written. `lang` is the language
    // setting the technical lines are written in; a file written for another one is not used.
    MetadataCache(QString path, const QString& lang);
    // What tells one language from another in the file: the setting, and for "system" the
    // desktop's language too.
    static QString languageKey(const QString& lang);

    const QString& path() const { return path_; }
    // Reads the file, replacing what is held. False (and nothing held) when there is no usable
    // file.
    bool load();
    // The same before the language is known (a start reads the cache and the settings at
    // once): the file's own language is kept, and `keepFor` then drops everything when it is
    // not the one given.
    bool loadAnyLanguage();
    void keepFor(const QString& lang);
    // The entry for this bookmark whatever its file is like now (its stamp says what it was
    // read with: whoever shows it checks the file against that).
    const Entry* find(const QByteArray& bookmark) const;
    // The track an entry describes, with the id given (a fresh one).
    static Track track(const Entry& entry, QUrl url, const QByteArray& bookmark, const QUuid& id);
    void put(const QByteArray& bookmark, const FileStamp& stamp, const Track& track);
    // Drops the entries of bookmarks not in `keep`.
    void retain(const QSet<QByteArray>& keep);
    bool isDirty() const { return dirty_; }
    qsizetype size() const { return entries_.size(); }
    // Writes the file atomically (it is replaced whole or not at all) from a snapshot of the
    // entries, on a thread of its own so that thousands of entries never hold up the caller.
    // Writes happen in the order asked; a failure is reported on standard error.
    void save();
    // Returns once every write asked for so far is done; the destructor waits too.
    void waitForWrites();
    ~MetadataCache();

private:
    static bool write(const QString& path, const QString& lang,
                      const QHash<QByteArray, Entry>& entries);

    QString path_;
    QString lang_;
    QString loadedLang_; // the file's, after loadAnyLanguage
    QHash<QByteArray, Entry> entries_;
    bool dirty_ = false;
    std::unique_ptr<QThreadPool> writer_; // one thread: writes never overtake each other
};

} // namespace orvane
