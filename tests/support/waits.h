#pragma once

namespace orvane {
class AudioEngine;
}

namespace orvane::test {

// Waits for events, not for time: a test asserts that something did not happen once the moment
// it would have happened has passed, whatever the machine's speed.

// Until the engine's readers have nothing left to do and the main thread has taken in all they
// handed over (two passes in a row through the event queue find the readers' pool idle and the
// playlist unchanged): every read and folder walk asked for so far has then shown.
bool settle(AudioEngine& engine, int timeoutMs = 60000);

// Until the GLib main context has a pass with nothing of default priority ready, GStreamer's bus
// watches included: every message a pipeline posted on its bus before the call has been handled.
bool busesDrained(int timeoutMs = 10000);

} // namespace orvane::test
