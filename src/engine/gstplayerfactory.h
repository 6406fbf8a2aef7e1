#pragma once

#include "engine/playerfactory.h"

#include <memory>

class QNetworkAccessManager;

namespace orvane {

// The real players, on GStreamer. Stream players share one network access manager (made on
// the first station, on the main thread) for the look at a station's address.
class GstPlayerFactory final : public PlayerFactory {
public:
    GstPlayerFactory();
    ~GstPlayerFactory() override;

    std::shared_ptr<AudioFilePlayer> openFile(const QString& path, QString* error) override;
    std::shared_ptr<StreamPlayer> openStream(const QUrl& url) override;
    FileCheck fileCheck() const override;

private:
    std::unique_ptr<QNetworkAccessManager> network_;
};

} // namespace orvane
