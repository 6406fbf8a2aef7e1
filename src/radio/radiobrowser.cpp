#include "radio/radiobrowser.h"

#include <QDeadlineTimer>
#include <QDnsLookup>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRandomGenerator>
#include <QTimer>
#include <algorithm>

namespace orvane {

namespace {

const QUrl kFallbackServer(QStringLiteral("https://de1.api.radio-browser.info"));

bool isTrimmed(QChar c) {
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

// Spaces, tabs and the other Unicode space separators; line breaks stay.
QString trimSpaces(const QString& s) {
    qsizetype begin = 0, end = s.size();
    while (begin < end && isTrimmed(s.at(begin)))
        ++begin;
    while (end > begin && isTrimmed(s.at(end - 1)))
        --end;
    return s.mid(begin, end - begin);
}

bool isHttpAddress(const QString& text) {
    return RadioStation::streamUrl(text).has_value(); // the rule the engine plays by
}

} // namespace

struct RadioBrowser::Search {
    QByteArray encoded;
    QPointer<QObject> context;
    Done done;
    QList<QUrl> servers;
    int next = 0;
    QDeadlineTimer deadline;
};

RadioBrowser::RadioBrowser(QNetworkAccessManager* network, QList<QUrl> servers, QObject* parent)
    : QObject(parent)
    , network_(network)
    , servers_(std::move(servers))
    , discovered_(!servers_.isEmpty()) {}

QByteArray RadioBrowser::encodeQuery(const QString& query) {
    static const QByteArray allowed = "!$&'()*+,-./:=@_~";
    QByteArray out;
    for (const char byte : query.toUtf8()) {
        const auto c = static_cast<unsigned char>(byte);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            allowed.contains(char(c))) {
            out += char(c);
        } else {
            static const char hex[] = "0123456789ABCDEF";
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0f];
        }
    }
    return out;
}

std::optional<QList<RadioStation>> RadioBrowser::decodeAnswer(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return std::nullopt;
    QList<RadioStation> stations;
    for (const QJsonValue& entry : doc.array()) {
        if (!entry.isObject())
            return std::nullopt;
        const QJsonObject o = entry.toObject();
        const QJsonValue name = o.value(QLatin1String("name"));
        const QJsonValue url = o.value(QLatin1String("url_resolved"));
        if (!name.isString() || !url.isString())
            return std::nullopt;
        const QString address = url.toString();
        // Only stream addresses are offered: a catalog entry must never make the player open a
        // local file or another protocol.
        if (address.isEmpty() || !isHttpAddress(address))
            continue;
        stations.append({QUuid::createUuid(), trimSpaces(name.toString()), address});
    }
    return stations;
}

void RadioBrowser::withServers(std::function<void(QList<QUrl>)> then) {
    if (discovered_) {
        then(servers_);
        return;
    }
    // The catalog's operators publish their API servers as an SRV record.
    auto* lookup =
        new QDnsLookup(QDnsLookup::SRV, QStringLiteral("_api._tcp.radio-browser.info"), this);
    connect(lookup, &QDnsLookup::finished, this, [this, lookup, then] {
        lookup->deleteLater();
        if (!discovered_) {
            QList<QUrl> found;
            for (const QDnsServiceRecord& record : lookup->serviceRecords()) {
                QUrl url;
                url.setScheme(QStringLiteral("https"));
                url.setHost(record.target());
                if (url.isValid() && !record.target().isEmpty())
                    found.append(url);
            }
            std::shuffle(found.begin(), found.end(), *QRandomGenerator::global());
            if (!found.contains(kFallbackServer))
                found.append(kFallbackServer);
            servers_ = found;
            discovered_ = true;
        }
        then(servers_);
    });
    QTimer::singleShot(3000, lookup, [lookup] { lookup->abort(); });
    lookup->lookup();
}

void RadioBrowser::search(const QString& query, QObject* context, Done done) {
    auto search = std::make_shared<Search>();
    search->encoded = encodeQuery(query);
    search->context = context;
    search->done = std::move(done);
    search->deadline = QDeadlineTimer(searchDeadlineMs);
    if (search->encoded.isEmpty()) {
        QTimer::singleShot(0, this, [this, search] { finish(search, {}, true); });
        return;
    }
    QTimer::singleShot(0, this, [this, search] {
        withServers([this, search](QList<QUrl> servers) {
            search->servers = std::move(servers);
            attempt(search);
        });
    });
}

void RadioBrowser::attempt(const std::shared_ptr<Search>& search) {
    if (search->next >= search->servers.size() || search->deadline.hasExpired()) {
        finish(search, {}, false);
        return;
    }
    const QUrl base = search->servers.at(search->next++);
    QByteArray address = base.toEncoded(QUrl::StripTrailingSlash);
    address += "/json/stations/byname/" + search->encoded +
               "?limit=25&hidebroken=true&order=votes&reverse=true";
    const QUrl url = QUrl::fromEncoded(address, QUrl::StrictMode);
    if (!url.isValid()) {
        finish(search, {}, false);
        return;
    }
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QByteArrayLiteral("Orvane/") + QByteArray(ORVANE_VERSION));
    request.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = network_->get(request);
    // The whole request, from now, within its own deadline and what is left of the search's.
    auto timedOut = std::make_shared<bool>(false);
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply, timedOut] {
        *timedOut = true;
        reply->abort();
    });
    deadline->start(
        int(std::clamp<qint64>(search->deadline.remainingTime(), 0, requestDeadlineMs)));
    // The size cap, as data arrives: the reply holds at most one byte past it (its network
    // thread stops reading there), and each arrival is looked at (downloadProgress comes at
    // most ten times a second, while a fast server sends megabytes meanwhile).
    auto tooLarge = std::make_shared<bool>(false);
    reply->setReadBufferSize(maxAnswerBytes + 1);
    connect(reply, &QNetworkReply::readyRead, reply, [reply, tooLarge, limit = maxAnswerBytes] {
        if (reply->bytesAvailable() > limit && !*tooLarge) {
            *tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, search, tooLarge, timedOut] {
        reply->deleteLater();
        if (*tooLarge) {
            finish(search, {}, false);
            return;
        }
        // A transport failure (refused, unreachable, closed midway, timed out at any stage,
        // headers included) moves on to the next server; a whole answer, whatever its status,
        // is decoded as it is.
        const QNetworkReply::NetworkError error = reply->error();
        const bool transportFailed = *timedOut || (error != QNetworkReply::NoError && error < 100);
        const bool answered =
            !transportFailed &&
            (error == QNetworkReply::NoError ||
             reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
        if (!answered) {
            attempt(search);
            return;
        }
        std::optional<QList<RadioStation>> stations = decodeAnswer(reply->readAll());
        finish(search, stations.value_or(QList<RadioStation>()), stations.has_value());
    });
}

void RadioBrowser::finish(const std::shared_ptr<Search>& search, QList<RadioStation> stations,
                          bool reached) {
    if (search->context && search->done)
        search->done(std::move(stations), reached);
}

} // namespace orvane
