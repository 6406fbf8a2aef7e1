#pragma once

#include <cstddef>
#include <vector>

namespace orvane {

// EBU R128 / ITU-R BS.1770 loudness of interleaved float samples: the K-weighting filter (its
// two biquads designed for the stream's rate), 400 ms blocks every 100 ms, and the gated
// integrated loudness (absolute gate -70 LUFS, relative gate 10 LU below the ungated mean).
// Channels 0-2 count once, the fourth (LFE of 5.1) not at all, later ones 1.41 times. Also
// keeps the sample peak. One thread at a time.
class LoudnessMeter {
public:
    LoudnessMeter(int rate, int channels);
    void add(const float* interleaved, std::size_t frames);
    // The gated integrated loudness in LUFS; -HUGE_VAL when nothing passes the gates.
    double integrated() const;
    // The momentary loudness (LUFS) of every 400 ms block, one every 100 ms from the start.
    std::vector<double> momentary() const;
    // The largest absolute sample value (1 = full scale).
    double peak() const { return peak_; }
    int rate() const { return rate_; }

    static constexpr double referenceLufs = -18.0; // ReplayGain's target loudness

private:
    struct Biquad {
        double b0, b1, b2, a1, a2;
    };
    struct State {
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    };
    static double run(const Biquad& f, State& s, double x);

    int rate_, channels_;
    Biquad shelf_{}, highpass_{};
    std::vector<State> shelfState_, highpassState_;
    std::vector<double> weight_;
    std::size_t step_;      // frames per 100 ms
    std::size_t inStep_ = 0; // frames of the current 100 ms
    double stepEnergy_ = 0;
    std::vector<double> steps_; // mean weighted power of each 100 ms
    double peak_ = 0;
};

} // namespace orvane
