#pragma once

#include <QByteArrayList>
#include <QList>
#include <QObject>
#include <QStringList>

class QLocalSocket;
class QSocketNotifier;

namespace orvane {

// The hand-over between launches: the running Orvane listens on a local socket in a private
// folder of the user's (made 0700 by us, or refused); a second launch hands its files (or a
// request to show the window) to it and exits. Who is the running instance is decided by the
// InstanceLock, not by this socket: only the lock's holder listens.
//
// The message: "ORVANE/2\n", the payload's length (4 bytes, big-endian), then the payload: each
// path as its length (4 bytes, big-endian) and its bytes, exactly as the file system names it.
// No paths asks for the window. The running instance always answers one line: "OK", or "ERR "
// and the reason; then it closes the connection.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString socketPath, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Handover {
        Accepted, // the running instance took the files
        Refused,  // it answered with an error (see errorString)
        NoAnswer, // nobody listens, or the connection broke before an answer
    };
    // Hands absolute paths (the file system's bytes) to the running instance.
    Handover handOver(const QByteArrayList& absolutePaths, int timeoutMs = 5000);
    // The same for paths as text; true when they were accepted.
    bool forwardToRunning(const QStringList& absolutePaths, int timeoutMs = 5000);
    // Starts listening: makes or checks the private folder and replaces a socket left behind.
    // Only the holder of the instance lock may call it. False (see errorString) on failure.
    bool listen();
    bool isListening() const { return listenFd_ >= 0; }
    QString errorString() const { return error_; }

    // $XDG_RUNTIME_DIR/orvane-<uid>/ (the temporary folder when there is no runtime folder),
    // one socket per settings file.
    static QString defaultSocketPath(const QString& settingsFile);
    // Makes `folder` (mode 0700) or accepts it only when it is a real folder, not a link, owned
    // by this user with mode 0700. It never changes a folder it did not make.
    static bool preparePrivateFolder(const QString& folder, QString* error);
    static bool isPrivateFolder(const QString& folder, QString* error);

    static constexpr qint64 maxPayloadBytes = 16 * 1024 * 1024;
    // Connections served at once. A new one past this closes the oldest, with an error answer
    // ("ERR busy"): idle connections never hold more descriptors than this, and a launch that
    // sends its message at once is still served.
    static constexpr int maxConnections = 64;
    static constexpr qint64 maxPathBytes = 64 * 1024;

Q_SIGNALS:
    void filesOpened(const QStringList& absolutePaths);
    void raiseRequested();

private:
    void acceptPending();
    void resumeAccepting();
    void serve(QLocalSocket* socket);

    QString socketPath_;
    QString error_;
    int listenFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    // The connections being served, oldest first (each leaves the list when it is destroyed).
    QList<QLocalSocket*> connections_;
    // Out of descriptors: the notifier is off, the log was told once, and a timer retries.
    bool acceptStalled_ = false;
};

} // namespace orvane
