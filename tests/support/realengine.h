#pragma once

#include "engine/audioengine.h"
#include "engine/clock.h"
#include "engine/gstplayerfactory.h"
#include "engine/gstsupport.h"
#include "engine/playerworker.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace orvane::test {

// The engine on the real GStreamer players (into the test run's ORVANE_AUDIO_SINK), with a
// private settings file and the system's clock unless another is given.
struct RealEngine {
    explicit RealEngine(Clock* clock = nullptr, Announcer* announcer = nullptr)
        : engine(std::make_unique<AudioEngine>(EngineServices{
              clock ? clock : &systemClock, &players, &settings, nullptr, announcer, {}, {}, {}})) {
    }
    // The pipelines go down on their players' workers: none is left running past the test.
    ~RealEngine() {
        engine.reset();
        PlayerWorker::waitForAll(10000);
    }
    RealEngine(const RealEngine&) = delete;
    RealEngine& operator=(const RealEngine&) = delete;

    // Drops the engine; true once every pipeline it made is gone.
    bool end() {
        engine.reset(); // stops every player it holds or fades out
        return QTest::qWaitFor([] { return gst::livePipelines() == 0; }, 10000);
    }

    QTemporaryDir dir; // holds the settings file; the test's own files may go here too
    QSettings settings{dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat};
    SystemClock systemClock;
    GstPlayerFactory players;
    std::unique_ptr<AudioEngine> engine;
};

} // namespace orvane::test
