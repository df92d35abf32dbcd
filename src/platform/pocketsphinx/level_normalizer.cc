#include "platform/pocketsphinx/level_normalizer.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace quillmor_speech {

namespace {

constexpr double kSilenceDb = -120;
// Pieces below this are digital silence or dither; they count as this quiet.
constexpr double kFloorDb = -90;
// Where the loudest piece of normal speech lies; quieter speech is raised to it.
constexpr double kTargetDb = -24;
constexpr double kMaxGainDb = 40;
// How far the loudest piece must stand above the background (the quietest tenth of the
// window) before it counts as speech.
constexpr double kSpeechContrastDb = 12;
constexpr double kWindowSeconds = 10;
constexpr double kRiseDbPerSecond = 30;

double gainFactor(double db) { return std::pow(10.0, db / 20); }

}  // namespace

double levelDb(std::span<const std::int16_t> samples) {
  if (samples.empty()) return kSilenceDb;
  double sum = 0;
  for (std::int16_t s : samples) sum += static_cast<double>(s) * s;
  const double rms = std::sqrt(sum / static_cast<double>(samples.size())) / 32768.0;
  if (rms <= 0) return kSilenceDb;
  return std::max(kSilenceDb, 20 * std::log10(rms));
}

LevelNormalizer::LevelNormalizer(double pieceSeconds)
    : windowPieces_(static_cast<std::size_t>(std::max(1.0, kWindowSeconds / pieceSeconds))),
      risePerPieceDb_(kRiseDbPerSecond * pieceSeconds) {}

double LevelNormalizer::desiredGainDb() const {
  std::vector<double> heard;
  for (double level : levels_) heard.push_back(std::max(level, kFloorDb));
  std::sort(heard.begin(), heard.end());
  const double loudest = heard.back();
  const double background = heard[heard.size() / 10];
  if (loudest <= kFloorDb || loudest - background < kSpeechContrastDb) return gainDb_;
  return std::clamp(kTargetDb - loudest, 0.0, kMaxGainDb);
}

void LevelNormalizer::apply(std::span<std::int16_t> piece) {
  levels_.push_back(levelDb(piece));
  if (levels_.size() > windowPieces_) levels_.pop_front();
  const double desired = desiredGainDb();
  const double from = gainDb_;
  // Falls at once (the whole piece at the lower gain), rises gradually across the piece.
  gainDb_ = desired < from ? desired : std::min(desired, from + risePerPieceDb_);
  if (gainDb_ == 0 && from == 0) return;
  const double start = gainFactor(desired < from ? gainDb_ : from);
  const double end = gainFactor(gainDb_);
  const double n = static_cast<double>(piece.size());
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const double gain = start + (end - start) * (static_cast<double>(i + 1) / n);
    const double value = std::round(piece[i] * gain);
    piece[i] = static_cast<std::int16_t>(std::clamp(value, -32768.0, 32767.0));
  }
}

}  // namespace quillmor_speech
