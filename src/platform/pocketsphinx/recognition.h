// Continuous recognition on one started decoder: audio in, results out.
//
// The audio is cut into pieces of 50 ms however the host buffers it (piece_cutter.h), raised to
// a normal level when it is quiet (level_normalizer.h) and fed to the decoder piece by piece.
// After each piece the decoder's voice-activity detection is read: an utterance ends when its
// speech stops, or when it runs on too long (utterance_limiter.h), and each utterance that has
// words ends in one final result. While an utterance is in progress and volatile results were
// asked for, a volatile result (from the live pass) is delivered whenever the hypothesis text
// changes, at most every 200 ms of audio. The final result comes from a second pass over the
// utterance's audio as it came, before the level normalizer (whole_utterance_pass.h), from
// 500 ms before its speech was detected (but never from before the end of an utterance the
// length cap cut) to its end.
//
// The second pass is run early, at the start of a pause, so that its time overlaps the silence
// the decoder waits for before it ends the utterance: once an utterance has 1.5 s of audio,
// when three pieces in a row are 25 dB below the utterance's loudest, the live pass ends and
// the second pass decodes the utterance with the pause repeated to the length of silence it
// would otherwise have had. The live pass then starts again. If the decoder hears speech before
// 0.35 s more audio has passed, the early words are dropped and the utterance goes on (its
// partials show the live words so far, then the new live pass's); more early passes run only
// while the dropped ones have decoded at most 1.5 times the utterance so far, so that they cost
// at most about 2.5 times the final one. Otherwise the early words are the final, unless a
// piece in the meantime was not quiet: then the final comes from a pass over all of the audio.
// An utterance that is mostly held tones (music, held_tones.h) gets no final: the words the
// model hears in music are invented. Ranges are on the timeline of the audio fed (the first
// sample is 0 s) and cover the result's words.
//
// Failures: feed and finish throw SpeechError with a readable description when the decoder
// fails; the recognition must not be used after that.
//
// Thread safety: none; a recognition is used by the analyzer's worker thread alone.
#pragma once

#include <pocketsphinx.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/pocketsphinx/hypothesis_words.h"
#include "platform/pocketsphinx/level_normalizer.h"
#include "platform/pocketsphinx/piece_cutter.h"
#include "platform/pocketsphinx/utterance_limiter.h"
#include "platform/pocketsphinx/whole_utterance_pass.h"
#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

class Recognition {
 public:
  // The decoder has started its stream and its first utterance, and outlives the recognition;
  // frameRate is its frames per second. Throws SpeechError when the second pass cannot be set
  // up.
  // The locale decides how the words of a result are joined (transcript_text.h).
  Recognition(ps_decoder_t* decoder, double frameRate, ReportingOptions reporting,
              AttributeOptions attributes, std::string locale, ResultSequence& results);

  // Recognises the samples (16 kHz mono), delivering results as utterances progress and end.
  void feed(std::span<const std::int16_t> samples);

  // The end of the input: recognises what is kept back and ends the last utterance.
  void finish();

 private:
  void feedPiece(std::span<std::int16_t> piece);
  void keepAudio(std::span<const std::int16_t> piece, bool startsUtterance);
  static bool endsInPause(const std::vector<Word>& segments);
  // The second pass's words for the utterance so far (none when it is taken for music).
  std::vector<Word> finalWords(bool carryMean);
  void endUtterance(bool startNext);
  // Ends the live pass at a pause and runs the second pass ahead of the end of speech.
  void passEarly();
  // Delivers the utterance's final (when it has words) and forgets the utterance.
  void deliverFinal(const std::vector<Word>& words);
  void deliverVolatileResult(const std::vector<Word>& segments);
  SpeechTranscriptionResult makeResult(const std::vector<Word>& words, bool isFinal) const;

  ps_decoder_t* decoder_;
  double frameRate_;
  ReportingOptions reporting_;
  AttributeOptions attributes_;
  std::string locale_;
  ResultSequence& results_;
  PieceCutter cutter_;
  LevelNormalizer normalizer_;
  UtteranceLimiter limiter_;
  WholeUtterancePass secondPass_;
  std::size_t samplesFed_ = 0;
  // The audio as it came (before the level normalizer) of the last 500 ms and the current
  // piece, and of the current utterance from its first sample on, which is sample
  // utteranceStart_. The second pass decodes it so: the normalizer's gain rises during the
  // first words of quiet speech, and a gain that changes within an utterance is what the
  // utterance's own cepstral mean cannot take out, where a constant one it takes out exactly.
  std::vector<std::int16_t> recent_;
  std::vector<std::int16_t> raw_;  // the current piece as it came
  std::vector<std::int16_t> utterance_;
  std::size_t utteranceStart_ = 0;
  std::size_t earliestStart_ = 0;  // where the audio of a capped utterance ended
  bool inSpeech_ = false;          // the current utterance has speech in it
  // The second pass's words when it was run early, at a pause, and samplesFed_ then; they are
  // shown at once as a partial. The live pass then starts again, and when speech comes back
  // before the pause is confirmed, they stay shown (earlierWords_) before the new live pass's
  // words until the utterance's final.
  std::optional<std::vector<Word>> early_;
  std::size_t earlyAt_ = 0;
  bool soundAfterEarly_ = false;  // a piece since then was not quiet
  double loudestDb_ = -1000;      // the level of the utterance's loudest piece
  int quietPieces_ = 0;           // how many pieces in a row were quiet
  std::vector<Word> earlierWords_;
  // The audio (in samples) of the early passes that speech overtook, and of the last early
  // pass. A new one runs only while the first is at most 1.5 times the utterance so far, so
  // that all of them together cost at most about 2.5 times the final pass.
  std::size_t earlySpent_ = 0;
  std::size_t earlySize_ = 0;
  std::string lastVolatileText_;
  std::optional<std::size_t> lastVolatileAt_;  // samplesFed_ at the last volatile result
};

}  // namespace quillmor_speech
