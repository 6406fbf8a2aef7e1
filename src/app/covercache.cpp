#include "app/covercache.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QSaveFile>
#include <algorithm>

namespace orvane {

namespace {

QString imageExtension(const QByteArray& picture) {
    if (picture.startsWith("\x89PNG"))
        return QStringLiteral("png");
    if (picture.startsWith("GIF8"))
        return QStringLiteral("gif");
    if (picture.startsWith("RIFF") && picture.mid(8, 4) == "WEBP")
        return QStringLiteral("webp");
    if (picture.startsWith("BM"))
        return QStringLiteral("bmp");
    return QStringLiteral("jpg");
}

} // namespace

CoverCache::CoverCache(QString folder, int maxFiles, qint64 maxBytes)
    : folder_(std::move(folder))
    , maxFiles_(maxFiles)
    , maxBytes_(maxBytes) {
    prune({});
}

QString CoverCache::pathFor(const QString& folder, const QByteArray& picture) {
    const QString name = QString::fromLatin1(
        QCryptographicHash::hash(picture, QCryptographicHash::Sha1).toHex().left(24));
    return QDir(folder).filePath(name + "." + imageExtension(picture));
}

QString CoverCache::store(const QByteArray& picture) {
    const QString path = pathFor(folder_, picture);
    if (path == current_ && QFileInfo::exists(path))
        return path;
    if (QFileInfo::exists(path)) {
        // Used again: it counts as recent.
        QFile file(path);
        if (file.open(QIODevice::ReadWrite))
            file.setFileTime(QDateTime::currentDateTimeUtc(), QFileDevice::FileModificationTime);
    } else {
        QDir().mkpath(folder_);
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(picture) != picture.size() ||
            !file.commit())
            return {};
        current_ = path;
        prune(path);
    }
    current_ = path;
    return path;
}

void CoverCache::prune(const QString& keep) {
    QFileInfoList files =
        QDir(folder_).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Time);
    // Newest first; the current cover always stays.
    std::stable_partition(files.begin(), files.end(),
                          [&keep](const QFileInfo& f) { return f.filePath() == keep; });
    int count = 0;
    qint64 bytes = 0;
    for (const QFileInfo& file : files) {
        const bool isKept = file.filePath() == keep;
        if (isKept || (count < maxFiles_ && bytes + file.size() <= maxBytes_)) {
            ++count;
            bytes += file.size();
            continue;
        }
        QFile::remove(file.filePath());
    }
}

} // namespace orvane
