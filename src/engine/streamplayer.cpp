#include "engine/streamplayer.h"

#include "core/localization.h"

namespace orvane {

StreamPlayer::~StreamPlayer() = default;

QString StreamPlayer::describe(const FailureReason& reason, const QString& lang) {
    switch (reason.kind) {
    case Failure::NotFound:
        return loc(QStringLiteral("stream_not_found"), lang);
    case Failure::Refused:
        return loc(QStringLiteral("stream_refused"), lang);
    case Failure::NotAudio:
        return loc(QStringLiteral("stream_not_audio"), lang);
    case Failure::TimedOut:
        return loc(QStringLiteral("stream_timed_out"), lang);
    case Failure::ServerError:
        return loc(QStringLiteral("stream_server_error"), lang).arg(reason.httpStatus);
    case Failure::None:
    case Failure::Other:
        break;
    }
    return {};
}

} // namespace orvane
