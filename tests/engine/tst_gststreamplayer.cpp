// The real stream player against servers this test runs on 127.0.0.1.
#include "core/displaytext.h"
#include "engine/gststreamplayer.h"
#include "radio/streamtitle.h"
#include "support/httptestserver.h"
#include "support/testaudio.h"
#include "support/waits.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace orvane;
using namespace orvane::test;
using Status = StreamPlayer::TimeControlStatus;
using Item = StreamPlayer::ItemStatus;
Q_DECLARE_METATYPE(orvane::StreamPlayer::FailureReason)

class TestGstStreamPlayer : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QByteArray mp3_;
    HttpTestServer server_;

    std::unique_ptr<GstStreamPlayer> start(const QString& path) {
        auto player = std::make_unique<GstStreamPlayer>(QUrl(server_.url(path)));
        player->setVolume(0.5f);
        player->play();
        return player;
    }

private Q_SLOTS:
    void initTestCase() {
        mp3_ = mp3Tone(dir_.filePath("tone.mp3"), 4.0);
        QVERIFY(!mp3_.isEmpty());
        QVERIFY(server_.listen());
        server_.route("/file.mp3", {200, "audio/mpeg", mp3_, HttpTestServer::Mode::Normal});
        server_.route("/live", {200, "audio/mpeg", mp3_, HttpTestServer::Mode::Endless});
        server_.route("/page",
                      {200, "text/html",
                       QByteArray("<html><body>") + QByteArray(20000, 'x') + "</body></html>"});
        server_.route("/drop", {200, "audio/mpeg", mp3_, HttpTestServer::Mode::CloseMidway});
    }

    void servedFileAndEndlessStreamReachPlaying() {
        for (const char* path : {"/file.mp3", "/live"}) {
            auto player = start(path);
            QSignalSpy states(player.get(), &StreamPlayer::timeControlStatusChanged);
            QCOMPARE(player->timeControlStatus(), Status::WaitingToPlayAtSpecifiedRate);
            QTRY_COMPARE_WITH_TIMEOUT(player->timeControlStatus(), Status::Playing, 10000);
            QCOMPARE(player->itemStatus(), Item::ReadyToPlay);
            QVERIFY(!states.isEmpty());
        }
        const QByteArray request = server_.requests.last();
        QVERIFY2(request.contains("User-Agent: Orvane/"), request.constData());
    }

    void endlessStreamPausesAndResumes() {
        auto player = start("/live");
        QTRY_COMPARE_WITH_TIMEOUT(player->timeControlStatus(), Status::Playing, 10000);
        QSignalSpy states(player.get(), &StreamPlayer::timeControlStatusChanged);
        player->pause();
        QCOMPARE(player->timeControlStatus(), Status::Paused);
        // What the pipeline reported while it still played must not claim playing once handled.
        QVERIFY(busesDrained());
        QCOMPARE(player->timeControlStatus(), Status::Paused);
        for (const QList<QVariant>& state : states)
            QVERIFY(state.at(0).value<Status>() != Status::Playing);
        player->play();
        QTRY_COMPARE_WITH_TIMEOUT(player->timeControlStatus(), Status::Playing, 10000);
    }

    void pauseAndPlayTheMomentTheStreamOpensEndsPlaying() {
        // A person pressing pause and play again just as a station opens: the requests land in
        // the middle of the pipeline's own change from its preroll to playing. Play must win.
        for (int round = 0; round < 8; ++round) {
            auto player = start("/live");
            GstStreamPlayer* p = player.get();
            connect(p, &StreamPlayer::itemStatusChanged, p, [p](Item status) {
                if (status != Item::ReadyToPlay)
                    return;
                p->pause();
                p->play();
            });
            QTRY_COMPARE_WITH_TIMEOUT(player->timeControlStatus(), Status::Playing, 10000);
            QCOMPARE(player->itemStatus(), Item::ReadyToPlay);
        }
    }

    void icyTitlesAreReadCleanedAndFollowed() {
        auto title = std::make_shared<QByteArray>("Кино - Группа крови");
        server_.route("/icy", {200, "audio/mpeg", mp3_, HttpTestServer::Mode::Endless});
        server_.icy("/icy", title);
        auto player = start("/icy");
        QSignalSpy titles(player.get(), &StreamPlayer::streamTitleChanged);
        const auto last = [&] {
            return titles.isEmpty() ? QString() : titles.last().at(0).toString();
        };
        QTRY_COMPARE_WITH_TIMEOUT(last(), QStringLiteral("Кино - Группа крови"), 10000);
        QCOMPARE(player->timeControlStatus(), Status::Playing);

        // A hostile change: control sequences, a run of spaces, bytes that are not UTF-8, and
        // as long as ICY allows. (What was sent before it is still queued for playing, so it
        // arrives seconds later.)
        *title = "Artist\x01 \x1b[31m  - \tSong \xff" + QByteArray(3000, 'x');
        QTRY_COMPARE_WITH_TIMEOUT(last().size(), 512, 30000);
        // Meanwhile the first title came again and again, in every metadata block, and the
        // station's own name (icy-name) too: neither was reported again.
        QCOMPARE(titles.size(), 2);
        QVERIFY2(last().startsWith(QStringLiteral("Artist - Song ")), qPrintable(last()));
        for (const QChar c : last())
            QVERIFY(c.category() != QChar::Other_Control);
    }

    void streamTitlesAreCleaned() {
        QCOMPARE(cleanDisplayText(QStringLiteral("  a\u0007b \n\t c\u202e ")),
                 QStringLiteral("ab c"));
        // A line break is a space; an escape sequence goes whole, not just its ESC.
        QCOMPARE(cleanDisplayText(QStringLiteral("One\r\nTwo\nThree")),
                 QStringLiteral("One Two Three"));
        QCOMPARE(cleanDisplayText(QStringLiteral("\x1b[1;31mRed\x1b[0m \x1b(BSong\x1b]2;t\x1b\\!")),
                 QStringLiteral("Red Song!"));
        QCOMPARE(cleanDisplayText(QStringLiteral("\u009b31mRed\x1b")), QStringLiteral("Red"));
        const QString longest = QString(kMaxDisplayTextLength - 1, QLatin1Char('x'));
        // A character outside the basic plane is never cut in half.
        QCOMPARE(cleanDisplayText(longest + QStringLiteral("\U0001F3B5tail")), longest);
        // Nor does the cap leave a space at the end.
        QCOMPARE(cleanDisplayText(longest + QStringLiteral(" tail")), longest);
        QCOMPARE(splitStreamTitle(QStringLiteral("Кино - Группа крови")).artist,
                 QStringLiteral("Кино"));
        QCOMPARE(splitStreamTitle(QStringLiteral("Кино - Группа крови")).title,
                 QStringLiteral("Группа крови"));
        QCOMPARE(splitStreamTitle(QStringLiteral("Jingle")).artist, QString());
        QCOMPARE(splitStreamTitle(QStringLiteral(" - x")).title, QStringLiteral(" - x"));
    }

    void brokenStreamsFail_data() {
        // The reason the player gives (the window says it); Failure::None: not looked at.
        using F = StreamPlayer::Failure;
        QTest::addColumn<QString>("path");
        QTest::addColumn<StreamPlayer::FailureReason>("reason");
        QTest::newRow("404") << "/missing" << StreamPlayer::FailureReason{F::ServerError, 404};
        QTest::newRow("503") << "/busy" << StreamPlayer::FailureReason{F::ServerError, 503};
        QTest::newRow("non-audio body") << "/page" << StreamPlayer::FailureReason{F::NotAudio, 0};
        QTest::newRow("refused") << "refused" << StreamPlayer::FailureReason{F::Refused, 0};
        QTest::newRow("closed mid-stream") << "/drop" << StreamPlayer::FailureReason{};
        QTest::newRow("finite file ends") << "/file.mp3" << StreamPlayer::FailureReason{};
    }
    void brokenStreamsFail() {
        QFETCH(QString, path);
        QFETCH(StreamPlayer::FailureReason, reason);
        server_.route("/busy", {503, "text/plain", "try later"});
        std::unique_ptr<GstStreamPlayer> player;
        if (path == QLatin1String("refused")) {
            QTcpServer probe; // a port nothing listens on any more
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            const QUrl url(QStringLiteral("http://127.0.0.1:%1/live").arg(probe.serverPort()));
            probe.close();
            player = std::make_unique<GstStreamPlayer>(url);
            player->play();
        } else {
            player = start(path);
        }
        QTRY_COMPARE_WITH_TIMEOUT(player->itemStatus(), Item::Failed, 15000);
        QCOMPARE(player->timeControlStatus(), Status::Paused);
        QVERIFY(!player->lastError().isEmpty());
        if (reason.kind != StreamPlayer::Failure::None)
            QVERIFY2(player->failureReason() == reason, qPrintable(player->lastError()));
        else
            QVERIFY(player->failureReason().kind != StreamPlayer::Failure::None);
    }

    void aFailedPlayerReconnectsWhenAskedToPlay() {
        // The same player, asked to play again after a failure, connects again from scratch.
        server_.route("/flaky", {404, "text/plain", "gone"});
        auto flaky = start("/flaky");
        QTRY_COMPARE_WITH_TIMEOUT(flaky->itemStatus(), Item::Failed, 15000);
        server_.route("/flaky", {200, "audio/mpeg", mp3_, HttpTestServer::Mode::Endless});
        flaky->play();
        QTRY_COMPARE_WITH_TIMEOUT(flaky->timeControlStatus(), Status::Playing, 10000);
        QCOMPARE(flaky->itemStatus(), Item::ReadyToPlay);
    }
};

QTEST_GUILESS_MAIN(TestGstStreamPlayer)
#include "tst_gststreamplayer.moc"
