#include "engine/loudnessscanner.h"

#include "engine/filename.h"
#include "engine/gstsupport.h"
#include "engine/loudnessmeter.h"

#include <gst/audio/audio.h>

#include <cmath>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace orvane {

namespace {

// A task pool that runs each streaming task on a new thread of its own, niced to 19 before
// the task starts, and ends the thread with the task: a shared pool's thread would keep the
// priority and could later run a player's stream.
struct LowPool {
    GstTaskPool parent;
};
struct LowPoolClass {
    GstTaskPoolClass parent;
};

struct PoolJob {
    GstTaskPoolFunction func;
    gpointer data;
};

gpointer runLow(gpointer p) {
    std::unique_ptr<PoolJob> job(static_cast<PoolJob*>(p));
    ::setpriority(PRIO_PROCESS, id_t(::gettid()), 19); // this thread only (Linux)
    job->func(job->data);
    return nullptr;
}

GType lowPoolType() {
    static const GType type = g_type_register_static_simple(
        GST_TYPE_TASK_POOL, "OrvaneLowPriorityTaskPool", sizeof(LowPoolClass),
        [](gpointer klass, gpointer) {
            auto* k = static_cast<GstTaskPoolClass*>(klass);
            k->prepare = [](GstTaskPool*, GError**) {};
            k->cleanup = [](GstTaskPool*) {};
            k->push = [](GstTaskPool*, GstTaskPoolFunction func, gpointer data,
                         GError** error) -> gpointer {
                auto* job = new PoolJob{func, data};
                GThread* thread = g_thread_try_new("orvane-loudness", runLow, job, error);
                if (!thread)
                    delete job;
                return thread;
            };
            k->join = [](GstTaskPool*, gpointer id) {
                if (id)
                    g_thread_join(static_cast<GThread*>(id));
            };
        },
        sizeof(LowPool), nullptr, GTypeFlags(0));
    return type;
}

// Streaming thread: the decoded samples into the meter, made when the format is known.
struct Probe {
    std::unique_ptr<LoudnessMeter> meter;
    GstAudioInfo info{};
    bool otherFormat = false; // a chained stream changed format: not measured
};

GstPadProbeReturn onSamples(GstPad*, GstPadProbeInfo* info, gpointer user) {
    auto* probe = static_cast<Probe*>(user);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
            GstCaps* caps = nullptr;
            gst_event_parse_caps(event, &caps);
            GstAudioInfo next;
            if (caps && gst_audio_info_from_caps(&next, caps)) {
                if (!probe->meter) {
                    probe->info = next;
                    probe->meter = std::make_unique<LoudnessMeter>(GST_AUDIO_INFO_RATE(&next),
                                                                   GST_AUDIO_INFO_CHANNELS(&next));
                } else if (!gst_audio_info_is_equal(&next, &probe->info)) {
                    probe->otherFormat = true;
                }
            }
        }
    } else if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) && probe->meter && !probe->otherFormat) {
        GstMapInfo map;
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const int frameBytes = GST_AUDIO_INFO_BPF(&probe->info);
            if (frameBytes > 0)
                probe->meter->add(reinterpret_cast<const float*>(map.data),
                                  map.size / size_t(frameBytes));
            gst_buffer_unmap(buffer, &map);
        }
    }
    return GST_PAD_PROBE_OK;
}

GstBusSyncReply onSync(GstBus*, GstMessage* message, gpointer pool) {
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_STREAM_STATUS)
        return GST_BUS_PASS;
    GstStreamStatusType type;
    GstElement* owner = nullptr;
    gst_message_parse_stream_status(message, &type, &owner);
    const GValue* value = gst_message_get_stream_status_object(message);
    if (type == GST_STREAM_STATUS_TYPE_CREATE && value && G_VALUE_HOLDS(value, GST_TYPE_TASK))
        gst_task_set_pool(GST_TASK(g_value_get_object(value)), static_cast<GstTaskPool*>(pool));
    gst_message_unref(message);
    return GST_BUS_DROP;
}

} // namespace

std::optional<Track::Gain> LoudnessScanner::measure(const QString& path,
                                                    const std::atomic<bool>& cancel) {
    gst::ensureInitialized();
    GError* error = nullptr;
    GstElement* launched = gst_parse_launch(
        "filesrc name=src ! decodebin ! audioconvert ! "
        "audio/x-raw,format=F32LE,layout=interleaved ! fakesink name=sink sync=false",
        &error);
    g_clear_error(&error);
    if (!launched)
        return std::nullopt;
    const gst::Ptr<GstElement> pipeline(GST_ELEMENT(gst_object_ref_sink(launched)));
    const gst::Ptr<GstTaskPool> pool(
        static_cast<GstTaskPool*>(gst_object_ref_sink(g_object_new(lowPoolType(), nullptr))));
    const gst::Ptr<GstElement> src(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
    const gst::Ptr<GstElement> sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    if (!src || !sink)
        return std::nullopt;
    g_object_set(src.get(), "location", encodeFileName(path).constData(), nullptr);

    Probe probe;
    const gst::Ptr<GstPad> pad(gst_element_get_static_pad(sink.get(), "sink"));
    gst_pad_add_probe(
        pad.get(), GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        onSamples, &probe, nullptr);
    const gst::Ptr<GstBus> bus(gst_element_get_bus(pipeline.get()));
    gst_bus_set_sync_handler(bus.get(), onSync, pool.get(), nullptr);

    bool done = false;
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
        while (!cancel.load()) {
            gst::MessagePtr message(gst_bus_timed_pop_filtered(
                bus.get(), 100 * GST_MSECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
            if (!message)
                continue;
            done = GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS;
            break;
        }
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL); // joins the streaming threads
    gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
    if (!done || !probe.meter || probe.otherFormat)
        return std::nullopt;
    const double loudness = probe.meter->integrated();
    if (!std::isfinite(loudness))
        return std::nullopt;
    Track::Gain gain;
    gain.track = float(LoudnessMeter::referenceLufs - loudness);
    gain.trackPeak = float(probe.meter->peak());
    return gain;
}

} // namespace orvane
