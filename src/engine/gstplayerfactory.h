#pragma once

#include "engine/playerfactory.h"
#include "engine/playerworker.h"

#include <atomic>
#include <memory>

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

    // Starts loading, on a thread of its own, what the first pipeline needs (GStreamer's
    // registry and plugins), so that the first play answers like every later one. Once; the
    // caller never waits for it.
    void warmUp();
    // Whether that loading is done.
    bool isWarm() const { return warm_->load(); }

private:
    std::unique_ptr<QNetworkAccessManager> network_;
    std::shared_ptr<std::atomic<bool>> warm_ = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<PlayerWorker> warmer_; // counted with the players' workers at quit
};

} // namespace orvane
