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

    enum class Result { Acquired, HeldElsewhere, Failed };
    // Tries once, without waiting. Failed: the lock file cannot be made or is not a regular file.
    Result tryLock();
    bool isLocked() const { return fd_ >= 0; }
    const QString& path() const { return path_; }
    QString errorString() const { return error_; }

    // Where the lock for a settings file lives.
    static QString pathFor(const QString& settingsFile);

private:
    QString path_;
    QString error_;
    int fd_ = -1;
};

} // namespace orvane
