#include "support/httptestserver.h"

#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <memory>

namespace orvane::test {

HttpTestServer::HttpTestServer(QObject* parent)
    : QObject(parent) {
    connect(&server_, &QTcpServer::newConnection, this, &HttpTestServer::onConnection);
}

bool HttpTestServer::listen() {
    return server_.listen(QHostAddress::LocalHost, 0);
}

QString HttpTestServer::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void HttpTestServer::onConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        auto* buffer = new QByteArray;
        connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0 || socket->property("answered").toBool())
                return;
            socket->setProperty("answered", true);
            requests.append(buffer->left(end));
            const QList<QByteArray> words = buffer->left(buffer->indexOf("\r\n")).split(' ');
            const QByteArray path = words.size() > 1 ? words.at(1) : QByteArray("/");
            const Route route = routes_.value(path, Route{404, "text/plain", "not found"});
            if (route.mode == Mode::NoAnswer)
                return;
            if (route.mode == Mode::EndlessHeader) {
                socket->write("HTTP/1.0 200 OK\r\nContent-Type: " + route.contentType + "\r\n");
                auto* timer = new QTimer(socket);
                connect(timer, &QTimer::timeout, socket, [socket] {
                    if (socket->bytesToWrite() < 64 * 1024)
                        socket->write("X-Padding: " + QByteArray(1000, 'x') + "\r\n");
                });
                timer->start(5);
                return;
            }
            if (route.mode == Mode::RedirectLoop) {
                socket->write("HTTP/1.0 302 Found\r\nLocation: " + path +
                              "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                socket->disconnectFromHost();
                return;
            }
            QByteArray head = "HTTP/1.0 " + QByteArray::number(route.status) + " X\r\n" +
                              "Content-Type: " + route.contentType + "\r\n";
            if (route.mode != Mode::Endless && route.mode != Mode::StallLater &&
                route.mode != Mode::Paced)
                head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
            const std::shared_ptr<QByteArray> icyTitle = icyTitles_.value(path);
            if (icyTitle)
                head += "icy-name: The Test Station\r\nicy-metaint: " +
                        QByteArray::number(kIcyInterval) + "\r\n";
            head += "Connection: close\r\n\r\n";
            socket->write(head);
            switch (route.mode) {
            case Mode::Normal:
                socket->write(route.body);
                socket->disconnectFromHost();
                break;
            case Mode::CloseMidway:
                socket->write(route.body.left(route.body.size() / 2));
                QTimer::singleShot(300, socket, [socket] { socket->abort(); });
                break;
            case Mode::StallLater:
                socket->write(route.body);
                break;
            case Mode::Trickle: {
                auto* timer = new QTimer(socket);
                qsizetype offset = 0;
                connect(timer, &QTimer::timeout, socket, [socket, route, offset]() mutable {
                    if (offset < route.body.size())
                        socket->write(route.body.mid(offset++, 1));
                });
                timer->start(200); // never silent for long, never done in a test's time
                break;
            }
            case Mode::Endless: {
                auto* timer = new QTimer(socket);
                qsizetype offset = 0;
                qsizetype sinceMeta = 0; // audio bytes since the last ICY metadata block
                connect(timer, &QTimer::timeout, socket,
                        [socket, route, icyTitle, offset, sinceMeta]() mutable {
                            if (route.body.isEmpty() || socket->bytesToWrite() > 64 * 1024)
                                return;
                            QByteArray chunk;
                            qsizetype audio = 0;
                            // A tick is 20 ms.
                            const qsizetype perTick =
                                route.bytesPerSecond > 0
                                    ? std::max<qsizetype>(1, route.bytesPerSecond / 50)
                                    : 16 * 1024;
                            while (audio < perTick) {
                                qsizetype want = perTick - audio;
                                if (icyTitle)
                                    want = std::min(want, kIcyInterval - sinceMeta);
                                const QByteArray piece = route.body.mid(offset, want);
                                chunk += piece;
                                audio += piece.size();
                                offset = (offset + piece.size()) % route.body.size();
                                sinceMeta += piece.size();
                                if (icyTitle && sinceMeta == kIcyInterval) {
                                    QByteArray meta = "StreamTitle='" + *icyTitle + "';";
                                    const int blocks = int((meta.size() + 15) / 16);
                                    meta.resize(blocks * 16, '\0');
                                    chunk += char(blocks) + meta;
                                    sinceMeta = 0;
                                }
                            }
                            socket->write(chunk);
                        });
                timer->start(20);
                break;
            }
            case Mode::Paced: {
                // A small send buffer, so what counts as sent is close to what the client read.
                socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);
                auto* timer = new QTimer(socket);
                auto offset = std::make_shared<qsizetype>(0);
                connect(socket, &QTcpSocket::bytesWritten, this, [this, socket](qint64 n) {
                    // Header bytes came first: only what follows the head is the body.
                    const qint64 head = socket->property("head").toLongLong();
                    const qint64 body = std::max<qint64>(0, n - head);
                    socket->setProperty("head", std::max<qint64>(0, head - n));
                    bodyBytesSent += body;
                });
                socket->setProperty("head", qint64(head.size()));
                connect(timer, &QTimer::timeout, socket, [socket, route, offset] {
                    if (socket->bytesToWrite() > 0)
                        return;
                    if (*offset >= route.body.size()) {
                        socket->disconnectFromHost(); // the end of an answer without a length
                        return;
                    }
                    const QByteArray piece = route.body.mid(*offset, 256 * 1024);
                    *offset += piece.size();
                    socket->write(piece);
                });
                timer->start(1);
                break;
            }
            case Mode::HeadersStall:
            case Mode::NoAnswer:
            case Mode::EndlessHeader:
            case Mode::RedirectLoop:
                break;
            }
        });
    }
}

} // namespace orvane::test
