#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

namespace orvane {

class AudioEngine;

// Files opened from outside (the command line, the desktop's open-with, a second launch) wait
// here until the engine is handed over when the main window first appears; from then on they
// go to the engine at once, all waiting files in one openExternal call, in order.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    void openFiles(const QList<QUrl>& urls);
    // Every assignment flushes.
    void setEngine(AudioEngine* engine);
    AudioEngine* engine() const { return engine_; }
    const QList<QUrl>& pending() const { return pending_; }

private:
    void flush();

    AudioEngine* engine_ = nullptr;
    QList<QUrl> pending_;
};

} // namespace orvane
