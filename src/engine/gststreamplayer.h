#pragma once

#include "engine/gstsupport.h"
#include "engine/playerworker.h"
#include "engine/streamplayer.h"

#include <QUrl>

namespace orvane {

// The network stream player on GStreamer: one playbin per station with the same output bin as
// the file player. Buffering pauses the pipeline below 100 % and resumes it at 100 % (unless
// the user paused). A live stream that ends has dropped: end-of-stream reports a failed item.
// play() on a failed player reconnects with a fresh pipeline. The stream's title tags (ICY
// StreamTitle, or an Ogg stream's title and artist) are reported as its stream title. Main
// thread only, except its state changes and teardown, which may wait on the sound server: they
// run on the player's worker, and their results come back through the event loop.
class GstStreamPlayer final : public StreamPlayer {
    Q_OBJECT
public:
    explicit GstStreamPlayer(const QUrl& url, QObject* parent = nullptr);
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
    QString lastError() const { return lastError_; }

    static QByteArray userAgent();

private:
    static void onBusMessage(GstMessage* message, void* self);
    void handle(GstMessage* message);
    void build();
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

    QUrl url_;
    // Before the pipeline, which it outlives. `generation_` is bumped whenever the pipeline goes
    // or fails: the result of a state change asked of it then drops.
    std::unique_ptr<PlayerWorker> worker_ = std::make_unique<PlayerWorker>();
    quint64 generation_ = 0;
    bool stateRequested_ = false; // a state change is under way on the worker
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
