#pragma once

#include <QString>
#include <QUrl>
#include <functional>
#include <memory>

namespace orvane {

class AudioFilePlayer;
class StreamPlayer;

// Makes the engine's players. The engine owns what it gets through shared_ptr because a fading
// player outlives its place in the engine (the crossfade-out and pause-fade tasks hold it).
class PlayerFactory {
public:
    virtual ~PlayerFactory() = default;
    // Opens a local file. On failure returns null and writes a description to *error.
    virtual std::shared_ptr<AudioFilePlayer> openFile(const QString& path, QString* error) = 0;
    // Never fails; the stream is opened lazily.
    virtual std::shared_ptr<StreamPlayer> openStream(const QUrl& url) = 0;

    // The cheap part of openFile: whether a file could be opened at all, as a description of
    // the problem (empty when it could). The function is safe to call from any thread and does
    // not depend on the factory staying alive.
    using FileCheck = std::function<QString(const QString& path)>;
    virtual FileCheck fileCheck() const = 0;
};

} // namespace orvane
