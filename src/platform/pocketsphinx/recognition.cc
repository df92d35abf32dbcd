#include "platform/pocketsphinx/recognition.h"

#include <algorithm>

#include "platform/pocketsphinx/held_tones.h"
#include "platform/pocketsphinx/pocketsphinx_handles.h"

namespace quillmor_speech {

namespace {

constexpr double kSampleRate = 16000;
constexpr std::size_t kPieceSamples = 800;
constexpr double kPieceSeconds = kPieceSamples / kSampleRate;
// The least audio between two volatile results of one utterance.
constexpr std::size_t kVolatileIntervalSamples = 3200;
// The shortest silence or filler at the end of a hypothesis that counts as a pause.
constexpr int kPauseFrames = 10;
// How much audio before the point where speech was detected the second pass decodes.
constexpr std::size_t kLeadSamples = 8000;
// The share of held tones from which an utterance is taken for music (held_tones.h: speech
// stays at or below 0.33 per utterance, music is at or above 0.54).
constexpr double kMusicShare = 0.45;

void check(int returned, const char* whatFailed) {
  if (returned < 0) throw SpeechError(describePocketSphinxFailure(whatFailed, returned, ""));
}

}  // namespace

Recognition::Recognition(ps_decoder_t* decoder, double frameRate, ReportingOptions reporting,
                         AttributeOptions attributes, std::string locale, ResultSequence& results)
    : decoder_(decoder),
      frameRate_(frameRate),
      reporting_(reporting),
      attributes_(attributes),
      locale_(std::move(locale)),
      results_(results),
      cutter_(kPieceSamples),
      normalizer_(kPieceSeconds),
      limiter_(kPieceSeconds),
      secondPass_(decoder) {}

void Recognition::feed(std::span<const std::int16_t> samples) {
  cutter_.append(samples, [this](std::span<std::int16_t> piece) { feedPiece(piece); });
}

void Recognition::finish() {
  std::vector<std::int16_t> rest = cutter_.takeRest();
  if (!rest.empty()) feedPiece(rest);
  if (inSpeech_) endUtterance(false);
}

void Recognition::feedPiece(std::span<std::int16_t> piece) {
  const double level = levelDb(piece);
  raw_.assign(piece.begin(), piece.end());
  normalizer_.apply(piece);
  check(ps_process_raw(decoder_, piece.data(), piece.size(), 0, 0), "Recognising the audio failed");
  samplesFed_ += piece.size();
  const bool speech = ps_get_in_speech(decoder_) != 0;
  keepAudio(raw_, speech && !inSpeech_);
  if (!speech) {
    // Utterances are ended only after speech was seen in them: the library misbehaves after
    // many empty ones.
    if (inSpeech_) endUtterance(true);
    return;
  }
  if (!inSpeech_) limiter_.startUtterance();
  inSpeech_ = true;
  const bool testPause = limiter_.wantsPauseTest();
  const bool volatileDue =
      reporting_.volatileResults &&
      (!lastVolatileAt_ || samplesFed_ - *lastVolatileAt_ >= kVolatileIntervalSamples);
  std::vector<Word> segments;
  if (testPause || volatileDue) segments = hypothesisSegments(decoder_, false);
  if (limiter_.endAfter(level, testPause && endsInPause(segments))) {
    endUtterance(true);
    earliestStart_ = samplesFed_;
  } else if (volatileDue) {
    deliverVolatileResult(segments);
  }
}

void Recognition::keepAudio(std::span<const std::int16_t> piece, bool startsUtterance) {
  recent_.insert(recent_.end(), piece.begin(), piece.end());
  const std::size_t keep = kLeadSamples + piece.size();
  if (recent_.size() > keep) recent_.erase(recent_.begin(), recent_.end() - keep);
  if (startsUtterance) {
    const std::size_t available = std::min(recent_.size(), samplesFed_ - earliestStart_);
    utterance_.assign(recent_.end() - available, recent_.end());
    utteranceStart_ = samplesFed_ - available;
  } else if (inSpeech_) {
    utterance_.insert(utterance_.end(), piece.begin(), piece.end());
  }
}

bool Recognition::endsInPause(const std::vector<Word>& segments) const {
  if (segments.empty() || !segments.back().isPause()) return false;
  return segments.back().endFrame - segments.back().startFrame + 1 >= kPauseFrames;
}

void Recognition::endUtterance(bool startNext) {
  check(ps_end_utt(decoder_), "Ending an utterance failed");
  const std::vector<Word> words = spokenWords(secondPass_.decode(utterance_, utteranceStart_));
  if (!words.empty() && heldToneShare(utterance_) < kMusicShare) {
    results_.deliver(makeResult(words, true));
  }
  utterance_.clear();
  inSpeech_ = false;
  lastVolatileText_.clear();
  lastVolatileAt_.reset();
  if (startNext) check(ps_start_utt(decoder_), "Starting an utterance failed");
}

void Recognition::deliverVolatileResult(const std::vector<Word>& segments) {
  const std::vector<Word> words = spokenWords(segments);
  if (words.empty()) return;
  std::string text = joinedText(words);
  if (text == lastVolatileText_) return;
  results_.deliver(makeResult(words, false));
  lastVolatileText_ = std::move(text);
  lastVolatileAt_ = samplesFed_;
}

SpeechTranscriptionResult Recognition::makeResult(const std::vector<Word>& words,
                                                  bool isFinal) const {
  SpeechTranscriptionResult result;
  result.isFinal = isFinal;
  result.text = resultRuns(words, isFinal && attributes_.transcriptionConfidence, locale_);
  const double fedSeconds = static_cast<double>(samplesFed_) / kSampleRate;
  const double start = std::min(words.front().startFrame / frameRate_, fedSeconds);
  const double end = std::clamp((words.back().endFrame + 1) / frameRate_, start, fedSeconds);
  result.range = CMTimeRange{CMTime{start}, CMTime{end - start}};
  return result;
}

}  // namespace quillmor_speech
