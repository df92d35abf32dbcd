// Unicode text rules of result events.
#pragma once

#include <unicode/uversion.h>

#include <cstdint>
#include <memory>
#include <string>

U_NAMESPACE_BEGIN
class BreakIterator;
U_NAMESPACE_END

namespace quillmor_speech {

// The text without leading and trailing white space and line breaks: code points of general
// category Z (Zs, Zl, Zp), U+0009 to U+000D and U+0085, removed from both ends only, whole
// characters at a time. Inner characters stay. Text that is not valid UTF-8 is trimmed up to its
// first invalid byte from either end.
std::string trimWhitespaceAndNewlines(const std::string& utf8);

// Counts user-perceived characters (extended grapheme clusters) of UTF-8 text. Holds an ICU
// break iterator; one counter per thread.
class GraphemeCounter {
 public:
  GraphemeCounter();
  ~GraphemeCounter();
  GraphemeCounter(const GraphemeCounter&) = delete;
  GraphemeCounter& operator=(const GraphemeCounter&) = delete;

  std::int64_t count(const std::string& utf8);

 private:
  std::unique_ptr<icu::BreakIterator> iterator_;
};

}  // namespace quillmor_speech
