// The catalog search against a server this test runs on 127.0.0.1.
#include "radio/radiobrowser.h"
#include "support/httptestserver.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTest>
#include <QThread>

using namespace orvane;
using namespace orvane::test;

class TestRadioBrowser : public QObject {
    Q_OBJECT

    QNetworkAccessManager network_;
    HttpTestServer server_;

    static QString apiPath(const QByteArray& encoded) {
        return "/json/stations/byname/" + encoded +
               "?limit=25&hidebroken=true&order=votes&reverse=true";
    }
    bool reached_ = false; // whether the last search got an answer
    // Runs one search and waits for its answer.
    QList<RadioStation> search(RadioBrowser& browser, const QString& query) {
        bool done = false;
        QList<RadioStation> result;
        browser.search(query, this, [&](QList<RadioStation> stations, bool reached) {
            result = std::move(stations);
            reached_ = reached;
            done = true;
        });
        if (!QTest::qWaitFor([&] { return done; }, 20000))
            qFatal("search never finished");
        return result;
    }
    QList<RadioStation> answer(const QByteArray& body, int status = 200) {
        server_.route(apiPath("q").toUtf8(), {status, "application/json", body});
        RadioBrowser browser(&network_, {QUrl(server_.url(""))});
        return search(browser, "q");
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(server_.listen()); }

    void encodesTheQueryByteByByte() {
        // (A space, and the empty query that asks nothing: sendsTheExactRequest.)
        QCOMPARE(RadioBrowser::encodeQuery("a?b#c%d;e"), QByteArray("a%3Fb%23c%25d%3Be"));
        QCOMPARE(RadioBrowser::encodeQuery("AC/DC"), QByteArray("AC/DC"));
        QCOMPARE(RadioBrowser::encodeQuery("Хит"), QByteArray("%D0%A5%D0%B8%D1%82"));
        QCOMPARE(RadioBrowser::encodeQuery("!$&'()*+,-./:=@_~"), QByteArray("!$&'()*+,-./:=@_~"));
    }

    void sendsTheExactRequest() {
        server_.route(
            apiPath("jazz%20fm").toUtf8(),
            {200, "application/json", "[{\"name\":\"Jazz\",\"url_resolved\":\"http://j/s\"}]"});
        RadioBrowser browser(&network_, {QUrl(server_.url(""))});
        const auto stations = search(browser, "jazz fm");
        QCOMPARE(stations.size(), 1);
        const QByteArray request = server_.requests.last();
        QVERIFY2(request.startsWith("GET " + apiPath("jazz%20fm").toUtf8() + " HTTP/1.1"),
                 request.constData());
        QVERIFY(request.contains("User-Agent: Orvane/"));
        // Two searches give fresh ids for the same entry.
        QVERIFY(search(browser, "jazz fm").first().id != stations.first().id);
        // An empty query asks nothing.
        const auto before = server_.requests.size();
        QVERIFY(search(browser, "").isEmpty());
        QCOMPARE(server_.requests.size(), before);
    }

    void decodesStrictly() {
        const auto stations = answer("[{\"name\":\" \\t Radio\\u00a0One "
                                     "\",\"url_resolved\":\"https://one/live \",\"votes\":3},"
                                     "{\"name\":\"\",\"url_resolved\":\"http://two/\"},"
                                     "{\"name\":\"No address\",\"url_resolved\":\"\"},"
                                     "{\"name\":\"Local\",\"url_resolved\":\"file:///etc/passwd\"},"
                                     "{\"name\":\"Line\\n\",\"url_resolved\":\"http://three/\"}]");
        QCOMPARE(stations.size(), 3);
        QCOMPARE(stations.at(0).name, QStringLiteral("Radio\u00a0One"));
        QCOMPARE(stations.at(0).url, QStringLiteral("https://one/live ")); // address unchanged
        QCOMPARE(stations.at(1).name, QString());
        QCOMPARE(stations.at(2).name, QStringLiteral("Line\n")); // line breaks stay

        for (const QByteArray& bad :
             {QByteArray("[{\"name\":\"A\",\"url_resolved\":null}]"),
              QByteArray("[{\"url_resolved\":\"http://a/\"}]"),
              QByteArray("[{\"name\":1,\"url_resolved\":\"http://a/\"}]"),
              QByteArray("{\"name\":\"A\",\"url_resolved\":\"http://a/\"}"),
              QByteArray("[{\"name\":\"A\",\"url_resolved\":\"http://a/\"}, 7]"),
              QByteArray("<html><body>502 Bad Gateway</body></html>")})
            QVERIFY2(answer(bad).isEmpty() && !reached_, bad.constData());
        // A real answer without matches is told apart from a failure.
        QVERIFY(answer("[]").isEmpty() && reached_);
        // The status is not examined: a 500 with a valid body still counts.
        QCOMPARE(answer("[{\"name\":\"A\",\"url_resolved\":\"http://a/\"}]", 500).size(), 1);
    }

    void failsOverAndGivesUpInBoundedTime() {
        server_.route(apiPath("x").toUtf8(), {200, "application/json",
                                              "[{\"name\":\"X\",\"url_resolved\":\"http://x/\"}]"});
        HttpTestServer silent;
        QVERIFY(silent.listen());
        silent.route(apiPath("x").toUtf8(), {200, "", "", HttpTestServer::Mode::NoAnswer});
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QUrl refused(QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()));
        probe.close();

        const auto found = [&](const QList<QUrl>& servers) {
            RadioBrowser browser(&network_, servers);
            browser.timeoutMs = 500;
            return search(browser, "x").size();
        };
        QCOMPARE(found({refused, QUrl(silent.url("")), QUrl(server_.url(""))}), 1);
        QVERIFY(reached_);
        // Every server failing (refused, silent) is not an empty answer.
        QCOMPARE(found({refused, QUrl(silent.url(""))}), 0);
        QVERIFY(!reached_);
    }

    void everyStageHasADeadlineAndATimeOutTriesTheNextServer() {
        const QByteArray body = "[{\"name\":\"X\",\"url_resolved\":\"http://x/\"}]";
        server_.route(apiPath("t").toUtf8(), {200, "application/json", body});
        HttpTestServer trickle, stall;
        QVERIFY(trickle.listen());
        QVERIFY(stall.listen());
        // A byte every 0.2 s is never silent for long: only a whole-request deadline ends it.
        trickle.route(apiPath("t").toUtf8(),
                      {200, "application/json", body, HttpTestServer::Mode::Trickle});
        // Headers, then nothing.
        stall.route(apiPath("t").toUtf8(),
                    {200, "application/json", body, HttpTestServer::Mode::HeadersStall});

        QElapsedTimer took;
        for (HttpTestServer* bad : {&trickle, &stall}) {
            RadioBrowser browser(&network_, {QUrl(bad->url("")), QUrl(server_.url(""))});
            browser.timeoutMs = 1000;
            browser.requestDeadlineMs = 2000;
            took.start();
            const auto stations = search(browser, "t");
            QCOMPARE(stations.size(), 1); // from the next server
            QVERIFY(took.elapsed() < 8000);
        }

        // The search as a whole ends too, however many slow servers there are.
        RadioBrowser slow(&network_, {QUrl(trickle.url("")), QUrl(trickle.url("")),
                                      QUrl(trickle.url("")), QUrl(server_.url(""))});
        slow.timeoutMs = 1000;
        slow.requestDeadlineMs = 2000;
        slow.searchDeadlineMs = 3000;
        took.start();
        QVERIFY(search(slow, "t").isEmpty());
        QVERIFY(took.elapsed() >= 2900);
        QVERIFY(took.elapsed() < 10000);
    }

    void readingStopsAtTheSizeCap() {
        // Below the cap: 3 MB of answer is taken whole.
        QByteArray big = "[";
        while (big.size() < 3 * 1024 * 1024)
            big += "{\"name\":\"N\",\"url_resolved\":\"http://n/\"},";
        QVERIFY(answer(big + "{\"name\":\"N\",\"url_resolved\":\"http://n/\"}]").size() > 1000);

        // 50 MB of answer from a server on a thread of its own, which keeps sending while this
        // thread is busy: the search ends having taken little more than the cap.
        QThread thread;
        QObject there;
        there.moveToThread(&thread);
        thread.start();
        const auto onThread = [&there](auto fn) {
            QMetaObject::invokeMethod(&there, fn, Qt::BlockingQueuedConnection);
        };
        HttpTestServer* flood = nullptr;
        onThread([&] {
            flood = new HttpTestServer;
            QVERIFY(flood->listen());
            flood->route(apiPath("flood").toUtf8(),
                         {200, "application/json", QByteArray(50'000'000, ' '),
                          HttpTestServer::Mode::Paced});
        });
        RadioBrowser browser(&network_, {QUrl(flood->url(""))});
        QVERIFY(search(browser, "flood").isEmpty());
        qint64 sent = 0;
        onThread([&] {
            sent = flood->bodyBytesSent;
            delete flood;
        });
        thread.quit();
        thread.wait();
        qInfo("%lld bytes sent for a cap of %lld", sent, browser.maxAnswerBytes);
        // (The system's socket buffers hold a few megabytes more of what was sent.)
        QVERIFY2(sent < browser.maxAnswerBytes + 4 * 1024 * 1024,
                 qPrintable(QString::number(sent)));
    }
};

QTEST_GUILESS_MAIN(TestRadioBrowser)
#include "tst_radiobrowser.moc"
