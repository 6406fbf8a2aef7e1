#include "engine/gststreamplayer.h"
#include "core/displaytext.h"
#include "radio/streamlookup.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <mutex>

namespace orvane {

namespace {

constexpr int kPlayFlagAudio = 0x02;
constexpr guint kNetworkTimeoutSeconds = 10;

void setupSource(GstElement*, GstElement* source, gpointer) {
    GObjectClass* klass = G_OBJECT_GET_CLASS(source);
    if (g_object_class_find_property(klass, "user-agent"))
        g_object_set(source, "user-agent", GstStreamPlayer::userAgent().constData(), nullptr);
    if (g_object_class_find_property(klass, "timeout"))
        g_object_set(source, "timeout", kNetworkTimeoutSeconds, nullptr);
}

// What the look at the address found, as the window tells it.
StreamPlayer::FailureReason failureOf(const StreamLookup::Result& result) {
    using Cause = StreamLookup::Result::Cause;
    using Failure = StreamPlayer::Failure;
    switch (result.cause) {
    case Cause::NotFound:
        return {Failure::NotFound, 0};
    case Cause::Refused:
        return {Failure::Refused, 0};
    case Cause::TimedOut:
        return {Failure::TimedOut, 0};
    case Cause::ServerError:
        return {Failure::ServerError, result.httpStatus};
    case Cause::Other:
        break;
    }
    return {Failure::Other, 0};
}

// A station clears its title with an empty StreamTitle: the ICY demuxer then sends a tag list
// with no title in it, which decoders merge into theirs, so no message on the bus tells it from
// a decoder's own list (bitrate, codec). The demuxer's list is marked where it leaves the
// demuxer, and the mark travels with the sound: a tag list cannot hold an empty title, and a
// message posted here would come seconds before the last title's sound, which is still queued
// (the decoders then report that title again). Streaming thread.
constexpr const char* kTitleCleared = "orvane-title-cleared";

GstPadProbeReturn watchIcyTags(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (!event || GST_EVENT_TYPE(event) != GST_EVENT_TAG)
        return GST_PAD_PROBE_OK;
    GstTagList* tags = nullptr;
    gst_event_parse_tag(event, &tags);
    // A block that named only the station's address (StreamUrl) says nothing of the song.
    if (!tags || gst_tag_list_get_tag_size(tags, GST_TAG_TITLE) != 0 ||
        gst_tag_list_get_tag_size(tags, GST_TAG_HOMEPAGE) != 0)
        return GST_PAD_PROBE_OK;
    GstTagList* marked = gst_tag_list_copy(tags);
    gst_tag_list_add(marked, GST_TAG_MERGE_REPLACE, kTitleCleared, TRUE, nullptr);
    GstEvent* replacement = gst_event_new_tag(marked); // takes the list
    gst_event_set_seqnum(replacement, gst_event_get_seqnum(event));
    gst_event_unref(event);
    GST_PAD_PROBE_INFO_DATA(info) = replacement;
    return GST_PAD_PROBE_OK;
}

void icyPadAdded(GstElement*, GstPad* pad, gpointer) {
    if (GST_PAD_DIRECTION(pad) == GST_PAD_SRC)
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, watchIcyTags, nullptr,
                          nullptr);
}

void elementAdded(GstBin*, GstBin*, GstElement* element, gpointer) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (factory && g_strcmp0(GST_OBJECT_NAME(factory), "icydemux") == 0)
        g_signal_connect(element, "pad-added", G_CALLBACK(icyPadAdded), nullptr);
}

} // namespace

QByteArray GstStreamPlayer::userAgent() {
    return QByteArrayLiteral("Orvane/") + QByteArray(ORVANE_VERSION);
}

GstStreamPlayer::GstStreamPlayer(const QUrl& url, QNetworkAccessManager* network, QObject* parent)
    : StreamPlayer(parent)
    , url_(url)
    , network_(network) {
    gst::ensureInitialized();
    static std::once_flag once;
    std::call_once(once, [] {
        gst_tag_register(kTitleCleared, GST_TAG_FLAG_META, G_TYPE_BOOLEAN, kTitleCleared,
                         "the station cleared its title", gst_tag_merge_use_first);
    });
    if (!network_) {
        ownNetwork_ = std::make_unique<QNetworkAccessManager>();
        network_ = ownNetwork_.get();
    }
}

GstStreamPlayer::~GstStreamPlayer() {
    delete lookup_.data();
    teardown();
}

void GstStreamPlayer::lookUp(const QUrl& address) {
    if (++attempts_ > kMaxAttempts) {
        playlists_.clear();
        fail(QStringLiteral("no entry of the playlist plays in %1 tries: %2")
                 .arg(kMaxAttempts)
                 .arg(lastError_));
        return;
    }
    auto* lookup =
        new StreamLookup(network_, address, userAgent(), int(kNetworkTimeoutSeconds) * 1000, this);
    lookup_ = lookup;
    connect(
        lookup, &StreamLookup::finished, this, [this, lookup](const StreamLookup::Result& result) {
            lookup->deleteLater();
            lookup_ = nullptr;
            switch (result.type) {
            case StreamLookup::Result::Type::Stream:
                build(result.url, result.adaptive);
                if (!pipeline_)
                    return;
                trying_ = !playlists_.empty();
                reconcile();
                break;
            case StreamLookup::Result::Type::Playlist:
                if (int(playlists_.size()) >= kMaxPlaylistDepth) {
                    tryNext(
                        QStringLiteral("playlists nest more than %1 deep").arg(kMaxPlaylistDepth));
                } else {
                    playlists_.push_back({result.entries, 0});
                    tryNext(QString());
                }
                break;
            case StreamLookup::Result::Type::Failed:
                failure_ = failureOf(result);
                tryNext(result.reason);
                break;
            }
        });
    lookup->start();
}

void GstStreamPlayer::tryNext(const QString& why) {
    if (!why.isEmpty())
        lastError_ = why;
    while (!playlists_.empty()) {
        Playlist& top = playlists_.back();
        if (top.next < top.entries.size()) {
            lookUp(top.entries.at(top.next++));
            return;
        }
        playlists_.pop_back();
    }
    fail(attempts_ > 1 ? QStringLiteral("no entry of the playlist plays: %1").arg(lastError_)
                       : lastError_);
}

void GstStreamPlayer::build(const QUrl& address, bool adaptive) {
    GstElement* playbin = gst_element_factory_make(adaptive ? "playbin3" : "playbin", nullptr);
    if (!playbin) {
        fail(QStringLiteral("GStreamer's playbin is missing"));
        return;
    }
    pipeline_ = gst::adopt(playbin);
    QString error;
    const gst::SinkBin sink = gst::makeSinkBin(false, &error);
    if (!sink.bin) {
        teardown();
        fail(error);
        return;
    }
    volumeElement_ = sink.volume;
    gst::setStageVolume(volumeElement_, volume_);
    g_object_set(playbin, "uri", address.toEncoded().constData(), "flags", kPlayFlagAudio,
                 "audio-sink", sink.bin, nullptr);
    g_signal_connect(playbin, "source-setup", G_CALLBACK(setupSource), nullptr);
    g_signal_connect(playbin, "deep-element-added", G_CALLBACK(elementAdded), nullptr);
    watch_ = std::make_unique<gst::BusWatch>(playbin, &GstStreamPlayer::onBusMessage, this);
    buffering_ = false;
    reachedPlaying_ = false;
    abandoned_ = false;
}

void GstStreamPlayer::teardown() {
    watch_.reset();
    ++generation_;
    stateRequested_ = false;
    volumeElement_ = nullptr;
    if (GstElement* pipeline = gst::letGo(pipeline_))
        worker_->post([pipeline] { gst::tearDown(pipeline); });
}

void GstStreamPlayer::requestState(GstState state) {
    stateRequested_ = true;
    GstElement* pipeline = pipeline_.get(); // alive until the release, queued after this
    worker_->post(
        [this, pipeline, state, deliver = worker_->deliverer(), generation = generation_] {
            const GstStateChangeReturn result = gst_element_set_state(pipeline, state);
            // Runs on the main thread, and only while this player (its worker) exists.
            deliver([this, generation, result] {
                if (generation != generation_)
                    return;
                stateRequested_ = false;
                if (result == GST_STATE_CHANGE_FAILURE)
                    fail(QStringLiteral("the stream cannot be started"));
                else
                    reconcile();
            });
        });
}

void GstStreamPlayer::setVolume(float volume) {
    volume_ = volume;
    if (volumeElement_)
        gst::setStageVolume(volumeElement_, volume);
}

void GstStreamPlayer::play() {
    if (itemStatus_ == ItemStatus::Failed) {
        // Reconnect: the address looked at again, a fresh pipeline from NULL.
        teardown();
        failure_ = {};
        setItemStatus(ItemStatus::Unknown);
    }
    wantPlaying_ = true;
    setTimeControl(TimeControlStatus::WaitingToPlayAtSpecifiedRate);
    if (!pipeline_ && !lookup_) {
        playlists_.clear();
        attempts_ = 0;
        lookUp(url_);
        return;
    }
    reconcile();
}

void GstStreamPlayer::pause() {
    wantPlaying_ = false;
    reconcile();
    setTimeControl(TimeControlStatus::Paused);
}

void GstStreamPlayer::onBusMessage(GstMessage* message, void* self) {
    static_cast<GstStreamPlayer*>(self)->handle(message);
}

void GstStreamPlayer::handle(GstMessage* message) {
    if (abandoned_)
        return;
    // An entry of a playlist that fails before it plays gives way to the next one; the
    // pipeline is dropped from the event loop, not from inside its own bus watch.
    const auto failed = [this](const QString& why) {
        if (!trying_) {
            fail(why);
            return;
        }
        trying_ = false;
        abandoned_ = true; // its later messages are ignored; its worker takes it down
        QMetaObject::invokeMethod(
            this,
            [this, why] {
                teardown();
                tryNext(why);
            },
            Qt::QueuedConnection);
    };
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR:
        failure_ = classify(message);
        failed(gst::errorText(message));
        break;
    case GST_MESSAGE_EOS:
        failure_ = {Failure::Other, 0};
        failed(QStringLiteral("the stream ended"));
        break;
    case GST_MESSAGE_BUFFERING: {
        gint percent = 100;
        gst_message_parse_buffering(message, &percent);
        buffering_ = percent < 100;
        reconcile();
        break;
    }
    case GST_MESSAGE_TAG:
        readTitle(message);
        break;
    case GST_MESSAGE_ASYNC_DONE:
        if (itemStatus_ == ItemStatus::Unknown)
            setItemStatus(ItemStatus::ReadyToPlay);
        reconcile();
        break;
    case GST_MESSAGE_STATE_CHANGED:
        if (GST_MESSAGE_SRC(message) == GST_OBJECT(pipeline_.get())) {
            GstState oldState, newState, pending;
            gst_message_parse_state_changed(message, &oldState, &newState, &pending);
            if (newState >= GST_STATE_PAUSED && itemStatus_ == ItemStatus::Unknown)
                setItemStatus(ItemStatus::ReadyToPlay);
            reconcile();
        }
        break;
    default:
        break;
    }
}

StreamPlayer::FailureReason GstStreamPlayer::classify(GstMessage* message) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    FailureReason reason{Failure::Other, 0};
    // The HTTP source names the server's status in the error's details.
    const GstStructure* details = nullptr;
    gst_message_parse_error_details(message, &details);
    guint status = 0;
    if (details && gst_structure_get_uint(details, "http-status-code", &status) && status >= 400)
        reason = {Failure::ServerError, int(status)};
    else if (error) {
        const QString text = QString::fromUtf8(error->message).toLower();
        if (text.contains(QLatin1String("timed out")) || text.contains(QLatin1String("timeout")))
            reason.kind = Failure::TimedOut;
        else if (error->domain == GST_RESOURCE_ERROR && error->code == GST_RESOURCE_ERROR_NOT_FOUND)
            reason.kind = Failure::NotFound; // the host name did not resolve
        else if (error->domain == GST_RESOURCE_ERROR &&
                 (error->code == GST_RESOURCE_ERROR_OPEN_READ ||
                  error->code == GST_RESOURCE_ERROR_OPEN_READ_WRITE))
            reason.kind = Failure::Refused; // no connection to the server
        else if (error->domain == GST_STREAM_ERROR ||
                 (error->domain == GST_CORE_ERROR &&
                  error->code == GST_CORE_ERROR_MISSING_PLUGIN))
            reason.kind = Failure::NotAudio; // what came is no audio that can be decoded
    }
    g_clear_error(&error);
    g_free(debug);
    return reason;
}

void GstStreamPlayer::readTitle(GstMessage* message) {
    GstTagList* tags = nullptr;
    gst_message_parse_tag(message, &tags);
    if (!tags)
        return;
    // Decoders post their own tag lists (codec, bitrate) without a title: those say nothing
    // about the song. The station's name comes as "organization" and is not the song either.
    gchar* title = nullptr;
    gchar* artist = nullptr;
    // A station's empty title reaches here as the mark the ICY probe set (no song on the air
    // now); a title is read as it is, not through gst_tag_list_get_string(), which passes over
    // an empty one.
    const GValue* titleValue = gst_tag_list_get_value_index(tags, GST_TAG_TITLE, 0);
    gboolean cleared = FALSE;
    if (!titleValue && gst_tag_list_get_boolean(tags, kTitleCleared, &cleared) && cleared) {
        if (!streamTitle_.isEmpty()) {
            streamTitle_.clear(); // no song on the air now
            Q_EMIT streamTitleChanged(streamTitle_);
        }
    } else if (titleValue && G_VALUE_HOLDS_STRING(titleValue)) {
        title = g_value_dup_string(titleValue);
        gst_tag_list_get_string(tags, GST_TAG_ARTIST, &artist);
        QString text = QString::fromUtf8(title ? title : ""); // invalid bytes become U+FFFD
        if (artist && *artist)
            text = QString::fromUtf8(artist) + QStringLiteral(" - ") + text;
        text = cleanDisplayText(text);
        if (text != streamTitle_) {
            streamTitle_ = text;
            Q_EMIT streamTitleChanged(text);
        }
    }
    g_free(title);
    g_free(artist);
    gst_tag_list_unref(tags);
}

void GstStreamPlayer::reconcile() {
    if (!pipeline_ || itemStatus_ == ItemStatus::Failed)
        return;
    // Every state request goes through here, and only while the pipeline has settled. A request
    // made during an asynchronous change (a preroll, or the continuation a bin runs after its
    // preroll) can be lost: the pipeline then sits in PAUSED with a pending state that nothing
    // will ever complete, and the station never starts. While a change is under way (or still
    // being asked for on the worker) the request waits; the pipeline's next state message, or
    // the worker's answer, brings us back here.
    GstState current = GST_STATE_VOID_PENDING, pending = GST_STATE_VOID_PENDING;
    gst_element_get_state(pipeline_.get(), &current, &pending, 0);
    const GstState target = wantPlaying_ && !buffering_ ? GST_STATE_PLAYING : GST_STATE_PAUSED;
    const bool mayStart = wantPlaying_ || current >= GST_STATE_PAUSED; // a paused, unstarted
                                                                       // stream stays unopened
    if (!stateRequested_ && pending == GST_STATE_VOID_PENDING && current != target && mayStart)
        requestState(target); // done, it brings us back here
    reachedPlaying_ = current == GST_STATE_PLAYING;
    if (reachedPlaying_ && trying_) { // this entry plays: the rest of the playlist is not needed
        trying_ = false;
        playlists_.clear();
    }
    updateTimeControl();
}

void GstStreamPlayer::updateTimeControl() {
    if (!wantPlaying_ || itemStatus_ == ItemStatus::Failed)
        return;
    setTimeControl(reachedPlaying_ && !buffering_
                       ? TimeControlStatus::Playing
                       : TimeControlStatus::WaitingToPlayAtSpecifiedRate);
}

void GstStreamPlayer::fail(const QString& why) {
    lastError_ = why;
    if (failure_.kind == Failure::None)
        failure_.kind = Failure::Other;
    playlists_.clear();
    trying_ = false;
    if (pipeline_) {
        ++generation_; // what was asked of it no longer matters
        requestState(GST_STATE_NULL);
        stateRequested_ = false;
    }
    reachedPlaying_ = false;
    buffering_ = false;
    setItemStatus(ItemStatus::Failed);
    setTimeControl(TimeControlStatus::Paused);
}

void GstStreamPlayer::setTimeControl(TimeControlStatus status) {
    if (status == timeControl_)
        return;
    timeControl_ = status;
    Q_EMIT timeControlStatusChanged(status);
}

void GstStreamPlayer::setItemStatus(ItemStatus status) {
    if (status == itemStatus_)
        return;
    itemStatus_ = status;
    Q_EMIT itemStatusChanged(status);
}

} // namespace orvane
