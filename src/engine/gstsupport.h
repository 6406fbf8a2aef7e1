#pragma once

// GStreamer plumbing shared by the two players. Only the players include this header.

#include <gst/gst.h>

#include <QString>
#include <memory>

namespace orvane::gst {

struct ObjectUnref {
    void operator()(gpointer object) const {
        if (object)
            gst_object_unref(object);
    }
};
template <typename T> using Ptr = std::unique_ptr<T, ObjectUnref>;

struct MessageUnref {
    void operator()(GstMessage* m) const {
        if (m)
            gst_message_unref(m);
    }
};
using MessagePtr = std::unique_ptr<GstMessage, MessageUnref>;

// gst_init once per process; safe to call from any player constructor.
void ensureInitialized();

// Loads what building a file's and a stream's pipeline loads (GStreamer's registry, the
// plugins of their elements and the type finders), so that the first pipeline built on the main
// thread finds it done, and asks autoaudiosink once which output works (makeSinkBin then makes
// that one). Any thread; meant for one of its own, since it may wait on the sound server.
void warmUp();

// The output: ORVANE_AUDIO_SINK (a gst-launch description, e.g. "fakesink sync=true") when set,
// else autoaudiosink.
QString sinkDescription();

// "audioconvert ! level ! volume ! volume name=gain ! <output>" in a bin with a ghost sink pad.
// The level element meters the music before the volume stage (interval 50 ms); the second
// volume element is the levelling gain, a constant factor (1, a pass-through, unless set):
// its product with the fades' curve is the same on either side of it, and after it the fade
// stage and the meter see what they see without levelling. Elements are owned by the bin.
struct SinkBin {
    GstElement* bin = nullptr; // floating reference, to be handed to playbin's audio-sink
    GstElement* gain = nullptr;
    GstElement* level = nullptr;
    GstElement* volume = nullptr;
};
// Without `gainStage` (a stream) there is no gain element (`gain` is null).
SinkBin makeSinkBin(bool metering, QString* error, bool gainStage = false);

// Sets a volume element's plain "volume" property (any thread). Silence is written as
// -140 dB, never 0: at exactly 0 the element marks its buffers as gaps, and an audio sink
// that is its pipeline's clock, with nothing in its buffer (after a flush, or a long
// silence), waits on that clock for the gap's time while the clock only moves as audio
// is played: the pipeline reports PLAYING and stays silent for good.
void setStageVolume(GstElement* volume, double value);

// An owned bus watch on the default main context (the Qt main loop on Linux). Removing it
// guarantees the callback is never called again.
class BusWatch {
public:
    using Handler = void (*)(GstMessage* message, void* owner);
    BusWatch() = default;
    BusWatch(GstElement* pipeline, Handler handler, void* owner);
    ~BusWatch();
    BusWatch(const BusWatch&) = delete;
    BusWatch& operator=(const BusWatch&) = delete;

private:
    struct Data;
    guint sourceId_ = 0;
};

// Sets the pipeline to NULL (waiting for its threads to stop) and drops the reference.
struct PipelineRelease {
    void operator()(GstElement* pipeline) const;
};
using PipelinePtr = std::unique_ptr<GstElement, PipelineRelease>;
// Takes ownership of a new pipeline (sinking a floating reference) and counts it.
PipelinePtr adopt(GstElement* pipeline);
// Pipelines alive in the process, for leak checks.
int livePipelines();
// Takes the pipeline from its owner for a teardown elsewhere (on a player's worker), which
// `tearDown` then does: `heldPipelines` counts those still held, not those going down.
GstElement* letGo(PipelinePtr& pipeline);
void tearDown(GstElement* pipeline);
int heldPipelines();

double toSeconds(gint64 ns);
gint64 toNanoseconds(double seconds);

// Text of an ERROR message, for failure descriptions.
QString errorText(GstMessage* message);

} // namespace orvane::gst
