#pragma once

#include <QObject>

namespace orvane {

// A network stream being played; one instance per started station. Used from the main thread
// only. Reports arrive as signals on the main thread.
class StreamPlayer : public QObject {
    Q_OBJECT
public:
    enum class TimeControlStatus { Paused, WaitingToPlayAtSpecifiedRate, Playing };
    Q_ENUM(TimeControlStatus)
    enum class ItemStatus { Unknown, ReadyToPlay, Failed };
    Q_ENUM(ItemStatus)

    using QObject::QObject;
    ~StreamPlayer() override;

    virtual void setVolume(float volume) = 0;
    virtual void play() = 0;
    virtual void pause() = 0;

    virtual TimeControlStatus timeControlStatus() const = 0;
    virtual ItemStatus itemStatus() const = 0;
    // Why the item failed, in plain words ("the playlist lists no streams"); empty when it has
    // not or the player does not say.
    virtual QString lastError() const { return {}; }

    // Why the item failed, as far as the player can tell; read when it reports Failed.
    enum class Failure { None, Other, NotFound, Refused, NotAudio, TimedOut, ServerError };
    struct FailureReason {
        Failure kind = Failure::None;
        int httpStatus = 0; // with ServerError
        bool operator==(const FailureReason&) const = default;
    };
    virtual FailureReason failureReason() const { return {}; }
    // The reason in words ("address not found", "server error 503"); empty for none or other.
    static QString describe(const FailureReason& reason, const QString& lang);

Q_SIGNALS:
    void timeControlStatusChanged(orvane::StreamPlayer::TimeControlStatus status);
    void itemStatusChanged(orvane::StreamPlayer::ItemStatus status);
    // What the station says is playing now (already cleaned); empty when it stops saying.
    void streamTitleChanged(const QString& title);
};

} // namespace orvane
