#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantMap>

namespace orvane {

// What the desktop shows of the item that plays. Filled by the engine; the media-controls
// integration (MPRIS) publishes it.
struct NowPlayingInfo {
    enum class Kind { Nothing, Track, Station };
    Kind kind = Kind::Nothing;
    QString title;
    QString artist;
    QString album;             // tracks only; empty when unknown
    int trackNumber = 0;       // tracks only; 0 when unknown
    double duration = 0;       // tracks only
    double elapsed = 0;        // tracks only, position at the moment of publication
    double rate = 0;           // 1.0 while playing, else 0.0
    bool isLiveStream = false; // stations only
    QString streamTitle;       // stations only: what the station says is on the air, or empty
    QByteArray artwork;        // encoded picture bytes, tracks only; empty when none
    QString itemId;            // the track's or station's id, for the media controls
    bool playing = false;      // playback state
};

class NowPlayingPublisher {
public:
    virtual ~NowPlayingPublisher() = default;
    // Replaces whatever was published before.
    virtual void publish(const NowPlayingInfo& info) = 0;
};

// The floating "now playing" announcement.
class Announcer {
public:
    virtual ~Announcer() = default;
    virtual void show(const QString& title, const QString& subtitle, const QByteArray& artwork) = 0;
};

} // namespace orvane
