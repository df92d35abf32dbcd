#include "platform/pocketsphinx/hypothesis_words.h"

#include <sphinxbase/logmath.h>

#include <algorithm>
#include <cmath>

#include "platform/pocketsphinx/pocketsphinx_handles.h"
#include "platform/pocketsphinx/transcript_text.h"

namespace quillmor_speech {

std::optional<std::string> spokenWord(const char* token) {
  if (token == nullptr) return std::nullopt;
  std::string word(token);
  if (word.empty() || word.front() == '<' || word.front() == '[' || word.rfind("++", 0) == 0) {
    return std::nullopt;
  }
  if (word.back() == ')') {
    const std::size_t open = word.rfind('(');
    if (open != std::string::npos && open > 0 && open + 2 < word.size() &&
        std::all_of(word.begin() + static_cast<std::ptrdiff_t>(open) + 1, word.end() - 1,
                    [](char c) { return c >= '0' && c <= '9'; })) {
      word.erase(open);
    }
  }
  return word;
}

std::vector<Word> hypothesisSegments(ps_decoder_t* decoder, bool withPosteriors) {
  std::vector<Word> segments;
  logmath_t* logmath = ps_get_logmath(decoder);
  for (SegmentIteratorHandle segment(ps_seg_iter(decoder)); segment;
       segment.reset(ps_seg_next(segment.release()))) {
    Word word{spokenWord(ps_seg_word(segment.get())).value_or(""), 0, 0, std::nullopt};
    ps_seg_frames(segment.get(), &word.startFrame, &word.endFrame);
    if (withPosteriors && !word.isPause()) {
      const double posterior =
          logmath_exp(logmath, ps_seg_prob(segment.get(), nullptr, nullptr, nullptr));
      if (std::isfinite(posterior)) word.posterior = std::clamp(posterior, 0.0, 1.0);
    }
    segments.push_back(std::move(word));
  }
  return segments;
}

std::vector<Word> spokenWords(const std::vector<Word>& segments) {
  std::vector<Word> words;
  std::copy_if(segments.begin(), segments.end(), std::back_inserter(words),
               [](const Word& word) { return !word.isPause(); });
  return words;
}

std::string joinedText(const std::vector<Word>& words) {
  std::string text;
  for (const Word& word : words) {
    if (!text.empty()) text += ' ';
    text += word.text;
  }
  return text;
}

std::vector<TextRun> resultRuns(const std::vector<Word>& words, bool withConfidence,
                                const std::string& locale) {
  std::vector<TextRun> spoken;
  for (const Word& word : words) {
    spoken.push_back(TextRun{word.text, withConfidence ? word.posterior : std::nullopt});
  }
  return transcriptRuns(spoken, locale);
}

}  // namespace quillmor_speech
