#pragma once

#include <QLocalServer>
#include <QObject>
#include <QStringList>

namespace orvane {

// One Orvane per user: a second launch hands its files to the running instance over a local
// socket in the user's runtime folder (readable by that user only) and exits. A launch without
// files asks the running instance to bring its window back.
//
// The message: "ORVANE/1\n", one absolute path per line, then an empty line. The running
// instance answers "OK\n". Malformed or oversized messages are ignored.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject* parent = nullptr);

    // True when a running instance took the files (or the request to raise its window).
    bool forwardToRunning(const QStringList& absolutePaths, int timeoutMs = 3000);
    // Becomes the running instance. False when the socket cannot be made.
    bool listen();

    static QString defaultSocketPath();
    static constexpr qint64 maxMessageBytes = 1024 * 1024;

Q_SIGNALS:
    void filesOpened(const QStringList& absolutePaths);
    void raiseRequested();

private:
    void onConnection();

    QString socketPath_;
    QLocalServer server_;
};

} // namespace orvane
