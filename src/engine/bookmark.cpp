#include "engine/bookmark.h"

#include <QDir>
#include <QFileInfo>

namespace orvane::Bookmark {

namespace {

constexpr char kMagic[] = {'O', 'R', 'V', 'B'};
constexpr char kVersion = 1;
constexpr qsizetype kHeader = sizeof(kMagic) + 1;
constexpr qsizetype kMaxPath = 16 * 1024;

bool isRegularFile(const QString& path) {
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

} // namespace

std::optional<QByteArray> make(const QString& path) {
    if (!QDir::isAbsolutePath(path) || !isRegularFile(path))
        return std::nullopt;
    const QByteArray utf8 = QDir::cleanPath(path).toUtf8();
    if (utf8.isEmpty() || utf8.size() > kMaxPath || utf8.contains('\0'))
        return std::nullopt;
    QByteArray bytes(kMagic, sizeof(kMagic));
    bytes += kVersion;
    bytes += utf8;
    return bytes;
}

namespace {

// The recorded path, if the bytes are a well-formed bookmark of this format.
std::optional<QString> recordedPath(const QByteArray& bytes) {
    if (bytes.size() <= kHeader || bytes.size() > kHeader + kMaxPath)
        return std::nullopt;
    if (!bytes.startsWith(QByteArray::fromRawData(kMagic, sizeof(kMagic))) ||
        bytes.at(sizeof(kMagic)) != kVersion)
        return std::nullopt;
    const QByteArray utf8 = bytes.mid(kHeader);
    if (utf8.contains('\0'))
        return std::nullopt;
    const QString path = QString::fromUtf8(utf8);
    // Invalid UTF-8 does not round-trip: refuse rather than open a look-alike path.
    if (path.toUtf8() != utf8 || !QDir::isAbsolutePath(path) || QDir::cleanPath(path) != path)
        return std::nullopt;
    return path;
}

} // namespace

std::optional<QString> resolve(const QByteArray& bytes) {
    const std::optional<QString> path = recordedPath(bytes);
    if (!path || !isRegularFile(*path))
        return std::nullopt;
    return path;
}

bool isOnMissingVolume(const QByteArray& bytes) {
    const std::optional<QString> path = recordedPath(bytes);
    return path && !QFileInfo(*path).absoluteDir().exists();
}

} // namespace orvane::Bookmark
