#pragma once

#include "engine/playerfactory.h"

namespace orvane {

// The real players, on GStreamer.
class GstPlayerFactory final : public PlayerFactory {
public:
    std::shared_ptr<AudioFilePlayer> openFile(const QString& path, QString* error) override;
    std::shared_ptr<StreamPlayer> openStream(const QUrl& url) override;
    FileCheck fileCheck() const override;
};

} // namespace orvane
