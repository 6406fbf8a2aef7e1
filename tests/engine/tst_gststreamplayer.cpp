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
    qint64 mp3BytesPerSecond_ = 0; // its bytes over its length
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
        mp3BytesPerSecond_ = mp3_.size() / 4;
        QVERIFY(!mp3_.isEmpty());
        QVERIFY(server_.listen());
        server_.route("/file.mp3", {200, "audio/mpeg", mp3_, HttpTestServer::Mode::Normal});
        server_.route("/live", {200, "audio/mpeg", mp3_, HttpTestServer::Mode::Endless});
        server_.route("/page",
                      {200, "text/html",
                       QByteArray("<html><body>") + QByteArray(20000, 'x') + "</body></html>"});
        server_.route("/drop", {200, "audio/mpeg", mp3_, HttpTestServer::Mode::CloseMidway});
        server_.route("/busy", {503, "text/plain", "try later"});
        server_.route("/loop", {302, "text/plain", {}, HttpTestServer::Mode::RedirectLoop});
        server_.route("/self.pls", {200, "audio/x-scpls", "[playlist]\nFile1=/self.pls\n"});
        server_.route("/empty.m3u", {200, "audio/x-mpegurl", "#EXTM3U\n# nothing\n"});
        server_.route("/huge.pls",
                      {200, "audio/x-scpls", "[playlist]\n" + QByteArray(50'000'000, '\n')});
        server_.route("/endless.pls",
                      {200, "audio/x-scpls", "File1=/live\n", HttpTestServer::Mode::Endless});
        server_.route("/dead.pls",
                      {200, "audio/x-scpls", "[playlist]\nFile1=/gone\nFile2=/page\n"});
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
        // Sent at twice the speed it plays: a title sent now is heard a few seconds later.
        server_.route("/icy", {200, "audio/mpeg", mp3_, HttpTestServer::Mode::Endless,
                               2 * mp3BytesPerSecond_});
        server_.icy("/icy", title);
        auto player = start("/icy");
        QSignalSpy titles(player.get(), &StreamPlayer::streamTitleChanged);
        const auto last = [&] {
            return titles.isEmpty() ? QString() : titles.last().at(0).toString();
        };
        QTRY_COMPARE_WITH_TIMEOUT(last(), QStringLiteral("Кино - Группа крови"), 10000);
        // (The title can come while the first second is still being buffered.)
        QTRY_COMPARE_WITH_TIMEOUT(player->timeControlStatus(), Status::Playing, 10000);

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
        // An empty title: no song on the air now, and the last one is no longer reported, not
        // even by what was queued behind it (on a busy machine the decoders sent that title on
        // again after the demuxer had read the empty one).
        *title = "";
        QTRY_COMPARE_WITH_TIMEOUT(last(), QString(), 30000);
        QCOMPARE(titles.size(), 3);
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
        // (tst_onair reads "Artist - Title" and a bare title through the media controls.)
        QCOMPARE(splitStreamTitle(QStringLiteral(" - x")).title, QStringLiteral(" - x"));
    }

    // What cannot play, playlists that lead nowhere included, ends in a failed item with a
    // reason, never in waiting forever.
    void brokenStreamsFail_data() {
        // The reason the player gives (the window says it); Failure::None: any but none.
        using F = StreamPlayer::Failure;
        using Reason = StreamPlayer::FailureReason;
        QTest::addColumn<QString>("path");
        QTest::addColumn<Reason>("reason");
        QTest::newRow("404") << "/missing" << Reason{F::ServerError, 404};
        QTest::newRow("503") << "/busy" << Reason{F::ServerError, 503};
        QTest::newRow("non-audio body") << "/page" << Reason{F::NotAudio, 0};
        QTest::newRow("refused") << "refused" << Reason{F::Refused, 0};
        QTest::newRow("closed mid-stream") << "/drop" << Reason{};
        QTest::newRow("finite file ends") << "/file.mp3" << Reason{};
        QTest::newRow("redirect loop") << "/loop" << Reason{};
        QTest::newRow("playlist nested more than 3 deep") << "/self.pls" << Reason{};
        QTest::newRow("empty playlist") << "/empty.m3u" << Reason{};
        QTest::newRow("50 MB playlist") << "/huge.pls" << Reason{};
        QTest::newRow("endless playlist") << "/endless.pls" << Reason{};
        QTest::newRow("every playlist entry fails") << "/dead.pls" << Reason{};
    }
    void brokenStreamsFail() {
        QFETCH(QString, path);
        QFETCH(StreamPlayer::FailureReason, reason);
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
        QTRY_COMPARE_WITH_TIMEOUT(player->itemStatus(), Item::Failed, 20000);
        QCOMPARE(player->timeControlStatus(), Status::Paused);
        QVERIFY(!player->lastError().isEmpty());
        qInfo("%s", qPrintable(player->lastError()));
        if (reason.kind != StreamPlayer::Failure::None)
            QVERIFY2(player->failureReason() == reason, qPrintable(player->lastError()));
        else
            QVERIFY(player->failureReason().kind != StreamPlayer::Failure::None);
    }

    // Station links that answer with a playlist: its entries are tried in order (the first a
    // dead one) until one plays; HLS goes to GStreamer's adaptive demuxer.
    void playlistAnswersPlayTheirStreams_data() {
        const QByteArray live = server_.url("/live").toUtf8();
        const QByteArray dead = server_.url("/gone").toUtf8();
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("pls") << QByteArray("audio/x-scpls") << QByteArray("/listen")
                             << "[playlist]\nNumberOfEntries=2\nFile2=" + live + "\nFile1=" + dead +
                                    "\nTitle1=Dead\n";
        QTest::newRow("m3u") << QByteArray("audio/x-mpegurl") << QByteArray("/listen")
                             << "#EXTM3U\n#EXTINF:-1,Gone\n" + dead + "\n#EXTINF:-1,Live\n" + live +
                                    "\n";
        QTest::newRow("xspf") << QByteArray("application/xspf+xml") << QByteArray("/listen")
                              << "<?xml version=\"1.0\"?><playlist version=\"1\" "
                                 "xmlns=\"http://xspf.org/ns/0/\"><trackList><track><location>" +
                                     dead +
                                     "</location></track><track><location>/live"
                                     "</location></track></trackList></playlist>";
        QTest::newRow("asx") << QByteArray("video/x-ms-asf") << QByteArray("/listen")
                             << "<ASX version=\"3.0\"><Entry><Ref HREF=\"" + dead +
                                    "\"/></Entry><ENTRY><REF href='" + live + "'/></ENTRY></ASX>";
        QTest::newRow("pls by its name") << QByteArray("text/plain") << QByteArray("/listen.pls")
                                         << "[playlist]\nFile1=" + dead + "\nFile2=/live\n";
        QTest::newRow("nested") << QByteArray("audio/x-mpegurl") << QByteArray("/outer.m3u")
                                << server_.url("/listen.pls").toUtf8() + "\n";
        QByteArray hls = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:4\n"
                         "#EXT-X-MEDIA-SEQUENCE:0\n";
        for (int i = 0; i < 3; ++i)
            hls += "#EXTINF:4.0,\nsegment" + QByteArray::number(i) + ".mp3\n";
        QTest::newRow("hls") << QByteArray("application/vnd.apple.mpegurl")
                             << QByteArray("/hls/index.m3u8") << hls + "#EXT-X-ENDLIST\n";
    }
    void playlistAnswersPlayTheirStreams() {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        server_.route(path, {200, contentType, body});
        server_.route("/listen.pls", {200, "text/plain", "[playlist]\nFile1=/gone\nFile2=/live\n"});
        // HLS segments of packed audio (MPEG-TS needs plugins this machine may lack): each the
        // MP3 after an ID3 tag with its start on the 90 kHz clock, as HLS wants it.
        for (int i = 0; i < 3; ++i) {
            const auto syncsafe = [](quint32 n) {
                QByteArray b(4, 0);
                for (int k = 0; k < 4; ++k)
                    b[k] = char(n >> (21 - 7 * k) & 0x7f);
                return b;
            };
            QByteArray priv("com.apple.streaming.transportStreamTimestamp", 45);
            const quint64 start = quint64(i) * 4 * 90000;
            for (int shift = 56; shift >= 0; shift -= 8)
                priv += char(start >> shift & 0xff);
            const QByteArray frame =
                "PRIV" + syncsafe(quint32(priv.size())) + QByteArray(2, 0) + priv;
            const QByteArray tag =
                "ID3\x04" + QByteArray(2, 0) + syncsafe(quint32(frame.size())) + frame;
            server_.route("/hls/segment" + QByteArray::number(i) + ".mp3",
                          {200, "audio/mpeg", tag + mp3_});
        }
        const qsizetype before = server_.requests.size();
        auto player = start(QString::fromUtf8(path));
        QTRY_COMPARE_WITH_TIMEOUT(player->timeControlStatus(), Status::Playing, 20000);
        QCOMPARE(player->itemStatus(), Item::ReadyToPlay);
        // The dead entry was asked first (HLS has none).
        const QList<QByteArray> asked = server_.requests.mid(before);
        const auto index = [&](const QByteArray& what) {
            for (qsizetype i = 0; i < asked.size(); ++i) {
                if (asked.at(i).startsWith("GET " + what + " "))
                    return i;
            }
            return qsizetype(-1);
        };
        if (path.startsWith("/hls")) {
            QVERIFY(index("/hls/segment0.mp3") > 0);
        } else {
            QVERIFY(index("/gone") >= 0);
            QVERIFY(index("/gone") < index("/live"));
        }
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
