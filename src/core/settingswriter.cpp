#include "core/settingswriter.h"

#include <pthread.h>

namespace orvane {

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
    {
        const std::lock_guard lock(mutex_);
        pending_.emplace_back(key, value);
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

void SettingsWriter::run() {
    pthread_setname_np(pthread_self(), "orvane-settings");
    QSettings settings(fileName_, format_);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (pending_.empty())
            return; // stopping, and nothing left
        const std::vector<std::pair<QString, QVariant>> batch = std::exchange(pending_, {});
        const quint64 target = asked_;
        lock.unlock();
        for (const auto& [key, value] : batch)
            settings.setValue(key, value);
        settings.sync(); // QSettings replaces the file atomically
        const QSettings::Status status = settings.status();
        lock.lock();
        status_ = status;
        done_ = target;
        written_.notify_all();
    }
}

} // namespace orvane
