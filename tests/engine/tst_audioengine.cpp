// The engine's decisions on fake players in virtual time: transport, fades, the clock's advance,
// level bars, radio and its statuses.
#include "support/enginefixture.h"

#include "radio/stationstore.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <iostream>
#include <limits>
#include <sstream>
#include <sys/stat.h>

using namespace orvane;
using namespace orvane::test;

namespace {

void processQueued() {
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

} // namespace

class TestAudioEngine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void freshEngineHasInitialStateAndWritesPresetsBack() {
        EngineFixture f;
        AudioEngine& e = f.start();
        QCOMPARE(e.levels(), QList<double>(28, 0.05));
        QCOMPARE(e.volume(), 0.73);
        QCOMPARE(e.mode(), PlayerMode::Library);
        QVERIFY(e.currentID().isNull() && e.currentStationID().isNull());
        QVERIFY(e.radioStatus().isEmpty() && !e.isPlaying());
        QCOMPARE(e.stations().size(), 6);
        QCOMPARE(e.stations().at(1).name, QStringLiteral("Европа Плюс"));
        const auto stored = StationStore::decode(f.stored("radioStations").toByteArray());
        QVERIFY(stored);
        QCOMPARE(*stored, e.stations());
        QCOMPARE(e.totalDuration(), 0.0);

        // A later start that finds them stored as they are writes nothing: the settings file
        // (which holds the playlist too) is not replaced.
        const QList<RadioStation> presets = e.stations();
        f.engine.reset();
        f.writer->flush();
        const auto fileId = [&] {
            struct stat st {};
            return ::stat(QFile::encodeName(f.settings->fileName()).constData(), &st) == 0
                       ? st.st_ino
                       : ino_t(0);
        };
        const ino_t before = fileId();
        QVERIFY(before != 0);
        QCOMPARE(f.start().stations(), presets);
        f.writer->flush();
        QCOMPARE(fileId(), before);
    }

    void everyPublishedAssignmentIsAnnouncedBeforeItChanges() {
        EngineFixture f;
        AudioEngine& e = f.start();
        double seenBefore = -1;
        connect(&e, &AudioEngine::objectWillChange, this, [&] { seenBefore = e.volume(); });
        QSignalSpy changed(&e, &AudioEngine::volumeChanged);
        e.setVolume(0.5);
        QCOMPARE(seenBefore, 0.73);
        e.setVolume(0.5); // equal values are announced too
        QCOMPARE(changed.count(), 2);
    }

    void firstTrackStartsAtFullVolumeLaterOnesCrossfade() {
        EngineFixture f;
        AudioEngine& e = f.startPlaying({"a", "b", "c"});
        auto a = f.lastFile();
        QVERIFY(a->isPlaying() && a->metering);
        QVERIFY(!a->ramp);
        QCOMPARE(a->volume(), 0.73f);
        QCOMPARE(e.currentID(), e.playlist().at(0).id);
        QVERIFY(e.isPlaying());
        QCOMPARE(f.announcer.shown.back().title, QStringLiteral("a"));
        QCOMPARE(f.announcer.shown.back().subtitle, QStringLiteral("Local file"));

        f.clock.advance(10);
        e.play(e.playlist().at(1));
        auto b = f.lastFile();
        // The outgoing player falls to silence while the new one rises, over the same 3 s.
        QCOMPARE(a->ramp->to, 0.0f);
        QCOMPARE(a->ramp->length, 3.0);
        QCOMPARE(b->ramp->from, 0.0f);
        QCOMPARE(b->ramp->to, 0.73f);
        QCOMPARE(b->ramp->length, 3.0);
        f.clock.advance(3.1);
        QVERIFY(!a->stopped);
        f.clock.advance(0.15); // 3.2 s after the handover
        QVERIFY(a->stopped);

        // A second start within the fade: the half-risen player fades out from where it is.
        f.clock.advance(10);
        e.play(e.playlist().at(2));
        auto c = f.lastFile();
        f.clock.advance(1.5);
        e.play(e.playlist().at(0));
        QVERIFY(std::abs(c->ramp->from - 0.365f) < 0.01f);
        QCOMPARE(c->ramp->to, 0.0f);

        // An output that plays 0.25 s behind: the new rise waits until the fall is heard, and
        // the outgoing player is stopped only after its fade has been heard out.
        f.clock.advance(10);
        auto first = f.lastFile();
        first->latency = 0.25;
        e.play(e.playlist().at(1));
        QCOMPARE(f.lastFile()->ramp->delay, 0.25);
        QCOMPARE(first->ramp->delay, 0.0);
        f.clock.advance(3.3);
        QVERIFY(!first->stopped);
        f.clock.advance(0.2);
        QVERIFY(first->stopped);

        // A volume change while a player rises cuts its ramp short.
        e.play(e.playlist().at(2));
        e.setVolume(0.2);
        QVERIFY(!f.lastFile()->ramp);
        QCOMPARE(f.lastFile()->volume(), 0.2f);
    }

    void pauseFadeKeepsIdentityAndDoublePressStaysPaused() {
        EngineFixture f;
        AudioEngine& e = f.start();
        QList<Track> list = f.tracks({"a", "b"});
        list[1].artist = "Band";
        e.setPlaylist(list);
        e.play(e.playlist().at(0));
        auto a = f.lastFile();
        f.clock.advance(5);

        e.togglePlay(); // pause: fade to silence over 1.5 s, then pause
        QVERIFY(!e.isPlaying());
        const NowPlayingInfo paused = f.nowPlaying.published.back(); // what the desktop is told
        QVERIFY(paused.kind == NowPlayingInfo::Kind::Track && !paused.playing);
        QCOMPARE(paused.elapsed, 5.0);
        QCOMPARE(paused.rate, 0.0);
        QCOMPARE(a->ramp->to, 0.0f);
        QCOMPARE(a->ramp->length, 1.5);
        const double frozen = e.progress();
        f.clock.advance(0.5);
        QCOMPARE(e.progress(), frozen); // the clock no longer copies the position
        e.togglePlay();                 // still sounding: taken as another pause
        QVERIFY(!e.isPlaying());
        f.clock.advance(1.2);
        QVERIFY(a->isPlaying() == false);
        QCOMPARE(a->pauseCalls, 1);
        QCOMPARE(a->volume(), 0.73f); // restored for the next resume
        f.clock.advance(1);
        QCOMPARE(a->pauseCalls, 2);

        e.togglePlay(); // resume with a 1.5 s fade in
        QVERIFY(e.isPlaying() && a->isPlaying());
        QCOMPARE(a->ramp->from, 0.0f);
        QCOMPARE(a->ramp->length, 1.5);

        // Another track started during a pause fade: the pending pause leaves it alone.
        e.togglePlay();
        f.clock.advance(0.5);
        e.play(e.playlist().at(1));
        auto b = f.lastFile();
        QCOMPARE(f.announcer.shown.back().subtitle, QStringLiteral("Band")); // the artist
        f.clock.advance(2);
        QCOMPARE(b->pauseCalls, 0);
        QVERIFY(b->isPlaying());

        // An explicit play during the fade turns it back up, from where it had fallen to.
        f.clock.advance(2);
        e.togglePlay();
        f.clock.advance(0.5);
        e.resume();
        QVERIFY(e.isPlaying());
        QVERIFY(std::abs(b->ramp->from - 0.73f * 2 / 3) < 0.01f);
        QCOMPARE(b->ramp->to, 0.73f);
        f.clock.advance(2);
        QCOMPARE(b->pauseCalls, 0);
        QVERIFY(b->isPlaying());
        e.resume(); // already playing: nothing
        QVERIFY(e.isPlaying() && b->isPlaying());

        // Another track over a paused one stops it without a fade, and still rises: a player
        // was held.
        e.togglePlay();
        f.clock.advance(2);
        QVERIFY(!b->isPlaying());
        const size_t made = f.players.files.size();
        e.play(e.playlist().at(0));
        QVERIFY(b->stopped);
        QCOMPARE(f.lastFile()->ramp->length, 3.0);
        QCOMPARE(f.players.files.size(), made + 1);
    }

    void previousRestartsAfterThreeSecondsElseGoesBack() {
        EngineFixture f;
        AudioEngine& e = f.startPlaying({"a", "b", "c"}, 180, 1);
        f.clock.advance(3.5);
        QCOMPARE(e.progress(), 3.5);
        const size_t players = f.players.files.size();
        e.previous();
        QCOMPARE(f.players.files.size(), players); // same player, sought to 0
        QCOMPARE(f.lastFile()->seeks.back(), 0.0);
        QCOMPARE(e.progress(), 0.0);

        f.clock.advance(3.0);
        QCOMPARE(e.progress(), 3.0);
        e.previous(); // exactly 3.0: the previous track
        QCOMPARE(e.currentID(), e.playlist().at(0).id);
        e.previous(); // before the first comes the last
        QCOMPARE(e.currentID(), e.playlist().at(2).id);
        e.next(); // after the last comes the first
        QCOMPARE(e.currentID(), e.playlist().at(0).id);
    }

    void shuffleNeverRepeatsTheCurrentTrack() {
        EngineFixture f;
        AudioEngine& e = f.start();
        e.setIsShuffle(true);
        for (const QStringList& names :
             {QStringList{"a", "b"}, QStringList{"a", "b", "c", "d", "e"}}) {
            e.setPlaylist(f.tracks(names));
            e.play(e.playlist().at(1));
            QSet<QUuid> seen;
            for (int i = 0; i < 200; ++i) {
                const QUuid before = e.currentID();
                e.next();
                QVERIFY(e.currentID() != before);
                seen.insert(e.currentID());
            }
            QCOMPARE(seen.size(), names.size()); // and every one comes
        }
        // One track with shuffle on: it restarts.
        e.setPlaylist(f.tracks({"solo"}));
        e.play(e.playlist().at(0));
        e.next();
        QCOMPARE(e.currentID(), e.playlist().at(0).id);
    }

    void clockAdvancesOncePerTrackAndRepeatRestarts() {
        EngineFixture f;
        AudioEngine& e = f.startPlaying({"a", "b"}, 10);
        f.clock.advance(6.9);
        QCOMPARE(e.currentID(), e.playlist().at(0).id);
        f.clock.advance(0.2); // 3 s before the end
        QCOMPARE(e.currentID(), e.playlist().at(1).id);
        QCOMPARE(f.players.files.size(), size_t(2));
        f.clock.advance(3.5); // the outgoing player ends meanwhile: no second advance
        QCOMPARE(f.players.files.size(), size_t(2));

        e.setIsRepeat(true);
        f.clock.advance(4);
        QCOMPARE(e.currentID(), e.playlist().at(1).id); // the same track again
        QCOMPARE(f.players.files.size(), size_t(3));
    }

    void shortTracksAreHeardWholeAndInOrder() {
        EngineFixture f;
        AudioEngine& e = f.start();
        e.setPlaylist(f.tracks({"a", "b", "c"}, 2));
        QList<QUuid> order;
        connect(&e, &AudioEngine::currentIDChanged, this, [&] { order.append(e.currentID()); });
        e.play(e.playlist().at(0));
        f.clock.advance(0.05); // never advanced from before it has played
        QCOMPARE(order.size(), 1);
        int mostSounding = 0;
        for (int i = 0; i < 60; ++i) { // 3 s in ticks
            f.clock.advance(0.05);
            int sounding = 0;
            for (const auto& p : f.players.files)
                sounding += p->isPlaying() ? 1 : 0;
            mostSounding = std::max(mostSounding, sounding);
        }
        // A 2 s track hands over after 1 s, crossfading over its second half.
        QCOMPARE(order, (QList<QUuid>{e.playlist().at(0).id, e.playlist().at(1).id,
                                      e.playlist().at(2).id, e.playlist().at(0).id}));
        QCOMPARE(f.players.files.size(), size_t(4));
        QCOMPARE(f.players.files.at(1)->ramp->length, 1.0);
        QCOMPARE(f.players.files.at(0)->endFade, 1.0);
        QVERIFY(!f.players.files.at(0)->ramp);
        QVERIFY(mostSounding <= 2);

        // One short track alone, repeat off: it wraps at its own pace, not 20 times a second.
        e.setPlaylist(f.tracks({"solo"}, 2.5));
        e.play(e.playlist().at(0));
        const size_t before = f.players.files.size();
        f.clock.advance(5);
        QCOMPARE(f.players.files.size() - before, size_t(4)); // at 1.25, 2.5, 3.75 and 5 s
        // A long track followed by a short one: the long one still fades over its last 3 s,
        // the short one rises within its first half.
        e.setPlaylist(f.tracks({"long"}, 10) + f.tracks({"short"}, 1));
        e.play(e.playlist().at(0));
        f.clock.advance(7.05);
        QCOMPARE(e.currentID(), e.playlist().at(1).id);
        auto first = [&](const QString& name) {
            return *std::find_if(f.players.files.begin(), f.players.files.end(),
                                 [&](const auto& p) { return p->path.endsWith(name); });
        };
        QCOMPARE(first("/long.mp3")->endFade, 3.0);
        QCOMPARE(first("/short.mp3")->ramp->length, 0.5);
    }

    // Each handover of a three-track list, by the settings: its fade (0: gapless, the playing
    // player goes on into the next file) and so the moment the next track becomes current.
    void handoverFollowsTheCrossfadeSettings_data() {
        QTest::addColumn<QVariant>("stored");       // crossfadeSeconds; none: the default
        QTest::addColumn<bool>("albumGapless");
        QTest::addColumn<double>("length");         // of each track
        QTest::addColumn<QStringList>("tags");      // per track: "album|album artist|number"
        QTest::addColumn<QList<double>>("fades");   // a→b, b→c
        const QStringList none{"||0", "||0", "||0"};
        const QStringList album{"X|P|1", "X|P|2", "Y|P|3"};
        QTest::newRow("default 3 s") << QVariant() << false << 10.0 << none << QList{3.0, 3.0};
        QTest::newRow("8 s") << QVariant(8) << false << 20.0 << none << QList{8.0, 8.0};
        QTest::newRow("12 s, half a short track") << QVariant(12) << false << 10.0 << none
                                                  << QList{5.0, 5.0};
        QTest::newRow("past the range") << QVariant(40) << false << 30.0 << none
                                        << QList{12.0, 12.0};
        QTest::newRow("Off: gapless") << QVariant(0) << false << 10.0 << none << QList{0.0, 0.0};
        QTest::newRow("album rule") << QVariant(3) << true << 10.0 << album << QList{0.0, 3.0};
        QTest::newRow("album rule off") << QVariant(3) << false << 10.0 << album
                                        << QList{3.0, 3.0};
        QTest::newRow("another album artist")
            << QVariant(3) << true << 10.0 << QStringList{"X|P|1", "X|Q|2", "X|P|3"}
            << QList{3.0, 3.0};
        QTest::newRow("out of track order")
            << QVariant(3) << true << 10.0 << QStringList{"X|P|2", "X|P|1", "X|P|3"}
            << QList{3.0, 3.0};
        QTest::newRow("no album") << QVariant(3) << true << 10.0 << QStringList{"|P|1", "|P|2", "|P|3"}
                                  << QList{3.0, 3.0};
    }
    void handoverFollowsTheCrossfadeSettings() {
        QFETCH(QVariant, stored);
        QFETCH(bool, albumGapless);
        QFETCH(double, length);
        QFETCH(QStringList, tags);
        QFETCH(QList<double>, fades);
        EngineFixture f;
        if (stored.isValid())
            f.settings->setValue("crossfadeSeconds", stored);
        f.settings->setValue("albumGapless", albumGapless);
        AudioEngine& e = f.start();
        QList<Track> list = f.tracks({"a", "b", "c"}, length);
        for (int i = 0; i < list.size(); ++i) {
            const QStringList t = tags.at(i).split('|');
            list[i].album = t.at(0);
            list[i].albumArtist = t.at(1);
            list[i].trackNumber = t.at(2).toInt();
        }
        e.setPlaylist(list);
        QList<double> changedAt;
        connect(&e, &AudioEngine::currentIDChanged, this, [&] { changedAt.append(f.clock.now()); });
        e.play(e.playlist().at(0));
        double at = 0;
        for (int i = 0; i < 2; ++i) {
            const auto outgoing = f.lastFile();
            const size_t made = f.players.files.size();
            const double due = at + length - fades.at(i);
            f.clock.advance(due - f.clock.now() - 1e-3);
            QCOMPARE(e.currentID(), e.playlist().at(i).id);
            f.clock.advance(2e-3);
            QCOMPARE(e.currentID(), e.playlist().at(i + 1).id);
            QVERIFY(std::abs(changedAt.back() - due) < 1e-6);
            if (fades.at(i) == 0) {
                // The same player went on into the next file; nothing fades.
                QCOMPARE(f.players.files.size(), made);
                QCOMPARE(outgoing->followed.back(), e.playlist().at(i + 1).path());
                QVERIFY(!outgoing->ramp);
                QCOMPARE(outgoing->endFade, 0.0);
                QVERIFY(e.progress() < 2e-3); // the new file's position
            } else {
                QCOMPARE(f.players.files.size(), made + 1);
                // Its fall was planned at its end, and nothing else fades it.
                QCOMPARE(outgoing->endFade, fades.at(i));
                QVERIFY(!outgoing->ramp || outgoing->ramp->to > 0);
                QCOMPARE(f.lastFile()->ramp->length, fades.at(i));
                QVERIFY(outgoing->nextFile.isEmpty()); // nothing given to it
            }
            QCOMPARE(f.announcer.shown.back().title, e.playlist().at(i + 1).title);
            at = due;
        }
    }

    // A change of setting or list applies to the coming handover: a file given to the player
    // is taken back while it can be, and a gapless handover a player refuses happens at the end.
    void gaplessFollowsChangesUntilTheFileIsTaken() {
        EngineFixture f;
        f.settings->setValue("crossfadeSeconds", 0);
        AudioEngine& e = f.startPlaying({"a", "b", "c", "d"}, 10);
        auto p = f.lastFile();
        QCOMPARE(p->nextFile, e.playlist().at(1).path());
        e.setCrossfade(3); // taken back: a crossfade 3 s before the end
        QVERIFY(p->nextFile.isEmpty());
        f.clock.advance(7.001);
        QCOMPARE(e.currentID(), e.playlist().at(1).id);
        QCOMPARE(f.players.files.size(), size_t(2));

        // Off again while b plays: c is given; moved away, d takes its place.
        e.setCrossfade(0);
        p = f.lastFile();
        QCOMPARE(p->nextFile, e.playlist().at(2).path());
        e.move({e.playlist().at(2).id}, 4);
        QCOMPARE(p->nextFile, e.playlist().at(2).path());
        QCOMPARE(e.playlist().at(2).title, QStringLiteral("d"));
        // In the last second the file is taken: a change of mind comes too late for it.
        f.clock.advance(9.5);
        e.setCrossfade(3);
        QCOMPARE(p->nextFile, e.playlist().at(2).path());
        f.clock.advance(0.6);
        QCOMPARE(e.currentID(), e.playlist().at(2).id);
        QCOMPARE(f.players.files.size(), size_t(2));

        // A player that does not go on into files: Off hands over at the end with a new one,
        // the outgoing taken down in a few milliseconds, the new one at full volume.
        e.setCrossfade(0);
        e.setIsShuffle(true);
        f.players.durations.insert(e.playlist().at(3).path(), 10);
        e.play(e.playlist().at(0));
        p = f.lastFile();
        const QString planned = p->nextFile; // shuffle: the successor is chosen once, then kept
        QVERIFY(!planned.isEmpty() && planned != e.playlist().at(0).path());
        e.setCrossfade(3);
        e.setCrossfade(0);
        QCOMPARE(p->nextFile, planned);
        e.setCrossfade(3);
        f.clock.advance(5);
        p = f.lastFile();
        p->takesNextFiles = false;
        e.setCrossfade(0);
        f.clock.advance(5.001);
        QCOMPARE(f.players.files.size(), size_t(4));
        QCOMPARE(f.lastFile()->ramp->length, 0.0);
        QCOMPARE(f.lastFile()->volume(), 0.73f);
        QVERIFY(p->stopped);
    }

    void aBurstOfChangesLeavesOneFadingPlayer() {
        EngineFixture f;
        AudioEngine& e = f.startPlaying({"a", "b", "c"});
        f.clock.advance(1);
        for (int i = 0; i < 2000; ++i) {
            e.next();
            if (i % 100 == 0)
                f.clock.advance(0.01);
        }
        int live = 0;
        for (const auto& p : f.players.files)
            live += p->stopped ? 0 : 1;
        QCOMPARE(live, 2); // the current player and the one fading out
        QVERIFY(!f.players.files.at(f.players.files.size() - 2)->stopped);
        f.clock.advance(3.3);
        QVERIFY(f.players.files.at(f.players.files.size() - 2)->stopped);
        QVERIFY(f.lastFile()->isPlaying());

        // The same burst gathered into one change.
        const size_t made = f.players.files.size();
        const int index = int(e.playlist().indexOf(*e.currentTrack()));
        e.skip(2000);
        QCOMPARE(f.players.files.size(), made + 1);
        QCOMPARE(e.currentID(), e.playlist().at((index + 2000) % 3).id);
        f.clock.advance(5);
        e.skip(-4); // the first press restarts the track, the other three go back
        QCOMPARE(e.currentID(), e.playlist().at((index + 2000 - 3) % 3).id);
    }

    void aFileThatCannotBeOpenedLeavesPlaybackUntouched() {
        EngineFixture f;
        AudioEngine& e = f.start();
        const QList<QUrl> urls =
            placeholderFiles(f.dir, {"ok.mp3", "bad.mp3", "notes.txt", "ok2.mp3", "ok3.mp3"});
        f.players.unopenable.insert(urls.at(1).toLocalFile());
        f.players.unopenable.insert(urls.at(2).toLocalFile());
        e.add({urls.at(0)});
        QTRY_COMPARE(e.playlist().size(), 1);
        e.play(e.playlist().at(0));
        auto ok = f.lastFile();
        f.clock.advance(5);
        // Nothing that cannot be opened is added or stored, and what plays goes on.
        e.add({urls.at(1), urls.at(2), QUrl::fromLocalFile(f.dir.filePath("gone.mp3")),
               QUrl("https://example.com/a.mp3"), urls.at(3)});
        QTRY_COMPARE(e.playlist().size(), 2);
        QCOMPARE(e.playlist().at(1).url(), urls.at(3));
        QVERIFY(ok->isPlaying() && !ok->ramp);
        f.clock.advance(1);
        QCOMPARE(f.stored("playlistBookmarks").toList().size(), 2);
        // Opened from outside (a second launch, MPRIS OpenUri): the first file that opens plays.
        e.openExternal({urls.at(1), urls.at(4)});
        QTRY_COMPARE(e.playlist().size(), 3);
        QCOMPARE(e.currentTrack()->url(), urls.at(4));
        e.remove({e.playlist().at(1).id, e.playlist().at(2).id});
        e.play(e.playlist().at(0));
        ok = f.lastFile();

        // A track whose file went bad since it was added: the playing one keeps its volume.
        QList<Track> list = e.playlist();
        list.append(Track(urls.at(1).toLocalFile(), "bad", QString(), 180, {}, {"MP3"}));
        e.setPlaylist(list);
        e.play(e.playlist().at(1));
        QVERIFY(ok->isPlaying() && !ok->ramp);
        QCOMPARE(e.currentID(), e.playlist().at(0).id);
        QVERIFY(e.isPlaying());
    }

    void invalidStationOverALocalTrackSaysSo() {
        EngineFixture f;
        AudioEngine& e = f.startPlaying({"a"});
        QList<RadioStation> list = e.stations();
        list.append(RadioStation{QUuid::createUuid(), "Broken", "not a url"});
        e.setStations(list);
        e.play(e.stations().last());
        QVERIFY(f.lastFile()->stopped);
        QVERIFY(!e.isPlaying()); // nothing plays, and nothing claims to
        QVERIFY(e.currentID().isNull());
        // The station is current, so its row and the player panel show why.
        QCOMPARE(e.currentStationID(), e.stations().last().id);
        QCOMPARE(e.radioStatus(), QStringLiteral("invalid_url"));
        QVERIFY(f.players.streams.empty());
        QVERIFY(!f.nowPlaying.published.back().playing);
        QCOMPARE(f.nowPlaying.published.back().title, QStringLiteral("Broken"));
        e.togglePlay(); // no player: nothing happens
        QVERIFY(!e.isPlaying());
        e.next(); // the next station plays
        QCOMPARE(e.currentStationID(), e.stations().first().id);
        QCOMPARE(e.radioStatus(), QStringLiteral("buffering"));
    }

    void theSystemClockWaitsLongerThanAnIntOfMilliseconds() {
        // A handover aimed at the end of a track that claims weeks: the timer must not fire
        // at once (and again and again).
        SystemClock clock;
        int far = 0, farRepeating = 0;
        bool near = false;
        const auto a = clock.after(30 * 86400.0, [&] { ++far; });
        const auto b = clock.every(1e9, [&] { ++farRepeating; });
        const auto c = clock.after(std::numeric_limits<double>::infinity(), [&] { ++far; });
        const auto d = clock.after(0.3, [&] { near = true; });
        QTRY_VERIFY_WITH_TIMEOUT(near, 10000);
        QCOMPARE(far, 0);
        QCOMPARE(farRepeating, 0);
    }

    void aFileThatCannotBeOpenedIsReportedInTheInterfaceLanguage() {
        EngineFixture f;
        AudioEngine& e = f.start();
        const QList<QUrl> urls = placeholderFiles(f.dir, {"bad.mp3"});
        f.players.unopenable.insert(urls.at(0).toLocalFile());
        e.setPlaylist(f.tracks({"gone"}));
        f.players.unopenable.insert("/music/gone.mp3");
        std::ostringstream console;
        struct Restore {
            std::streambuf* saved;
            ~Restore() { std::cerr.rdbuf(saved); }
        } restore{std::cerr.rdbuf(console.rdbuf())};
        const auto lines = [&] {
            std::string text = console.str();
            console.str({});
            return QString::fromStdString(text);
        };
        const std::pair<QString, QString> cases[] = {{"en", "Could not open "},
                                                     {"ru", "Не удалось открыть "}};
        for (const auto& [language, words] : cases) {
            e.setLanguage(language);
            e.play(e.playlist().at(0)); // played
            QCOMPARE(lines(), words + "gone.mp3: cannot open\n");
            e.add({urls.at(0)}); // added
            QTRY_VERIFY(!console.str().empty());
            QCOMPARE(lines(), words + "bad.mp3: cannot open\n");
        }
    }

    void unopenableFileIsSkippedNotRetriedAtEveryTick() {
        EngineFixture f;
        AudioEngine& e = f.start();
        QList<Track> list = f.tracks({"a", "gone", "c"}, 10);
        // A file on disk that does not open: the user's own play changes nothing.
        const QUrl bad = placeholderFiles(f.dir, {"bad.mp3"}).at(0);
        Track unplayable = list.at(0);
        unplayable.id = QUuid::createUuid();
        unplayable.setPath(bad.toLocalFile());
        list.append(unplayable);
        e.setPlaylist(list);
        f.players.unopenable.insert(bad.toLocalFile());
        f.players.unopenable.insert("/music/gone.mp3");
        e.play(e.playlist().at(3));
        QVERIFY(e.currentID().isNull());
        QVERIFY(f.players.files.empty());
        // One no longer on disk is told of and passed over for the next.
        QSignalSpy skipped(&e, &AudioEngine::trackSkipped);
        e.play(e.playlist().at(1));
        QCOMPARE(skipped.size(), 1);
        QCOMPARE(skipped.at(0).at(0).toString(), QStringLiteral("gone"));
        QCOMPARE(e.currentID(), e.playlist().at(2).id);
        e.play(e.playlist().at(0));
        f.clock.advance(7.05);
        QCOMPARE(e.currentID(), e.playlist().at(2).id); // "gone" skipped once
        QVERIFY(e.isPlaying());

        f.players.unopenable.insert("/music/a.mp3");
        f.players.unopenable.insert("/music/c.mp3");
        f.clock.advance(7.05); // nothing opens any more: playback ends
        QVERIFY(!e.isPlaying());
        const size_t made = f.players.files.size();
        f.clock.advance(5);
        QCOMPARE(f.players.files.size(), made);
    }

    void levelsFollowTheMeterAndFreezeWhenPaused() {
        EngineFixture f;
        AudioEngine& e = f.startPlaying({"a"});
        auto a = f.lastFile();
        const std::pair<float, double> cases[] = {
            {-27.5f, 0.5}, {-160.0f, 0.0}, {-55.0f, 0.0}, {3.0f, 1.0}, {0.0f, 1.0}};
        for (const auto& [power, level] : cases) {
            a->power = power;
            f.clock.advance(0.05);
            QCOMPARE(e.levels().first(), level);
        }
        QCOMPARE(e.levels().size(), 28);
        QCOMPARE(e.levels().at(1), 1.0);
        QCOMPARE(e.levels().at(2), 0.0);
        e.togglePlay();
        const QList<double> frozen = e.levels();
        f.clock.advance(1);
        QCOMPARE(e.levels(), frozen);
    }

    void removingTheCurrentTrackStopsAtOnce() {
        EngineFixture f;
        AudioEngine& e = f.startPlaying({"a", "b", "c"}, 180, 1);
        f.clock.advance(4);
        e.remove({e.playlist().at(0).id});
        QVERIFY(e.isPlaying()); // other tracks: playback untouched
        e.remove({e.playlist().at(0).id, QUuid::createUuid()});
        QVERIFY(f.lastFile()->stopped);
        QVERIFY(!e.isPlaying() && e.currentID().isNull());
        QCOMPARE(e.progress(), 0.0);
        QCOMPARE(e.playlist().size(), 1);
        e.play(e.playlist().at(0)); // nothing held: no fade
        QVERIFY(!f.lastFile()->ramp);
    }

    void seekClampsBadInputAndIgnoresRadio() {
        EngineFixture f;
        AudioEngine& e = f.start();
        e.setPlaylist(f.tracks({"a"}));
        e.seek(12); // nothing loaded: only the progress moves
        QCOMPARE(e.progress(), 12.0);
        e.play(e.playlist().at(0));
        QSignalSpy seeked(&e, &AudioEngine::seeked);
        e.seek(std::nan(""));
        e.seek(-4);
        QCOMPARE(f.lastFile()->seeks, (std::vector<double>{0.0, 0.0}));
        QCOMPARE(seeked.count(), 2);
        e.play(e.stations().at(0));
        e.seek(30);
        QCOMPARE(e.progress(), 0.0);
    }

    void togglePlayWithNothingLoaded() {
        EngineFixture f;
        AudioEngine& e = f.start();
        e.togglePlay(); // empty playlist: nothing, but now-playing is refreshed
        QVERIFY(f.players.files.empty() && f.players.streams.empty());
        QCOMPARE(f.nowPlaying.published.size(), size_t(1));
        QCOMPARE(f.nowPlaying.published.back().kind, NowPlayingInfo::Kind::Nothing);

        e.setMode(PlayerMode::Radio);
        e.togglePlay();
        QCOMPARE(e.currentStationID(), e.stations().first().id);

        // Radio mode without stations falls through to the playlist.
        EngineFixture g;
        g.settings->setValue("radioStations", QByteArray("[]"));
        AudioEngine& h = g.start();
        QVERIFY(h.stations().isEmpty());
        h.setPlaylist(g.tracks({"a"}));
        h.setMode(PlayerMode::Radio);
        h.togglePlay();
        QCOMPARE(h.currentID(), h.playlist().first().id);
    }

    void radioFollowsItsReportsAndTransport() {
        EngineFixture f;
        AudioEngine& e = f.startPlaying({"a"});
        auto local = f.lastFile();
        e.setVolume(0.4);
        e.play(e.stations().at(0));
        QVERIFY(local->stopped);
        QVERIFY(e.currentID().isNull());
        QCOMPARE(e.radioStatus(), QStringLiteral("buffering")); // at once, before any report
        QCOMPARE(f.announcer.shown.back().subtitle, QStringLiteral("Internet Radio"));
        auto s = f.lastStream();
        QCOMPARE(s->volume, 0.4f);
        QCOMPARE(s->playCalls, 1);
        processQueued(); // initial reports: paused, unknown
        QVERIFY(!e.isPlaying());
        s->report(StreamPlayer::TimeControlStatus::Playing);
        QCOMPARE(e.radioStatus(), QStringLiteral("buffering")); // delivered later, not inside
        processQueued();
        QCOMPARE(e.radioStatus(), QStringLiteral("on_air"));
        QVERIFY(e.isPlaying());
        QCOMPARE(f.nowPlaying.published.back().kind, NowPlayingInfo::Kind::Station);
        QCOMPARE(f.nowPlaying.published.back().artist, QStringLiteral("Internet Radio"));

        // The clock feeds the bars from a smoothed random walk.
        for (int i = 0; i < 40; ++i) {
            const double p = e.levels().first();
            f.clock.advance(0.05);
            const double v = e.levels().first();
            QVERIFY(v >= 0.55 * p + 0.0675 - 1e-9 && v <= 0.55 * p + 0.3825 + 1e-9);
        }

        s->report(StreamPlayer::TimeControlStatus::WaitingToPlayAtSpecifiedRate);
        processQueued();
        QCOMPARE(e.radioStatus(), QStringLiteral("buffering"));
        QVERIFY(e.isPlaying()); // a stall keeps the flag

        e.togglePlay(); // pause: same player
        QCOMPARE(e.radioStatus(), QStringLiteral("paused"));
        QVERIFY(!e.isPlaying());
        QCOMPARE(s->pauseCalls, 1);
        e.togglePlay(); // resume: play() on the same player, status from the reports
        QCOMPARE(s->playCalls, 2);
        QCOMPARE(f.players.streams.size(), size_t(1));

        e.next();
        QCOMPARE(e.currentStationID(), e.stations().at(1).id);
        e.previous();
        e.previous(); // before the first comes the last
        QCOMPARE(e.currentStationID(), e.stations().at(5).id);

        // Reports of a replaced player never reach the engine.
        auto old = f.lastStream();
        e.next();
        old->report(StreamPlayer::ItemStatus::Failed);
        processQueued();
        QCOMPARE(e.radioStatus(), QStringLiteral("buffering"));
        f.lastStream()->error = QStringLiteral("the playlist lists no streams");
        f.lastStream()->report(StreamPlayer::ItemStatus::Failed);
        processQueued();
        QCOMPARE(e.radioStatus(), QStringLiteral("stream_error"));
        QCOMPARE(e.streamError(), QStringLiteral("the playlist lists no streams")); // the reason
        QVERIFY(!e.isPlaying());
        e.togglePlay(); // after an error the same player is asked to play again
        QCOMPARE(f.lastStream()->playCalls, 2);
        f.lastStream()->report(StreamPlayer::TimeControlStatus::WaitingToPlayAtSpecifiedRate);
        processQueued();
        QCOMPARE(e.streamError(), QString()); // gone with the status
    }

    void invalidAddressNeverReachesTheStreamPlayer() {
        EngineFixture f;
        AudioEngine& e = f.start();
        QList<RadioStation> list = e.stations().mid(0, 1);
        for (const char* url :
             {"", "not a url", "file:///etc/passwd", "/etc/passwd", "data:audio/mp3;base64,AAAA",
              "ftp://example.com/a.mp3", "https://"})
            list.append(RadioStation{QUuid::createUuid(), QString::fromUtf8(url), url});
        list.append({QUuid::createUuid(), "Spaced", " https://one/live \t"});
        e.setStations(list);
        e.play(e.stations().at(0));
        f.lastStream()->report(StreamPlayer::TimeControlStatus::Playing);
        processQueued();
        const auto streams = f.players.streams.size();
        for (qsizetype i = 1; i < e.stations().size() - 1; ++i) {
            e.play(e.stations().at(i));
            QCOMPARE(e.radioStatus(), QStringLiteral("invalid_url"));
            // The running stream keeps playing and stays current.
            QCOMPARE(e.currentStationID(), e.stations().at(0).id);
            QVERIFY(e.isPlaying());
        }
        QCOMPARE(f.players.streams.size(), streams);
        QCOMPARE(f.lastStream()->pauseCalls, 0);
        // An address among spaces is trimmed on its way to the player.
        e.play(e.stations().last());
        QCOMPARE(e.radioStatus(), QStringLiteral("buffering"));
        QCOMPARE(f.lastStream()->url, QUrl("https://one/live"));
    }

    void streamTitleFollowsTheStationAtMostTwiceASecond() {
        EngineFixture f;
        AudioEngine& e = f.start();
        e.play(e.stations().at(0));
        auto s = f.lastStream();
        s->report(StreamPlayer::TimeControlStatus::Playing);
        processQueued();
        const auto shownBefore = f.announcer.shown.size();
        QSignalSpy titles(&e, &AudioEngine::streamTitleChanged);

        s->reportTitle(QStringLiteral("Кино - Группа крови"));
        QVERIFY(e.streamTitle().isEmpty()); // delivered through the event loop
        processQueued();
        QCOMPARE(e.streamTitle(), QStringLiteral("Кино - Группа крови"));
        QCOMPARE(f.nowPlaying.published.back().streamTitle, e.streamTitle());
        QCOMPARE(f.nowPlaying.published.back().title, e.stations().at(0).name);

        // A flood of changes: the latest waits for its turn, at most two a second.
        for (int i = 0; i < 40; ++i) {
            s->reportTitle(QStringLiteral("song %1").arg(i));
            processQueued();
            f.clock.advance(0.01);
        }
        QCOMPARE(titles.count(), 1); // still within half a second of the first
        f.clock.advance(0.2);
        QCOMPARE(titles.count(), 2);
        QCOMPARE(e.streamTitle(), QStringLiteral("song 39"));
        f.clock.advance(2);
        QCOMPARE(titles.count(), 2);
        QCOMPARE(f.announcer.shown.size(), shownBefore); // a new song raises no toast

        // Another station starts without the old title; a stop clears it; a late timer or a
        // late report from the old player changes nothing.
        s->reportTitle(QStringLiteral("late"));
        e.play(e.stations().at(1));
        QVERIFY(e.streamTitle().isEmpty());
        processQueued();
        f.clock.advance(1);
        QVERIFY(e.streamTitle().isEmpty());
        f.lastStream()->reportTitle(QStringLiteral("Новая песня"));
        processQueued();
        QCOMPARE(e.streamTitle(), QStringLiteral("Новая песня"));
        e.setPlaylist(f.tracks({"one"}));
        e.play(e.playlist().at(0));
        QVERIFY(e.streamTitle().isEmpty());
        QCOMPARE(f.nowPlaying.published.back().streamTitle, QString());
    }

    void aStationListThatCannotBeReadIsKeptAside() {
        EngineFixture f;
        QByteArray list = StationStore::encode(RadioStation::presets().mid(0, 3));
        list.chop(1);
        list += R"(,{"id":"not-an-id","name":"Mine","url":"https:\/\/mine\/live"}])";
        f.settings->setValue("radioStations", list);
        AudioEngine& e = f.start();
        QCOMPARE(e.stations().size(), 6); // the rule stands: the presets replace the list
        QCOMPARE(f.stored("radioStationsRejected").toByteArray(), list);
        f.engine.reset();
        // Rejected again later: an earlier copy is never written over.
        f.settings->setValue("radioStations", QByteArray("[1]"));
        f.start();
        QCOMPARE(f.stored("radioStationsRejected").toByteArray(), list);
        QCOMPARE(f.stored("radioStationsRejected2").toByteArray(), QByteArray("[1]"));
    }

    void removingStationsStopsOnlyTheCurrentOne() {
        EngineFixture f;
        AudioEngine& e = f.start();
        e.play(e.stations().at(2));
        f.lastStream()->report(StreamPlayer::TimeControlStatus::Playing);
        processQueued();
        QSignalSpy saved(&e, &AudioEngine::stationsChanged);
        e.removeStations({});
        QCOMPARE(saved.count(), 1); // written once even though nothing changed
        e.removeStations({e.stations().at(0).id});
        QVERIFY(e.isPlaying());
        e.removeStations({e.stations().at(1).id}); // the playing one
        QVERIFY(!e.isPlaying());
        QVERIFY(e.currentStationID().isNull());
        QVERIFY(e.radioStatus().isEmpty());
        QCOMPARE(e.stations().size(), 4);
        const auto stored = StationStore::decode(f.stored("radioStations").toByteArray());
        QCOMPARE(stored->size(), 4);
    }

    void handoverIsTimedToTheMomentWithOrWithoutTheClock() {
        EngineFixture f;
        AudioEngine& e = f.start();
        e.setPlaylist(f.tracks({"a", "b", "c", "d"}, 10));
        QList<double> changedAt; // clock times of the track changes
        connect(&e, &AudioEngine::currentIDChanged, this, [&] { changedAt.append(f.clock.now()); });
        // The next change comes `seconds` from now, not a moment earlier, at clock time `at`.
        auto changesAfter = [&](double seconds, double at) {
            const qsizetype before = changedAt.size();
            f.clock.advance(seconds - 1e-4);
            const bool early = changedAt.size() != before;
            f.clock.advance(1e-4);
            return !early && changedAt.size() == before + 1 &&
                   std::abs(changedAt.back() - at) < 1e-6;
        };

        // With views shown the clock ticks every 50 ms, but the handover does not wait for a
        // tick: a track started between two ticks hands over exactly 3 s before its end.
        f.clock.advance(0.03);
        e.play(e.playlist().at(0));
        QVERIFY(changesAfter(7.0, 7.03));

        // Nothing on screen: no ticks, no meter, and `progress` does not move by itself.
        e.setViewsShown(false);
        auto b = f.lastFile();
        QVERIFY(!b->metering);
        QSignalSpy progressed(&e, &AudioEngine::progressChanged);
        QSignalSpy levelled(&e, &AudioEngine::levelsChanged);
        const int meterUpdates = b->meterUpdates;
        f.clock.advance(1.0); // b at 1.0 s
        QCOMPARE(progressed.size(), 0);
        QCOMPARE(levelled.size(), 0);
        QCOMPARE(b->meterUpdates, meterUpdates);
        QCOMPARE(f.clock.pending(), 2); // the handover and the outgoing player's stop, no tick

        // A seek moves the moment: from 3.0 s the handover is 4 s away.
        e.seek(3.0); // at 8.03
        QVERIFY(changesAfter(4.0, 12.03));

        // A pause holds it (the fade still plays 1.5 s), the resume aims again from the player's
        // position: c paused at 1.0 + 1.5 s, resumed 20 s later, hands over 4.5 s after.
        auto c = f.lastFile();
        f.clock.advance(1.0);
        e.togglePlay();
        QCOMPARE(e.progress(), 1.0); // read from the player at the press
        f.clock.advance(20);
        QCOMPARE(changedAt.size(), 3);
        QCOMPARE(c->currentTime(), 2.5);
        e.togglePlay(); // at 33.03
        QVERIFY(e.isPlaying());
        QVERIFY(changesAfter(4.5, 37.53));

        // Previous reads the position at the press: d at 3.5 s restarts.
        f.clock.advance(3.5);
        const size_t made = f.players.files.size();
        e.previous();
        QCOMPARE(f.players.files.size(), made);
        QCOMPARE(f.lastFile()->seeks.back(), 0.0);

        // A track of unknown length moves on when its player reports the end, without a tick.
        f.players.durations.insert("/music/a.mp3", 0);
        e.play(e.playlist().at(0));
        f.clock.advance(60);
        QCOMPARE(e.currentID(), e.playlist().at(0).id);
        f.lastFile()->failNow();
        processQueued();
        QCOMPARE(e.currentID(), e.playlist().at(1).id);

        // Shown again: the bars come back with the meter, the position is there at once.
        f.clock.advance(2.0);
        auto shown = f.lastFile();
        e.setViewsShown(true);
        QVERIFY(shown->metering);
        QCOMPARE(e.progress(), 2.0);
        shown->power = -27.5f;
        f.clock.advance(0.05);
        QCOMPARE(e.levels().first(), 0.5);
        QVERIFY(shown->meterUpdates > 0);
    }
};

QTEST_GUILESS_MAIN(TestAudioEngine)
#include "tst_audioengine.moc"
