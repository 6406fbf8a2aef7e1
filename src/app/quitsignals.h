#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace orvane {

// SIGTERM, SIGINT and SIGHUP (a logout, `systemctl --user stop`, Ctrl+C in a terminal, a closed
// terminal) become a `received` signal in the event loop, so that they take the normal quit
// path and what is due gets written. The handler only writes the signal's number to a pipe
// (all a handler may do); a QSocketNotifier reads it on the main thread. One per process.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override; // the signals' default actions come back
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    // Whether the handlers are in place (a pipe could be made).
    bool isActive() const { return notifier_ != nullptr; }

Q_SIGNALS:
    void received(int signal);

private:
    void readPipe();

    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace orvane
