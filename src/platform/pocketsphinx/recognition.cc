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
// How much audio without speech confirms the pause at which the second pass was run early
// (with the pause, about the decoder's own 0.5 s of trailing silence).
constexpr std::size_t kConfirmSamples = 5600;
// The least audio (lead included) of an utterance worth an early pass: a short one's pass is
// quick anyway.
constexpr std::size_t kEarlyMinSamples = 24000;
// A piece this far below the utterance's loudest is quiet; a run of quiet pieces is a pause
// (the hypothesis still stretches its last word over it, and it shows silence in music).
constexpr double kQuietBelowDb = 25;
constexpr int kQuietPieces = 3;
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
  if (early_ && !soundAfterEarly_) {
    deliverFinal(*early_);  // nothing follows: no mean to carry
  } else if (inSpeech_) {
    endUtterance(false);
  }
}

void Recognition::feedPiece(std::span<std::int16_t> piece) {
  const double level = levelDb(piece);
  raw_.assign(piece.begin(), piece.end());
  normalizer_.apply(piece);
  check(ps_process_raw(decoder_, piece.data(), piece.size(), 0, 0), "Recognising the audio failed");
  samplesFed_ += piece.size();
  const bool speech = ps_get_in_speech(decoder_) != 0;
  keepAudio(raw_, speech && !inSpeech_);
  if (early_) {
    if (!speech) {
      // Sound that the decoder did not take for speech (a short or soft last word) may still
      // hold words: then the final comes from a pass over all of the audio.
      if (level > loudestDb_ - kQuietBelowDb) soundAfterEarly_ = true;
      if (samplesFed_ - earlyAt_ < kConfirmSamples) return;
      if (soundAfterEarly_) {
        endUtterance(true);
      } else {
        secondPass_.carryMean();
        deliverFinal(*early_);
      }
      return;
    }
    // The speaker went on: the utterance continues, and its final will come from a pass over
    // all of it.
    early_.reset();
    earlySpent_ += earlySize_;
  }
  if (!speech) {
    // Utterances are ended only after speech was seen in them: the library misbehaves after
    // many empty ones.
    if (inSpeech_) endUtterance(true);
    return;
  }
  if (!inSpeech_) limiter_.startUtterance();
  inSpeech_ = true;
  loudestDb_ = std::max(loudestDb_, level);
  quietPieces_ = level < loudestDb_ - kQuietBelowDb ? quietPieces_ + 1 : 0;
  const bool testPause = limiter_.wantsPauseTest();
  const bool volatileDue =
      reporting_.volatileResults &&
      (!lastVolatileAt_ || samplesFed_ - *lastVolatileAt_ >= kVolatileIntervalSamples);
  const bool earlyAllowed =
      utterance_.size() >= kEarlyMinSamples && earlySpent_ <= utterance_.size() * 3 / 2;
  std::vector<Word> segments;
  if (testPause || volatileDue) segments = hypothesisSegments(decoder_, false);
  if (limiter_.endAfter(level, testPause && endsInPause(segments))) {
    endUtterance(true);
    earliestStart_ = samplesFed_;
  } else if (earlyAllowed && quietPieces_ >= kQuietPieces) {
    passEarly();
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

bool Recognition::endsInPause(const std::vector<Word>& segments) {
  if (segments.empty() || !segments.back().isPause()) return false;
  return segments.back().endFrame - segments.back().startFrame + 1 >= kPauseFrames;
}

std::vector<Word> Recognition::finalWords(bool carryMean) {
  std::vector<Word> words = spokenWords(secondPass_.decode(utterance_, utteranceStart_, carryMean));
  if (heldToneShare(utterance_) >= kMusicShare) words.clear();
  return words;
}

void Recognition::endUtterance(bool startNext) {
  check(ps_end_utt(decoder_), "Ending an utterance failed");
  deliverFinal(finalWords(true));
  if (startNext) check(ps_start_utt(decoder_), "Starting an utterance failed");
}

void Recognition::passEarly() {
  check(ps_end_utt(decoder_), "Ending an utterance failed");
  // The live pass's words as its own end of utterance settles them (the last word of a
  // hypothesis in progress often still stretches over the pause).
  const std::vector<Word> settled = spokenWords(hypothesisSegments(decoder_, false));
  // The pass is given the trailing silence it would have had at the decoder's end of speech,
  // repeated from the pause so far: how much silence an utterance ends in moves its mean.
  const std::size_t real = utterance_.size();
  earlySize_ = real;
  const std::size_t pause = std::min(quietPieces_ * kPieceSamples, real);
  const std::vector<std::int16_t> silence(utterance_.end() - pause, utterance_.end());
  for (std::size_t added = 0; pause > 0 && added < kConfirmSamples;) {
    const std::size_t take = std::min(pause, kConfirmSamples - added);
    utterance_.insert(utterance_.end(), silence.begin(), silence.begin() + take);
    added += take;
  }
  early_ = finalWords(false);
  utterance_.resize(real);
  // Shown now, and kept before the next live pass's words should the utterance go on: the
  // pass's words over the whole utterance (the likely final), or, when it found none (held
  // tones, noise), the live pass's words after those kept already.
  if (!early_->empty()) {
    earlierWords_ = *early_;
  } else {
    earlierWords_.insert(earlierWords_.end(), settled.begin(), settled.end());
  }
  if (reporting_.volatileResults) deliverVolatileResult({});
  earlyAt_ = samplesFed_;
  soundAfterEarly_ = false;
  check(ps_start_utt(decoder_), "Starting an utterance failed");
}

void Recognition::deliverFinal(const std::vector<Word>& words) {
  if (!words.empty()) results_.deliver(makeResult(words, true));
  utterance_.clear();
  inSpeech_ = false;
  early_.reset();
  earlySpent_ = 0;
  earlierWords_.clear();
  loudestDb_ = -1000;
  quietPieces_ = 0;
  lastVolatileText_.clear();
  lastVolatileAt_.reset();
}

void Recognition::deliverVolatileResult(const std::vector<Word>& segments) {
  std::vector<Word> words = earlierWords_;
  const std::vector<Word> live = spokenWords(segments);
  words.insert(words.end(), live.begin(), live.end());
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
