#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTcpServer>
#include <memory>

namespace orvane::test {

// A small HTTP/1.0 server on 127.0.0.1 for stream and catalog tests. Runs on the thread's
// event loop. Each path answers in one of a few ways.
class HttpTestServer : public QObject {
    Q_OBJECT
public:
    enum class Mode {
        Normal,        // status, headers and the whole body, then close
        Endless,       // the body repeated forever, paced, no length
        CloseMidway,   // announces the body's length, sends half of it, closes
        NoAnswer,      // accepts and never answers
        StallLater,    // the body once without a length, then nothing, connection kept open
        EndlessHeader, // a status line, then header lines forever, paced
        RedirectLoop,  // 302 to the same path, every time
        Trickle,       // status and headers with the length, then the body a byte at a time
        HeadersStall,  // status and headers with the length, then nothing, connection kept
        Paced,         // status and headers without a length, then the body in 256 KiB pieces,
                       // one a millisecond while the client keeps up; counted in bodyBytesSent
    };
    struct Route {
        int status = 200;
        QByteArray contentType = "application/octet-stream";
        QByteArray body;
        Mode mode = Mode::Normal;
        // Endless: at most so many body bytes a second (0: as fast as the client takes them),
        // so that what the client holds ahead of its playing stays a few seconds.
        qint64 bytesPerSecond = 0;
    };
    static constexpr int kIcyInterval = 8192;

    explicit HttpTestServer(QObject* parent = nullptr);
    bool listen(); // on a free port
    quint16 port() const { return server_.serverPort(); }
    QString url(const QString& path) const;
    void route(const QByteArray& path, Route route) { routes_.insert(path, std::move(route)); }
    // An Endless route that also sends ICY metadata every kIcyInterval bytes, announced with
    // "icy-metaint", carrying the title's value at that moment (the test may change it while
    // the stream runs).
    void icy(const QByteArray& path, std::shared_ptr<QByteArray> title) {
        icyTitles_.insert(path, std::move(title));
    }
    // Request lines and headers received, in order.
    QList<QByteArray> requests;
    // Body bytes of Paced routes the system took from the server's sockets.
    qint64 bodyBytesSent = 0;

private:
    void onConnection();
    QTcpServer server_;
    QHash<QByteArray, Route> routes_;
    QHash<QByteArray, std::shared_ptr<QByteArray>> icyTitles_;
};

} // namespace orvane::test
