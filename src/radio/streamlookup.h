#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

namespace orvane {

// One look at a station's address before it is played: is the answer a stream, or a playlist
// (.pls, .m3u, .xspf, ASX: by its Content-Type, or by the address's extension or the first bytes
// when the type is generic) whose entries are to be tried? A stream's answer is dropped as soon
// as its headers say so; a playlist is read whole, at most kMaxPlaylistBytes. HLS counts as a
// stream: GStreamer's adaptive demuxer plays it. Reports exactly once, within `timeoutMs`.
// Main thread.
class StreamLookup : public QObject {
    Q_OBJECT
public:
    struct Result {
        enum class Type { Stream, Playlist, Failed };
        Type type = Type::Failed;
        QUrl url;              // Stream: the address to play
        bool adaptive = false; // Stream: HLS, for a pipeline that takes adaptive demuxers
        QList<QUrl> entries;   // Playlist: its entries, absolute, in order
        QString reason;        // Failed: what went wrong, in plain words
        // Failed: what the network said, for the window's reason (address not found, refused,
        // timed out, server error N).
        enum class Cause { Other, NotFound, Refused, TimedOut, ServerError };
        Cause cause = Cause::Other;
        int httpStatus = 0; // ServerError: the status
    };
    static constexpr qsizetype kMaxPlaylistBytes = 64 * 1024;
    static constexpr int kMaxRedirects = 8;

    StreamLookup(QNetworkAccessManager* network, const QUrl& url, const QByteArray& userAgent,
                 int timeoutMs, QObject* parent = nullptr);
    ~StreamLookup() override;

    void start();

Q_SIGNALS:
    void finished(const orvane::StreamLookup::Result& result);

private:
    void onHeaders();
    void onData();
    void onFinished();
    void report(Result result);
    void decideFromBytes();

    QNetworkAccessManager* network_;
    QUrl url_;
    QByteArray userAgent_;
    QTimer deadline_;
    QPointer<QNetworkReply> reply_;
    QByteArray body_;
    int kind_ = 0;          // PlaylistParser::Kind once known to be a playlist
    bool sniffing_ = false; // the type said nothing: the first bytes decide
    bool reading_ = false;  // the headers named a playlist (or a sniff is due)
    bool done_ = false;
};

} // namespace orvane
