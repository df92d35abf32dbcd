#include "serve/result_text.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace quillmor_speech {

namespace {

bool isWhitespaceOrNewline(UChar32 c) {
  if (c >= 0x09 && c <= 0x0D) return true;
  if (c == 0x85) return true;
  return (U_GET_GC_MASK(c) & U_GC_Z_MASK) != 0;
}

}  // namespace

std::string trimWhitespaceAndNewlines(const std::string& utf8) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const auto length = static_cast<std::int32_t>(utf8.size());
  std::int32_t begin = 0;
  while (begin < length) {
    std::int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !isWhitespaceOrNewline(c)) break;
    begin = next;
  }
  std::int32_t end = length;
  while (end > begin) {
    std::int32_t previous = end;
    UChar32 c;
    U8_PREV(s, begin, previous, c);
    if (c < 0 || !isWhitespaceOrNewline(c)) break;
    end = previous;
  }
  return utf8.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

GraphemeCounter::GraphemeCounter() {
  UErrorCode status = U_ZERO_ERROR;
  iterator_.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) iterator_.reset();
}

GraphemeCounter::~GraphemeCounter() = default;

std::int64_t GraphemeCounter::count(const std::string& utf8) {
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
  if (!iterator_) return text.countChar32();  // ICU data missing: count code points instead
  iterator_->setText(text);
  std::int64_t clusters = 0;
  for (std::int32_t p = iterator_->next(); p != icu::BreakIterator::DONE; p = iterator_->next()) {
    ++clusters;
  }
  return clusters;
}

}  // namespace quillmor_speech
