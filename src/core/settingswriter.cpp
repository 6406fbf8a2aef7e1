#include "core/settingswriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryFile>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

namespace {

// Whether `readBack`, parsed from the file, is what `written` was. Text formats give plain
// values back as text (numbers, booleans) and typed ones (lists, byte arrays) as they were.
bool sameStored(const QVariant& written, const QVariant& readBack) {
    if (written == readBack)
        return true;
    if (readBack.typeId() == QMetaType::QString)
        return written.toString() == readBack.toString();
    if (readBack.typeId() == QMetaType::QStringList)
        return written.toStringList() == readBack.toStringList();
    return false;
}

bool syncPath(const QByteArray& path, int flags) {
    const int fd = ::open(path.constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

SettingsWriter::SettingsWriter(QString fileName, QSettings::Format format)
    : fileName_(std::move(fileName))
    , format_(format)
    , thread_([this] { run(); }) {}

SettingsWriter::~SettingsWriter() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void SettingsWriter::setValue(const QString& key, const QVariant& value) {
    setValueFrom(key, [value] { return value; });
}

void SettingsWriter::setValueFrom(const QString& key, std::function<QVariant()> make) {
    {
        const std::lock_guard lock(mutex_);
        pending_.emplace_back(key, std::move(make));
        ++asked_;
    }
    wake_.notify_one();
}

void SettingsWriter::flush() {
    std::unique_lock lock(mutex_);
    const quint64 target = asked_;
    written_.wait(lock, [&] { return done_ >= target; });
}

QSettings::Status SettingsWriter::status() const {
    const std::lock_guard lock(mutex_);
    return status_;
}

void SettingsWriter::setStatusObserver(std::function<void(QSettings::Status)> observer) {
    std::unique_lock lock(mutex_);
    observer_ = std::move(observer);
    const QSettings::Status status = status_;
    if (status == QSettings::NoError || !observer_)
        return;
    const auto told = observer_;
    lock.unlock();
    told(status); // a failure before it was watched
}

void SettingsWriter::run() {
    pthread_setname_np(pthread_self(), "orvane-settings");
    std::vector<std::pair<QString, QVariant>> unwritten; // a failed write's, tried again
    std::unique_lock lock(mutex_);
    for (;;) {
        if (unwritten.empty())
            wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        else
            wake_.wait_for(lock, retryDelay, [&] { return stopping_ || !pending_.empty(); });
        if (pending_.empty() && unwritten.empty())
            return; // stopping, and nothing left
        std::vector<std::pair<QString, QVariant>> batch = std::exchange(unwritten, {});
        auto asked = std::exchange(pending_, {});
        const quint64 target = asked_;
        const bool last = stopping_;
        lock.unlock();
        // Only the latest value of a key is made: a burst of saves merges its list once.
        for (size_t i = 0; i < asked.size(); ++i) {
            const bool later = std::any_of(asked.begin() + qsizetype(i) + 1, asked.end(),
                                           [&](const auto& a) { return a.first == asked[i].first; });
            if (!later)
                batch.emplace_back(asked[i].first, asked[i].second());
        }
        const QSettings::Status status = write(batch);
        lock.lock();
        if (status != QSettings::NoError && !last)
            unwritten = std::move(batch);
        const bool changed = status != status_;
        status_ = status;
        if (changed && observer_) { // heard before flush() returns
            const auto observer = observer_;
            lock.unlock();
            observer(status);
            lock.lock();
        }
        done_ = target; // tried: flush() returns, and the values wait for the next try
        written_.notify_all();
        if (last && pending_.empty())
            return; // one try at the end, whatever it gave
    }
}

QSettings::Status
SettingsWriter::write(const std::vector<std::pair<QString, QVariant>>& batch) const {
    // Through a link, the file it points to is replaced, not the link.
    const QFileInfo info(fileName_);
    const QString target = info.isSymLink() ? info.symLinkTarget() : info.absoluteFilePath();
    const QByteArray targetName = QFile::encodeName(target);
    struct stat old {};
    const bool exists = ::stat(targetName.constData(), &old) == 0;
    if (exists && (!S_ISREG(old.st_mode) || ::access(targetName.constData(), W_OK) != 0))
        return QSettings::AccessError; // read-only, or no file: left as it is
    const QString folder = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(folder))
        return QSettings::AccessError;

    // What the file holds now, with the batch over it, the latest value of a key winning.
    // Read under a new name (a link): Qt would answer for a name it opened before from what it
    // kept in memory, which a file renamed over it does not always refresh.
    const QString base = QDir(folder).filePath(QStringLiteral(".") + QFileInfo(target).fileName());
    QList<std::pair<QString, QVariant>> values;
    QHash<QString, qsizetype> at;
    auto put = [&](const QString& key, const QVariant& value) {
        if (const auto it = at.constFind(key); it != at.cend()) {
            values[*it].second = value;
        } else {
            at.insert(key, values.size());
            values.append({key, value});
        }
    };
    if (exists) {
        QTemporaryFile link(base + QStringLiteral(".XXXXXX"));
        if (!link.open())
            return QSettings::AccessError;
        link.close();
        const QByteArray linkName = QFile::encodeName(link.fileName());
        ::unlink(linkName.constData());
        const bool linked = ::link(targetName.constData(), linkName.constData()) == 0;
        const QSettings current(linked ? link.fileName() : target, format_);
        if (current.status() != QSettings::NoError)
            return current.status(); // never replace a file that could not be read
        for (const QString& key : current.allKeys())
            put(key, current.value(key));
    }
    for (const auto& [key, value] : batch)
        put(key, value);

    // Written under one new name and read back under another, never opened before in this
    // process, for the same reason.
    QTemporaryFile written(base + QStringLiteral(".XXXXXX")),
        check(base + QStringLiteral(".XXXXXX"));
    if (!written.open() || !check.open())
        return QSettings::AccessError;
    written.close();
    check.close();
    const QByteArray writtenName = QFile::encodeName(written.fileName());
    const QByteArray checkName = QFile::encodeName(check.fileName());
    QSettings::Status status;
    {
        QSettings out(written.fileName(), format_);
        for (const auto& [key, value] : std::as_const(values))
            out.setValue(key, value);
        out.sync();
        status = out.status();
    }
    if (status != QSettings::NoError)
        return status;
    if (!syncPath(writtenName, O_RDONLY) ||
        ::rename(writtenName.constData(), checkName.constData()) != 0)
        return QSettings::AccessError;
    {
        const QSettings back(check.fileName(), format_);
        if (back.status() != QSettings::NoError || back.allKeys().size() != values.size())
            return QSettings::AccessError;
        for (const auto& [key, value] : std::as_const(values)) {
            if (!back.contains(key) || !sameStored(value, back.value(key)))
                return QSettings::AccessError;
        }
    }
    if (exists)
        ::chmod(checkName.constData(), old.st_mode & 07777); // the file keeps its permissions
    if (::rename(checkName.constData(), targetName.constData()) != 0)
        return QSettings::AccessError;
    check.setAutoRemove(false); // it is the settings file now
    syncPath(QFile::encodeName(folder), O_RDONLY | O_DIRECTORY);
    // Qt keeps one view of a settings file per process, shared by every QSettings on it, and
    // looks at the file again only when one of them syncs: this process's readers see what
    // was written from here on.
    QSettings(fileName_, format_).sync();
    return QSettings::NoError;
}

} // namespace orvane
