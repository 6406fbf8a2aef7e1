#include "app/singleinstance.h"

#include "engine/filename.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace orvane {

namespace {

const QByteArray kHeader = "ORVANE/2\n";
constexpr int kLengthBytes = 4;
// A connection that has not delivered its whole message by then gets an error and is closed.
constexpr int kServeTimeoutMs = 10000;
// After the process ran out of descriptors, accepting is tried again this much later.
constexpr int kAcceptRetryMs = 200;

QByteArray lengthBytes(quint32 n) {
    QByteArray bytes(kLengthBytes, Qt::Uninitialized);
    qToBigEndian(n, bytes.data());
    return bytes;
}

quint32 readLength(const char* p) {
    return qFromBigEndian<quint32>(p);
}

QString systemError(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

bool fillAddress(const QString& path, sockaddr_un* address, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (name.size() >= qsizetype(sizeof address->sun_path)) {
        *error = QStringLiteral("the socket path is too long: %1").arg(path);
        return false;
    }
    std::memcpy(address->sun_path, name.constData(), size_t(name.size()));
    return true;
}

// The paths of a whole payload, or an error.
bool parsePayload(const QByteArray& payload, QByteArrayList* paths, QString* error) {
    qsizetype at = 0;
    while (at < payload.size()) {
        if (payload.size() - at < kLengthBytes) {
            *error = QStringLiteral("truncated path length");
            return false;
        }
        const quint32 n = readLength(payload.constData() + at);
        at += kLengthBytes;
        if (n == 0 || n > SingleInstance::maxPathBytes || qsizetype(n) > payload.size() - at) {
            *error = QStringLiteral("bad path length %1").arg(n);
            return false;
        }
        const QByteArray path = payload.mid(at, n);
        at += n;
        if (!path.startsWith('/') || path.contains('\0')) {
            *error = QStringLiteral("not an absolute path");
            return false;
        }
        paths->append(path);
    }
    return true;
}

// Called when accept() has just failed for want of descriptors. The sanitizer's dynamic type
// check probes memory through a pipe, which needs two free descriptors, so in exactly this moment
// it would call a sound notifier a bad object; the check is left out of this one call.
#if defined(__GNUC__)
__attribute__((no_sanitize("vptr")))
#endif
void setAccepting(QSocketNotifier* notifier, bool on) {
    notifier->setEnabled(on);
}

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent)
    , socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    if (listenFd_ >= 0) {
        delete notifier_;
        ::close(listenFd_);
        // Ours, since only the lock's holder listens; the next instance would replace it anyway.
        ::unlink(QFile::encodeName(socketPath_).constData());
    }
}

QString SingleInstance::defaultSocketPath(const QString& settingsFile) {
    QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (base.isEmpty() || !QDir::isAbsolutePath(base) || !QFileInfo(base).isDir())
        base = QDir::tempPath();
    const QByteArray key = QCryptographicHash::hash(
        QFile::encodeName(QFileInfo(settingsFile).absoluteFilePath()), QCryptographicHash::Sha256);
    return QDir(base).filePath(QStringLiteral("orvane-%1/instance-%2.sock")
                                   .arg(getuid())
                                   .arg(QString::fromLatin1(key.toHex().left(16))));
}

bool SingleInstance::isPrivateFolder(const QString& folder, QString* error) {
    struct stat st {};
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0) {
        *error = QStringLiteral("%1: %2").arg(folder, systemError(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(folder);
        return false;
    }
    if (st.st_uid != getuid()) {
        *error = QStringLiteral("%1 belongs to another user").arg(folder);
        return false;
    }
    if ((st.st_mode & 07777) != 0700) {
        *error = QStringLiteral("%1 is open to others (mode %2)")
                     .arg(folder)
                     .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return false;
    }
    return true;
}

bool SingleInstance::preparePrivateFolder(const QString& folder, QString* error) {
    const QByteArray name = QFile::encodeName(folder);
    if (::mkdir(name.constData(), 0700) == 0) {
        // Ours: the umask may have taken bits away; 0700 exactly.
        if (::chmod(name.constData(), 0700) != 0) {
            *error = QStringLiteral("%1: %2").arg(folder, systemError(errno));
            return false;
        }
    } else if (errno != EEXIST) {
        *error = QStringLiteral("%1: %2").arg(folder, systemError(errno));
        return false;
    }
    return isPrivateFolder(folder, error);
}

bool SingleInstance::listen() {
    if (listenFd_ >= 0)
        return true;
    const QString folder = QFileInfo(socketPath_).absolutePath();
    sockaddr_un address{};
    if (!preparePrivateFolder(folder, &error_) || !fillAddress(socketPath_, &address, &error_))
        return false;
    // A socket left by an instance that ended: the lock says nobody uses it now.
    struct stat st {};
    if (::lstat(address.sun_path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error_ = QStringLiteral("%1 is not a socket").arg(socketPath_);
            return false;
        }
        ::unlink(address.sun_path);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error_ = systemError(errno);
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(address.sun_path, 0600) != 0 || ::listen(fd, 128) != 0) {
        error_ = QStringLiteral("%1: %2").arg(socketPath_, systemError(errno));
        ::close(fd);
        return false;
    }
    listenFd_ = fd;
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SingleInstance::acceptPending);
    return true;
}

void SingleInstance::acceptPending() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            resumeAccepting();
            auto* socket = new QLocalSocket(this);
            if (!socket->setSocketDescriptor(fd)) {
                ::close(fd);
                delete socket;
                continue;
            }
            serve(socket);
            continue;
        }
        const int err = errno;
        if (err == EINTR || err == ECONNABORTED || err == EPROTO)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            resumeAccepting();
            return;
        }
        // Out of descriptors or memory: the waiting connections stay queued; the server goes
        // on listening and tries again shortly (not at once, which would spin).
        setAccepting(notifier_, false);
        if (!acceptStalled_) {
            acceptStalled_ = true;
            qWarning("orvane: cannot take a hand-over now (%s); will try again", strerror(err));
        }
        QTimer::singleShot(kAcceptRetryMs, this, &SingleInstance::acceptPending);
        return;
    }
}

void SingleInstance::resumeAccepting() {
    if (acceptStalled_) {
        acceptStalled_ = false;
        notifier_->setEnabled(true);
    }
}

void SingleInstance::serve(QLocalSocket* socket) {
    if (connections_.size() >= maxConnections) {
        // The oldest has had the longest to send its message: it is told and its descriptor
        // freed now.
        QLocalSocket* oldest = connections_.takeFirst();
        if (!oldest->property("answered").toBool()) {
            oldest->setProperty("answered", true);
            oldest->write("ERR busy\n");
            oldest->flush();
        }
        oldest->abort();
        oldest->deleteLater();
    }
    connections_.append(socket);
    connect(socket, &QObject::destroyed, this, [this, socket] { connections_.removeOne(socket); });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto answer = [socket](const QByteArray& line) {
        socket->setProperty("answered", true);
        socket->write(line + '\n');
        socket->disconnectFromServer(); // after the answer is written
    };
    QTimer::singleShot(kServeTimeoutMs, socket, [socket, answer] {
        if (!socket->property("answered").toBool())
            answer("ERR timed out before the whole message arrived");
        QTimer::singleShot(2000, socket, [socket] { socket->abort(); });
    });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, answer] {
        if (socket->property("answered").toBool()) {
            socket->readAll();
            return;
        }
        const qsizetype prefix = kHeader.size() + kLengthBytes;
        if (socket->bytesAvailable() < prefix) {
            const QByteArray start = socket->peek(kHeader.size());
            if (!kHeader.startsWith(start))
                answer("ERR not an Orvane hand-over");
            return;
        }
        const QByteArray head = socket->peek(prefix);
        if (!head.startsWith(kHeader)) {
            answer("ERR not an Orvane hand-over");
            return;
        }
        const quint32 length = readLength(head.constData() + kHeader.size());
        if (length > maxPayloadBytes) {
            answer(QStringLiteral("ERR too many files: %1 bytes of paths, at most %2")
                       .arg(length)
                       .arg(maxPayloadBytes)
                       .toUtf8());
            return;
        }
        if (socket->bytesAvailable() < prefix + qsizetype(length))
            return; // the rest is on its way
        socket->skip(prefix);
        const QByteArray payload = socket->read(length);
        QByteArrayList paths;
        QString error;
        if (!parsePayload(payload, &paths, &error)) {
            answer("ERR " + error.toUtf8());
            return;
        }
        answer("OK");
        if (paths.isEmpty()) {
            Q_EMIT raiseRequested();
            return;
        }
        QStringList decoded;
        decoded.reserve(paths.size());
        for (const QByteArray& path : paths)
            decoded.append(decodeFileName(path));
        Q_EMIT filesOpened(decoded);
    });
    if (socket->bytesAvailable() > 0)
        Q_EMIT socket->readyRead();
}

SingleInstance::Handover SingleInstance::handOver(const QByteArrayList& absolutePaths,
                                                  int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray payload;
    for (const QByteArray& path : absolutePaths) {
        if (path.isEmpty() || path.size() > maxPathBytes) {
            error_ = QStringLiteral("a path is empty or too long");
            return Handover::Refused;
        }
        payload += lengthBytes(quint32(path.size())) + path;
    }
    if (payload.size() > maxPayloadBytes) {
        error_ = QStringLiteral("too many files: %1 bytes of paths, at most %2")
                     .arg(payload.size())
                     .arg(maxPayloadBytes);
        return Handover::Refused;
    }
    // Never hand files to a socket in a folder someone else could have made.
    if (!isPrivateFolder(QFileInfo(socketPath_).absolutePath(), &error_))
        return Handover::NoAnswer;
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(int(deadline.remainingTime()))) {
        error_ = socket.errorString();
        return Handover::NoAnswer;
    }
    socket.write(kHeader + lengthBytes(quint32(payload.size())) + payload);
    while (socket.bytesToWrite() > 0) {
        if (deadline.hasExpired() || !socket.waitForBytesWritten(int(deadline.remainingTime())))
            break; // an early answer (an error) may still be waiting to be read
    }
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime()))) {
            error_ = socket.state() == QLocalSocket::ConnectedState
                         ? QStringLiteral("no answer in time")
                         : QStringLiteral("the connection closed without an answer");
            return Handover::NoAnswer;
        }
    }
    const QByteArray line = socket.readLine().trimmed();
    if (line == "OK")
        return Handover::Accepted;
    error_ = QString::fromUtf8(line.startsWith("ERR ") ? line.mid(4) : line);
    return Handover::Refused;
}

bool SingleInstance::forwardToRunning(const QStringList& absolutePaths, int timeoutMs) {
    QByteArrayList paths;
    for (const QString& path : absolutePaths)
        paths.append(QFile::encodeName(path));
    return handOver(paths, timeoutMs) == Handover::Accepted;
}

} // namespace orvane
