#include "platform/pocketsphinx/transcript_text.h"

#include <array>
#include <utility>

namespace quillmor_speech {

namespace {

// The code point ranges of isUnspacedScript, inclusive.
constexpr std::array<std::pair<char32_t, char32_t>, 17> kUnspacedRanges = {{
    {0x1100, 0x11FF},    // Hangul Jamo
    {0x2E80, 0x2FFF},    // CJK and Kangxi radicals, ideographic description
    {0x3000, 0x303F},    // CJK symbols and punctuation
    {0x3040, 0x30FF},    // Hiragana, Katakana
    {0x3100, 0x312F},    // Bopomofo
    {0x3130, 0x318F},    // Hangul compatibility Jamo
    {0x3190, 0x31FF},    // Kanbun, Bopomofo extended, CJK strokes, Katakana extensions
    {0x3200, 0x33FF},    // enclosed CJK letters, CJK compatibility
    {0x3400, 0x4DBF},    // CJK ideographs extension A
    {0x4E00, 0x9FFF},    // CJK ideographs
    {0xA960, 0xA97F},    // Hangul Jamo extended A
    {0xAC00, 0xD7FF},    // Hangul syllables, Jamo extended B
    {0xF900, 0xFAFF},    // CJK compatibility ideographs
    {0xFE30, 0xFE4F},    // CJK compatibility forms
    {0xFF00, 0xFFEF},    // half-width and full-width forms
    {0x1B000, 0x1B16F},  // kana supplement and extensions
    {0x20000, 0x3FFFF},  // CJK ideographs extensions B and later
}};

constexpr char32_t kInvalid = 0xFFFFFFFF;

// The code point whose UTF-8 encoding starts at text[at], or kInvalid.
char32_t decodeAt(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
  if (length == 0 || at + length > text.size()) return kInvalid;
  if (length == 1) return lead;
  char32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return kInvalid;
    c = (c << 6) | (next & 0x3F);
  }
  return c;
}

char32_t firstCharacter(const std::string& text) {
  return text.empty() ? kInvalid : decodeAt(text, 0);
}

char32_t lastCharacter(const std::string& text) {
  std::size_t at = text.size();
  while (at > 0) {
    --at;
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) return decodeAt(text, at);
  }
  return kInvalid;
}

bool isEnglish(const std::string& locale) {
  if (locale.size() < 2) return false;
  const bool en = (locale[0] == 'e' || locale[0] == 'E') && (locale[1] == 'n' || locale[1] == 'N');
  return en && (locale.size() == 2 || locale[2] == '-' || locale[2] == '_');
}

}  // namespace

bool isUnspacedScript(char32_t c) {
  for (const auto& [first, last] : kUnspacedRanges) {
    if (c >= first && c <= last) return true;
  }
  return false;
}

std::string wordSeparator(const std::string& before, const std::string& after) {
  if (isUnspacedScript(lastCharacter(before)) || isUnspacedScript(firstCharacter(after))) {
    return "";
  }
  return " ";
}

std::string writtenWord(const std::string& word, const std::string& locale) {
  if (!isEnglish(locale)) return word;
  for (const char* pronoun : {"i", "i'm", "i've", "i'll", "i'd"}) {
    if (word == pronoun) {
      std::string written = word;
      written.front() = 'I';
      return written;
    }
  }
  return word;
}

std::vector<TextRun> transcriptRuns(const std::vector<TextRun>& words, const std::string& locale) {
  std::vector<TextRun> runs;
  for (const TextRun& word : words) {
    TextRun written{writtenWord(word.text, locale), word.confidence};
    if (!runs.empty()) {
      std::string separator = wordSeparator(runs.back().text, written.text);
      if (!separator.empty()) runs.push_back(TextRun{std::move(separator), std::nullopt});
    }
    runs.push_back(std::move(written));
  }
  return runs;
}

}  // namespace quillmor_speech
