#include "engine/gstsupport.h"

#include <algorithm>
#include <gst/base/gsttypefindhelper.h>

#include <QByteArray>
#include <atomic>
#include <mutex>

namespace orvane::gst {

void ensureInitialized() {
    static std::once_flag once;
    std::call_once(once, [] {
        gst_init(nullptr, nullptr);
        // MP3: libmpg123 decodes with about half the CPU of libav's decoder, which would
        // otherwise win the tie of their equal (marginal) ranks by name.
        if (GstPluginFeature* mpg123 =
                gst_registry_lookup_feature(gst_registry_get(), "mpg123audiodec")) {
            gst_plugin_feature_set_rank(mpg123, GST_RANK_SECONDARY);
            gst_object_unref(mpg123);
        }
    });
}

namespace {

// autoaudiosink looks for a working output each time one is made: it opens the best-ranked
// sink to try it (a stream on the process's one connection to the sound server), closes it
// and opens it again, at every handover, beside the playing pipeline. With that, the recorded
// sound broke off now and then on a loaded machine; so once the warm-up has found the output,
// players make that element directly. Until then (or where nothing was found) they make
// autoaudiosink as before.
std::mutex outputMutex;
QString foundOutput; // a factory's name, under outputMutex; empty until a real output was found

// Any thread, at once (never waits on the sound server).
QString outputFound() {
    const std::lock_guard lock(outputMutex);
    return foundOutput;
}

// The warm-up's worker: may wait on the sound server for as long as it does not answer.
void findOutput() {
    Ptr<GstElement> probe(gst_element_factory_make("autoaudiosink", nullptr));
    if (!probe)
        return;
    gst_object_ref_sink(probe.get());
    QString name;
    if (gst_element_set_state(probe.get(), GST_STATE_READY) != GST_STATE_CHANGE_FAILURE) {
        GstIterator* it = gst_bin_iterate_elements(GST_BIN(probe.get()));
        GValue item = G_VALUE_INIT;
        if (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
            auto* child = GST_ELEMENT(g_value_get_object(&item));
            if (GstElementFactory* factory = gst_element_get_factory(child))
                name = QString::fromUtf8(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)));
            g_value_reset(&item);
        }
        g_value_unset(&item);
        gst_iterator_free(it);
    }
    gst_element_set_state(probe.get(), GST_STATE_NULL);
    if (!name.isEmpty() && name != QLatin1String("fakesink")) { // fakesink: nothing to play into
        const std::lock_guard lock(outputMutex);
        foundOutput = name;
    }
}

} // namespace

void warmUp() {
    ensureInitialized(); // the registry: with a cold one, gst-plugin-scanner runs now
    if (sinkDescription() == QLatin1String("autoaudiosink"))
        findOutput();
    // The players' own elements and the output (makeSinkBin), and what playbin makes as it
    // opens a file or a stream; creating each loads its plugin.
    QString error;
    const SinkBin sink = makeSinkBin(false, &error);
    if (sink.bin)
        gst_object_unref(gst_object_ref_sink(sink.bin));
    for (const char* name :
         {"playbin", "uridecodebin", "decodebin", "typefind", "filesrc", "queue2", "souphttpsrc"}) {
        if (GstElement* element = gst_element_factory_make(name, nullptr))
            gst_object_unref(gst_object_ref_sink(element));
    }
    // Every type finder, as the file player's check over a file's first bytes runs them.
    const guint8 bytes[256] = {};
    if (GstCaps* caps = gst_type_find_helper_for_data(nullptr, bytes, sizeof bytes, nullptr))
        gst_caps_unref(caps);
}

QString sinkDescription() {
    const QByteArray env = qgetenv("ORVANE_AUDIO_SINK");
    return env.trimmed().isEmpty() ? QStringLiteral("autoaudiosink") : QString::fromUtf8(env);
}

SinkBin makeSinkBin(bool metering, QString* error, bool gainStage) {
    SinkBin result;
    QString description = sinkDescription();
    if (description == QLatin1String("autoaudiosink")) {
        if (const QString direct = outputFound(); !direct.isEmpty())
            description = direct;
    }
    GError* gerror = nullptr;
    GstElement* output =
        gst_parse_bin_from_description(description.toUtf8().constData(), TRUE, &gerror);
    if (!output) {
        if (error)
            *error = QStringLiteral("audio output \"%1\": %2")
                         .arg(description, QString::fromUtf8(gerror ? gerror->message : "?"));
        g_clear_error(&gerror);
        return result;
    }
    g_clear_error(&gerror);
    // The output keeps its own buffer (200 ms for PulseAudio and ALSA): a fade or a pause is
    // heard that long after it is asked for. A 100 ms buffer made them prompter, but the sound
    // server worked twice as hard and a busy machine's shorter stalls broke the sound off.

    GstElement* bin = gst_bin_new(nullptr);
    GstElement* convert = gst_element_factory_make("audioconvert", nullptr);
    GstElement* level = gst_element_factory_make("level", nullptr);
    GstElement* volume = gst_element_factory_make("volume", nullptr);
    GstElement* gain = gainStage ? gst_element_factory_make("volume", "gain") : nullptr;
    if (!convert || !level || !volume || (gainStage && !gain)) {
        for (GstElement* e : {convert, gain, level, volume, output, bin}) {
            if (e)
                gst_object_unref(gst_object_ref_sink(e));
        }
        if (error)
            *error = QStringLiteral("GStreamer base plugins are missing");
        return result;
    }
    g_object_set(level, "interval", guint64(50 * GST_MSECOND), "post-messages", gboolean(metering),
                 nullptr);
    gst_bin_add_many(GST_BIN(bin), convert, level, volume, output, nullptr);
    if (gain) {
        gst_bin_add(GST_BIN(bin), gain);
        gst_element_link_many(convert, level, volume, gain, output, nullptr);
    } else {
        gst_element_link_many(convert, level, volume, output, nullptr);
    }
    Ptr<GstPad> pad(gst_element_get_static_pad(convert, "sink"));
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", pad.get()));
    result.bin = bin;
    result.gain = gain;
    result.level = level;
    result.volume = volume;
    return result;
}

void setStageVolume(GstElement* volume, double value) {
    constexpr double silence = 1e-7; // -140 dB: below any output's resolution
    g_object_set(volume, "volume", std::max(value, silence), nullptr);
}

struct BusWatch::Data {
    Handler handler;
    void* owner;
};

BusWatch::BusWatch(GstElement* pipeline, Handler handler, void* owner) {
    Ptr<GstBus> bus(gst_element_get_bus(pipeline));
    auto* data = new Data{handler, owner};
    sourceId_ = gst_bus_add_watch_full(
        bus.get(), G_PRIORITY_DEFAULT,
        [](GstBus*, GstMessage* message, gpointer user) -> gboolean {
            auto* d = static_cast<Data*>(user);
            d->handler(message, d->owner);
            return G_SOURCE_CONTINUE;
        },
        data, [](gpointer user) { delete static_cast<Data*>(user); });
}

BusWatch::~BusWatch() {
    if (sourceId_)
        g_source_remove(sourceId_);
}

namespace {
std::atomic<int> pipelines{0};
std::atomic<int> held{0};
} // namespace

PipelinePtr adopt(GstElement* pipeline) {
    if (!pipeline)
        return PipelinePtr();
    ++pipelines;
    ++held;
    return PipelinePtr(GST_ELEMENT(gst_object_ref_sink(pipeline)));
}

int livePipelines() {
    return pipelines.load();
}

GstElement* letGo(PipelinePtr& pipeline) {
    GstElement* raw = pipeline.release();
    if (raw)
        --held;
    return raw;
}

int heldPipelines() {
    return held.load();
}

void PipelineRelease::operator()(GstElement* pipeline) const {
    if (!pipeline)
        return;
    --held;
    tearDown(pipeline);
}

void tearDown(GstElement* pipeline) {
    if (!pipeline)
        return;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    --pipelines;
}

double toSeconds(gint64 ns) {
    return double(ns) / double(GST_SECOND);
}

gint64 toNanoseconds(double seconds) {
    return gint64(seconds * double(GST_SECOND) + 0.5);
}

QString errorText(GstMessage* message) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    QString text = QString::fromUtf8(error ? error->message : "unknown error");
    g_clear_error(&error);
    g_free(debug);
    return text;
}

} // namespace orvane::gst
