#pragma once

#include "core/settingswriter.h"
#include "engine/audioengine.h"
#include "engine/playliststore.h"
#include "support/fakeplayers.h"
#include "support/virtualclock.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QThreadPool>
#include <memory>

namespace orvane::test {

class RecordingPublisher final : public NowPlayingPublisher {
public:
    void publish(const NowPlayingInfo& info) override { published.push_back(info); }
    std::vector<NowPlayingInfo> published;
};

class RecordingAnnouncer final : public Announcer {
public:
    struct Shown {
        QString title, subtitle;
    };
    void show(const QString& title, const QString& subtitle, const QByteArray&) override {
        shown.push_back({title, subtitle});
    }
    std::vector<Shown> shown;
};

// Placeholder files (not audio) in `dir`, made once, as file URLs in the given order.
inline QList<QUrl> placeholderFiles(const QTemporaryDir& dir, const QStringList& names) {
    QList<QUrl> urls;
    for (const QString& name : names) {
        QFile f(dir.filePath(name));
        if (!f.exists() && f.open(QIODevice::WriteOnly))
            f.write("not really audio");
        urls.append(QUrl::fromLocalFile(f.fileName()));
    }
    return urls;
}

// The playlist's titles, in order.
inline QStringList titles(const AudioEngine& engine) {
    QStringList list;
    for (const Track& t : engine.playlist())
        list.append(t.title);
    return list;
}

// The playlist's lengths added up, track by track in order.
inline double durationSum(const AudioEngine& engine) {
    double total = 0;
    for (const Track& t : engine.playlist())
        total += t.duration;
    return total;
}

// An engine on fake players, a virtual clock and a private settings file.

struct EngineFixture {
    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    // The engine's settings writes go here, the playlist's to its own file beside them;
    // `stored()` waits for them.
    std::unique_ptr<SettingsWriter> writer, playlistWriter;
    VirtualClock clock;
    FakePlayerFactory players{clock};
    RecordingPublisher nowPlaying;
    RecordingAnnouncer announcer;
    // Outlives the engines: a read still in flight when one goes is waited for only here.
    std::unique_ptr<QThreadPool> pool = AudioEngine::makeReaderPool();
    std::unique_ptr<AudioEngine> engine;
    QString metadataCachePath;          // none unless a test sets it
    PlaylistRestore* restore = nullptr; // none: the engine reads the stored list itself

    EngineFixture() {
        settings = openSettings();
        writer = std::make_unique<SettingsWriter>(settings->fileName(), settings->format());
        playlistWriter = std::make_unique<SettingsWriter>(playlistPath(), QSettings::IniFormat);
    }
    QString playlistPath() const { return PlaylistStore::pathBeside(settings->fileName()); }
    // Stores `value` as the playlist for the next start.
    void storePlaylist(const QVariant& value) const {
        playlistWriter->setValue(PlaylistStore::key, value);
        playlistWriter->flush();
    }
    // A setting as it is on disk now, after every write asked for so far (the stored playlist
    // from its own file).
    QVariant stored(const QString& key) const {
        writer->flush();
        playlistWriter->flush();
        if (key == PlaylistStore::key)
            return QSettings(playlistPath(), QSettings::IniFormat).value(key);
        return openSettings()->value(key);
    }
    std::unique_ptr<QSettings> openSettings() const {
        return std::make_unique<QSettings>(dir.filePath(QStringLiteral("orvane.ini")),
                                           QSettings::IniFormat);
    }
    AudioEngine& start(TrackLoader loader = {}) {
        // What the test stored goes to disk first: left pending, Qt would write it later from
        // what it read before, over what the engine's writer wrote meanwhile.
        settings->sync();
        engine = std::make_unique<AudioEngine>(EngineServices{
            &clock, &players, settings.get(), &nowPlaying, &announcer, std::move(loader),
            pool.get(), metadataCachePath, writer.get(), restore, playlistWriter.get()});
        return *engine;
    }
    // A playlist of tracks "/music/<name>.mp3" titled <name>, set without going through files.
    QList<Track> tracks(const QStringList& names, double duration = 180) {
        QList<Track> list;
        for (const QString& name : names) {
            const QString path = QStringLiteral("/music/%1.mp3").arg(name);
            players.durations.insert(path, duration);
            list.append(Track(path, name, QString(), duration, {}, {"MP3"}));
        }
        return list;
    }
    // Started, with `tracks(names, duration)` as the playlist and the one at `row` playing.
    AudioEngine& startPlaying(const QStringList& names, double duration = 180, int row = 0) {
        AudioEngine& e = start();
        e.setPlaylist(tracks(names, duration));
        e.play(e.playlist().at(row));
        return e;
    }
    std::shared_ptr<FakeFilePlayer> lastFile() const { return players.files.back(); }
    std::shared_ptr<FakeStreamPlayer> lastStream() const { return players.streams.back(); }
};

} // namespace orvane::test
