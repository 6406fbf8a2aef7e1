#include "engine/gstfileplayer.h"

#include "engine/filename.h"

#include <gst/audio/gstaudiobasesink.h>
#include <gst/base/gstbasetransform.h>
#include <gst/base/gsttypefindhelper.h>
#include <gst/controller/gstdirectcontrolbinding.h>
#include <gst/controller/gstinterpolationcontrolsource.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

namespace {

constexpr int kPlayFlagAudio = 0x02; // playbin: audio only, no video, text or visualisation
constexpr qint64 kTypeFindBytes = 64 * 1024;

// Containers that type finding reports before it looks inside: accepted here, and a file that
// holds no audio after all fails later as a decoding error.
bool looksLikeAudio(const QString& media) {
    return media.startsWith(QLatin1String("audio/")) ||
           media == QLatin1String("application/x-id3") ||
           media == QLatin1String("application/x-apetag") ||
           media == QLatin1String("application/ogg") || media == QLatin1String("video/quicktime") ||
           media == QLatin1String("application/x-3gp") ||
           media == QLatin1String("video/x-matroska") || media == QLatin1String("video/webm") ||
           media == QLatin1String("audio/x-m4a");
}

// Opens the file once, without blocking (a FIFO put in the file's place would otherwise hang
// the open), makes sure it is a regular file and type-finds its first bytes. The descriptor
// is what the pipeline then reads, so what was checked is what plays. -1 and a description of
// the problem on failure.
int openAudioFile(const QString& path, QString* problem) {
    const QByteArray name = encodeFileName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        *problem = err == ENOENT ? QStringLiteral("the file does not exist")
                                 : QStringLiteral("the file cannot be read (%1)")
                                       .arg(QString::fromLocal8Bit(std::strerror(err)));
        return -1;
    }
    auto fail = [fd, problem](const QString& text) {
        ::close(fd);
        *problem = text;
        return -1;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return fail(QStringLiteral("not a regular file"));
    // A regular file never blocks; the flag only mattered for the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    QByteArray head(kTypeFindBytes, Qt::Uninitialized);
    const ssize_t got = ::pread(fd, head.data(), size_t(head.size()), 0);
    if (got < 0)
        return fail(QStringLiteral("the file cannot be read (%1)")
                        .arg(QString::fromLocal8Bit(std::strerror(errno))));
    if (got == 0)
        return fail(QStringLiteral("the file is empty"));
    GstCaps* caps = gst_type_find_helper_for_data_with_extension(
        nullptr, reinterpret_cast<const guint8*>(head.constData()), gsize(got),
        QFileInfo(path).suffix().toLower().toUtf8().constData(), nullptr);
    if (!caps)
        return fail(QStringLiteral("not an audio file"));
    const QString media =
        gst_caps_get_size(caps) > 0
            ? QString::fromUtf8(gst_structure_get_name(gst_caps_get_structure(caps, 0)))
            : QString();
    gst_caps_unref(caps);
    if (!looksLikeAudio(media))
        return fail(QStringLiteral("not an audio file (%1)").arg(media));
    return fd;
}

} // namespace

// The control curve of the volume stage. GStreamer walks an element's control bindings on the
// streaming thread without taking any lock, so attaching or detaching a binding from another
// thread can free the list node it is reading (a crash, seen under load while crossfades were
// cut short). The main thread therefore only records what it wants, under the mutex; the pad
// probe in front of the volume stage applies it on the streaming thread before the next buffer.
// A curve is detached before its points change and attached again after, so the volume stage
// never reads an empty curve.
struct GstFilePlayer::RampControl {
    RampControl(GstElement* volume, GstControlSource* source, GstControlBinding* binding)
        : volume(volume)
        , source(source)
        , binding(binding) {}
    ~RampControl() {
        gst_object_unref(binding);
        gst_object_unref(source);
    }
    RampControl(const RampControl&) = delete;
    RampControl& operator=(const RampControl&) = delete;

    // Streaming thread.
    void apply() {
        if (wanted.load(std::memory_order_acquire) == applied)
            return; // nothing new: the common case, no lock taken per buffer
        bool attach = false;
        std::vector<std::pair<GstClockTime, double>> next;
        {
            const std::lock_guard lock(mutex);
            applied = wanted.load(std::memory_order_relaxed);
            attach = wantAttached;
            next.swap(points);
        }
        if (attached) {
            gst_object_remove_control_binding(GST_OBJECT(volume), binding);
            attached = false;
        }
        auto* timed = GST_TIMED_VALUE_CONTROL_SOURCE(source);
        gst_timed_value_control_source_unset_all(timed);
        if (attach && !next.empty()) {
            for (const auto& [time, value] : next)
                gst_timed_value_control_source_set(timed, time, value);
            gst_object_add_control_binding(GST_OBJECT(volume), binding);
            // The volume stage passes buffers through untouched while its volume is exactly 1
            // and it has not seen the curve change that value yet: a ramp from full volume would
            // be skipped until then (and a short one whole).
            gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(volume), FALSE);
            attached = true;
        }
        current = std::move(next);
    }

    // Streaming thread, where the file that follows begins: the curve, in the earlier file's
    // stream time, moves `offset` ns earlier into the new one's, so that a fade running across
    // the boundary goes on as it was.
    void rebase(gint64 offset) {
        apply();
        if (!attached || current.empty() || offset <= 0)
            return;
        std::vector<std::pair<GstClockTime, double>> moved;
        for (size_t i = 0; i < current.size(); ++i) {
            const gint64 t = gint64(current[i].first) - offset;
            if (t < 0)
                continue;
            if (moved.empty() && i > 0) { // the curve's value at the boundary
                const auto& [t0, v0] = current[i - 1];
                const auto& [t1, v1] = current[i];
                const double f =
                    t1 > t0 ? double(offset - gint64(t0)) / double(t1 - t0) : 1.0;
                moved.emplace_back(0, v0 + (v1 - v0) * f);
            }
            moved.emplace_back(GstClockTime(t), current[i].second);
        }
        if (moved.empty())
            moved.emplace_back(0, current.back().second);
        gst_object_remove_control_binding(GST_OBJECT(volume), binding);
        auto* timed = GST_TIMED_VALUE_CONTROL_SOURCE(source);
        gst_timed_value_control_source_unset_all(timed);
        for (const auto& [time, value] : moved)
            gst_timed_value_control_source_set(timed, time, value);
        gst_object_add_control_binding(GST_OBJECT(volume), binding);
        current = std::move(moved);
    }

    // The earlier file's stream time where the later one's begins (both segments in time).
    static gint64 offsetBetween(const GstSegment& before, const GstSegment& after) {
        return gint64(after.base) - gint64(before.base) + gint64(before.time) -
               gint64(after.time);
    }

    GstElement* const volume;         // owned by the pipeline
    GstControlSource* const source;   // one reference, ours
    GstControlBinding* const binding; // one reference, ours

    std::mutex mutex;               // guards the request below
    std::atomic<quint64> wanted{0}; // bumped, under the mutex, by each request
    bool wantAttached = false;
    std::vector<std::pair<GstClockTime, double>> points;

    // The length of the last buffer seen (ns): written on the streaming thread, read anywhere.
    std::atomic<gint64> bufferLength{0};

    quint64 applied = 0; // streaming thread only, as is what follows
    bool attached = false;
    std::vector<std::pair<GstClockTime, double>> current; // the curve attached
};

// The file to follow the present one. The main thread sets it; playbin's about-to-finish
// handler (streaming thread) takes it; the pad probe (streaming thread) records where in
// running time it begins; the main thread adopts it once that moment is heard.
struct GstFilePlayer::NextFile {
    std::mutex mutex;
    int fd = -1;        // set and not yet taken; ours
    int takenFd = -1;   // taken: the pipeline reads it now; ours until the switch
    bool taken = false; // until the switch is heard
    bool boundaryKnown = false;
    float gain = 1.0f;  // the levelling gain of the file set, from its first sample on
    GstSegment before{}, after{}; // the volume stage's segments either side of the switch
};

namespace {

void onAboutToFinish(GstElement* playbin, gpointer data) {
    auto& next = **static_cast<std::shared_ptr<GstFilePlayer::NextFile>*>(data);
    const std::lock_guard lock(next.mutex);
    if (next.fd < 0 || next.taken)
        return; // nothing follows: the file ends as usual
    const QByteArray uri = "file:///proc/self/fd/" + QByteArray::number(next.fd);
    g_object_set(playbin, "uri", uri.constData(), nullptr);
    next.taken = true;
    next.boundaryKnown = false;
    next.takenFd = std::exchange(next.fd, -1);
}

// Watches buffers entering the volume stage; runs on the streaming thread.
struct FrontProbe {
    std::shared_ptr<std::atomic<gint64>> front;
    std::shared_ptr<GstFilePlayer::RampControl> ramp;
    std::shared_ptr<GstFilePlayer::NextFile> next;
    GstElement* gain; // the levelling stage after the volume stage; owned by the pipeline
    GstSegment segment;
    int streams = 0;       // STREAM_START events seen
    bool switching = false; // a later stream started; its segment comes next
};

GstPadProbeReturn onVolumeInput(GstPad*, GstPadProbeInfo* info, gpointer user) {
    auto* probe = static_cast<FrontProbe*>(user);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START) {
            probe->switching = probe->streams++ > 0;
        } else if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
            GstSegment segment;
            gst_event_copy_segment(event, &segment);
            if (std::exchange(probe->switching, false)) {
                // The file that follows begins here: its segment continues the running time.
                probe->ramp->rebase(
                    GstFilePlayer::RampControl::offsetBetween(probe->segment, segment));
                const std::lock_guard lock(probe->next->mutex);
                // All of the file before has passed the gain stage (this thread carried it):
                // the new file's gain holds from its first sample.
                if (probe->gain)
                    gst::setStageVolume(probe->gain, probe->next->gain);
                probe->next->before = probe->segment;
                probe->next->after = segment;
                probe->next->boundaryKnown = true;
            }
            probe->segment = segment;
        }
        else if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP)
            probe->front->store(-1);
    } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        probe->ramp->apply(); // before the volume stage sees this buffer
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (GST_BUFFER_DURATION_IS_VALID(buffer))
            probe->ramp->bufferLength.store(gint64(GST_BUFFER_DURATION(buffer)));
        if (GST_BUFFER_PTS_IS_VALID(buffer) && probe->segment.format == GST_FORMAT_TIME) {
            guint64 end = GST_BUFFER_PTS(buffer);
            if (GST_BUFFER_DURATION_IS_VALID(buffer))
                end += GST_BUFFER_DURATION(buffer);
            const guint64 stream =
                gst_segment_to_stream_time(&probe->segment, GST_FORMAT_TIME, end);
            if (GST_CLOCK_TIME_IS_VALID(stream))
                probe->front->store(gint64(stream));
        }
    }
    return GST_PAD_PROBE_OK;
}

double rmsOfChannel0(const GstStructure* s);

// A level message's window end (stream time, seconds) and channel 0's RMS in dBFS.
bool parseLevel(GstMessage* message, double* end, double* rms) {
    const GstStructure* s = gst_message_get_structure(message);
    guint64 streamTime = 0, length = 0;
    if (!gst_structure_has_name(s, "level") ||
        !gst_structure_get_uint64(s, "stream-time", &streamTime))
        return false;
    gst_structure_get_uint64(s, "duration", &length);
    *end = gst::toSeconds(gint64(streamTime + length));
    *rms = rmsOfChannel0(s);
    return true;
}

double rmsOfChannel0(const GstStructure* s) {
    const GValue* list = gst_structure_get_value(s, "rms");
    if (!list)
        return -160.0;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (G_VALUE_HOLDS(list, g_value_array_get_type())) {
        auto* array = static_cast<GValueArray*>(g_value_get_boxed(list));
        if (array && array->n_values > 0)
            return g_value_get_double(g_value_array_get_nth(array, 0));
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (GST_VALUE_HOLDS_ARRAY(list) && gst_value_array_get_size(list) > 0)
        return g_value_get_double(gst_value_array_get_value(list, 0));
    return -160.0;
}

} // namespace

QString GstFilePlayer::check(const QString& path) {
    gst::ensureInitialized();
    QString problem;
    const int fd = openAudioFile(path, &problem);
    if (fd >= 0)
        ::close(fd);
    return problem;
}

std::unique_ptr<GstFilePlayer> GstFilePlayer::open(const QString& path, QString* error) {
    gst::ensureInitialized();
    auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return nullptr;
    };
    QString problem;
    const int fd = openAudioFile(path, &problem);
    if (fd < 0)
        return fail(problem);

    std::unique_ptr<GstFilePlayer> self(new GstFilePlayer);
    self->fd_ = fd;
    GstElement* playbin = gst_element_factory_make("playbin", nullptr);
    if (!playbin)
        return fail(QStringLiteral("GStreamer's playbin is missing"));
    self->pipeline_ = gst::adopt(playbin);

    QString sinkError;
    const gst::SinkBin sink = gst::makeSinkBin(true, &sinkError, true);
    if (!sink.bin)
        return fail(sinkError);
    self->output_ = sink.bin;
    self->level_ = sink.level;
    self->meter_->level = sink.level;
    self->volumeElement_ = sink.volume;
    self->gainElement_ = sink.gain;

    // The descriptor opened above, not the path again: its /proc link reopens the very file
    // that was checked, whatever has been put at the path since. Not fd://, which the decoder
    // takes for a network stream and reads through a buffering queue.
    const QByteArray uri = "file:///proc/self/fd/" + QByteArray::number(fd);
    g_object_set(playbin, "uri", uri.constData(), "flags", kPlayFlagAudio, "audio-sink", sink.bin,
                 nullptr);

    // Sample-accurate ramps: while one runs, the volume property follows a linear control curve
    // in stream time. The binding is attached only then: a controlled volume stage computes a
    // gain per sample, which steady playback does not need.
    GstControlSource* source =
        GST_CONTROL_SOURCE(gst_object_ref_sink(gst_interpolation_control_source_new()));
    g_object_set(source, "mode", GST_INTERPOLATION_MODE_LINEAR, nullptr);
    GstControlBinding* binding = GST_CONTROL_BINDING(gst_object_ref_sink(
        gst_direct_control_binding_new_absolute(GST_OBJECT(sink.volume), "volume", source)));
    self->rampControl_ = std::make_shared<RampControl>(sink.volume, source, binding);

    gst::Ptr<GstPad> volumeSink(gst_element_get_static_pad(sink.volume, "sink"));
    self->next_ = std::make_shared<NextFile>();
    g_signal_connect_data(playbin, "about-to-finish", G_CALLBACK(onAboutToFinish),
                          new std::shared_ptr<NextFile>(self->next_),
                          [](gpointer p, GClosure*) {
                              delete static_cast<std::shared_ptr<NextFile>*>(p);
                          },
                          GConnectFlags(0));
    auto* probe = new FrontProbe{self->front_, self->rampControl_, self->next_, sink.gain, {}};
    gst_segment_init(&probe->segment, GST_FORMAT_UNDEFINED);
    gst_pad_add_probe(
        volumeSink.get(),
        GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        onVolumeInput, probe, [](gpointer p) { delete static_cast<FrontProbe*>(p); });

    gst::Ptr<GstBus> bus(gst_element_get_bus(playbin));
    gst_bus_set_sync_handler(bus.get(), &GstFilePlayer::onSyncMessage,
                             new std::shared_ptr<Meter>(self->meter_),
                             [](gpointer p) { delete static_cast<std::shared_ptr<Meter>*>(p); });
    self->watch_ =
        std::make_unique<gst::BusWatch>(playbin, &GstFilePlayer::onBusMessage, self.get());
    // Prerolls on the worker: opening the audio output may wait on the sound server. An output
    // that cannot be opened makes the player fail as a decoding error does.
    self->requestState(GST_STATE_PAUSED);
    return self;
}

GstFilePlayer::~GstFilePlayer() {
    watch_.reset(); // no callback after this point
    releasePipeline(fadeForRelease());
}

void GstFilePlayer::requestState(GstState state) {
    if (!pipeline_)
        return;
    GstElement* pipeline = pipeline_.get(); // alive until the release, queued after this
    worker_->post(
        [this, pipeline, state, deliver = worker_->deliverer(), generation = generation_] {
            if (gst_element_set_state(pipeline, state) != GST_STATE_CHANGE_FAILURE)
                return;
            // Runs on the main thread, and only while this player (its worker) exists.
            deliver([this, generation] {
                if (generation != generation_ || failed_)
                    return;
                failed_ = true;
                playing_ = false;
                notifyChange();
            });
        });
}

namespace {

// The audio sink in `output` (an element or a bin of them), or null; owned by `output`.
GstAudioBaseSink* audioSinkIn(GstElement* output) {
    if (GST_IS_AUDIO_BASE_SINK(output))
        return GST_AUDIO_BASE_SINK(output);
    if (!GST_IS_BIN(output))
        return nullptr;
    GstAudioBaseSink* found = nullptr;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(output));
    GValue item = G_VALUE_INIT;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        if (GST_IS_AUDIO_BASE_SINK(element))
            found = GST_AUDIO_BASE_SINK(element);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

// Seconds of audio the output may hold that have not been heard yet: its buffer, which a sound
// server's stream keeps as full (0 when the output has no such buffer). Any thread.
double outputBuffer(GstElement* output) {
    GstAudioBaseSink* sink = output ? audioSinkIn(output) : nullptr;
    if (!sink)
        return 0;
    gint64 bufferTime = 0; // microseconds
    g_object_get(sink, "buffer-time", &bufferTime, nullptr);
    return std::clamp(double(bufferTime) / 1e6, 0.0, 1.0);
}

// On a player's worker: lets `output` play up to `until` (stream time, ns), waiting half a
// second at most (the ramp is a buffer and 30 ms away; a stalled output is not waited for).
void playOut(GstElement* output, gint64 until) {
    const gint64 deadline = g_get_monotonic_time() + 500000; // microseconds
    gint64 position = 0;
    while (gst_element_query_position(output, GST_FORMAT_TIME, &position) && position < until &&
           g_get_monotonic_time() < deadline)
        g_usleep(5000);
    // What the output holds then is heard before it goes.
    g_usleep(gulong((outputBuffer(output) + 0.02) * 1e6));
}

} // namespace

double GstFilePlayer::fadeForRelease() {
    const bool sounding = playing_ || deferredPause_;
    deferredPause_.reset();
    volumeAfterPause_.reset();
    volumeHeld_ = false;
    seekAfterPause_.reset();
    if (!pipeline_ || !sounding || ended_ || pendingSeek_)
        return -1;
    constexpr float silent = 0.001f;
    const double heard = heardPosition(), front = processingFront();
    // A ramp is linear between holds: its loudest point between two times is one of the two.
    if (volumeAt(heard) * endFactor(heard) <= silent &&
        volumeAt(front) * endFactor(front) <= silent)
        return -1;
    setVolume(0.0f, stopRamp);
    const double length = duration();
    return length > 0 ? std::min(front + stopRamp, length) : front + stopRamp;
}

void GstFilePlayer::releasePipeline(double playOutUntil) {
    ++generation_;
    GstElement* pipeline = gst::letGo(pipeline_);
    GstElement* output = output_;
    const int fd = std::exchange(fd_, -1);
    int nextFd = -1, takenFd = -1;
    if (next_) {
        const std::lock_guard lock(next_->mutex);
        nextFd = std::exchange(next_->fd, -1);
        takenFd = std::exchange(next_->takenFd, -1);
    }
    switchTimer_.reset();
    switchPending_ = false;
    output_ = nullptr;
    level_ = nullptr;
    volumeElement_ = nullptr;
    gainElement_ = nullptr;
    if (!pipeline && fd < 0 && nextFd < 0 && takenFd < 0)
        return;
    // An output without a buffer of its own (not an audio device's) has nothing left to play.
    const gint64 until = playOutUntil > 0 && outputBuffer(output) > 0
                             ? gst::toNanoseconds(playOutUntil)
                             : -1;
    worker_->post([pipeline, output, until, fd, nextFd, takenFd] {
        if (pipeline && until > 0)
            playOut(output, until);
        gst::tearDown(pipeline); // NULL state: may wait on the sound server
        for (const int f : {fd, nextFd, takenFd}) {
            if (f >= 0)
                ::close(f); // the source has let go of it: the pipeline is down
        }
    });
}

void GstFilePlayer::onBusMessage(GstMessage* message, void* self) {
    static_cast<GstFilePlayer*>(self)->handle(message);
}

void GstFilePlayer::handle(GstMessage* message) {
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ASYNC_DONE:
        if (!prerolled_) {
            prerolled_ = true;
            duration();
            applyPendingSeek();
            if (const auto fall = std::exchange(endFadeWanted_, std::nullopt))
                setEndFade(*fall);
            if (std::exchange(playOnPreroll_, false) && playing_)
                requestState(GST_STATE_PLAYING);
            notifyChange(); // the length is known now
        } else {
            pendingSeek_.reset(); // a seek completed
        }
        break;
    case GST_MESSAGE_DURATION_CHANGED:
        duration_ = 0;
        duration();
        notifyChange();
        break;
    case GST_MESSAGE_STREAM_START:
        onStreamStart();
        break;
    case GST_MESSAGE_EOS:
        ended_ = true;
        playing_ = false;
        notifyChange();
        break;
    case GST_MESSAGE_ERROR:
        failed_ = true;
        playing_ = false;
        notifyChange();
        break;
    case GST_MESSAGE_ELEMENT:
        if (gst_message_has_name(message, "level"))
            onLevel(message);
        break;
    default:
        break;
    }
}

void GstFilePlayer::notifyChange() {
    if (changeHandler_)
        changeHandler_();
}

GstBusSyncReply GstFilePlayer::onSyncMessage(GstBus*, GstMessage* message, gpointer data) {
    Meter* meter = static_cast<std::shared_ptr<Meter>*>(data)->get();
    // Only what handle() acts on goes to the main loop. The bus source hands over one message a
    // turn of the loop, and a pipeline coming up posts dozens of state changes: queued, they
    // would hold its preroll's end (and a short track's start) back by as many turns.
    constexpr auto handled = GstMessageType(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_DURATION_CHANGED |
                                            GST_MESSAGE_STREAM_START | GST_MESSAGE_EOS |
                                            GST_MESSAGE_ERROR | GST_MESSAGE_ELEMENT);
    if (!(GST_MESSAGE_TYPE(message) & handled)) {
        gst_message_unref(message);
        return GST_BUS_DROP;
    }
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ELEMENT ||
        GST_MESSAGE_SRC(message) != GST_OBJECT(meter->level))
        return GST_BUS_PASS;
    double end = 0, rms = 0;
    if (parseLevel(message, &end, &rms)) {
        const std::lock_guard lock(meter->mutex);
        meter->windows.push_back({end, float(rms)});
        while (meter->windows.size() > 64)
            meter->windows.pop_front();
    }
    gst_message_unref(message); // dropped: the reply takes ownership
    return GST_BUS_DROP;
}

void GstFilePlayer::onLevel(GstMessage* message) {
    double end = 0, rms = 0;
    if (levelTap_ && parseLevel(message, &end, &rms))
        levelTap_(QString::fromUtf8(GST_OBJECT_NAME(GST_MESSAGE_SRC(message))), end, rms);
}

void GstFilePlayer::setMeteringEnabled(bool enabled) {
    metering_ = enabled;
    if (level_)
        g_object_set(level_, "post-messages", gboolean(enabled), nullptr);
}

// ---- gapless ----

bool GstFilePlayer::setNextFile(const QString& path, float gain, QString* error) {
    if (!pipeline_ || failed_)
        return false;
    int fd = -1;
    if (!path.isEmpty()) {
        QString problem;
        fd = openAudioFile(path, &problem);
        if (fd < 0) {
            if (error)
                *error = problem;
            return false;
        }
    }
    const std::lock_guard lock(next_->mutex);
    if (next_->taken) { // too late: what was set plays
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    if (next_->fd >= 0)
        ::close(next_->fd);
    next_->fd = fd;
    next_->gain = std::isfinite(gain) && gain > 0 ? std::min(gain, 10.0f) : 1.0f; // as setGain
    return fd >= 0;
}

bool GstFilePlayer::nextFileTaken() const {
    if (!next_)
        return false;
    const std::lock_guard lock(next_->mutex);
    return next_->taken;
}

void GstFilePlayer::onStreamStart() {
    // The first file's start, or the sink has begun on the file that follows: that one is
    // heard an output's latency later, when the speaker reaches its segment's running time.
    {
        const std::lock_guard lock(next_->mutex);
        if (!next_->taken || switchPending_)
            return;
    }
    switchPending_ = true;
    switchLatency_ = 0;
    if (GstQuery* query = gst_query_new_latency()) {
        GstClockTime min = 0;
        if (output_ && gst_element_query(output_, query)) {
            gst_query_parse_latency(query, nullptr, &min, nullptr);
            switchLatency_ = GST_CLOCK_TIME_IS_VALID(min) ? gint64(min) : 0;
        }
        gst_query_unref(query);
    }
    if (!switchTimer_) {
        switchTimer_ = std::make_unique<QTimer>();
        switchTimer_->setInterval(5);
        QObject::connect(switchTimer_.get(), &QTimer::timeout, [this] { checkSwitch(); });
    }
    switchTimer_->start();
    checkSwitch();
}

gint64 GstFilePlayer::heardRunningTime() const {
    if (!pipeline_)
        return -1;
    GstClock* clock = gst_element_get_clock(pipeline_.get());
    if (!clock)
        return -1;
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const GstClockTime base = gst_element_get_base_time(pipeline_.get());
    if (!GST_CLOCK_TIME_IS_VALID(now) || !GST_CLOCK_TIME_IS_VALID(base) || now < base)
        return -1;
    return gint64(now - base) - switchLatency_;
}

void GstFilePlayer::checkSwitch(bool now) {
    if (!switchPending_)
        return;
    gint64 boundary = -1;
    {
        const std::lock_guard lock(next_->mutex);
        if (next_->boundaryKnown)
            boundary = gint64(next_->after.base);
    }
    const gint64 heard = heardRunningTime();
    if (!now && (boundary < 0 || (heard >= 0 && heard < boundary && playing_)))
        return; // the end of the file before is still to be heard
    switchTimer_->stop();
    switchPending_ = false;
    int previousFd = -1;
    double offset = 0;
    {
        const std::lock_guard lock(next_->mutex);
        if (next_->boundaryKnown)
            offset = gst::toSeconds(RampControl::offsetBetween(next_->before, next_->after));
        next_->taken = false;
        next_->boundaryKnown = false;
        gain_ = next_->gain; // (the probe set it at the boundary)
        previousFd = std::exchange(fd_, std::exchange(next_->takenFd, -1));
    }
    if (previousFd >= 0)
        ::close(previousFd); // its source opened a descriptor of its own, long since read
    // A fade running across the boundary goes on in the new file's stream time (the probe moved
    // the curve itself there).
    if (ramp_) {
        ramp_->start -= offset;
        ramp_->end -= offset;
    }
    if (std::exchange(endFade_, std::nullopt))
        applyCurve(); // (the engine withdraws it before a file follows gaplessly)
    rampHeardUntil_ = std::max(0.0, rampHeardUntil_ - offset);
    ++followed_;
    ended_ = false;
    duration_ = 0;
    lastPosition_ = 0;
    positionQueriedAt_ = 0;
    {
        const std::lock_guard lock(meter_->mutex);
        meter_->windows.clear(); // the earlier file's
    }
    duration();
    notifyChange();
}

// ---- volume ----

double GstFilePlayer::processingFront() const {
    const double heard = heardPosition();
    if (pendingSeek_ || switchPending_) // (the front is in the next file's time already)
        return heard;
    const gint64 front = front_->load();
    return front < 0 ? heard : std::max(heard, gst::toSeconds(front));
}

float GstFilePlayer::volumeAt(double t) const {
    if (!ramp_)
        return staticVolume_;
    if (t >= ramp_->end)
        return ramp_->to;
    if (t <= ramp_->start)
        return ramp_->from;
    const double f = (t - ramp_->start) / (ramp_->end - ramp_->start);
    return float(ramp_->from + (ramp_->to - ramp_->from) * f);
}

float GstFilePlayer::volume() const {
    return volumeAt(heardPosition());
}

float GstFilePlayer::endFactor(double t) const {
    if (!endFade_ || t <= endFade_->start)
        return endFade_ ? endFade_->from : 1.0f;
    if (t >= endFade_->end)
        return 0.0f;
    return float(endFade_->from * (endFade_->end - t) / (endFade_->end - endFade_->start));
}

void GstFilePlayer::applyCurve() {
    if (!volumeElement_)
        return;
    if (!ramp_ && !endFade_) {
        requestRamp(false);
        gst::setStageVolume(volumeElement_, staticVolume_);
        return;
    }
    // The curve is the product of the ramp (or the plain volume) and the end fade: linear
    // between the ends of either, and where both move at once (a pause within the end fade), a
    // parabola followed in 10 ms steps.
    std::vector<double> times{0.0};
    if (ramp_)
        times.insert(times.end(), {ramp_->start, ramp_->end});
    if (endFade_)
        times.insert(times.end(), {endFade_->start, endFade_->end});
    if (ramp_ && endFade_) {
        const double last = std::min(ramp_->end, endFade_->end);
        for (double t = std::max(ramp_->start, endFade_->start) + 0.01; t < last; t += 0.01)
            times.push_back(t);
    }
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    std::vector<std::pair<double, float>> points;
    for (const double t : times)
        points.emplace_back(t, volumeAt(t) * endFactor(t));
    // Until the streaming thread attaches the curve, the present value holds.
    const double front = processingFront();
    gst::setStageVolume(volumeElement_, volumeAt(front) * endFactor(front));
    requestRamp(true, std::move(points));
}

void GstFilePlayer::retireFinishedRamp() {
    // Once the volume stage is past the ramp's end, the plain property holds the target and the
    // per-sample curve goes, so steady playback after a fade costs what it did before it. An
    // end fade keeps the curve to the file's end.
    if (!ramp_ || !pipeline_ || endFade_)
        return;
    const double left = ramp_->end + 0.05 - processingFront();
    if (left < 0) {
        ramp_.reset();
        applyCurve();
        return;
    }
    // Not there yet: looked at again when it should be (no clock tick is needed for it). A paused
    // player is looked at again when it plays.
    if (!playing_)
        return;
    if (!retireTimer_) {
        retireTimer_ = std::make_unique<QTimer>();
        retireTimer_->setSingleShot(true);
        QObject::connect(retireTimer_.get(), &QTimer::timeout, [this] { retireFinishedRamp(); });
    }
    // In int milliseconds: a ramp's end far off (after a seek back in a very long file) is
    // looked at again within the range a QTimer takes.
    retireTimer_->start(int(std::clamp(std::ceil(left * 1000), 20.0, 1e9)));
}

void GstFilePlayer::setVolume(float volume) {
    if (deferredPause_) { // the fade still being heard keeps its volume until the pause
        volumeAfterPause_ = volume;
        return;
    }
    if (volumeHeld_) { // paused: louder waits for the next play (see holdVolume)
        if (volume > volumeAt(processingFront())) {
            volumeAfterPause_ = volume;
            return;
        }
        volumeAfterPause_.reset();
    }
    ramp_.reset();
    staticVolume_ = volume;
    applyCurve();
}

void GstFilePlayer::requestRamp(bool attach, std::vector<std::pair<double, float>> points) {
    RampControl& control = *rampControl_;
    const std::lock_guard lock(control.mutex);
    control.wantAttached = attach;
    control.points.clear();
    for (const auto& [seconds, value] : points)
        control.points.emplace_back(GstClockTime(gst::toNanoseconds(seconds)), double(value));
    control.wanted.fetch_add(1, std::memory_order_release);
}

void GstFilePlayer::startRamp(double from, float fromVolume, double to, float target) {
    // Samples before `from` are already on their way to the speaker; the curve holds the present
    // volume until there, so nothing jumps.
    ramp_ = Ramp{from, to, fromVolume, target};
    staticVolume_ = target;
    rampHeardUntil_ = to;
    applyCurve();
    retireFinishedRamp();
}

void GstFilePlayer::setVolume(float target, double fadeDuration, double startDelay) {
    // The audio between the heard position and the processing front is already past the volume
    // stage. The ramp starts at the front (or `startDelay` after it) from the present volume and
    // lasts `fadeDuration` of stream time, so it is heard whole, the output's latency later.
    // The volume stage settles per buffer whether it follows a curve, and the buffer it is
    // processing when one is attached may get one value throughout: a ramp of a few buffers'
    // length begins a buffer later, so that all of it is followed sample by sample.
    volumeAfterPause_.reset(); // an older assignment, held in a pause, is overtaken
    const double buffer = gst::toSeconds(rampControl_->bufferLength.load());
    if (std::isfinite(fadeDuration) && fadeDuration < 4 * buffer)
        startDelay = std::max(startDelay, buffer);
    const double from =
        processingFront() + (std::isfinite(startDelay) ? std::max(0.0, startDelay) : 0.0);
    const float fromVolume = volumeAt(from);
    const double to = from + std::max(0.0, fadeDuration);
    if (!std::isfinite(fadeDuration) || to <= from + 0.005) {
        setVolume(target);
        return;
    }
    startRamp(from, fromVolume, to, target);
}

void GstFilePlayer::setGain(float factor) {
    // The volume element takes at most 10 (+20 dB); a plain property, read per buffer under
    // the element's lock, with no control curve: the fades' stage is the volume element before.
    if (!gainElement_ || !std::isfinite(factor) || factor == gain_)
        return;
    gain_ = factor;
    gst::setStageVolume(gainElement_, std::min(double(factor), 10.0));
}

void GstFilePlayer::setEndFade(double seconds) {
    if (!(seconds > 0) || !std::isfinite(seconds)) {
        endFadeWanted_.reset();
        if (endFade_) {
            endFade_.reset();
            applyCurve();
            retireFinishedRamp();
        }
        return;
    }
    const double length = prerolled_ ? duration() : 0;
    if (!(length > 0)) {
        endFadeWanted_ = seconds; // planned once the length is known, before it plays
        return;
    }
    endFadeWanted_.reset();
    if (!pipeline_ || (endFade_ && endFade_->seconds == seconds && endFade_->end == length))
        return;
    const double front = processingFront();
    if (front >= length)
        return;
    // Asked for late (or changed while it runs): from where the volume stage is, from the
    // present factor, still to silence at the end.
    const float now = endFactor(front);
    double start = length - seconds;
    float from = 1.0f;
    if (start < front || now < 1.0f) {
        start = front;
        from = now;
    }
    endFade_ = EndFade{start, length, from, seconds};
    applyCurve();
}

double GstFilePlayer::outputLatency() const {
    if (!pipeline_ || pendingSeek_ || ended_)
        return 0;
    return std::max(0.0, processingFront() - heardPosition());
}

// ---- transport ----

void GstFilePlayer::play() {
    if (failed_ || !pipeline_)
        return;
    if (ended_) {
        ended_ = false;
        setCurrentTime(0);
    }
    finishDeferredPause(false);
    if (std::exchange(volumeHeld_, false)) {
        if (const auto volume = std::exchange(volumeAfterPause_, std::nullopt))
            setVolume(*volume);
    }
    playing_ = true;
    // A short file whose end fade waits for its length would be read past the fall's start
    // before the length is known: it plays once the length is known and the fall planned.
    if (!prerolled_ && endFadeWanted_)
        playOnPreroll_ = true;
    else
        requestState(GST_STATE_PLAYING);
    retireFinishedRamp();
}

void GstFilePlayer::pause() {
    if (!pipeline_)
        return;
    playing_ = false;
    playOnPreroll_ = false;
    // A fade that was just processed is still on its way to the speaker (the output's latency,
    // up to a few hundred ms): pausing now would cut it with a click, so the output keeps
    // running until its end has been heard.
    // The output's buffer (and the sound server's) is heard after the position it reports.
    const double tail = rampHeardUntil_ - heardPosition() + outputBuffer(output_);
    if (tail > 0.005 && tail < 1.0 && !pendingSeek_) {
        if (!deferredPause_) {
            deferredPause_ = std::make_unique<QTimer>();
            deferredPause_->setSingleShot(true);
            QObject::connect(deferredPause_.get(), &QTimer::timeout,
                             [this] { finishDeferredPause(true, true); });
            deferredPause_->start(int(std::ceil(tail * 1000)) + 20);
        }
        return;
    }
    requestState(GST_STATE_PAUSED);
    holdVolume();
}

void GstFilePlayer::holdVolume() {
    // The pause takes effect on the worker, a moment later (longer on a busy machine), and the
    // stream goes on through the volume stage until then: what it makes meanwhile lies in the
    // output's buffer and is heard first when play resumes. A volume set now would make those
    // samples loud after the silence of a pause's fade, a click; so the stage keeps the level
    // the fade ended at, at any position (a seek while paused prerolls at it too), and a louder
    // volume set meanwhile is applied at the next play.
    volumeHeld_ = true;
    if (ramp_ && processingFront() >= ramp_->end) {
        ramp_.reset(); // its end holds: staticVolume_
        applyCurve();
    }
}

void GstFilePlayer::finishDeferredPause(bool pauseNow, bool fromTimer) {
    if (!deferredPause_)
        return;
    if (fromTimer)
        deferredPause_.release()->deleteLater(); // its own timeout is running
    else
        deferredPause_.reset();
    if (pauseNow) {
        requestState(GST_STATE_PAUSED);
        holdVolume();
    }
    if (const auto seek = std::exchange(seekAfterPause_, std::nullopt))
        setCurrentTime(*seek);
    if (!volumeHeld_) { // played again before the pause was made
        if (const auto volume = std::exchange(volumeAfterPause_, std::nullopt))
            setVolume(*volume);
    }
}

void GstFilePlayer::stop() {
    if (!pipeline_)
        return;
    lastPosition_ = currentTime();
    // At its end the output still holds the file's last moments: they are heard before it goes.
    double playOutUntil = fadeForRelease();
    if (ended_ && !failed_)
        playOutUntil = duration();
    watch_.reset();
    // Threads and the audio device are released on the worker, once what sounds has been heard.
    releasePipeline(playOutUntil);
    playing_ = false;
}

double GstFilePlayer::currentTime() const {
    if (seekAfterPause_)
        return *seekAfterPause_;
    // The position the volume stage has reached: fades start there, so the engine's decisions
    // (the crossfade's start before the end) line up with what will be heard.
    if (!pipeline_ || ended_)
        return heardPosition();
    return processingFront();
}

double GstFilePlayer::heardPosition() const {
    if (!pipeline_)
        return lastPosition_;
    if (ended_)
        return std::max(duration(), lastPosition_);
    if (pendingSeek_)
        return *pendingSeek_;
    if (switchPending_) {
        // Until the next file is heard, the sink's position may already be in its time: the
        // earlier file's position is counted from the running time instead.
        GstSegment before;
        bool known = false;
        {
            const std::lock_guard lock(next_->mutex);
            before = next_->before;
            known = next_->boundaryKnown;
        }
        const gint64 heard = heardRunningTime();
        if (known && heard >= gint64(before.base)) {
            const double at = gst::toSeconds(gint64(before.time) + heard - gint64(before.base));
            lastPosition_ = duration_ > 0 ? std::min(at, duration_) : at;
        }
        return lastPosition_;
    }
    // One tick reads the position several times; a query within the last 2 ms is reused.
    const gint64 now = g_get_monotonic_time();
    if (now - positionQueriedAt_ < 2000)
        return lastPosition_;
    gint64 position = 0;
    if (gst_element_query_position(output_, GST_FORMAT_TIME, &position) && position >= 0) {
        lastPosition_ = gst::toSeconds(position);
        positionQueriedAt_ = now;
    }
    return lastPosition_;
}

void GstFilePlayer::setCurrentTime(double seconds) {
    if (!pipeline_)
        return;
    // The player clamps: a position that is not a number or lies outside the file never reaches
    // GStreamer.
    if (std::isnan(seconds) || seconds < 0)
        seconds = 0;
    checkSwitch(true); // a file going on into the next one is sought in the new one
    const double length = duration();
    if (length > 0 && seconds > length)
        seconds = length;
    else if (std::isinf(seconds))
        seconds = 0;
    if (deferredPause_) { // a seek now would flush the fade still to be heard: after it
        seekAfterPause_ = seconds;
        return;
    }

    // The end fade belongs to the position left: the engine plans it again from the new one.
    const bool hadEndFade = endFade_.has_value();
    endFade_.reset();
    // A running ramp is re-anchored at the new position with its remaining length.
    std::optional<Ramp> carried;
    if (ramp_) {
        const double front = processingFront();
        const double remaining = ramp_->end - front;
        if (remaining > 0)
            carried = Ramp{seconds, seconds + remaining, volumeAt(front), ramp_->to};
        else
            setVolume(ramp_->to);
    }
    finishDeferredPause(true); // the seek flushes what was still to be heard
    rampHeardUntil_ = 0;
    ended_ = false;
    lastPosition_ = seconds;
    positionQueriedAt_ = 0;
    pendingSeek_ = seconds;
    front_->store(-1);
    {
        const std::lock_guard lock(meter_->mutex);
        meter_->windows.clear(); // windows of the old position
    }
    if (prerolled_)
        applyPendingSeek();
    if (carried)
        startRamp(carried->start, carried->from, carried->end, carried->to);
    else if (hadEndFade)
        applyCurve();
}

void GstFilePlayer::applyPendingSeek() {
    if (!pendingSeek_ || !pipeline_)
        return;
    // On the worker: the flush pauses the output, which may wait on the sound server. The
    // position reads as the target until the seek's preroll is done (pendingSeek_).
    GstElement* pipeline = pipeline_.get();
    const gint64 target = gst::toNanoseconds(*pendingSeek_);
    worker_->post([pipeline, target] {
        gst_element_seek_simple(pipeline, GST_FORMAT_TIME,
                                GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), target);
    });
}

double GstFilePlayer::duration() const {
    if (duration_ <= 0 && pipeline_) {
        gint64 length = 0;
        if (gst_element_query_duration(output_, GST_FORMAT_TIME, &length) && length > 0)
            duration_ = gst::toSeconds(length);
    }
    return duration_;
}

// ---- metering ----

void GstFilePlayer::updateMeters() {
    // Level messages run ahead of the speaker by the output's buffer: take the newest window
    // that has been heard.
    const double heard = heardPosition() + 0.025;
    const std::lock_guard lock(meter_->mutex);
    auto& windows = meter_->windows;
    while (windows.size() > 1 && windows[1].end <= heard)
        windows.pop_front();
    if (!windows.empty() && windows.front().end <= heard + 0.05)
        power_ = windows.front().rmsDb;
}

float GstFilePlayer::averagePower(int channel) const {
    Q_UNUSED(channel); // channel 0 is the only one metered
    return metering_ ? power_ : -160.0f;
}

} // namespace orvane
