#include "serve/results.h"

#include <gtest/gtest.h>

#include <cmath>
#include <new>
#include <stdexcept>

#include "output/output.h"

namespace quillmor_speech {
namespace {

SpeechTranscriptionResult result(std::vector<TextRun> runs, bool isFinal, double start = 1.5,
                                 double duration = 0.75) {
  return SpeechTranscriptionResult{std::move(runs), CMTimeRange{{start}, {duration}}, isFinal};
}

struct ResultCase {
  const char* name;
  SpeechTranscriptionResult input;
  std::optional<std::string> line;  // the encoded line, or nothing when no event is made
};

TEST(ResultEvent, Table) {
  const std::vector<ResultCase> cases = {
      {"only white space and a line break", result({{"  \n", 0.9}}, true), std::nullopt},
      {"empty", result({}, false), std::nullopt},
      {"partial trimmed, confidence never written", result({{" word ", 0.3}}, false),
       "{\"end\":2.25,\"start\":1.5,\"text\":\"word\",\"type\":\"partial\"}\n"},
      {"final weighted by characters: 2 at 0.5, 3 at 1.0",
       result({{"ab", 0.5}, {"cde", 1.0}}, true),
       "{\"confidence\":0.8,\"end\":2.25,\"start\":1.5,\"text\":\"abcde\",\"type\":\"final\"}\n"},
      {"run without a value is skipped", result({{"abcd", 0.9}, {" more", std::nullopt}}, true),
       "{\"confidence\":0.9,\"end\":2.25,\"start\":1.5,\"text\":\"abcd "
       "more\",\"type\":\"final\"}\n"},
      {"no run carries a value", result({{"go", std::nullopt}, {" on", std::nullopt}}, true),
       "{\"end\":2.25,\"start\":1.5,\"text\":\"go on\",\"type\":\"final\"}\n"},
      {"white space runs at the ends still weigh",
       result({{" ", 0.0}, {"ab", 1.0}, {" ", 0.0}}, true),
       "{\"confidence\":0.5,\"end\":2.25,\"start\":1.5,\"text\":\"ab\",\"type\":\"final\"}\n"},
      {"grapheme clusters, not bytes or code points",
       // "é" as e + combining acute is one character; the flag is one character of 8 bytes.
       result({{"e\xcc\x81", 1.0}, {"\xf0\x9f\x87\xa8\xf0\x9f\x87\xb3", 0.0}}, true),
       "{\"confidence\":0.5,\"end\":2.25,\"start\":1.5,\"text\":\"e\xcc\x81\xf0\x9f\x87\xa8\xf0\x9f"
       "\x87\xb3\",\"type\":\"final\"}\n"},
      {"chinese text, ideographic space trimmed",
       result({{"\xe3\x80\x80你好\xe3\x80\x80", 0.6}}, true),
       "{\"confidence\":0.6,\"end\":2.25,\"start\":1.5,\"text\":\"你好\",\"type\":\"final\"}\n"},
      {"runs covering no characters", result({{"", 0.7}, {"x", std::nullopt}}, true),
       "{\"end\":2.25,\"start\":1.5,\"text\":\"x\",\"type\":\"final\"}\n"},
      {"range starting at zero", result({{"a", std::nullopt}}, false, 0.0, 0.5),
       "{\"end\":0.5,\"start\":0.0,\"text\":\"a\",\"type\":\"partial\"}\n"},
  };
  GraphemeCounter counter;
  for (const ResultCase& c : cases) {
    std::optional<Event> event = resultEvent(c.input, counter);
    ASSERT_EQ(event.has_value(), c.line.has_value()) << c.name;
    if (event) {
      EXPECT_EQ(encodeEventLine(*event), c.line) << c.name;
    }
  }
}

TEST(ResultEvent, NonFiniteTimeIsNeverWrittenAsANumber) {
  GraphemeCounter counter;
  std::optional<Event> event = resultEvent(result({{"a", 1.0}}, true, std::nan(""), 1.0), counter);
  ASSERT_TRUE(event);
  EXPECT_EQ(encodeEventLine(*event), std::nullopt);
}

struct TrimCase {
  std::string input;
  std::string trimmed;
};

TEST(Trim, WhiteSpaceAndLineBreakSetOnly) {
  const std::vector<TrimCase> cases = {
      {" \t\n\v\f\r a b \r\n", "a b"},
      {"\xc2\x85x\xc2\x85", "x"},                  // U+0085
      {"\xc2\xa0x\xe2\x80\xa8\xe2\x80\xa9", "x"},  // U+00A0 (Zs), U+2028 (Zl), U+2029 (Zp)
      {"\xe2\x80\x8bx\xe2\x80\x8b", "\xe2\x80\x8bx\xe2\x80\x8b"},  // U+200B is not in Z
      {"\xef\xbb\xbfx", "\xef\xbb\xbfx"},                          // U+FEFF is not in Z
      {"  ", ""},
      {"", ""},
      {"a\n\nb", "a\n\nb"},
  };
  for (const TrimCase& c : cases) EXPECT_EQ(trimWhitespaceAndNewlines(c.input), c.trimmed);
}

// The message of a failure that reached a catch-all, by what was thrown.
TEST(CurrentExceptionMessage, Table) {
  struct Case {
    const char* name;
    std::exception_ptr thrown;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"out of memory", std::make_exception_ptr(std::bad_alloc()), "申请不到内存"},
      {"engine error", std::make_exception_ptr(SpeechError("model/file missing")),
       "model/file missing"},
      {"standard exception", std::make_exception_ptr(std::logic_error("broken")), "broken"},
      {"empty description", std::make_exception_ptr(std::runtime_error("")), "发生了意外错误"},
      // Kept as it is: the event writer replaces each byte with U+FFFD.
      {"description not UTF-8", std::make_exception_ptr(std::runtime_error("\xff\xfe")),
       "\xff\xfe"},
      {"foreign type", std::make_exception_ptr(7), "发生了意外错误"},
  };
  for (const Case& c : cases) {
    try {
      std::rethrow_exception(c.thrown);
    } catch (...) {
      EXPECT_EQ(currentExceptionMessage(), c.message) << c.name;
    }
  }
}

TEST(ResultTask, LeavingTheScopeEarlyEndsTheResultsAndJoins) {
  // Without join() and with the engine still delivering, the owner's destructor must neither
  // block on the open sequence nor leave a joinable thread behind (std::terminate).
  auto transcriber = std::make_shared<SpeechTranscriber>("en-US", TranscriptionOptions{},
                                                         ReportingOptions{}, AttributeOptions{});
  { ResultTask task(transcriber); }
  // The sequence is over: a later delivery is dropped and next() reports the end.
  transcriber->results->deliver(SpeechTranscriptionResult{{{"late", std::nullopt}}, {}, true});
  EXPECT_EQ(transcriber->results->next(), std::nullopt);
}

}  // namespace
}  // namespace quillmor_speech
