// The installed layout as a user gets it: `cmake --install` into any prefix gives a binary that
// finds its catalogue beside itself, in <prefix>/share/quillmor-speech, and its modules in
// <prefix>/lib/quillmor-speech.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/run_binary.h"
#include "support/serve_harness.h"

namespace quillmor_speech {
namespace {

namespace fs = std::filesystem;

// The "zh-CN" word of `probe` run from `binary` with an empty home and data directory: only the
// catalogue lists zh-CN, so it is "downloadable" exactly when the catalogue was found.
std::string zhStatusOf(const std::string& binary, const std::string& scratch) {
  RunOptions options;
  options.env = {{"HOME", scratch}, {"XDG_DATA_HOME", scratch}};
  RunResult run = runBinary(binary, {"probe"}, "", options);
  EXPECT_EQ(run.err, "") << binary;
  EXPECT_EQ(run.status, 0) << binary;
  nlohmann::json line = nlohmann::json::parse(run.out, nullptr, false);
  if (!line.is_object() || !line.contains("locales")) return "(no locales: " + run.out + ")";
  return line["locales"].value("zh-CN", std::string("(none)"));
}

TEST(Install, AnyPrefixGivesABinaryThatFindsItsCatalogueBesideItself) {
  const std::string root = makeTempDir();
  const std::string scratch = root + "/home";
  fs::create_directories(scratch);
  struct Case {
    std::string prefix;
    bool strip;  // --strip: without debug information, as a package is
  };
  // A plain prefix, and one with a space and non-ASCII text.
  const std::vector<Case> cases = {{root + "/usr", true}, {root + "/opt/host app/植物", false}};
  const std::vector<std::string> installed = {
      "bin/quillmor-speech", "share/quillmor-speech/catalogue.json",
      "share/doc/quillmor-speech/copyright", "share/doc/quillmor-speech/protocol.md",
      "lib/quillmor-speech/quillmor-speech-decoder.so",
      "lib/quillmor-speech/quillmor-speech-installer.so"};
  const std::string sample = std::string(QUILLMOR_SOURCE_DIR) + "/samples/sense-and-sensibility.ogg";
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--install", QUILLMOR_BUILD_DIR, "--prefix", c.prefix};
    if (c.strip) args.push_back("--strip");
    RunResult install = runBinary(QUILLMOR_CMAKE_COMMAND, args, "", RunOptions{});
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    for (const std::string& file : installed) {
      EXPECT_TRUE(fs::is_regular_file(c.prefix + "/" + file)) << c.prefix << ": " << file;
    }
    EXPECT_EQ(zhStatusOf(c.prefix + "/bin/quillmor-speech", scratch), "downloadable") << c.prefix;
    // decode runs in the module beside the binary.
    RunResult decoded = runBinary(c.prefix + "/bin/quillmor-speech", {"decode", sample}, "");
    EXPECT_EQ(decoded.status, 0) << c.prefix << ": " << decoded.out.substr(0, 300);
    EXPECT_GT(decoded.out.size(), 16000u * 2) << c.prefix;
    // Sanitizer builds keep their source file names in the instrumentation, which --strip leaves;
    // they are never shipped.
    if (c.strip && !kSanitizedBuild) {
      // No path of this machine's source or build tree is left in the program.
      const std::string program = readFileBytes(c.prefix + "/bin/quillmor-speech");
      EXPECT_EQ(program.find(QUILLMOR_SOURCE_DIR), std::string::npos);
      EXPECT_EQ(program.find(QUILLMOR_BUILD_DIR), std::string::npos);
    }
    // A symbolic link to the installed binary elsewhere still finds the catalogue.
    fs::create_directories(root + "/links");
    fs::remove(root + "/links/quillmor-speech");
    fs::create_symlink(c.prefix + "/bin/quillmor-speech", root + "/links/quillmor-speech");
    EXPECT_EQ(zhStatusOf(root + "/links/quillmor-speech", scratch), "downloadable") << c.prefix;
  }
  // The same binary copied without its share folder has no catalogue: the one found above was
  // the one beside it, not one elsewhere on the machine.
  fs::create_directories(root + "/alone/bin");
  fs::copy_file(cases[0].prefix + "/bin/quillmor-speech", root + "/alone/bin/quillmor-speech");
  EXPECT_EQ(zhStatusOf(root + "/alone/bin/quillmor-speech", scratch), "unsupported");
  // Nor its modules: decode ends with one error line that says which module is missing.
  RunResult alone = runBinary(root + "/alone/bin/quillmor-speech", {"decode", sample}, "");
  EXPECT_EQ(alone.status, 1);
  EXPECT_EQ(alone.err, "");
  nlohmann::json line = nlohmann::json::parse(alone.out, nullptr, false);
  EXPECT_EQ(line.value("code", ""), "decode_failed") << alone.out;
  EXPECT_NE(line.value("message", "").find("quillmor-speech-decoder.so"), std::string::npos)
      << alone.out;
  // A module of another build's version is refused by its version, not called.
  fs::create_directories(root + "/alone/lib/quillmor-speech");
  fs::copy_file(QUILLMOR_STALE_DECODER_MODULE,
                root + "/alone/lib/quillmor-speech/quillmor-speech-decoder.so");
  RunResult stale = runBinary(root + "/alone/bin/quillmor-speech", {"decode", sample}, "");
  EXPECT_EQ(stale.status, 1);
  EXPECT_EQ(stale.err, "");
  line = nlohmann::json::parse(stale.out, nullptr, false);
  EXPECT_EQ(line.value("code", ""), "decode_failed") << stale.out;
  EXPECT_NE(line.value("message", "").find("is of version 1, this program needs version 2"),
            std::string::npos)
      << stale.out;
  // A session needs no module, whatever its audio's rate: the converter is in the program.
  RunOptions options;
  options.env = {{"HOME", scratch}, {"XDG_DATA_HOME", scratch}};
  const std::string audio = audioFrame(std::vector<std::int16_t>(4410)) + frameBytes(3);
  for (int rate : {16000, 44100}) {
    RunResult session = runBinary(root + "/alone/bin/quillmor-speech", {"serve"},
                                  startFrame({{"locale", "en-US"}, {"sampleRate", rate}}) + audio,
                                  options);
    EXPECT_EQ(session.status, 0) << rate << ": " << session.out;
    EXPECT_EQ(outputLines(session.out).back(), "{\"type\":\"done\"}") << rate;
  }
  removeTree(root);
}

}  // namespace
}  // namespace quillmor_speech
