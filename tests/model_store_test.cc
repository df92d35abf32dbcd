// The model store without the network: locale matching, where models are found, and the status
// of each locale's model, all against a temporary XDG_DATA_HOME.
#include "platform/models/model_store.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

#include "platform/models/model_catalogue.h"
#include "platform/models/model_lock.h"
#include "platform/models/model_paths.h"
#include "platform/pocketsphinx/model_assets.h"
#include "platform/pocketsphinx/pocketsphinx_engine.h"
#include "probe/probe.h"
#include "support/model_fixtures.h"
#include "support/run_binary.h"

namespace quillmor_speech {
namespace {

namespace fs = std::filesystem;

const char* const kSystemModel = "/usr/share/pocketsphinx/model/en-us";

TEST(CanonicalLocale, RequestsNamingTheSameModelMeetInOneName) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"en-US", "en-US"},           {"en_US", "en-US"},          {"en-us", "en-US"},
      {"EN-us", "en-US"},           {"en_US.UTF-8", "en-US"},    {"en", "en-US"},
      {"en-Latn-US", "en-US"},      {"zh-CN", "zh-CN"},          {"zh_CN", "zh-CN"},
      {"zh-Hans-CN", "zh-CN"},      {"zh-Hans", "zh-CN"},        {"zh", "zh-CN"},
      {"zh_CN.GB2312", "zh-CN"},    {"zh-TW", "zh-TW"},          {"zh-Hant", "zh-TW"},
      {"zh-Hant-CN", "zh-Hant-CN"}, {"en-GB", "en-GB"},          {"fr_FR@euro", "fr-FR"},
      {"", std::nullopt},           {"C", std::nullopt},         {"POSIX", std::nullopt},
      {"und", std::nullopt},        {"x-private", std::nullopt}, {"en-", std::nullopt},
      {"-US", std::nullopt},        {"en US", std::nullopt},     {"../en-US", std::nullopt},
      {"en-US/..", std::nullopt},   {"english", std::nullopt},
  };
  for (const auto& [request, expected] : cases) {
    EXPECT_EQ(canonicalLocale(request), expected) << "\"" << request << "\"";
  }
}

// A temporary XDG_DATA_HOME whose store is `store`, removed afterwards.
class ModelStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dataHome_ = makeTempDir();
    store_ = dataHome_ + "/quillmor-speech/models";
  }
  void TearDown() override { removeTree(dataHome_); }

  void writeCatalogue(const std::string& text) {
    fs::create_directories(store_);
    writeFileBytes(store_ + "/catalogue.json", text);
  }

  // A small complete model in the store under `locale`, as an installation leaves it.
  void placeStoreModel(const std::string& locale) {
    std::string root = store_ + "/" + locale;
    fs::create_directories(root + "/am");
    writeFileBytes(root + "/am/mdef", "0.3\n");
    writeFileBytes(root + "/words.dict", "hello HH AH L OW\n");
    writeFileBytes(root + "/words.lm", "\\data\\\n");
    writeFileBytes(root + "/" + kModelManifest,
                   R"({"name":"test","acousticModel":"am","dictionary":"words.dict",)"
                   R"("languageModel":"words.lm"})");
  }

  std::string dataHome_;
  std::string store_;
  ScopedEnvironment xdg_{"XDG_DATA_HOME", std::nullopt};
  std::optional<ScopedEnvironment> env_;
  void useStore() { env_.emplace("XDG_DATA_HOME", dataHome_); }
};

const char kTestCatalogue[] = R"({"models":{"en_GB":{"name":"test-en-gb",
  "downloads":[{"url":"http://127.0.0.1:9/en-gb.tar.gz"}],
  "acousticModel":"am","dictionary":"words.dict","languageModel":"words.lm"}}})";

TEST_F(ModelStoreTest, StoreFollowsXdgDataHomeThenHome) {
  ScopedEnvironment home("HOME", dataHome_ + "/home");
  env_.emplace("XDG_DATA_HOME", dataHome_);
  EXPECT_EQ(userModelStore(), store_);
  env_.reset();
  env_.emplace("XDG_DATA_HOME", dataHome_ + "/");
  EXPECT_EQ(userModelStore(), store_);
  env_.reset();
  env_.emplace("XDG_DATA_HOME", "relative/data");
  EXPECT_EQ(userModelStore(), dataHome_ + "/home/.local/share/quillmor-speech/models");
  env_.reset();
  env_.emplace("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(userModelStore(), dataHome_ + "/home/.local/share/quillmor-speech/models");
}

TEST_F(ModelStoreTest, StatusesFromSystemModelShippedCatalogueAndNothing) {
  useStore();
  const std::vector<std::pair<std::string, AssetInventoryStatus>> cases = {
      {"en-US", AssetInventoryStatus::installed},   {"en_US", AssetInventoryStatus::installed},
      {"en-us", AssetInventoryStatus::installed},   {"zh-CN", AssetInventoryStatus::supported},
      {"zh_CN", AssetInventoryStatus::supported},   {"zh-Hans-CN", AssetInventoryStatus::supported},
      {"zh-TW", AssetInventoryStatus::unsupported}, {"fr-FR", AssetInventoryStatus::unsupported},
      {"", AssetInventoryStatus::unsupported},      {"no such", AssetInventoryStatus::unsupported},
  };
  for (const auto& [locale, status] : cases) {
    EXPECT_EQ(modelStatus(locale), status) << locale;
  }
  // Asking creates nothing in the store.
  EXPECT_FALSE(fs::exists(dataHome_ + "/quillmor-speech"));

  std::optional<ModelFiles> system = findInstalledModel("en_US");
  ASSERT_TRUE(system);
  EXPECT_EQ(system->acousticModel, std::string(kSystemModel) + "/en-us");
  EXPECT_EQ(system->dictionary, std::string(kSystemModel) + "/cmudict-en-us.dict");
  EXPECT_EQ(system->languageModel, std::string(kSystemModel) + "/en-us.lm.bin");
  EXPECT_EQ(modelInstallationRequest("en-US"), nullptr);
}

TEST_F(ModelStoreTest, CatalogueInTheStoreReplacesTheShippedOne) {
  useStore();
  writeCatalogue(kTestCatalogue);
  EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::supported);
  EXPECT_EQ(modelStatus("zh-CN"), AssetInventoryStatus::unsupported);
  EXPECT_EQ(modelStatus("en-US"), AssetInventoryStatus::installed);
  EXPECT_NE(modelInstallationRequest("en-GB"), nullptr);
  try {
    modelInstallationRequest("zh-CN");
    ADD_FAILURE() << "no request expected for zh-CN";
  } catch (const SpeechError& error) {
    EXPECT_STREQ(error.what(), "no downloadable speech model for zh-CN");
  }
}

// A valid en-GB catalogue text with one more entry field, such as R"("lowSpeedLimit":1)".
std::string withSetting(const std::string& field) {
  return R"({"models":{"en-GB":{"name":"x","downloads":[{"url":"http://h/a"}],)"
         R"("acousticModel":"a","dictionary":"d","languageModel":"l",)" +
         field + "}}}";
}

TEST(ModelCatalogue, TransferSettingsTakeTheirOwnUnitsBounds) {
  struct Case {
    std::string field;
    long connect, lowSpeed, lowSpeedTime;
  };
  const std::vector<Case> cases = {
      {R"("name2":0)", 30, 1000, 60},  // the defaults
      {R"("lowSpeedLimit":500000)", 30, 500000, 60},
      {R"("lowSpeedLimit":104857600)", 30, 104857600, 60},
      {R"("lowSpeedTimeSeconds":86400,"connectTimeoutSeconds":5)", 5, 1000, 86400},
  };
  for (const Case& c : cases) {
    StatusOr<Catalogue> catalogue = parseCatalogue(withSetting(c.field), "test");
    ASSERT_TRUE(catalogue) << c.field << ": " << catalogue.status().description();
    const CatalogueEntry& entry = catalogue->at("en-GB");
    EXPECT_EQ(entry.connectTimeoutSeconds, c.connect) << c.field;
    EXPECT_EQ(entry.lowSpeedLimit, c.lowSpeed) << c.field;
    EXPECT_EQ(entry.lowSpeedTimeSeconds, c.lowSpeedTime) << c.field;
  }
}

TEST_F(ModelStoreTest, BrokenCatalogueOffersNothingAndTheRequestSaysWhy) {
  useStore();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{", "is not valid JSON"},
      {R"({"model":{}})", "has no \"models\" object"},
      {R"({"models":{"zz top":{}}})", "model \"zz top\": not a locale identifier"},
      {R"({"models":{"en-GB":{"name":"x","downloads":[],"acousticModel":"a",)"
       R"("dictionary":"d","languageModel":"l"}}})",
       "\"downloads\" must be a non-empty list"},
      {R"({"models":{"en-GB":{"name":"x","downloads":[{"url":"http://h/a"}],)"
       R"("acousticModel":"../a","dictionary":"d","languageModel":"l"}}})",
       "\"acousticModel\" must be a relative path without \"..\""},
      {R"({"models":{"en-GB":{"name":"x","downloads":[{"url":"http://h/a","sha256":"ab"}],)"
       R"("acousticModel":"a","dictionary":"d","languageModel":"l"}}})",
       "\"sha256\" must be 64 hexadecimal digits"},
      {R"({"models":{"en-GB":{"name":"x","downloads":[{"url":"http://h/a","format":"file"}],)"
       R"("acousticModel":"a","dictionary":"d","languageModel":"l"}}})",
       "\"path\" must be a non-empty text"},
      {withSetting(R"("lowSpeedLimit":0)"), "\"lowSpeedLimit\" must be between 1 and 104857600"},
      {withSetting(R"("lowSpeedLimit":104857601)"),
       "\"lowSpeedLimit\" must be between 1 and 104857600"},
      {withSetting(R"("lowSpeedLimit":-5)"), "\"lowSpeedLimit\" must be a whole number"},
      {withSetting(R"("lowSpeedTimeSeconds":86401)"),
       "\"lowSpeedTimeSeconds\" must be between 1 and 86400"},
      {withSetting(R"("connectTimeoutSeconds":0)"),
       "\"connectTimeoutSeconds\" must be between 1 and 86400"},
  };
  for (const auto& [text, message] : cases) {
    writeCatalogue(text);
    EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::unsupported) << text;
    try {
      modelInstallationRequest("en-GB");
      ADD_FAILURE() << "expected a failure for " << text;
    } catch (const SpeechError& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos)
          << error.what() << " / " << text;
      EXPECT_NE(std::string(error.what()).find(store_ + "/catalogue.json"), std::string::npos)
          << error.what();
    }
  }
}

TEST_F(ModelStoreTest, StoreModelIsInstalledOnlyWhileComplete) {
  useStore();
  writeCatalogue(kTestCatalogue);
  placeStoreModel("en-GB");
  std::optional<ModelFiles> files = findInstalledModel("en_GB");
  ASSERT_TRUE(files);
  EXPECT_EQ(files->acousticModel, store_ + "/en-GB/am");
  EXPECT_EQ(files->dictionary, store_ + "/en-GB/words.dict");
  EXPECT_EQ(files->languageModel, store_ + "/en-GB/words.lm");
  EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::installed);
  EXPECT_EQ(modelInstallationRequest("en-GB"), nullptr);

  // Each missing part, and a manifest that points outside, make it not installed.
  const std::vector<std::string> breakages = {"am/mdef", "words.dict", "words.lm", kModelManifest};
  for (const std::string& part : breakages) {
    fs::remove(store_ + "/en-GB/" + part);
    EXPECT_EQ(findInstalledModel("en-GB"), std::nullopt) << part;
    EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::supported) << part;
    placeStoreModel("en-GB");
  }
  // So do a model definition of neither known format and empty files.
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"am/mdef", "mdef\n"}, {"am/mdef", ""}, {"words.dict", ""}, {"words.lm", ""}};
  for (const auto& [part, bytes] : damages) {
    writeFileBytes(store_ + "/en-GB/" + part, bytes);
    EXPECT_EQ(findInstalledModel("en-GB"), std::nullopt) << part << " \"" << bytes << "\"";
    EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::supported) << part;
    placeStoreModel("en-GB");
  }
  ASSERT_TRUE(findInstalledModel("en-GB"));
  writeFileBytes(store_ + "/en-GB/" + kModelManifest,
                 R"({"acousticModel":"am","dictionary":"../en-GB/words.dict",)"
                 R"("languageModel":"words.lm"})");
  EXPECT_EQ(findInstalledModel("en-GB"), std::nullopt);
}

// Holds the locale's installation lock in a child process until the returned pipe end closes.
class LockHolder {
 public:
  explicit LockHolder(const std::string& lockPath) {
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      StatusOr<ModelLock> lock = ModelLock::acquire(lockPath);
      if (!lock) _exit(1);
      char c = 1;
      if (write(ready[1], &c, 1) != 1) _exit(1);
      if (read(release[0], &c, 1) < 0) _exit(1);  // until the parent closes its end
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char c;
    if (read(ready[0], &c, 1) != 1) throw std::runtime_error("lock holder failed");
    close(ready[0]);
  }
  ~LockHolder() {
    close(release_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_;
  int release_;
};

TEST_F(ModelStoreTest, LockHeldByAnotherProcessMeansDownloading) {
  useStore();
  writeCatalogue(kTestCatalogue);
  {
    LockHolder holder(store_ + "/en-GB.lock");
    EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::downloading);
    EXPECT_EQ(modelStatus("en_gb"), AssetInventoryStatus::downloading);
    EXPECT_EQ(modelStatus("en-US"), AssetInventoryStatus::installed);
  }
  // The lock file stays behind; unheld, it means nothing.
  EXPECT_TRUE(fs::exists(store_ + "/en-GB.lock"));
  EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::supported);
}

// The probe line over the real store, from a child process whose stdout is a pipe.
std::string probeLineWithStore() {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    try {
      std::unique_ptr<SpeechEngine> engine = makePocketSphinxEngine();
      probe(*engine);
    } catch (...) {
      _exit(1);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return out;
}

// The "os" text as the probe writes it, JSON-escaped ("/" as "\/").
std::string expectedOsJson() {
  std::string name;
  std::ifstream file("/etc/os-release");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    name = line.substr(12);
    if (name.size() >= 2 && name.front() == '"') name = name.substr(1, name.size() - 2);
  }
  struct utsname uts;
  uname(&uts);
  std::string text = name + ", " + uts.sysname + " " + uts.release;
  std::string escaped;
  for (char c : text) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
  return escaped;
}

TEST_F(ModelStoreTest, ProbeLineOverTheStoreOnAFreshMachine) {
  useStore();
  const std::string prefix = R"({"locales":{"en-US":"installed","zh-CN":")";
  const std::string suffix =
      R"("},"os":")" + expectedOsJson() + R"(","supported":true,"type":"probe"})" + "\n";
  EXPECT_EQ(probeLineWithStore(), prefix + "downloadable" + suffix);
  fs::create_directories(store_);
  {
    LockHolder holder(store_ + "/zh-CN.lock");
    EXPECT_EQ(probeLineWithStore(), prefix + "downloading" + suffix);
  }
  placeStoreModel("zh-CN");
  EXPECT_EQ(probeLineWithStore(), prefix + "installed" + suffix);
}

TEST_F(ModelStoreTest, RealBinaryProbeWithAFreshStore) {
  RunOptions options;
  options.env = {{"XDG_DATA_HOME", dataHome_}};
  options.keepStdinOpen = true;
  RunResult r = runBinary(QUILLMOR_BINARY, {"probe"}, "", options);
  EXPECT_EQ(r.err, "");
  ASSERT_TRUE(r.exitedNormally);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, R"({"locales":{"en-US":"installed","zh-CN":"downloadable"},"os":")" +
                       expectedOsJson() + R"(","supported":true,"type":"probe"})" + "\n");
  EXPECT_FALSE(fs::exists(dataHome_ + "/quillmor-speech"));
}

TEST(ModelFilesProblem, NamesTheFirstShortcomingOfTheFiles) {
  const std::string dir = makeTempDir();
  fs::create_directories(dir + "/am");
  const ModelFiles files{dir + "/am", dir + "/dict", dir + "/lm"};
  const std::string incomplete = "The zh-CN speech model is incomplete: ";
  // Each row changes one file (bytes, or "(missing)") and names what the check then says.
  const std::vector<std::tuple<std::string, std::string, std::optional<std::string>>> steps = {
      {"am/mdef", "(missing)", incomplete + dir + "/am/mdef is missing"},
      {"am/mdef", "", incomplete + dir + "/am/mdef is empty"},
      {"am/mdef", "mdef\n",
       "The zh-CN speech model is damaged: " + dir + "/am/mdef is not a model definition"},
      {"am/mdef", "BMDF\x01", incomplete + "the dictionary " + dir + "/dict is missing"},
      {"dict", "", incomplete + "the dictionary " + dir + "/dict is empty"},
      {"dict", "qu4 Q UW\n", incomplete + "the language model " + dir + "/lm is missing"},
      {"lm", "", incomplete + "the language model " + dir + "/lm is empty"},
      {"lm", "\\data\\\n", std::nullopt},
      {"am/mdef", "0.3\n", std::nullopt},
  };
  EXPECT_EQ(modelFilesProblem("zh-CN", {dir + "/none", files.dictionary, files.languageModel}),
            incomplete + "the acoustic model folder " + dir + "/none is missing");
  for (const auto& [name, bytes, problem] : steps) {
    if (bytes != "(missing)") writeFileBytes(dir + "/" + name, bytes);
    EXPECT_EQ(modelFilesProblem("zh-CN", files), problem) << name << " \"" << bytes << "\"";
  }
  removeTree(dir);
}

}  // namespace
}  // namespace quillmor_speech
