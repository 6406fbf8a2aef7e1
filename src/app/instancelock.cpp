#include "app/instancelock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

InstanceLock::InstanceLock(QString path)
    : path_(std::move(path)) {}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0)
        ::close(fd_); // releases the lock; the file stays, harmless
}

QString InstanceLock::pathFor(const QString& settingsFile) {
    // Not "<settings>.lock": QSettings takes that one for the length of each write.
    const QFileInfo info(settingsFile);
    return info.dir().filePath(info.fileName() + QStringLiteral(".instance"));
}

InstanceLock::Result InstanceLock::tryLock() {
    if (fd_ >= 0)
        return Result::Acquired;
    int fd = -1;
    const Result result = lockFile(&fd);
    if (result == Result::Acquired)
        fd_ = fd;
    return result;
}

bool InstanceLock::keepHeld() {
    if (fd_ < 0)
        return false;
    struct stat held {
    }, atPath{};
    if (::fstat(fd_, &held) == 0 && ::lstat(QFile::encodeName(path_).constData(), &atPath) == 0 &&
        held.st_dev == atPath.st_dev && held.st_ino == atPath.st_ino)
        return true;
    // The old lock is kept until the new one is taken: no moment without one.
    int fd = -1;
    if (lockFile(&fd) != Result::Acquired)
        return false;
    ::close(fd_);
    fd_ = fd;
    return true;
}

InstanceLock::Result InstanceLock::lockFile(int* lockedFd) {
    QDir().mkpath(QFileInfo(path_).absolutePath());
    const QByteArray name = QFile::encodeName(path_);
    const int fd =
        ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int err = errno;
        error_ = QString::fromLocal8Bit(std::strerror(err));
        struct stat st {};
        // Something there that cannot be opened (no permission, a folder, a link): not the same
        // as a folder that cannot hold the file.
        return ::lstat(name.constData(), &st) == 0 ? Result::Unusable : Result::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error_ = QStringLiteral("not a regular file");
        return Result::Unusable;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            return Result::HeldElsewhere;
        error_ = QString::fromLocal8Bit(std::strerror(err));
        return Result::Failed;
    }
    *lockedFd = fd;
    return Result::Acquired;
}

} // namespace orvane
