#include "engine/loudnessmeter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace orvane {

namespace {

double toLufs(double power) {
    return power > 0 ? -0.691 + 10.0 * std::log10(power) : -HUGE_VAL;
}

} // namespace

LoudnessMeter::LoudnessMeter(int rate, int channels)
    : rate_(std::max(rate, 1))
    , channels_(std::max(channels, 1))
    , shelfState_(size_t(channels_))
    , highpassState_(size_t(channels_))
    , step_(std::max<std::size_t>(std::size_t(rate_) / 10, 1)) {
    // BS.1770's pre-filter (a high shelf of about +4 dB) and RLB high-pass, from their analogue
    // prototypes so that any sample rate gets the response the standard gives for 48 kHz.
    const double pi = std::numbers::pi;
    {
        const double f0 = 1681.974450955533, gain = 3.999843853973347, q = 0.7071752369554196;
        const double k = std::tan(pi * f0 / rate_);
        const double vh = std::pow(10.0, gain / 20.0), vb = std::pow(vh, 0.4996667741545416);
        const double a0 = 1.0 + k / q + k * k;
        shelf_ = {(vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0,
                  (vh - vb * k / q + k * k) / a0, 2.0 * (k * k - 1.0) / a0,
                  (1.0 - k / q + k * k) / a0};
    }
    {
        const double f0 = 38.13547087602444, q = 0.5003270373238773;
        const double k = std::tan(pi * f0 / rate_);
        const double a0 = 1.0 + k / q + k * k;
        highpass_ = {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
    }
    for (int c = 0; c < channels_; ++c)
        weight_.push_back(c < 3 ? 1.0 : c == 3 ? 0.0 : 1.41);
}

double LoudnessMeter::run(const Biquad& f, State& s, double x) {
    const double y = f.b0 * x + f.b1 * s.x1 + f.b2 * s.x2 - f.a1 * s.y1 - f.a2 * s.y2;
    s.x2 = s.x1, s.x1 = x, s.y2 = s.y1, s.y1 = y;
    return y;
}

void LoudnessMeter::add(const float* samples, std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i) {
        double sum = 0;
        for (int c = 0; c < channels_; ++c) {
            const double x = samples[i * size_t(channels_) + size_t(c)];
            peak_ = std::max(peak_, std::abs(x));
            const double y = run(highpass_, highpassState_[size_t(c)],
                                 run(shelf_, shelfState_[size_t(c)], x));
            sum += weight_[size_t(c)] * y * y;
        }
        stepEnergy_ += sum;
        if (++inStep_ == step_) {
            steps_.push_back(stepEnergy_ / double(step_));
            stepEnergy_ = 0;
            inStep_ = 0;
        }
    }
}

std::vector<double> LoudnessMeter::momentary() const {
    std::vector<double> blocks;
    for (std::size_t i = 3; i < steps_.size(); ++i)
        blocks.push_back(
            toLufs((steps_[i - 3] + steps_[i - 2] + steps_[i - 1] + steps_[i]) / 4.0));
    return blocks;
}

double LoudnessMeter::integrated() const {
    std::vector<double> powers;
    for (std::size_t i = 3; i < steps_.size(); ++i)
        powers.push_back((steps_[i - 3] + steps_[i - 2] + steps_[i - 1] + steps_[i]) / 4.0);
    auto gatedMean = [&](double gate) {
        double sum = 0;
        std::size_t n = 0;
        for (const double p : powers) {
            if (toLufs(p) > gate)
                sum += p, ++n;
        }
        return n ? sum / double(n) : 0.0;
    };
    const double ungated = gatedMean(-70.0);
    if (ungated <= 0)
        return -HUGE_VAL;
    return toLufs(gatedMean(toLufs(ungated) - 10.0));
}

} // namespace orvane
