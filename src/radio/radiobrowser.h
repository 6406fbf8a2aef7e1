#pragma once

#include "radio/radiostation.h"

#include <QList>
#include <QObject>
#include <QUrl>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace orvane {

// Station search in the public Radio Browser catalog. One GET per search on the first server
// that answers; every failure ends in an empty list, told apart from an answer without matches. Main thread only; results are delivered
// there, always after search() has returned.
class RadioBrowser : public QObject {
    Q_OBJECT
public:
    // `servers`: base addresses to try in order (tests pass a loopback server). Empty: the
    // catalog's own servers, found through its DNS record and shuffled, with a fixed fallback.
    explicit RadioBrowser(QNetworkAccessManager* network, QList<QUrl> servers = {},
                          QObject* parent = nullptr);

    // `reached`: an answer came and was read (empty when nothing matched); false when every
    // server failed (no connection, time-outs, a page that is not the catalog's answer).
    using Done = std::function<void(QList<RadioStation> stations, bool reached)>;
    void search(const QString& query, QObject* context, Done done);

    // Percent-encoding for a path segment: letters, digits and !$&'()*+,-./:=@_~ stay, every
    // other UTF-8 byte becomes %XX with upper-case hex.
    static QByteArray encodeQuery(const QString& query);
    // The whole answer, strictly: an array of objects with string members name and
    // url_resolved. Entries without an address, or whose address is not http or https, are
    // dropped; names are trimmed; ids are fresh.
    static std::optional<QList<RadioStation>> decodeAnswer(const QByteArray& body);

    // A search always ends: a request gets timeoutMs of silence and requestDeadlineMs in all
    // (a server trickling a byte a second counts); the search gets searchDeadlineMs in all,
    // across servers. A time-out at any stage moves on to the next server, as a refused
    // connection does.
    int timeoutMs = 10000;
    int requestDeadlineMs = 10000;
    int searchDeadlineMs = 15000;
    qint64 maxAnswerBytes = 4 * 1024 * 1024; // a larger answer is abandoned

private:
    struct Search;
    void withServers(std::function<void(QList<QUrl>)> then);
    void attempt(const std::shared_ptr<Search>& search);
    void finish(const std::shared_ptr<Search>& search, QList<RadioStation> stations,
                bool reached);

    QNetworkAccessManager* network_;
    QList<QUrl> servers_;
    bool discovered_ = false;
};

} // namespace orvane
