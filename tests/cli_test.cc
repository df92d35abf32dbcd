#include <gtest/gtest.h>

#include "support/run_binary.h"

namespace quillmor_speech {
namespace {

struct UsageCase {
  std::vector<std::string> arguments;
  std::string stdoutBytes;
};

const std::string kUsageLine =
    "{\"code\":\"usage\",\"message\":\"用法：quillmor-speech probe | serve | decode "
    "<文件>\",\"type\":\"error\"}\n";
const std::string kDecodeUsageLine =
    "{\"code\":\"usage\",\"message\":\"decode 需要一个文件路径\",\"type\":\"error\"}\n";

TEST(Cli, UsageErrorsAreExactLinesWithStatusOne) {
  const std::vector<UsageCase> cases = {
      {{}, kUsageLine},         {{""}, kUsageLine},
      {{"Probe"}, kUsageLine},  {{"SERVE"}, kUsageLine},
      {{" probe"}, kUsageLine}, {{"probe "}, kUsageLine},
      {{"prob"}, kUsageLine},   {{"decodex", "a.wav"}, kUsageLine},
      {{"help"}, kUsageLine},   {{"decode"}, kDecodeUsageLine},
  };
  for (const UsageCase& c : cases) {
    RunResult r = runBinary(QUILLMOR_BINARY, c.arguments, "");
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
    EXPECT_EQ(r.out, c.stdoutBytes);
    expectEndedByItself(r, 1);
  }
}

}  // namespace
}  // namespace quillmor_speech
