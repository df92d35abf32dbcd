#include "output/event.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "output/output.h"

namespace quillmor_speech {
namespace {

struct EncodeCase {
  const char* name;
  Event event;
  std::optional<std::string> line;
};

TEST(EventLine, EncodesExactBytes) {
  const std::vector<EncodeCase> cases = {
      {"keys sorted", {{"type", std::string("done")}}, "{\"type\":\"done\"}\n"},
      {"error key order",
       {{"type", std::string("error")}, {"message", std::string("m")}, {"code", std::string("c")}},
       "{\"code\":\"c\",\"message\":\"m\",\"type\":\"error\"}\n"},
      {"final key order",
       {{"type", std::string("final")},
        {"text", std::string("hi")},
        {"start", 1.5},
        {"end", 2.25},
        {"confidence", 0.8}},
       "{\"confidence\":0.8,\"end\":2.25,\"start\":1.5,\"text\":\"hi\",\"type\":\"final\"}\n"},
      {"nested keys sorted",
       {{"type", std::string("probe")},
        {"supported", true},
        {"os", std::string("x")},
        {"locales",
         std::map<std::string, std::string>{{"zh-CN", "downloadable"}, {"en-US", "installed"}}}},
       "{\"locales\":{\"en-US\":\"installed\",\"zh-CN\":\"downloadable\"},\"os\":\"x\","
       "\"supported\":true,\"type\":\"probe\"}\n"},
      {"slash escaped", {{"m", std::string("a/b")}}, "{\"m\":\"a\\/b\"}\n"},
      {"quote and backslash", {{"m", std::string("\"\\")}}, "{\"m\":\"\\\"\\\\\"}\n"},
      {"line break escaped", {{"m", std::string("a\nb\r")}}, "{\"m\":\"a\\nb\\r\"}\n"},
      {"control character", {{"m", std::string("\x01")}}, "{\"m\":\"\\u0001\"}\n"},
      {"chinese raw utf-8", {{"m", std::string("语言包还没装…")}}, "{\"m\":\"语言包还没装…\"}\n"},
      {"false", {{"b", false}}, "{\"b\":false}\n"},
      {"invalid bytes replaced",
       {{"m", std::string("a\xff\xfe/")}},
       "{\"m\":\"a\uFFFD\uFFFD\\/\"}\n"},
      {"cut sequence: each byte replaced",
       {{"m", std::string("\xe8\xafz")}},
       "{\"m\":\"\uFFFD\uFFFDz\"}\n"},
      {"overlong, surrogate, beyond U+10FFFF",
       {{"m", std::string("\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80")}},
       "{\"m\":\"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\"}\n"},
      {"invalid key replaced", {{"\x80", std::string("v")}}, "{\"\uFFFD\":\"v\"}\n"},
      {"longest code points kept",
       {{"m", std::string("\xf4\x8f\xbf\xbf\xef\xbf\xbf")}},
       "{\"m\":\"\xf4\x8f\xbf\xbf\xef\xbf\xbf\"}\n"},
      {"nan writes nothing", {{"start", std::numeric_limits<double>::quiet_NaN()}}, std::nullopt},
      {"infinity writes nothing", {{"end", std::numeric_limits<double>::infinity()}}, std::nullopt},
  };
  for (const EncodeCase& c : cases) {
    EXPECT_EQ(encodeEventLine(c.event), c.line) << c.name;
  }
}

TEST(EventLine, NumbersRoundTrip) {
  for (double value : {0.0, 0.1, 1e-7, 123456.789, 3.0, -2.5}) {
    std::optional<std::string> line = encodeEventLine({{"v", value}});
    ASSERT_TRUE(line);
    EXPECT_EQ(nlohmann::json::parse(*line)["v"].get<double>(), value) << *line;
  }
}

// Collects everything written to fd() until finish().
class PipeCapture {
 public:
  PipeCapture() {
    EXPECT_EQ(pipe(pipe_), 0);
    reader_ = std::thread([this] {
      char buffer[65536];
      ssize_t n;
      while ((n = read(pipe_[0], buffer, sizeof buffer)) > 0) bytes_.append(buffer, n);
    });
  }
  int fd() const { return pipe_[1]; }
  std::string finish() {
    close(pipe_[1]);
    reader_.join();
    close(pipe_[0]);
    return bytes_;
  }

 private:
  int pipe_[2];
  std::thread reader_;
  std::string bytes_;
};

TEST(EmitEvent, ConcurrentWritersNeverMixLines) {
  // QUILLMOR_STRESS_LINES raises the count for a longer soak under ThreadSanitizer.
  const char* stress = std::getenv("QUILLMOR_STRESS_LINES");
  const int kLines = stress ? std::atoi(stress) : 5000;
  PipeCapture capture;
  auto writer = [kLines, &capture](const std::string& who) {
    for (int i = 0; i < kLines; ++i) {
      emitEventTo(capture.fd(),
                  {{"type", std::string("partial")},
                   {"text", who + std::string(static_cast<size_t>(i % 700), 'x') + "/末"},
                   {"start", static_cast<double>(i)}});
    }
  };
  std::thread a(writer, "a"), b(writer, "b");
  a.join();
  b.join();
  std::string out = capture.finish();
  std::istringstream lines(out);
  std::string line;
  int count[2] = {0, 0};
  while (std::getline(lines, line)) {
    nlohmann::json event = nlohmann::json::parse(line);  // throws on a cut or mixed line
    std::string text = event["text"];
    ASSERT_TRUE(text[0] == 'a' || text[0] == 'b') << line;
    int who = text[0] == 'a' ? 0 : 1;
    EXPECT_EQ(event["start"].get<double>(), count[who]) << "lines of one writer stay in order";
    ++count[who];
  }
  EXPECT_EQ(count[0], kLines);
  EXPECT_EQ(count[1], kLines);
  EXPECT_EQ(out.back(), '\n');
}

TEST(EmitEvent, TextThatIsNotUtf8IsWrittenWithReplacementCharacters) {
  PipeCapture capture;
  emitEventTo(capture.fd(), {{"type", std::string("partial")}, {"text", std::string("\xc3")}});
  emitEventTo(capture.fd(), {{"type", std::string("done")}});
  EXPECT_EQ(capture.finish(),
            "{\"text\":\"\xEF\xBF\xBD\",\"type\":\"partial\"}\n{\"type\":\"done\"}\n");
}

}  // namespace
}  // namespace quillmor_speech
