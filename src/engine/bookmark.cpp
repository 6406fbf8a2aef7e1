#include "engine/bookmark.h"
#include "engine/filename.h"

#include <QDir>
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

namespace {

FileStamp stampFrom(const struct stat& st) {
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec, quint64(st.st_ino),
            quint64(st.st_dev)};
}

} // namespace

quint32 FileStamp::digest() const {
    const quint64 parts[] = {quint64(size), quint64(mtimeNs), quint64(ctimeNs), inode, device};
    const size_t h = qHashRange(std::begin(parts), std::end(parts));
    const quint32 d = quint32(h) ^ quint32(quint64(h) >> 32);
    return d != 0 ? d : 1;
}

std::optional<FileStamp> stampOf(const QString& path) {
    struct stat st {};
    if (::stat(encodeFileName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return stampFrom(st);
}

} // namespace orvane

namespace orvane::Bookmark {

namespace {

constexpr char kMagic[] = {'O', 'R', 'V', 'B'};
constexpr char kVersion = 1;
constexpr qsizetype kHeader = sizeof(kMagic) + 1;
constexpr qsizetype kMaxPath = 16 * 1024;

// By the name's own bytes: a name that is not valid UTF-8 is looked up as it is on disk.
bool isRegularFile(const QString& path) {
    struct stat st {};
    return ::stat(encodeFileName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const QString& path) {
    struct stat st {};
    return ::stat(encodeFileName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::optional<QByteArray> make(const QString& path) {
    if (!QDir::isAbsolutePath(path) || !isRegularFile(path))
        return std::nullopt;
    // The file system's bytes: UTF-8 for ordinary names, and names that are not valid UTF-8
    // exactly as they are on disk.
    const QByteArray utf8 = encodeFileName(QDir::cleanPath(path));
    if (utf8.isEmpty() || utf8.size() > kMaxPath || utf8.contains('\0'))
        return std::nullopt;
    QByteArray bytes(kMagic, sizeof(kMagic));
    bytes += kVersion;
    bytes += utf8;
    return bytes;
}

namespace {

// True for an absolute path in clean form ("/a/b": no empty, "." or ".." segment and no
// trailing slash), checked on its bytes.
bool isCleanAbsolute(QByteArrayView p) {
    if (p.isEmpty() || p.front() != '/')
        return false;
    if (p.size() == 1)
        return true;
    // Segment by segment, each found with memchr: a start checks thousands of names.
    const char* segment = p.data() + 1;
    const char* const end = p.data() + p.size();
    for (;;) {
        const auto* slash =
            static_cast<const char*>(std::memchr(segment, '/', size_t(end - segment)));
        const char* segmentEnd = slash ? slash : end;
        const qsizetype length = segmentEnd - segment;
        if (length == 0 || (length == 1 && segment[0] == '.') ||
            (length == 2 && segment[0] == '.' && segment[1] == '.'))
            return false;
        if (!slash)
            return true;
        segment = slash + 1;
    }
}

// True when every byte is ASCII other than NUL; eight at a time.
bool isAsciiWithoutNul(QByteArrayView p) {
    constexpr quint64 kLow = 0x0101010101010101, kHigh = 0x8080808080808080;
    const char* s = p.data();
    const qsizetype n = p.size();
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        quint64 w;
        std::memcpy(&w, s + i, 8);
        if ((w & kHigh) != 0 || ((w - kLow) & ~w & kHigh) != 0) // a high bit, or a zero byte
            return false;
    }
    for (; i < n; ++i) {
        if (s[i] == 0 || uchar(s[i]) >= 0x80)
            return false;
    }
    return true;
}

struct Recorded {
    QString path;
    QByteArray bytes; // the path as the file system's bytes
};

// What follows the header of a well-formed bookmark of this format.
std::optional<QByteArrayView> body(const QByteArray& bytes) {
    if (bytes.size() <= kHeader || bytes.size() > kHeader + kMaxPath)
        return std::nullopt;
    if (!bytes.startsWith(QByteArrayView(kMagic, sizeof(kMagic))) ||
        bytes.at(sizeof(kMagic)) != kVersion)
        return std::nullopt;
    return QByteArrayView(bytes).sliced(kHeader);
}

// The path a bookmark's body records, if it is one.
std::optional<QString> pathOf(QByteArrayView utf8) {
    if (utf8.contains('\0'))
        return std::nullopt;
    // A plain ASCII name (the common case, checked quickly when thousands are restored) is
    // itself in either form.
    if (std::all_of(utf8.cbegin(), utf8.cend(), [](char c) { return uchar(c) < 0x80; })) {
        if (!isCleanAbsolute(utf8))
            return std::nullopt;
        return QString::fromLatin1(utf8);
    }
    const QString path = decodeFileName(utf8.toByteArray());
    // Bytes that do not come back the same are refused rather than opened as a look-alike.
    if (QByteArrayView(encodeFileName(path)) != utf8 || !QDir::isAbsolutePath(path) ||
        QDir::cleanPath(path) != path)
        return std::nullopt;
    return path;
}

// The recorded path, if the bytes are a well-formed bookmark of this format.
std::optional<Recorded> recorded(const QByteArray& bytes) {
    const std::optional<QByteArrayView> utf8 = body(bytes);
    if (!utf8)
        return std::nullopt;
    std::optional<QString> path = pathOf(*utf8);
    if (!path)
        return std::nullopt;
    return Recorded{std::move(*path), utf8->toByteArray()};
}

} // namespace

std::optional<QString> recordedPath(const QByteArray& bytes) {
    const std::optional<QByteArrayView> utf8 = body(bytes);
    return utf8 ? pathOf(*utf8) : std::nullopt;
}

bool recordsPath(const QByteArray& bytes) {
    const std::optional<QByteArrayView> utf8 = body(bytes);
    if (utf8 && isAsciiWithoutNul(*utf8))
        return isCleanAbsolute(*utf8); // as pathOf() decides it
    return utf8 && pathOf(*utf8);
}

std::optional<QString> resolve(const QByteArray& bytes, FileStamp* stamp) {
    std::optional<Recorded> r = recorded(bytes);
    if (!r)
        return std::nullopt;
    struct stat st {};
    if (::stat(r->bytes.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    if (stamp)
        *stamp = stampFrom(st);
    return std::move(r->path);
}

Resolver::~Resolver() {
    if (fd_ >= 0)
        ::close(fd_);
}

qsizetype Resolver::enterFolder(QByteArrayView path) {
    // A clean absolute path: its last slash parts the folder ("" for the root) from the name.
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArrayView folder = path.first(slash);
    if (fd_ < 0 || folder != folder_) {
        if (fd_ >= 0)
            ::close(fd_);
        folder_ = folder.toByteArray();
        fd_ =
            ::open(folder_.isEmpty() ? "/" : folder_.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        listing_.clear();
        listed_ = false;
    }
    return slash + 1;
}

bool Resolver::statInFolder(QByteArrayView path, struct ::stat* st) {
    // As stat() on the whole path (symbolic links followed), from the folder already found.
    // The name runs to the end of the bytes, where they end in a NUL.
    const qsizetype name = enterFolder(path);
    return fd_ >= 0 && ::fstatat(fd_, path.data() + name, st, 0) == 0 && S_ISREG(st->st_mode);
}

Resolver::Listed Resolver::listed(const QByteArray& bytes, const FileStamp& was) {
    if (!recordsPath(bytes))
        return Listed::Other; // no file of ours: it never resolves
    const QByteArrayView path = QByteArrayView(bytes).sliced(kHeader);
    const qsizetype name = enterFolder(path);
    if (!listed_) {
        listed_ = true;
        listedDevice_ = -1;
        // A folder come back to after others (a list in no folder order) is not listed again:
        // its files are stat'ed, so that no order makes the listings cost more than the stats.
        if (seenFolders_.contains(folder_))
            return Listed::Unsure;
        seenFolders_.insert(folder_);
        // O_PATH gives no listing: the folder is opened again, to read.
        const int fd = fd_ >= 0 ? ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
        struct stat st {};
        if (dir && ::fstat(fd, &st) == 0) {
            listedDevice_ = qint64(st.st_dev);
            while (const dirent* d = ::readdir(dir))
                listing_.insert(QByteArray(d->d_name), {quint64(d->d_ino), d->d_type});
        }
        if (dir)
            ::closedir(dir); // closes fd
        else if (fd >= 0)
            ::close(fd);
    }
    if (listedDevice_ < 0)
        return Listed::Unsure;
    const auto at = listing_.constFind(QByteArray::fromRawData(path.data() + name,
                                                               path.size() - name));
    if (at == listing_.cend())
        return Listed::Other;
    if (at->type == DT_LNK || at->type == DT_UNKNOWN)
        return Listed::Unsure; // the stat follows the link; the listing names the link itself
    return at->type == DT_REG && at->inode == was.inode && quint64(listedDevice_) == was.device
               ? Listed::Same
               : Listed::Other;
}

std::optional<QString> Resolver::resolve(const QByteArray& bytes, FileStamp* stamp) {
    std::optional<Recorded> r = recorded(bytes);
    if (!r)
        return std::nullopt;
    struct stat st {};
    if (!statInFolder(r->bytes, &st))
        return std::nullopt;
    if (stamp)
        *stamp = stampFrom(st);
    return std::move(r->path);
}

std::optional<FileStamp> Resolver::stamp(const QByteArray& bytes) {
    // The bookmark's own bytes, NUL-terminated as every QByteArray's are, name the file when
    // recordsPath() accepts them (a clean absolute path, as resolve() would take it).
    if (!recordsPath(bytes))
        return std::nullopt;
    struct stat st {};
    if (!statInFolder(QByteArrayView(bytes).sliced(kHeader), &st))
        return std::nullopt;
    return stampFrom(st);
}

bool isOnMissingVolume(const QByteArray& bytes) {
    const std::optional<QString> path = recordedPath(bytes);
    return path && !isDirectory(path->left(path->lastIndexOf(QLatin1Char('/'))));
}

} // namespace orvane::Bookmark
