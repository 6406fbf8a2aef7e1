#pragma once

#include <QMetaObject>
#include <QObject>
#include <functional>
#include <memory>
#include <utility>

namespace orvane {

// Runs a function once on the event loop's next pass, however often it is asked for before
// then: for observers of a signal that comes thousands of times in a row (a long add publishes
// the playlist once per appended track) and whose work is only worth doing once it settles.
// Main thread. Nothing runs once `context` is gone.
class Coalesced {
public:
    Coalesced(QObject* context, std::function<void()> fn)
        : context_(context)
        , fn_(std::make_shared<std::function<void()>>(std::move(fn))) {}

    void request() {
        if (std::exchange(*queued_, true))
            return;
        QMetaObject::invokeMethod(
            context_,
            [queued = queued_, fn = fn_] {
                if (std::exchange(*queued, false))
                    (*fn)();
            },
            Qt::QueuedConnection);
    }
    // The work was done another way meanwhile: the pass asked for does nothing.
    void cancel() { *queued_ = false; }

private:
    QObject* context_;
    std::shared_ptr<std::function<void()>> fn_;
    std::shared_ptr<bool> queued_ = std::make_shared<bool>(false);
};

} // namespace orvane
