#include "app/singleinstance.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>
#include <unistd.h>

namespace orvane {

namespace {

const QByteArray kHeader = "ORVANE/1\n";

// The paths of a complete message, or nothing when it is incomplete or malformed.
std::optional<QStringList> parse(const QByteArray& message, bool* complete) {
    *complete = message.endsWith("\n\n") || message == kHeader + "\n";
    if (!*complete)
        return std::nullopt;
    if (!message.startsWith(kHeader))
        return std::nullopt;
    QStringList paths;
    const QList<QByteArray> lines = message.mid(kHeader.size()).split('\n');
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        const QString path = QString::fromUtf8(line);
        if (path.toUtf8() != line || line.contains('\0') || !QDir::isAbsolutePath(path))
            return std::nullopt;
        paths.append(path);
    }
    return paths;
}

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent)
    , socketPath_(std::move(socketPath)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::onConnection);
}

QString SingleInstance::defaultSocketPath() {
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QFileInfo(runtime).isDir())
        runtime = QDir::temp().filePath(QStringLiteral("orvane-%1").arg(getuid()));
    return QDir(runtime).filePath(QStringLiteral("orvane.sock"));
}

bool SingleInstance::forwardToRunning(const QStringList& absolutePaths, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray message = kHeader;
    for (const QString& path : absolutePaths)
        message += path.toUtf8() + '\n';
    message += '\n';
    socket.write(message);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine() == "OK\n";
}

bool SingleInstance::listen() {
    const QString folder = QFileInfo(socketPath_).absolutePath();
    if (!QDir().mkpath(folder))
        return false;
    // A private folder of the user's own (the runtime folder already is).
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (server_.listen(socketPath_))
        return true;
    // A socket left by a crashed instance: nobody answers on it.
    QLocalSocket probe;
    probe.connectToServer(socketPath_);
    if (probe.waitForConnected(500))
        return false;
    QLocalServer::removeServer(socketPath_);
    return server_.listen(socketPath_);
}

void SingleInstance::onConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(5000, socket, [socket] { socket->abort(); }); // a client that stalls
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            QByteArray message = socket->property("message").toByteArray() + socket->readAll();
            if (message.size() > maxMessageBytes) {
                socket->abort();
                return;
            }
            bool complete = false;
            const std::optional<QStringList> paths = parse(message, &complete);
            if (!complete) {
                socket->setProperty("message", message);
                return;
            }
            if (!paths) {
                socket->abort();
                return;
            }
            socket->write("OK\n");
            socket->disconnectFromServer();
            if (paths->isEmpty())
                Q_EMIT raiseRequested();
            else
                Q_EMIT filesOpened(*paths);
        });
    }
}

} // namespace orvane
