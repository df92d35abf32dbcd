#include "platform/pocketsphinx/held_tones.h"

extern "C" {
#include <libavutil/tx.h>
}

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace quillmor_speech {

namespace {

constexpr int kFrameSamples = 512;  // 32 ms
constexpr int kHopSamples = 160;    // 10 ms
constexpr int kBins = kFrameSamples / 2 + 1;
constexpr int kLagFrames = 3;
constexpr double kHeldSimilarity = 0.9;
constexpr int kShortestRun = 8;
constexpr double kLoudRange = 1e-3;  // 30 dB below the loudest frame's energy
constexpr int kFewestLoudFrames = 20;

struct TransformDeleter {
  void operator()(AVTXContext* context) const { av_tx_uninit(&context); }
};
using TransformPtr = std::unique_ptr<AVTXContext, TransformDeleter>;

// The magnitude spectrum of every frame, one row of kBins after another, and each frame's energy.
bool spectra(std::span<const std::int16_t> samples, std::vector<float>& magnitudes,
             std::vector<double>& energies) {
  AVTXContext* raw = nullptr;
  av_tx_fn transform = nullptr;
  const float scale = 1.0f;
  if (av_tx_init(&raw, &transform, AV_TX_FLOAT_RDFT, 0, kFrameSamples, &scale, AV_TX_UNALIGNED) <
      0) {
    return false;
  }
  TransformPtr context(raw);
  std::vector<float> window(kFrameSamples);
  for (int i = 0; i < kFrameSamples; ++i) {
    window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / kFrameSamples));
  }
  std::vector<float> in(kFrameSamples);
  std::vector<AVComplexFloat> out(kBins);
  for (std::size_t at = 0; at + kFrameSamples <= samples.size(); at += kHopSamples) {
    for (int i = 0; i < kFrameSamples; ++i) in[i] = samples[at + i] * window[i];
    transform(context.get(), out.data(), in.data(), sizeof(float));
    double energy = 0;
    for (const AVComplexFloat& bin : out) {
      const double power =
          static_cast<double>(bin.re) * bin.re + static_cast<double>(bin.im) * bin.im;
      magnitudes.push_back(static_cast<float>(std::sqrt(power)));
      energy += power;
    }
    energies.push_back(energy);
  }
  return true;
}

}  // namespace

double heldToneShare(std::span<const std::int16_t> samples) {
  std::vector<float> magnitudes;
  std::vector<double> energies;
  if (!spectra(samples, magnitudes, energies) || energies.empty()) return 0;
  const double loudest = *std::max_element(energies.begin(), energies.end());
  auto loud = [&](std::size_t frame) {
    return loudest > 0 && energies[frame] > loudest * kLoudRange;
  };
  auto similarity = [&](std::size_t a, std::size_t b) {
    const float* x = magnitudes.data() + a * kBins;
    const float* y = magnitudes.data() + b * kBins;
    double xy = 0, xx = 0, yy = 0;
    for (int i = 0; i < kBins; ++i) {
      xy += static_cast<double>(x[i]) * y[i];
      xx += static_cast<double>(x[i]) * x[i];
      yy += static_cast<double>(y[i]) * y[i];
    }
    return xy / std::sqrt(xx * yy + 1e-9);
  };
  int loudFrames = 0, inLongRuns = 0, run = 0;
  auto endRun = [&] {
    if (run >= kShortestRun) inLongRuns += run;
    run = 0;
  };
  for (std::size_t frame = kLagFrames; frame < energies.size(); ++frame) {
    if (!loud(frame) || !loud(frame - kLagFrames)) {
      endRun();
      continue;
    }
    ++loudFrames;
    if (similarity(frame, frame - kLagFrames) > kHeldSimilarity) {
      ++run;
    } else {
      endRun();
    }
  }
  endRun();
  if (loudFrames < kFewestLoudFrames) return 0;
  return static_cast<double>(inLongRuns) / loudFrames;
}

}  // namespace quillmor_speech
