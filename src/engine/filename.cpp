#include "engine/filename.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

namespace {

// The length of the valid UTF-8 sequence at p (at most n bytes left), or 0.
int validSequence(const unsigned char* p, qsizetype n) {
    const unsigned char c = p[0];
    int length;
    char32_t minimum;
    if (c < 0x80)
        return 1;
    if ((c & 0xe0) == 0xc0) {
        length = 2;
        minimum = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
        length = 3;
        minimum = 0x800;
    } else if ((c & 0xf8) == 0xf0) {
        length = 4;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (n < length)
        return 0;
    char32_t code = c & (0x7f >> length);
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3f);
    }
    if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

} // namespace

QString decodeFileName(const QByteArray& bytes) {
    QString out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const int length = validSequence(p + i, n - i);
        if (length == 0) {
            out.append(QChar(char16_t(0xdc00 + p[i])));
            ++i;
            continue;
        }
        out.append(QString::fromUtf8(reinterpret_cast<const char*>(p + i), length));
        i += length;
    }
    return out;
}

QByteArray encodeFileName(const QString& name) {
    QByteArray out;
    out.reserve(name.size());
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t u = name.at(i).unicode();
        const bool escaped = u >= 0xdc80 && u <= 0xdcff &&
                             (i == 0 || !QChar::isHighSurrogate(name.at(i - 1).unicode()));
        if (!escaped)
            continue;
        out += QStringView(name).mid(runStart, i - runStart).toUtf8();
        out += char(u - 0xdc00);
        runStart = i + 1;
    }
    out += QStringView(name).mid(runStart).toUtf8();
    return out;
}

bool isFolder(const QString& name) {
    struct stat st {};
    return ::stat(encodeFileName(name).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

QList<FolderEntry> folderEntries(const QString& folder) {
    QList<FolderEntry> entries;
    const QByteArray path = encodeFileName(folder);
    DIR* dir = ::opendir(path.constData());
    if (!dir)
        return entries;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        // The kind as the folder itself tells it; only links and file systems that do not
        // tell cost a look at the entry.
        bool folderEntry = entry->d_type == DT_DIR;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            const QByteArray full = path + '/' + entry->d_name;
            folderEntry = ::stat(full.constData(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        entries.append({decodeFileName(QByteArray(entry->d_name)), folderEntry});
    }
    ::closedir(dir);
    return entries;
}

std::optional<QByteArray> readRegularFile(const QString& name, qint64 maxBytes) {
    const int fd =
        ::open(encodeFileName(name).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return QByteArray();
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > maxBytes) {
        ::close(fd);
        return std::nullopt;
    }
    QByteArray bytes(qsizetype(st.st_size), Qt::Uninitialized);
    // Every page of the buffer is touched here, before the read. A page first touched by the
    // kernel as it copies the file in takes the process's memory map lock (a fault in user
    // space does not), and the main thread, loading libraries and plugins beside a start's
    // reads, queues behind each of those thousand faults for its own mappings.
    std::memset(bytes.data(), 0, size_t(bytes.size()));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    ::close(fd);
    bytes.truncate(done);
    return bytes;
}

} // namespace orvane
