#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace orvane {

// Writes settings to their file on a thread of its own. QSettings rewrites the whole file at
// each write, and the playlist lives in it: at 20,000 tracks one write takes over 100 ms, which
// the main thread hands over here instead of waiting for. Writes keep their order; those asked
// for while one is on its way go out together in one write, the latest value of a key winning.
//
// It writes through a QSettings of its own on the same file. Qt keeps one in-process state per
// file for every QSettings on it: a value is seen by all of them once the writer has taken it,
// and by other processes once written. Qt locks that state for the length of each write, so a
// thread reading settings meanwhile waits for the write; the main thread therefore reads them
// at start only, and keeps what it needs (Preferences, the engine's language).
//
// A write never puts an incomplete file in place (QSettings' own atomic replace renames a
// partly written file over the real one when the disk is full): every key goes to a new file in
// the same folder, which is read back and compared key by key, synced, and only then renamed
// over the settings file. When that fails the old file stays, the values stay asked for, and
// the write is tried again with the next value and every few seconds.
class SettingsWriter {
public:
    SettingsWriter(QString fileName, QSettings::Format format);
    ~SettingsWriter(); // writes what is still asked for, then stops
    SettingsWriter(const SettingsWriter&) = delete;
    SettingsWriter& operator=(const SettingsWriter&) = delete;

    // Any thread. Returns at once.
    void setValue(const QString& key, const QVariant& value);
    // The same with a value made on the writer's thread, when its turn comes (a list of a
    // million entries is merged and encoded there, not by the caller). `make` must be safe to
    // run on another thread: it should hold copies, not references to the caller's data.
    void setValueFrom(const QString& key, std::function<QVariant()> make);
    // Waits until everything asked for so far has been written, or has failed to be.
    void flush();
    // How the last write went (QSettings::AccessError for a file that cannot be written).
    QSettings::Status status() const;
    // Called on the writer's thread whenever the status changes (a write failed after one
    // that went, or went after one that failed), and here at once when the status is already
    // a failure. Replaces the previous one; {} for none.
    void setStatusObserver(std::function<void(QSettings::Status)> observer);
    // How long a failed write waits before it is tried again.
    static constexpr std::chrono::milliseconds retryDelay{3000};
    QString fileName() const { return fileName_; }
    QSettings::Format format() const { return format_; }

private:
    void run();
    // Writes the file with `batch` over what it holds; NoError once it is in place.
    QSettings::Status write(const std::vector<std::pair<QString, QVariant>>& batch) const;

    const QString fileName_;
    const QSettings::Format format_;
    mutable std::mutex mutex_;
    std::condition_variable wake_, written_;
    std::vector<std::pair<QString, std::function<QVariant()>>> pending_;
    quint64 asked_ = 0, done_ = 0; // counts of values asked for and written
    bool stopping_ = false;
    QSettings::Status status_ = QSettings::NoError;
    std::function<void(QSettings::Status)> observer_;
    std::thread thread_; // last: starts once the rest is set up
};

} // namespace orvane
