#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <vector>

namespace orvane::test {

// A private PulseAudio server with one null sink ("spk", 44.1 kHz stereo) on a socket of its
// own, and a recorder on that sink's monitor: what players send to the server can be measured.
// start() points PULSE_SERVER of this process at it.
class SoundServer {
public:
    static constexpr int kRate = 44100;

    ~SoundServer() { stop(); }
    // True when pulseaudio and parec are installed.
    static bool available();
    bool start();
    // Records the monitor as raw s16le stereo into `path`; returns once the first second has
    // arrived (a fresh null sink takes a moment to deliver).
    bool record(const QString& path);
    // Stops the recorder and the server.
    void stop();
    // SIGSTOP and SIGCONT the server: a sound server that stops answering, and again.
    void suspend();
    void resume();
    qint64 pid() const { return daemon_.processId(); }
    // "unix:<socket>", for child processes.
    QString address() const { return address_; }

private:
    QTemporaryDir runtime_;
    QProcess daemon_, recorder_, keeper_;
    QString address_;
};

// Amplitude of one frequency in the left channel of raw s16le stereo at 44.1 kHz, per window of
// `window` samples (50 ms unless told; Goertzel): 0.5 for a sine of amplitude 0.5. A window that
// holds a whole number of the tone's cycles measures it exactly and does not see tones of other
// whole numbers of cycles.
std::vector<double> toneAmplitudes(const QByteArray& raw, double frequency,
                                   int window = SoundServer::kRate / 20);

} // namespace orvane::test
