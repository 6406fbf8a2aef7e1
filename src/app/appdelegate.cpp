#include "app/appdelegate.h"

#include "engine/audioengine.h"

namespace orvane {

void AppDelegate::openFiles(const QList<QUrl>& urls) {
    pending_.append(urls);
    flush();
}

void AppDelegate::setEngine(AudioEngine* engine) {
    engine_ = engine;
    flush();
}

void AppDelegate::flush() {
    if (!engine_ || pending_.isEmpty())
        return;
    const QList<QUrl> urls = std::exchange(pending_, {});
    engine_->openExternal(urls);
}

} // namespace orvane
