// The joining of recognised words into a transcription's text and runs.
#include "platform/pocketsphinx/transcript_text.h"

#include <gtest/gtest.h>

namespace quillmor_speech {
namespace {

TEST(TranscriptText, SeparatorDependsOnTheCharactersAtTheBoundary) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"go", "forward", " "},    {"去", "向前", ""},
      {"十", "米", ""},          {"用", "GPS", ""},   // a boundary of the two kinds: no space
      {"GPS", "定位", ""},       {"東京", "へ", ""},  // kanji, hiragana
      {"カタカナ", "です", ""},                       // katakana
      {"안녕", "하세요", ""},                         // hangul
      {"好", "。", ""},                               // CJK punctuation
      {"你好", "！", ""},                             // full-width punctuation
      {"𠀀", "a", ""},                                // an ideograph outside the basic plane
      {"café", "au", " "},                            // other scripts keep one space
      {"привет", "мир", " "},    {"", "word", " "},
      {"\xff", "\xe4\xb8", " "},  // invalid UTF-8 counts as a spaced script
  };
  for (const auto& [before, after, separator] : cases) {
    EXPECT_EQ(wordSeparator(before, after), separator) << before << "|" << after;
  }
}

TEST(TranscriptText, EnglishPronounIsCapitalisedInEnglishLocalesOnly) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"i", "en-US", "I"},       {"i'm", "en-GB", "I'm"},   {"i've", "en_US", "I've"},
      {"i'll", "EN-us", "I'll"}, {"i'd", "en", "I'd"},      {"i", "zh-CN", "i"},
      {"i", "fr-FR", "i"},       {"i", "eng", "i"},         {"it", "en-US", "it"},
      {"ice", "en-US", "ice"},   {"i'mm", "en-US", "i'mm"}, {"hi", "en-US", "hi"},
      {"ai", "en-US", "ai"},     {"I", "en-US", "I"},       {"i.", "en-US", "i."},
  };
  for (const auto& [word, locale, written] : cases) {
    EXPECT_EQ(writtenWord(word, locale), written) << word << " in " << locale;
  }
}

struct RunsCase {
  std::vector<TextRun> words;
  std::string locale;
  std::vector<TextRun> runs;
};

bool sameRuns(const std::vector<TextRun>& a, const std::vector<TextRun>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].text != b[i].text || a[i].confidence != b[i].confidence) return false;
  }
  return true;
}

std::string describe(const std::vector<TextRun>& runs) {
  std::string text;
  for (const TextRun& run : runs) {
    text += '[';
    text += run.text;
    if (run.confidence) {
      text += ':';
      text += std::to_string(*run.confidence);
    }
    text += ']';
  }
  return text;
}

TEST(TranscriptText, RunsJoinWordsWithSeparatorsThatCarryNoConfidence) {
  const std::vector<RunsCase> cases = {
      {{{"去", 0.5}, {"向前", 0.25}, {"十", 1.0}, {"米", 0.75}},
       "zh-CN",
       {{"去", 0.5}, {"向前", 0.25}, {"十", 1.0}, {"米", 0.75}}},
      {{{"i", 0.5}, {"think", 0.25}, {"i'm", std::nullopt}},
       "en-US",
       {{"I", 0.5},
        {" ", std::nullopt},
        {"think", 0.25},
        {" ", std::nullopt},
        {"I'm", std::nullopt}}},
      {{{"i", 0.5}, {"see", 0.5}}, "de-DE", {{"i", 0.5}, {" ", std::nullopt}, {"see", 0.5}}},
      {{{"打开", 0.5}, {"wifi", 0.5}, {"and", 0.5}},
       "zh-CN",
       {{"打开", 0.5}, {"wifi", 0.5}, {" ", std::nullopt}, {"and", 0.5}}},
      {{{"one", std::nullopt}}, "en-US", {{"one", std::nullopt}}},
      {{}, "en-US", {}},
  };
  for (const RunsCase& c : cases) {
    std::vector<TextRun> runs = transcriptRuns(c.words, c.locale);
    EXPECT_TRUE(sameRuns(runs, c.runs)) << describe(runs) << " != " << describe(c.runs);
  }
}

}  // namespace
}  // namespace quillmor_speech
