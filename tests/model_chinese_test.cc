// The zh-CN model through the real binary: a Chinese test model (Debian's en-US acoustic model,
// a dictionary of four Chinese words, a text language model) placed in a temporary store as an
// installation leaves it, and the same model served as an archive shaped like the published
// cmusphinx-zh-cn-5.2.tar.gz and installed by serve from the shipped catalogue's entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/models/model_paths.h"
#include "support/model_fixtures.h"
#include "support/run_binary.h"
#include "support/serve_harness.h"
#include "support/temp_dir.h"

namespace quillmor_speech {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const std::string kGoForward = "/usr/share/pocketsphinx/test/data/goforward.raw";
const std::string kTop = "cmusphinx-zh-cn-5.2/";

// A serve session over goforward.raw in 20 ms frames, with the store of `dataHome`.
RunResult goForwardSession(const std::string& dataHome, const std::string& locale, bool install) {
  const std::string pcm = readFileBytes(kGoForward);
  std::string input = startFrame({{"locale", locale}, {"install", install}});
  for (std::size_t at = 0; at < pcm.size(); at += 640) input += frameBytes(2, pcm.substr(at, 640));
  RunOptions options;
  options.env = {{"XDG_DATA_HOME", dataHome}};
  return runBinary(QUILLMOR_BINARY, {"serve"}, input + frameBytes(3), options);
}

RunResult chineseSession(const std::string& dataHome, bool install) {
  return goForwardSession(dataHome, "zh-CN", install);
}

// Places the model of `items` in the store of `dataHome` under `locale`, with its manifest.
void placeModel(const std::string& dataHome, const std::string& locale,
                const std::vector<ArchiveItem>& items) {
  const std::string root = dataHome + "/quillmor-speech/models/" + locale;
  writeItems(root, items);
  writeFileBytes(root + "/" + kModelManifest,
                 R"({"name":"cmusphinx-zh-cn-5.2",)" + chineseTestModelParts(kTop) + "}");
}

// Checks a successful session and returns its events; every partial and final text is checked
// for spaces.
std::vector<json> sessionEvents(const RunResult& run) {
  expectEndedByItself(run, 0);
  std::vector<json> events;
  for (const std::string& line : outputLines(run.out)) {
    json event = json::parse(line);
    if (event["type"] == "partial" || event["type"] == "final") {
      EXPECT_EQ(event["text"].get<std::string>().find(' '), std::string::npos) << line;
    }
    events.push_back(std::move(event));
  }
  EXPECT_FALSE(events.empty());
  if (!events.empty()) {
    EXPECT_EQ(events.back(), json({{"type", "done"}}));
  }
  return events;
}

// The one final event of the session; fails the test when there is not exactly one.
json onlyFinal(const std::vector<json>& events) {
  std::vector<json> finals;
  for (const json& event : events) {
    if (event["type"] == "final") finals.push_back(event);
  }
  EXPECT_EQ(finals.size(), 1u) << json(events).dump();
  return finals.empty() ? json() : finals.front();
}

void expectChineseFinal(const std::vector<json>& events) {
  EXPECT_GT(std::count_if(events.begin(), events.end(),
                          [](const json& event) { return event["type"] == "partial"; }),
            0);
  json final = onlyFinal(events);
  EXPECT_EQ(final.value("text", ""), "去向前十米") << final.dump();
  ASSERT_TRUE(final.contains("confidence")) << final.dump();
  EXPECT_GT(final["confidence"].get<double>(), 0.0);
  EXPECT_LE(final["confidence"].get<double>(), 1.0);
}

TEST(ChineseModel, StoreModelIsInstalledAndTranscribesWithoutSpaces) {
  const TempDir temp;
  const std::string& dataHome = temp.path();
  placeModel(dataHome, "zh-CN", chineseTestModelItems(kTop));

  RunOptions options;
  options.env = {{"XDG_DATA_HOME", dataHome}};
  options.keepStdinOpen = true;
  RunResult probe = runBinary(QUILLMOR_BINARY, {"probe"}, "", options);
  EXPECT_EQ(probe.err, "");
  EXPECT_EQ(probe.status, 0);
  EXPECT_EQ(json::parse(probe.out)["locales"],
            json({{"en-US", "installed"}, {"zh-CN", "installed"}}));

  std::vector<json> events = sessionEvents(chineseSession(dataHome, false));
  expectChineseFinal(events);
}

TEST(ChineseModel, PublishedArchiveShapeInstallsFromTheShippedEntry) {
  const TempDir servedDir, dataHomeDir;
  const std::string& served = servedDir.path();
  const std::string& dataHome = dataHomeDir.path();
  const std::string store = dataHome + "/quillmor-speech/models";
  fs::create_directories(store);
  writeTarGz(served + "/cmusphinx-zh-cn-5.2.tar.gz", chineseTestModelItems(kTop));
  ModelServer server(served);

  // The shipped zh-CN entry as it is, fetched from the loopback server instead, with the size
  // and SHA-256 that plain http needs.
  json shipped =
      json::parse(readFileBytes(std::string(QUILLMOR_SOURCE_DIR) + "/data/catalogue.json"));
  json entry = shipped["models"]["zh-CN"];
  ASSERT_EQ(entry["downloads"].size(), 1u);
  const std::string archive = served + "/cmusphinx-zh-cn-5.2.tar.gz";
  entry["downloads"][0]["url"] = server.url("files", "cmusphinx-zh-cn-5.2.tar.gz");
  entry["downloads"][0]["size"] = fs::file_size(archive);
  entry["downloads"][0]["sha256"] = sha256OfFile(archive);
  writeFileBytes(store + "/catalogue.json", json({{"models", {{"zh-CN", entry}}}}).dump());

  RunResult first = chineseSession(dataHome, true);
  std::vector<json> events = sessionEvents(first);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(outputLines(first.out).front(),
            R"({"message":"正在下载 zh-CN 语音模型…","type":"status"})");
  expectChineseFinal(events);
  EXPECT_EQ(server.requests(), std::vector<std::string>{"/files/cmusphinx-zh-cn-5.2.tar.gz"});
  json manifest = json::parse(readFileBytes(store + "/zh-CN/" + kModelManifest));
  EXPECT_EQ(manifest,
            json::parse(R"({"name":"cmusphinx-zh-cn-5.2",)" + chineseTestModelParts(kTop) + "}"));

  // The second session finds it installed: no status line, nothing downloaded.
  std::vector<json> again = sessionEvents(chineseSession(dataHome, false));
  for (const json& event : again) EXPECT_NE(event["type"], "status") << event.dump();
  expectChineseFinal(again);
  EXPECT_EQ(server.requests().size(), 1u);
}

// A store model is loaded in a check before its first session, unless a stamp beside it says
// that its files, as they are, passed: a model placed in the store without a stamp, or changed
// since it was stamped, is checked; one that does not load is refused with one error line,
// never a crash; one that loads is stamped, and the next session trusts the stamp.
TEST(ChineseModel, AStoreModelIsCheckedBeforeItsFirstSession) {
  const std::string stamp = "/quillmor-speech/models/zh-CN/.quillmor-model-check";
  const std::string mdef = readFileBytes("/usr/share/pocketsphinx/model/en-us/en-us/mdef");
  const std::string mdefPath = "/quillmor-speech/models/zh-CN/" + kTop + "zh_cn.cd_cont_5000/mdef";
  const TempDir good;
  placeModel(good.path(), "zh-CN", chineseTestModelItems(kTop));
  EXPECT_FALSE(fs::exists(good.path() + stamp));
  expectChineseFinal(sessionEvents(chineseSession(good.path(), false)));
  const std::string stamped = readFileBytes(good.path() + stamp);
  EXPECT_TRUE(stamped.starts_with("quillmor-model-check ")) << stamped;
  // A check rewrites the stamp; the next session leaves it as it was.
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
  fs::last_write_time(good.path() + stamp, old);
  expectChineseFinal(sessionEvents(chineseSession(good.path(), false)));
  EXPECT_EQ(fs::last_write_time(good.path() + stamp), old);

  const std::string crashed = "the speech library crashed on it (SIGSEGV)";
  struct Case {
    std::string name;
    bool stamped;  // placed with the stamp of the model as it was before the damage
    std::string mdef;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"changed since it was stamped", true, mdef.substr(0, 2000),
       "the acoustic model does not load: " + crashed},
      {"never stamped", false, mdef.substr(0, 2000),
       "the acoustic model does not load: " + crashed},
      {"never stamped, a bare text header", false, "0.3\n",
       "the acoustic model does not load: the speech library stopped on a fatal error: "
       "Incomplete header"},
  };
  for (const Case& c : cases) {
    const TempDir temp;
    placeModel(temp.path(), "zh-CN", chineseTestModelItems(kTop));
    if (c.stamped) {
      expectChineseFinal(sessionEvents(chineseSession(temp.path(), false)));
      ASSERT_TRUE(fs::exists(temp.path() + stamp)) << c.name;
    }
    const std::string before = c.stamped ? readFileBytes(temp.path() + stamp) : "";
    writeFileBytes(temp.path() + mdefPath, c.mdef);
    const RunResult run = chineseSession(temp.path(), false);
    expectEndedByItself(run, 1);
    EXPECT_EQ(run.out, json({{"code", "recognition_failed"},
                             {"message", "The zh-CN speech model cannot be used: " + c.message},
                             {"type", "error"}})
                               .dump() +
                           "\n")
        << c.name;
    // A model that fails is not stamped.
    EXPECT_EQ(fs::exists(temp.path() + stamp) ? readFileBytes(temp.path() + stamp) : "", before)
        << c.name;
  }
}

// The words of a model become the final text as each locale writes them: the English pronoun
// capitalised in en-* locales only, spaces only between words of spaced scripts.
TEST(ChineseModel, FinalTextFollowsTheLocaleAndTheScripts) {
  struct Case {
    std::string locale;
    std::vector<std::string> words;
    std::string final;
  };
  const std::vector<Case> cases = {
      {"en-GB", {"i", "i'm", "ten", "meters"}, "I I'm ten meters"},
      {"en-AU", {"i'd", "i'll", "i've", "ice"}, "I'd I'll I've ice"},
      {"fr-FR", {"i", "i'm", "ten", "meters"}, "i i'm ten meters"},
      {"ja-JP", {"行く", "前へ", "ten", "メートル"}, "行く前へtenメートル"},
  };
  for (const Case& c : cases) {
    const TempDir temp;
    const std::string& dataHome = temp.path();
    placeModel(dataHome, c.locale, goForwardModelItems(kTop, c.words));
    RunResult run = goForwardSession(dataHome, c.locale, false);
    EXPECT_EQ(run.err, "") << c.locale;
    EXPECT_EQ(run.status, 0) << c.locale << ": " << run.out;
    std::vector<std::string> finals;
    for (const std::string& line : outputLines(run.out)) {
      json event = json::parse(line);
      if (event["type"] == "final") finals.push_back(event["text"]);
    }
    EXPECT_EQ(finals, std::vector<std::string>{c.final}) << c.locale << ": " << run.out;
  }
}

}  // namespace
}  // namespace quillmor_speech
