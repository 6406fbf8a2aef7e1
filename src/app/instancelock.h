#pragma once

#include <QString>

namespace orvane {

// The lock that makes one Orvane per user and settings file: an advisory lock (flock) on a file
// beside the settings. The kernel drops it when the holder ends, however it ends, so a crash
// never leaves a stale lock behind.
class InstanceLock {
public:
    explicit InstanceLock(QString path);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    enum class Result { Acquired, HeldElsewhere, Unusable, Failed };
    // Tries once, without waiting. Unusable: something is at the path but cannot be opened or
    // is not a regular file (another lock must not be taken instead: the running instance may
    // hold this one). Failed: the lock file cannot be made (a read-only folder, say).
    Result tryLock();
    // While held: whether the locked file is still the one at the path. When it is not (it was
    // deleted or replaced, and a later launch would take a new one), the file at the path is
    // made if need be and locked, and the old one let go; false when that failed this time.
    bool keepHeld();
    bool isLocked() const { return fd_ >= 0; }
    const QString& path() const { return path_; }
    QString errorString() const { return error_; }

    // Where the lock for a settings file lives.
    static QString pathFor(const QString& settingsFile);

private:
    Result lockFile(int* lockedFd);

    QString path_;
    QString error_;
    int fd_ = -1;
};

} // namespace orvane
