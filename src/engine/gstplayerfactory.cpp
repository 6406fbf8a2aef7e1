#include "engine/gstplayerfactory.h"

#include "engine/gstfileplayer.h"
#include "engine/gststreamplayer.h"
#include "engine/gstsupport.h"

#include <QNetworkAccessManager>

namespace orvane {

GstPlayerFactory::GstPlayerFactory() = default;
GstPlayerFactory::~GstPlayerFactory() = default;

std::shared_ptr<AudioFilePlayer> GstPlayerFactory::openFile(const QString& path, QString* error) {
    return GstFilePlayer::open(path, error);
}

std::shared_ptr<StreamPlayer> GstPlayerFactory::openStream(const QUrl& url) {
    if (!network_)
        network_ = std::make_unique<QNetworkAccessManager>();
    return std::make_shared<GstStreamPlayer>(url, network_.get());
}

void GstPlayerFactory::warmUp() {
    if (warmer_)
        return;
    warmer_ = std::make_unique<PlayerWorker>();
    warmer_->post([warm = warm_] {
        gst::warmUp();
        warm->store(true);
    });
}

PlayerFactory::FileCheck GstPlayerFactory::fileCheck() const {
    return &GstFilePlayer::check;
}

} // namespace orvane
