// The decoder's hypothesis as words, and the text runs of a result made of them.
//
// Thread safety: plain functions; hypothesisSegments reads the decoder, which must not be used
// by another thread at the same time.
#pragma once

#include <pocketsphinx.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

// One segment of a hypothesis, with its frames (inclusive) on the decoder's stream timeline.
// A pause is a silence or filler token ("<sil>", "[NOISE]", "++GARBAGE++", "<s>", "</s>").
struct Word {
  std::string text;  // the spoken form; empty for a pause
  int startFrame = 0;
  int endFrame = 0;
  std::optional<double> posterior;
  bool isPause() const { return text.empty(); }
};

// The spoken form of a decoder token: nothing for silence and filler tokens, and the word
// without an alternate-pronunciation mark ("read(2)" → "read").
std::optional<std::string> spokenWord(const char* token);

// Every segment of the decoder's current best hypothesis, pauses included, with posteriors when
// asked for (only meaningful after the utterance has ended).
std::vector<Word> hypothesisSegments(ps_decoder_t* decoder, bool withPosteriors);

// The segments that are words, in order.
std::vector<Word> spokenWords(const std::vector<Word>& segments);

// The words joined by single spaces.
std::string joinedText(const std::vector<Word>& words);

// The runs of a result made of the words, joined as the locale writes them (transcriptRuns):
// word runs carry the word's posterior when withConfidence, joining runs never do.
std::vector<TextRun> resultRuns(const std::vector<Word>& words, bool withConfidence,
                                const std::string& locale);

}  // namespace quillmor_speech
