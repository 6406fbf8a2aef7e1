// Reading tracks from files the test generates and tags with TagLib, and from hostile files.
#include "core/displaytext.h"
#include "engine/gstfileplayer.h"
#include "engine/gstsupport.h"
#include "engine/track.h"
#include "support/files.h"
#include "support/tagwriter.h"
#include "support/testaudio.h"

#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;

class TestTrackLoad : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    // Written anew each time: an earlier row's tags go.
    QString generate(AudioFormat format, const QString& name, double seconds = 2.0) {
        QFile::remove(dir_.filePath(name + "." + extension(format)));
        return toneFile(dir_, name + "." + extension(format), format, seconds);
    }
    static Track load(const QString& path, const QString& lang = "en") {
        return Track::load(QUrl::fromLocalFile(path), lang);
    }

private Q_SLOTS:
    void readsTagsPictureAndFormatOfEveryFormat_data() {
        QTest::addColumn<AudioFormat>("format");
        QTest::addColumn<QString>("type"); // as the technical line names it
        QTest::addColumn<int>("kHz");
        QTest::newRow("mp3") << AudioFormat::Mp3 << "MP3" << 44;
        QTest::newRow("m4a") << AudioFormat::M4a << "M4A" << 44;
        QTest::newRow("flac") << AudioFormat::Flac << "FLAC" << 44;
        QTest::newRow("wav") << AudioFormat::Wav << "WAV" << 44;
        QTest::newRow("aiff") << AudioFormat::Aiff << "AIFF" << 44;
        QTest::newRow("ogg") << AudioFormat::Ogg << "OGG" << 44;
        QTest::newRow("opus") << AudioFormat::Opus << "OPUS" << 48; // always decoded at 48 kHz
        QTest::newRow("wv") << AudioFormat::Wv << "WV" << 44;
    }
    void readsTagsPictureAndFormatOfEveryFormat() {
        QFETCH(AudioFormat, format);
        QFETCH(QString, type);
        QFETCH(int, kHz);
        const QString path = generate(format, "tagged");
        const QByteArray cover = pngBytes(64, 48);
        QVERIFY(writeTags(path, {"Звезда по имени Солнце", "Кино", cover}));
        const Track t = load(path);
        QCOMPARE(t.title, QStringLiteral("Звезда по имени Солнце"));
        QCOMPARE(t.artist, QStringLiteral("Кино"));
        QCOMPARE(t.artwork, cover);
        QVERIFY2(std::abs(t.duration - 2.0) < 0.1, qPrintable(QString::number(t.duration)));
        const qint64 kbps = qint64(QFileInfo(path).size() * 8.0 / t.duration / 1000.0);
        QCOMPARE(t.info(),
                 QStringLiteral("%1 · %2 kbps · %3 kHz · Stereo").arg(type).arg(kbps).arg(kHz));
        QVERIFY(!t.bookmark);
        QVERIFY(load(path).id != t.id); // every load is a new track
        // The length the list shows is the one the player ends at.
        QString problem;
        auto player = GstFilePlayer::open(path, &problem);
        QVERIFY2(player, qPrintable(problem));
        player->setVolume(0.0f);
        player->play(); // GStreamer measures an MP3 without a frame count as it plays
        QTRY_VERIFY_WITH_TIMEOUT(player->duration() > 0, 10000);
        QVERIFY2(
            std::abs(t.duration - player->duration()) < 0.05,
            qPrintable(QStringLiteral("%1 against %2").arg(t.duration).arg(player->duration())));
        player.reset();

        // Tags are cleaned and capped like station titles: a terminal's colour and title
        // sequences, a bell, a right-to-left override, line breaks, and an artist of two million
        // characters.
        const QString title = QStringLiteral("\x1b[31mRed\x1b[0m\u0007 Song\r\nLine\u202eTwo"
                                             "\x1b]0;pwned\u0007!");
        QVERIFY(writeTags(path, {title, QStringLiteral("Band ") + QString(2'000'000, 'x'), {}}));
        const Track hostile = load(path);
        QCOMPARE(hostile.title, QStringLiteral("Red Song LineTwo!"));
        QCOMPARE(hostile.artist.size(), kMaxDisplayTextLength);
        QVERIFY(hostile.artist.startsWith(QStringLiteral("Band xxx")));
    }

    // Levelling's gains, each format as its taggers write them.
    void readsLoudnessGainsOfEveryFormat_data() {
        QTest::addColumn<AudioFormat>("format");
        QTest::addColumn<bool>("ape");
        QTest::addColumn<QStringList>("fields"); // key=value
        QTest::addColumn<QList<double>>("gain"); // track, track peak, album, album peak
        const QStringList all{"REPLAYGAIN_TRACK_GAIN=-6.50 dB", "REPLAYGAIN_TRACK_PEAK=0.988525",
                              "REPLAYGAIN_ALBUM_GAIN=+2.25 dB", "REPLAYGAIN_ALBUM_PEAK=1.020000"};
        const QList<double> expected{-6.5, 0.988525, 2.25, 1.02};
        const double none = NAN;
        QTest::newRow("mp3 ID3v2 TXXX") << AudioFormat::Mp3 << false << all << expected;
        QTest::newRow("mp3 APE") << AudioFormat::Mp3 << true << all << expected;
        QTest::newRow("wav ID3v2 TXXX") << AudioFormat::Wav << false << all << expected;
        QTest::newRow("flac Vorbis comments") << AudioFormat::Flac << false << all << expected;
        QTest::newRow("ogg Vorbis comments") << AudioFormat::Ogg << false << all << expected;
        QTest::newRow("wv APE") << AudioFormat::Wv << false << all << expected;
        QTest::newRow("m4a freeform atoms") << AudioFormat::M4a << false << all << expected;
        // Q7.8 dB relative to -23 LUFS: -2560 is -10 dB there, -5 dB to -18 LUFS.
        QTest::newRow("opus R128") << AudioFormat::Opus << false
                                   << QStringList{"R128_TRACK_GAIN=-2560", "R128_ALBUM_GAIN=384"}
                                   << QList<double>{-5.0, none, 6.5, none};
        QTest::newRow("track gain only") << AudioFormat::Flac << false
                                         << QStringList{"REPLAYGAIN_TRACK_GAIN=-1.00 dB"}
                                         << QList<double>{-1.0, none, none, none};
        QTest::newRow("nonsense") << AudioFormat::Ogg << false
                                  << QStringList{"REPLAYGAIN_TRACK_GAIN=loud",
                                                 "REPLAYGAIN_TRACK_PEAK=-1", "R128_TRACK_GAIN=9e9",
                                                 "REPLAYGAIN_ALBUM_GAIN=inf dB"}
                                  << QList<double>{none, none, none, none};
        QTest::newRow("none") << AudioFormat::Mp3 << false << QStringList{}
                              << QList<double>{none, none, none, none};
    }
    void readsLoudnessGainsOfEveryFormat() {
        QFETCH(AudioFormat, format);
        QFETCH(bool, ape);
        QFETCH(QStringList, fields);
        QFETCH(QList<double>, gain);
        const QString path = generate(format, "gains");
        QList<std::pair<QString, QString>> pairs;
        for (const QString& field : fields)
            pairs.append({field.section('=', 0, 0), field.section('=', 1)});
        QVERIFY(writeFields(path, pairs, ape));
        const Track::Gain read = load(path).gain;
        const QList<double> got{read.track, read.trackPeak, read.album, read.albumPeak};
        for (int i = 0; i < 4; ++i)
            QVERIFY2(std::isnan(gain[i]) ? std::isnan(got[i]) : std::abs(got[i] - gain[i]) < 1e-4,
                     qPrintable(QStringLiteral("field %1: %2").arg(i).arg(got[i])));
        if (QTest::currentDataTag() == QLatin1String("mp3 ID3v2 TXXX")) {
            // -6.5 dB as it is; +2.25 dB would take the album's 1.02 peak past full scale.
            QVERIFY(std::abs(read.factor(false) - 0.4732) < 1e-3);
            QVERIFY(std::abs(read.factor(true) - 1 / 1.02) < 1e-4);
        }
        if (QTest::currentDataTag() == QLatin1String("track gain only"))
            QVERIFY(std::abs(read.factor(true) - 0.8913) < 1e-3); // album falls back to track
        if (QTest::currentDataTag() == QLatin1String("none"))
            QCOMPARE(read.factor(true), 1.0f);
    }

    void aHeaderClaimingAbsurdLengthsIsHeldToTheBound() {
        // 2^32 - 1 frames of 1152 samples: 3.5 years, past what an int of milliseconds holds.
        const QString years = generate(AudioFormat::Mp3, "years", 1);
        QVERIFY(claimFrameCount(years, 0xffffffffu));
        const Track t = load(years);
        QCOMPARE(t.duration, Track::maxDuration);
        QVERIFY2(t.info().startsWith(QStringLiteral("MP3 · 0 kbps")), qPrintable(t.info()));
        // 10 days, within an int of milliseconds: the same bound.
        const QString days = generate(AudioFormat::Mp3, "days", 1);
        QVERIFY(claimFrameCount(days, quint32(10 * 86400 * 44100.0 / 1152)));
        QCOMPARE(load(days).duration, Track::maxDuration);
        // An honest header is taken as it is: 100 frames.
        const QString honest = generate(AudioFormat::Mp3, "honest", 1);
        QVERIFY(claimFrameCount(honest, 100));
        QVERIFY(qAbs(load(honest).duration - 100 * 1152 / 44100.0) < 1e-6);
    }

    void monoAacInMp4ReadsItsOwnConfiguration() {
        const QString path = dir_.filePath("mono.m4a");
        QString error;
        QVERIFY2(writeSine(path, AudioFormat::M4a, 5.0, 440, 0.3, &error, 1), qPrintable(error));
        const QString patched = dir_.filePath("mono-patched.m4a");
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray bytes = file.readAll();
        file.close();
        // As some encoders write it: 2 in the sample entry, the priming samples (1024) trimmed
        // by the edit list, which then lasts exactly 5 s.
        const qsizetype mp4a = bytes.indexOf("mp4a");
        QVERIFY(mp4a > 0);
        QCOMPARE(int(bytes.at(mp4a + 21)), 1); // the sample entry's channel count
        bytes[mp4a + 21] = 2;
        const qsizetype mvhd = bytes.indexOf("mvhd");
        const auto be32 = [&](qsizetype at) {
            return quint32(quint8(bytes.at(at))) << 24 | quint32(quint8(bytes.at(at + 1))) << 16 |
                   quint32(quint8(bytes.at(at + 2))) << 8 | quint32(quint8(bytes.at(at + 3)));
        };
        const auto put32 = [&](qsizetype at, quint32 v) {
            for (int i = 0; i < 4; ++i)
                bytes[at + i] = char(v >> (24 - 8 * i));
        };
        const quint32 movieScale = be32(mvhd + 16);
        const qsizetype elst = bytes.indexOf("elst");
        QVERIFY(elst > 0);
        QCOMPARE(be32(elst + 8), 1u);     // one entry
        put32(mvhd + 20, movieScale * 5); // the movie's length follows its edit
        put32(elst + 12, movieScale * 5);
        put32(elst + 16, 1024);
        QFile out(patched);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        out.close();

        for (const QString& f : {path, patched}) {
            const Track t = load(f);
            QVERIFY2(t.info().endsWith(" · 44 kHz · Mono"), qPrintable(t.info()));
            // Another reader: GStreamer's demuxer, which applies the edit list.
            QString problem;
            auto player = GstFilePlayer::open(f, &problem);
            QVERIFY2(player, qPrintable(problem));
            QTRY_VERIFY_WITH_TIMEOUT(player->duration() > 0, 10000);
            QVERIFY2(std::abs(t.duration - player->duration()) < 0.002,
                     qPrintable(
                         QStringLiteral("%1 against %2").arg(t.duration).arg(player->duration())));
        }
        QVERIFY(std::abs(load(patched).duration - 5.0) < 0.001);
    }

    void composesTheTechnicalLine() {
        QCOMPARE(Track::technicalLine("mp3", 5000000, 125, 48000, 2, "en"),
                 QStringLiteral("MP3 · 320 kbps · 48 kHz · Stereo"));
        QCOMPARE(Track::technicalLine("flac", 4000000, 300, 44100, 1, "en"),
                 QStringLiteral("FLAC · 106 kbps · 44 kHz · Mono"));
        QCOMPARE(Track::technicalLine("wav", 1000, 1, 22050, 6, "ru"),
                 QStringLiteral("WAV · 8 kbps · 22 kHz · Моно"));
        QCOMPARE(Track::technicalLine("mp3", 5000000, 0, std::nullopt, 0, "en"),
                 QStringLiteral("MP3"));
        QCOMPARE(Track::technicalLine("mp3", std::nullopt, 10, 44100, 2, "ru"),
                 QStringLiteral("MP3 · 44 kHz · Стерео"));
        QCOMPARE(Track::technicalLine("", 5000000, 125, 44100, 2, "en"),
                 QStringLiteral(" · 320 kbps · 44 kHz · Stereo"));
        QCOMPARE(Track::technicalLine("", 5000000, 0, std::nullopt, 0, "en"), QString());
        QCOMPARE(Track::technicalLine("mp3", 10, 1e-300, 1e300, 2, "en"), QStringLiteral("MP3"));
    }

    void fallsBackToNamesAndInfoChunks() {
        // No tags: the file name without its last extension.
        const QString plain = generate(AudioFormat::Mp3, "Live.At.Home");
        Track t = load(plain);
        QCOMPARE(t.title, QStringLiteral("Live.At.Home"));
        QVERIFY(t.artist.isEmpty() && t.artwork.isEmpty());

        // WAV: the RIFF INFO chunk when there is no ID3 chunk.
        const QString wav = generate(AudioFormat::Wav, "info");
        QVERIFY(writeWavInfo(wav, "Info Title", "Info Artist"));
        t = load(wav);
        QCOMPARE(t.title, QStringLiteral("Info Title"));
        QCOMPARE(t.artist, QStringLiteral("Info Artist"));

        // An empty title tag is taken as it is.
        const QString empty = generate(AudioFormat::Mp3, "emptytitle");
        QVERIFY(writeTitleFrames(empty, {""}));
        QCOMPARE(load(empty).title, QString());

        // Of two title frames the later wins.
        const QString two = generate(AudioFormat::Mp3, "two");
        QVERIFY(writeTitleFrames(two, {"First", "Second"}));
        QCOMPARE(load(two).title, QStringLiteral("Second"));

        // A picture that is no image leaves no artwork.
        const QString bad = generate(AudioFormat::Mp3, "badpicture");
        QVERIFY(writeTags(bad, {"T", "A", QByteArray(3000, 'x')}));
        QVERIFY(load(bad).artwork.isEmpty());

        // Without an extension the type part is empty but the rest is read.
        QVERIFY(QFile::copy(plain, dir_.filePath("noextension")));
        t = load(dir_.filePath("noextension"));
        QCOMPARE(t.title, QStringLiteral("noextension"));
        QVERIFY2(t.info().startsWith(QStringLiteral(" · ")) && t.info().endsWith("Stereo"),
                 qPrintable(t.info()));

        // The channel word of the language in force at load time stays in the line.
        QVERIFY(load(plain, "ru").info().endsWith(QStringLiteral("Стерео")));
    }

    void hostileFilesBecomeTracksWithDefaults() {
        QList<QPair<QString, QByteArray>> files;
        files.append({"zero.mp3", QByteArray()});
        QByteArray noise(64 * 1024, Qt::Uninitialized);
        QRandomGenerator rng(7);
        for (char& c : noise)
            c = char(rng.bounded(256));
        for (const char* ext : {"mp3", "m4a", "aac", "wav", "aiff", "flac", "ogg", "opus", "wv"})
            files.append({QStringLiteral("noise.%1").arg(ext), noise});
        // An ID3v2 header that declares a tag of 256 MB.
        files.append({"hugetag.mp3", QByteArray("ID3\x04\x00\x00\x7f\x7f\x7f\x7f", 10) + noise});
        QFile flac(generate(AudioFormat::Flac, "whole", 3));
        QVERIFY(flac.open(QIODevice::ReadOnly));
        files.append({"truncated.flac", flac.readAll().left(3000)});

        for (const auto& [name, bytes] : files) {
            const QString path = dir_.filePath(name);
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
            f.close();
            const Track t = load(path);
            QCOMPARE(t.url(), QUrl::fromLocalFile(path));
            QVERIFY2(t.artwork.isEmpty(), qPrintable(name));
            QVERIFY2(t.info().startsWith(QFileInfo(name).suffix().toUpper()), qPrintable(name));
            QVERIFY(t.duration >= 0);
        }
        QCOMPARE(load(dir_.filePath("zero.mp3")).info(), QStringLiteral("MP3"));
        QCOMPARE(load(dir_.filePath("zero.mp3")).title, QStringLiteral("zero"));

        const Track missing = load(dir_.filePath("missing.flac"));
        QCOMPARE(missing.title, QStringLiteral("missing"));
        QCOMPARE(missing.info(), QStringLiteral("FLAC"));

        if (geteuid() != 0) { // root reads everything
            const QString locked = generate(AudioFormat::Mp3, "locked");
            QFile::setPermissions(locked, QFileDevice::Permissions());
            QCOMPARE(load(locked).title, QStringLiteral("locked"));
            QCOMPARE(load(locked).duration, 0.0);
        }
    }

    void oneReadCostsLittleWhateverTheFile() {
        // 4 GB of zeros named .mp3 (sparse): no frame near its start, so TagLib never gets to
        // look for one through all of it.
        const QString zeros = dir_.filePath("zeros.mp3");
        QFile file(zeros);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(4) << 30));
        file.close();
        QElapsedTimer took;
        took.start();
        const Track t = load(zeros);
        QVERIFY2(took.elapsed() < 10000, qPrintable(QString::number(took.elapsed())));
        QCOMPARE(t.title, QStringLiteral("zeros"));
        QCOMPARE(t.duration, 0.0);
        QFile::remove(zeros);

        // Covers: over 16 MB counts as none. A row keeps a thumbnail, the centre square of the
        // cover; the full cover (over 1 MB: a smaller copy) is read again for the current track.
        const QByteArray png = pngBytes(3000, 2000);
        const QString huge = generate(AudioFormat::Flac, "hugecover");
        QVERIFY(writeTags(huge, {"T", "A", png + QByteArray(17 * 1024 * 1024, '\0')}));
        QVERIFY(load(huge).artwork.isEmpty());
        QVERIFY(Track::loadCover(huge).isEmpty());
        const QString large = generate(AudioFormat::Flac, "largecover");
        const QByteArray padded = png + QByteArray(3 * 1024 * 1024, '\0');
        QVERIFY(writeTags(large, {"T", "A", padded}));
        const QByteArray thumbnail = load(large).artwork;
        QVERIFY(thumbnail.size() <= Track::maxThumbnailBytes);
        QCOMPARE(QImage::fromData(thumbnail).size(),
                 QSize(Track::thumbnailSide, Track::thumbnailSide));
        const QByteArray kept = Track::loadCover(large);
        QVERIFY(!kept.isEmpty());
        QVERIFY(kept.size() <= Track::maxKeptPictureBytes);
        QCOMPARE(QImage::fromData(kept).size(), QSize(1200, 800));
        // A full cover under 1 MB is kept as it is.
        const QString small = generate(AudioFormat::Flac, "smallcover");
        QVERIFY(writeTags(small, {"T", "A", pngBytes(300, 300)}));
        QCOMPARE(Track::loadCover(small), pngBytes(300, 300));
        QCOMPARE(QImage::fromData(load(small).artwork).size(),
                 QSize(Track::thumbnailSide, Track::thumbnailSide));
    }

    void rawAacIsMeasuredFromItsFrames() {
        const QString path = dir_.filePath("adts.aac");
        QString error;
        gst::ensureInitialized();
        const QString launch =
            QStringLiteral("audiotestsrc num-buffers=200 samplesperbuffer=441 ! "
                           "audio/x-raw,rate=44100,channels=2 ! audioconvert ! avenc_aac ! "
                           "aacparse ! audio/mpeg,stream-format=adts ! filesink location=\"%1\"")
                .arg(path);
        gst::PipelinePtr pipeline =
            gst::adopt(gst_parse_launch(launch.toUtf8().constData(), nullptr));
        QVERIFY(pipeline);
        gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
        gst::Ptr<GstBus> bus(gst_element_get_bus(pipeline.get()));
        gst::MessagePtr done(gst_bus_timed_pop_filtered(
            bus.get(), 30 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
        QVERIFY(done && GST_MESSAGE_TYPE(done.get()) == GST_MESSAGE_EOS);
        const Track t = load(path);
        QVERIFY2(std::abs(t.duration - 2.0) < 0.1, qPrintable(QString::number(t.duration)));
        QVERIFY2(t.info().startsWith("AAC · ") && t.info().endsWith("44 kHz · Stereo"),
                 qPrintable(t.info()));
    }
};

QTEST_GUILESS_MAIN(TestTrackLoad)
#include "tst_trackload.moc"
