#include "support/waits.h"

#include "engine/audioengine.h"

#include <QDeadlineTimer>
#include <QTest>
#include <QThreadPool>
#include <algorithm>
#include <glib.h>
#include <memory>

namespace orvane::test {

namespace {

int remaining(const QDeadlineTimer& deadline) {
    return int(std::max<qint64>(1, deadline.remainingTime()));
}

} // namespace

bool settle(AudioEngine& engine, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    QThreadPool* pool = engine.readerPool();
    for (int quiet = 0; quiet < 2;) {
        if (!pool->waitForDone(remaining(deadline)))
            return false;
        // A marker posted behind everything the readers have posted so far.
        struct Pass {
            bool reached = false, idle = false;
            int changes = 0;
        };
        const auto pass = std::make_shared<Pass>();
        const QMetaObject::Connection counting =
            QObject::connect(&engine, &AudioEngine::playlistChanged, [pass] { ++pass->changes; });
        QMetaObject::invokeMethod(
            &engine,
            [pass, pool] {
                pass->reached = true;
                pass->idle = pool->activeThreadCount() == 0;
            },
            Qt::QueuedConnection);
        const bool reached = QTest::qWaitFor([&] { return pass->reached; }, remaining(deadline));
        QObject::disconnect(counting);
        if (!reached)
            return false;
        quiet = pass->idle && pass->changes == 0 ? quiet + 1 : 0;
    }
    return true;
}

bool busesDrained(int timeoutMs) {
    // An idle source runs only in a pass where no source of higher priority is ready; a bus
    // watch is ready while its bus holds a message.
    const auto reached = std::make_shared<bool>(false);
    g_idle_add_full(
        G_PRIORITY_DEFAULT_IDLE,
        [](gpointer data) -> gboolean {
            **static_cast<std::shared_ptr<bool>*>(data) = true;
            return G_SOURCE_REMOVE;
        },
        new std::shared_ptr<bool>(reached),
        [](gpointer data) { delete static_cast<std::shared_ptr<bool>*>(data); });
    return QTest::qWaitFor([&] { return *reached; }, timeoutMs);
}

} // namespace orvane::test
