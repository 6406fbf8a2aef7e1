#pragma once

#include "engine/gstsupport.h"
#include "engine/playerworker.h"
#include "engine/streamplayer.h"

#include <QPointer>
#include <QUrl>
#include <memory>
#include <vector>

class QNetworkAccessManager;

namespace orvane {

// The network stream player on GStreamer: one playbin per station with the same output bin as
// the file player. Buffering pauses the pipeline below 100 % and resumes it at 100 % (unless
// the user paused). A live stream that ends has dropped: end-of-stream reports a failed item.
// play() on a failed player reconnects with a fresh pipeline. The stream's title tags (ICY
// StreamTitle, or an Ogg stream's title and artist) are reported as its stream title. Main
// thread only, except its state changes and teardown, which may wait on the sound server: they
// run on the player's worker, and their results come back through the event loop.
// Before a pipeline is built the address is looked at (StreamLookup): an answer that is a
// playlist has its entries tried in order, each looked at the same way (playlists at most
// kMaxPlaylistDepth deep, at most kMaxAttempts addresses in all), until one reaches playing;
// an entry whose pipeline fails before that gives way to the next. Only when none plays does
// the item fail, with the last reason.
class GstStreamPlayer final : public StreamPlayer {
    Q_OBJECT
public:
    static constexpr int kMaxPlaylistDepth = 3;
    static constexpr int kMaxAttempts = 16;

    // `network` is used for the look at the address; without one the player makes its own.
    explicit GstStreamPlayer(const QUrl& url, QNetworkAccessManager* network = nullptr,
                             QObject* parent = nullptr);
    ~GstStreamPlayer() override;

    void setVolume(float volume) override;
    void play() override;
    void pause() override;
    TimeControlStatus timeControlStatus() const override { return timeControl_; }
    ItemStatus itemStatus() const override { return itemStatus_; }
    FailureReason failureReason() const override { return failure_; }
    // What an error message from the pipeline says went wrong.
    static FailureReason classify(GstMessage* error);

    // The text of the last failure, for diagnostics.
    QString lastError() const override { return lastError_; }

    static QByteArray userAgent();

private:
    static void onBusMessage(GstMessage* message, void* self);
    void handle(GstMessage* message);
    // `adaptive`: HLS, played by playbin3 (GStreamer's adaptive demuxer needs its streams).
    void build(const QUrl& address, bool adaptive = false);
    void lookUp(const QUrl& address);
    // The address or entry being tried did not play: the next entry, or the item fails.
    void tryNext(const QString& why);
    void teardown();
    void fail(const QString& why);
    void setTimeControl(TimeControlStatus status);
    void setItemStatus(ItemStatus status);
    // Brings the pipeline to where it should be (playing, or paused while buffering) and the
    // reported status in line with it.
    void reconcile();
    void updateTimeControl();
    void readTitle(GstMessage* message);
    // On the worker; `reconcile` runs again when it is done.
    void requestState(GstState state);

    struct Playlist {
        QList<QUrl> entries;
        qsizetype next = 0;
    };

    QUrl url_; // the address the user gave, kept whatever it leads to
    // Before the pipeline, which it outlives. `generation_` is bumped whenever the pipeline goes
    // or fails: the result of a state change asked of it then drops.
    std::unique_ptr<PlayerWorker> worker_ = std::make_unique<PlayerWorker>();
    quint64 generation_ = 0;
    bool stateRequested_ = false; // a state change is under way on the worker
    QNetworkAccessManager* network_;
    std::unique_ptr<QNetworkAccessManager> ownNetwork_;
    QPointer<QObject> lookup_;        // the look under way, if any
    std::vector<Playlist> playlists_; // the playlists being tried, outermost first
    int attempts_ = 0;
    bool trying_ = false;    // the pipeline plays an entry that has not reached playing yet
    bool abandoned_ = false; // that entry failed: the pipeline's later messages are ignored
    float volume_ = 1.0f;
    gst::PipelinePtr pipeline_;
    std::unique_ptr<gst::BusWatch> watch_;
    GstElement* volumeElement_ = nullptr; // owned by the pipeline
    bool wantPlaying_ = false;            // the user's intent
    bool buffering_ = false;              // below 100 %
    bool reachedPlaying_ = false;         // the pipeline is in PLAYING
    TimeControlStatus timeControl_ = TimeControlStatus::Paused;
    ItemStatus itemStatus_ = ItemStatus::Unknown;
    QString lastError_;
    FailureReason failure_;
    QString streamTitle_;
};

} // namespace orvane
