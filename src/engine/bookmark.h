#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QSet>
#include <QString>
#include <optional>

struct stat;

namespace orvane {

// What tells whether a file changed since it was read: its size, its modification time, its
// change time and which file it is. Tag editors put the modification time back after rewriting
// a file in place (often at the same size); the change time, which the kernel sets at every
// write and no program can set, still moves. A file replaced under the same name is another
// inode.
struct FileStamp {
    qint64 size = -1;
    qint64 mtimeNs = 0; // nanoseconds since the epoch
    qint64 ctimeNs = 0; // the same
    quint64 inode = 0;
    quint64 device = 0;
    bool operator==(const FileStamp&) const = default;
    // All of it in 32 bits, never 0: what a row keeps to tell later whether its file is still
    // as it was read (two different stamps give the same digest once in four billion).
    quint32 digest() const;
};

// The stamp of a regular file by its name (see filename.h); none for anything else.
std::optional<FileStamp> stampOf(const QString& path);

// A stored reference to a local file that a later run can re-open: opaque, versioned bytes
// ("ORVB", a version byte, then the absolute path in UTF-8). Linux has no security scope, so
// access needs nothing beyond the path.
namespace Bookmark {

// Fails (nullopt) for a path that is not absolute or not an existing regular file.
std::optional<QByteArray> make(const QString& path);
// Fails for bytes that are not a bookmark of this format or name a file that no longer exists
// as a regular file. Never yields a different file than the one recorded.
// When `stamp` is given, it receives the file's stamp from the same look-up.
std::optional<QString> resolve(const QByteArray& bytes, FileStamp* stamp = nullptr);
// The path the bytes record, without looking at the disk; nullopt for bytes that are not a
// bookmark of this format.
std::optional<QString> recordedPath(const QByteArray& bytes);
// Whether recordedPath() gives a path, without making it (quick for a plain ASCII name).
bool recordsPath(const QByteArray& bytes);

// Resolves many bookmarks in a row as resolve() does, looking up a folder once for all the
// consecutive entries in it (a stored playlist's files mostly come folder by folder).
class Resolver {
public:
    Resolver() = default;
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;
    std::optional<QString> resolve(const QByteArray& bytes, FileStamp* stamp = nullptr);
    // The stamp of the file that resolve() would give, without making its name: none when it
    // would fail. The quick way to look at many stored files.
    std::optional<FileStamp> stamp(const QByteArray& bytes);
    // What the file's folder lists under its name, against a file last seen with stamp `was`:
    // Same when it is that very file (the same inode, a regular file on the same device),
    // Other when the name is not there or names another file, Unsure when the listing cannot
    // tell (a symbolic link, a file system that gives no types, a folder that cannot be read).
    // Reads each folder's listing once, for all the consecutive entries in it: much less work
    // than a stat of each file, but a file rewritten in place is still Same.
    enum class Listed { Same, Other, Unsure };
    Listed listed(const QByteArray& bytes, const FileStamp& was);

private:
    // fstatat() of a clean absolute path's bytes, from its folder kept open.
    bool statInFolder(QByteArrayView path, struct ::stat* st);
    // Opens the folder of a clean absolute path as `fd_` unless it is open; its name is at the
    // index returned.
    qsizetype enterFolder(QByteArrayView path);
    QByteArray folder_; // the path of the folder open as `fd_`
    int fd_ = -1;
    // The listing of `folder_` once read: name to inode and type (a dirent's d_type);
    // `listedDevice_` the folder's device, -1 when it could not be read.
    struct Entry {
        quint64 inode = 0;
        unsigned char type = 0;
    };
    QHash<QByteArray, Entry> listing_;
    bool listed_ = false;
    qint64 listedDevice_ = -1;
    QSet<QByteArray> seenFolders_; // every folder listed (or tried) so far
};

// True when the recorded file's folder does not exist (a removable or network volume that is
// not mounted now), as opposed to a file deleted from a folder that is still there.
bool isOnMissingVolume(const QByteArray& bytes);

} // namespace Bookmark

} // namespace orvane
