#include "radio/streamlookup.h"

#include "radio/playlistparser.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace orvane {

namespace {

using Kind = PlaylistParser::Kind;

// Bytes enough to tell a playlist from audio when the type said nothing.
constexpr qsizetype kSniffBytes = 4096;

StreamLookup::Result stream(const QUrl& url, bool adaptive = false) {
    return {StreamLookup::Result::Type::Stream, url, adaptive, {}, {}};
}

StreamLookup::Result failed(const QString& reason,
                           StreamLookup::Result::Cause cause = StreamLookup::Result::Cause::Other,
                           int httpStatus = 0) {
    return {StreamLookup::Result::Type::Failed, {}, false, {}, reason, cause, httpStatus};
}

StreamLookup::Result::Cause causeOf(QNetworkReply::NetworkError error) {
    using Cause = StreamLookup::Result::Cause;
    switch (error) {
    case QNetworkReply::HostNotFoundError:
        return Cause::NotFound;
    case QNetworkReply::ConnectionRefusedError:
        return Cause::Refused;
    case QNetworkReply::TimeoutError:
        return Cause::TimedOut;
    default:
        return Cause::Other;
    }
}

} // namespace

StreamLookup::StreamLookup(QNetworkAccessManager* network, const QUrl& url,
                           const QByteArray& userAgent, int timeoutMs, QObject* parent)
    : QObject(parent)
    , network_(network)
    , url_(url)
    , userAgent_(userAgent) {
    deadline_.setSingleShot(true);
    deadline_.setInterval(timeoutMs);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        report(failed(QStringLiteral("the station did not answer within %1 s")
                          .arg(deadline_.interval() / 1000),
                      Result::Cause::TimedOut));
    });
}

StreamLookup::~StreamLookup() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
    }
}

void StreamLookup::start() {
    QNetworkRequest request(url_);
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent_);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    deadline_.start();
    reply_ = network_->get(request);
    reply_->setReadBufferSize(kMaxPlaylistBytes + 1);
    connect(reply_, &QNetworkReply::metaDataChanged, this, &StreamLookup::onHeaders);
    connect(reply_, &QIODevice::readyRead, this, &StreamLookup::onData);
    connect(reply_, &QNetworkReply::finished, this, &StreamLookup::onFinished);
}

void StreamLookup::onHeaders() {
    if (done_ || !reply_ || reading_)
        return;
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status < 400)
        return; // a redirect being followed
    if (status >= 400)
        return; // told when the reply finishes (Qt has an error of its own to report first)
    const QByteArray type = reply_->rawHeader("Content-Type");
    Kind kind = PlaylistParser::kindOfContentType(type);
    if (kind == Kind::Hls) {
        report(stream(url_, true));
        return;
    }
    if (kind == Kind::None) {
        if (!PlaylistParser::isGenericContentType(type)) {
            report(stream(url_)); // audio, or something the player will refuse itself
            return;
        }
        kind = PlaylistParser::kindOfName(reply_->url().path());
        if (kind == Kind::None)
            kind = PlaylistParser::kindOfName(url_.path());
    }
    // ASF media shares ASX's type, and a generic type without a telling name may be anything:
    // the first bytes decide.
    sniffing_ = kind == Kind::None || kind == Kind::Asx;
    kind_ = int(kind);
    reading_ = true;
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (!sniffing_ && length.isValid() && length.toLongLong() > kMaxPlaylistBytes) {
        report(failed(QStringLiteral("the playlist is larger than 64 KiB")));
        return;
    }
    onData();
}

void StreamLookup::onData() {
    if (done_ || !reply_ || !reading_)
        return;
    body_ += reply_->read(kMaxPlaylistBytes + 1 - body_.size());
    if (sniffing_ && body_.size() >= kSniffBytes)
        decideFromBytes();
    if (!done_ && !sniffing_ && body_.size() > kMaxPlaylistBytes)
        report(failed(QStringLiteral("the playlist is larger than 64 KiB")));
}

void StreamLookup::decideFromBytes() {
    sniffing_ = false;
    Kind sniffed = PlaylistParser::sniff(body_);
    // A bare list of addresses, without "#EXTM3U", is an M3U too.
    if (sniffed == Kind::None && Kind(kind_) == Kind::None &&
        (body_.trimmed().startsWith("http://") || body_.trimmed().startsWith("https://")))
        sniffed = Kind::M3u;
    if (sniffed != Kind::None) {
        kind_ = int(sniffed);
        return;
    }
    report(stream(url_)); // audio after all
}

void StreamLookup::onFinished() {
    if (done_ || !reply_)
        return;
    const QNetworkReply::NetworkError error = reply_->error();
    if (error == QNetworkReply::TooManyRedirectsError ||
        error == QNetworkReply::InsecureRedirectError) {
        report(failed(QStringLiteral("the station's address redirects in a loop")));
        return;
    }
    if (error != QNetworkReply::NoError) {
        const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 400 || !reading_) {
            // An answer Qt cannot read as HTTP (an old Shoutcast "ICY 200 OK", say) is the
            // player's to try; a refused connection or an unknown host is not worth a second try.
            if (status == 0 && (error == QNetworkReply::ProtocolFailure ||
                                error == QNetworkReply::UnknownNetworkError ||
                                error == QNetworkReply::ProtocolUnknownError)) {
                report(stream(url_));
                return;
            }
            report(
                failed(status >= 400
                           ? QStringLiteral("the station answered %1 %2")
                                 .arg(status)
                                 .arg(reply_->attribute(QNetworkRequest::HttpReasonPhraseAttribute)
                                          .toString())
                           : reply_->errorString(),
                       status >= 400 ? Result::Cause::ServerError : causeOf(error), status));
            return;
        }
    }
    if (!reading_) { // finished without headers worth reading (an empty answer)
        report(stream(url_));
        return;
    }
    body_ += reply_->read(kMaxPlaylistBytes + 1 - body_.size());
    if (body_.size() > kMaxPlaylistBytes) {
        report(failed(QStringLiteral("the playlist is larger than 64 KiB")));
        return;
    }
    if (sniffing_) {
        decideFromBytes();
        if (done_)
            return;
    }
    Kind kind = Kind(kind_);
    if (kind == Kind::M3u && PlaylistParser::sniff(body_) == Kind::Hls)
        kind = Kind::Hls;
    if (kind == Kind::Hls) {
        report(stream(url_, true));
        return;
    }
    const bool uriReference = kind == Kind::Xspf || kind == Kind::Asx;
    Result result;
    result.type = Result::Type::Playlist;
    for (const PlaylistParser::Entry& entry :
         PlaylistParser::parse(kind, body_, false, kMaxPlaylistBytes)) {
        const QUrl url = PlaylistParser::resolve(entry.location, reply_->url(), uriReference);
        if (url.isValid() && !url.scheme().isEmpty() && !url.isLocalFile())
            result.entries.append(url);
    }
    if (result.entries.isEmpty()) {
        report(failed(QStringLiteral("the playlist lists no streams")));
        return;
    }
    report(std::move(result));
}

void StreamLookup::report(Result result) {
    if (done_)
        return;
    done_ = true;
    deadline_.stop();
    if (reply_) {
        reply_->disconnect(this);
        if (!reply_->isFinished())
            reply_->abort();
        reply_->deleteLater();
        reply_ = nullptr;
    }
    Q_EMIT finished(result); // the receiver may delete this lookup: nothing after
}

} // namespace orvane
