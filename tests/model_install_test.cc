// Installing models from a loopback HTTP server (tests/support/model_server.py) into a
// temporary store: the Debian en-US model repackaged under the test locale en-GB installs and
// is found; every way a download or an archive can go wrong throws a readable description and
// leaves nothing installed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>

#include "platform/models/model_store.h"
#include "platform/pocketsphinx/model_assets.h"
#include "platform/pocketsphinx/model_check.h"
#include "support/model_fixtures.h"
#include "support/run_binary.h"
#include "support/temp_dir.h"

namespace quillmor_speech {
namespace {

namespace fs = std::filesystem;
using Kind = ArchiveItem::Kind;

const std::string kSystemModel = "/usr/share/pocketsphinx/model/en-us";

// The parts of the model as the test catalogue names them: Debian's file names.
const char kParts[] = R"("acousticModel":"en-us","dictionary":"cmudict-en-us.dict",)"
                      R"("languageModel":"en-us.lm.bin")";

const std::string kTwoWordLanguageModel =
    "\\data\\\nngram 1=4\n\n\\1-grams:\n-0.6 </s>\n-99 <s>\n-0.6 hello\n-0.6 world\n\n\\end\\\n";

// A small stand-in model under "m/": enough for the installer's completeness check, not for
// loading.
std::vector<ArchiveItem> smallModel() {
  return {{"m/", Kind::directory, {}},
          {"m/en-us/mdef", Kind::file, "0.3\n"},
          {"m/en-us/means", Kind::file, "means\n"},
          {"m/cmudict-en-us.dict", Kind::file, "hello HH AH L OW\n"},
          {"m/en-us.lm.bin", Kind::file, "lm\n"}};
}

// Debian's en-US acoustic model with a dictionary and language model of two words, under "m/":
// a model that loads.
std::vector<ArchiveItem> loadableModel() {
  std::vector<ArchiveItem> items = {{"m/", Kind::directory, {}}};
  for (ArchiveItem& item : treeItems(kSystemModel + "/en-us", "m/en-us/")) {
    items.push_back(std::move(item));
  }
  items.push_back({"m/cmudict-en-us.dict", Kind::file, "hello HH AH L OW\nworld W ER L D\n"});
  items.push_back({"m/en-us.lm.bin", Kind::file, kTwoWordLanguageModel});
  return items;
}

// The program's own check, run from its path (this test's executable is another program).
Status checkWithTheProgram(const ModelFiles& files, const std::function<bool()>& cancelled) {
  return checkModelLoads(QUILLMOR_BINARY, files, cancelled);
}

std::vector<ArchiveItem> withItem(std::vector<ArchiveItem> items, ArchiveItem extra) {
  items.push_back(std::move(extra));
  return items;
}

std::vector<ArchiveItem> without(std::vector<ArchiveItem> items, const std::string& name) {
  std::erase_if(items, [&](const ArchiveItem& item) { return item.name == name; });
  return items;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

std::set<std::string> listing(const std::string& directory) {
  std::set<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class ModelInstallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    served_.emplace();
    writeTarGz(*served_ / "en-gb.tar.gz", treeItems(kSystemModel, "quillmor-test-en-gb/"));
    writeTarGz(*served_ / "small.tar.gz", smallModel());
    writeTarGz(*served_ / "loadable.tar.gz", loadableModel());
    writeFileBytes(*served_ / "page.html", "<html><body>Moved</body></html>\n");
    server_.emplace(served_->path());
  }
  static void TearDownTestSuite() {
    server_.reset();
    served_.reset();
  }

  void SetUp() override {
    dataHome_ = dataHomeDir_.path();
    store_ = dataHome_ + "/quillmor-speech/models";
    fs::create_directories(store_);
    env_.emplace("XDG_DATA_HOME", dataHome_);
  }
  void TearDown() override { env_.reset(); }

  // A catalogue offering en-GB from the given downloads (a JSON list) with extra entry fields;
  // "{size}" and "{sha256}" of the served file `name` are filled in.
  void writeCatalogue(const std::string& downloads, const std::string& entryExtra = "",
                      const std::string& name = "") {
    std::string text = R"({"models":{"en-GB":{"name":"quillmor-test-en-gb","downloads":)" +
                       downloads + "," + kParts + entryExtra + "}}}";
    if (!name.empty() && fs::exists(*served_ / name)) {
      std::string path = *served_ / name;
      text = replaceAll(text, "{size}", std::to_string(fs::file_size(path)));
      text = replaceAll(text, "{sha256}", sha256OfFile(path));
    }
    writeFileBytes(store_ + "/catalogue.json", text);
  }

  // `,"size":…,"sha256":"…"` of the served file `name`: what a plain http download needs.
  static std::string checksOf(const std::string& name) {
    const std::string path = *served_ / name;
    return R"(,"size":)" + std::to_string(fs::file_size(path)) + R"(,"sha256":")" +
           sha256OfFile(path) + "\"";
  }

  // The failure description of installing en-GB, or "" when it installed.
  std::string installFailure() {
    std::unique_ptr<AssetInstallationRequest> request =
        modelInstallationRequest("en-GB", checkWithTheProgram);
    if (!request) return "(no request)";
    try {
      request->downloadAndInstall();
    } catch (const SpeechError& error) {
      return error.what();
    }
    return "";
  }

  void expectNothingInstalled(const std::string& label) {
    EXPECT_EQ(findInstalledModel("en-GB"), std::nullopt) << label;
    EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::supported) << label;
    EXPECT_EQ(listing(store_), (std::set<std::string>{"catalogue.json", "en-GB.lock"})) << label;
  }

  // The directory that the server serves, and the server; shared by the suite's tests.
  static inline std::optional<TempDir> served_;
  static inline std::optional<ModelServer> server_;
  TempDir dataHomeDir_;
  std::string dataHome_;
  std::string store_;
  std::optional<ScopedEnvironment> env_;
};

TEST_F(ModelInstallTest, InstallsTheRepackagedDebianModelAndFindsIt) {
  writeCatalogue(R"([{"url":")" + server_->url("redirect/files", "en-gb.tar.gz") +
                     R"(","size":{size},"sha256":"{sha256}"}])",
                 "", "en-gb.tar.gz");
  // What a killed installation and a damaged earlier install leave behind.
  fs::create_directories(store_ + "/.en-GB.partial-Ab12Cd/model");
  writeFileBytes(store_ + "/.en-GB.partial-Ab12Cd/download-1", "half");
  fs::create_directories(store_ + "/en-GB/en-us");
  EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::supported);

  std::size_t before = server_->requests().size();
  EXPECT_EQ(installFailure(), "");

  std::optional<ModelFiles> files = findInstalledModel("en_GB");
  ASSERT_TRUE(files);
  const std::string root = store_ + "/en-GB/quillmor-test-en-gb";
  EXPECT_EQ(files->acousticModel, root + "/en-us");
  EXPECT_EQ(files->dictionary, root + "/cmudict-en-us.dict");
  EXPECT_EQ(files->languageModel, root + "/en-us.lm.bin");
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(kSystemModel)) {
    if (!entry.is_regular_file()) continue;
    std::string relative = fs::relative(entry.path(), kSystemModel).string();
    EXPECT_EQ(sha256OfFile(root + "/" + relative), sha256OfFile(entry.path())) << relative;
  }
  EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::installed);
  EXPECT_EQ(modelInstallationRequest("en-GB", checkWithTheProgram), nullptr);
  EXPECT_EQ(listing(store_), (std::set<std::string>{"catalogue.json", "en-GB", "en-GB.lock"}));
  EXPECT_TRUE(fs::exists(store_ + "/en-GB/.quillmor-model-check"));
  std::vector<std::string> requests = server_->requests();
  requests.erase(requests.begin(), requests.begin() + static_cast<long>(before));
  EXPECT_EQ(requests,
            (std::vector<std::string>{"/redirect/files/en-gb.tar.gz", "/files/en-gb.tar.gz"}));
}

TEST_F(ModelInstallTest, PlainAndCompressedFilesArePlacedBesideTheArchive) {
  writeTarGz(*served_ / "am-only.tar.gz",
             without(without(loadableModel(), "m/cmudict-en-us.dict"), "m/en-us.lm.bin"));
  writeFileBytes(*served_ / "words.dict", "hello HH AH L OW\nworld W ER L D\n");
  writeFileBytes(*served_ / "words.lm", kTwoWordLanguageModel);
  ASSERT_EQ(
      std::system(
          ("gzip -1 -c " + (*served_ / "words.lm") + " > " + (*served_ / "words.lm.gz")).c_str()),
      0);
  writeCatalogue(R"([{"url":")" + server_->url("files", "am-only.tar.gz") + "\"" +
                 checksOf("am-only.tar.gz") + R"(},)" + R"({"url":")" +
                 server_->url("files", "words.dict") +
                 R"(","format":"file","path":"cmudict-en-us.dict")" + checksOf("words.dict") +
                 R"(},)" + R"({"url":")" + server_->url("files", "words.lm.gz") +
                 R"(","format":"file","path":"en-us.lm.bin")" + checksOf("words.lm.gz") + "}]");
  EXPECT_EQ(installFailure(), "");
  std::optional<ModelFiles> files = findInstalledModel("en-GB");
  ASSERT_TRUE(files);
  EXPECT_EQ(files->acousticModel, store_ + "/en-GB/m/en-us");
  EXPECT_EQ(readFileBytes(files->dictionary), readFileBytes(*served_ / "words.dict"));
  EXPECT_EQ(readFileBytes(files->languageModel), readFileBytes(*served_ / "words.lm"));
}

struct FailureCase {
  std::string label;
  std::vector<ArchiveItem> items;  // served as <label>.tar.gz; none: `served`
  std::string mode;                // how model_server.py sends it
  std::string served;              // the file asked for when there are no items
  std::string downloadExtra;       // fields added to the download
  std::string entryExtra;          // fields added to the entry
  std::string message;             // part of the description
};

TEST_F(ModelInstallTest, EveryFailureThrowsAReadableDescriptionAndLeavesNothingInstalled) {
  const std::string zeros(64, '0');
  const std::string small = "small.tar.gz";
  // Over plain http a download is taken only with its size and SHA-256.
  const std::string kChecked = R"(,"size":{size},"sha256":"{sha256}")";
  const std::vector<FailureCase> cases = {
      {"checksum",
       {},
       "files",
       small,
       R"(,"size":{size},"sha256":")" + zeros + R"(")",
       "",
       "SHA-256 mismatch (got {sha256}, expected " + zeros + ")"},
      {"truncated", {}, "truncate", small, kChecked, "", "Transferred a partial file"},
      {"cut short", {}, "cut", small, kChecked, "", "expected {size}"},
      {"plain http without size and sha256",
       {},
       "cut",
       small,
       "",
       "",
       "is not an https URL, and the catalogue gives no \"size\" and \"sha256\""},
      {"plain http without sha256",
       {},
       "files",
       small,
       R"(,"size":{size})",
       "",
       "is not an https URL, and the catalogue gives no \"size\" and \"sha256\""},
      {"too large",
       {},
       "files",
       small,
       R"(,"size":10,"sha256":"{sha256}")",
       "",
       "Maximum file size exceeded"},
      {"stalled",
       {},
       "stall",
       small,
       kChecked,
       R"(,"lowSpeedLimit":1,"lowSpeedTimeSeconds":1)",
       "Operation too slow"},
      {"not found",
       {},
       "files",
       "no-such.tar.gz",
       R"(,"size":100000,"sha256":")" + zeros + "\"",
       "",
       "The requested URL returned error: 404"},
      {"not an archive", {}, "files", "page.html", kChecked, "", "Unrecognized archive format"},
      {"unpacks too large",
       {},
       "files",
       small,
       kChecked,
       R"(,"maxUnpackedBytes":20)",
       "it unpacks to more than 20 bytes"},
      {"dot-dot", withItem(smallModel(), {"m/../../evil", Kind::file, "x"}), "files", "", kChecked,
       "", "entry \"m/../../evil\" leads outside the model directory"},
      {"absolute", withItem(smallModel(), {"/tmp/quillmor-evil", Kind::file, "x"}), "files", "",
       kChecked, "", "entry \"/tmp/quillmor-evil\" is absolute"},
      {"symlink", withItem(smallModel(), {"m/passwd", Kind::symlink, "/etc/passwd"}), "files", "",
       kChecked, "", "entry \"m/passwd\" is a symbolic link"},
      {"hardlink", withItem(smallModel(), {"m/hard", Kind::hardlink, "m/en-us/mdef"}), "files", "",
       kChecked, "", "entry \"m/hard\" is a hard link"},
      {"device", withItem(smallModel(), {"m/null", Kind::characterDevice, ""}), "files", "",
       kChecked, "", "entry \"m/null\" is a device or other special file"},
      {"no dictionary", without(smallModel(), "m/cmudict-en-us.dict"), "files", "", kChecked, "",
       "/files/no-dictionary.tar.gz has no dictionary cmudict-en-us.dict"},
      {"no acoustic model", without(smallModel(), "m/en-us/mdef"), "files", "", kChecked, "",
       "has no acoustic model m/en-us"},
      {"no language model", without(smallModel(), "m/en-us.lm.bin"), "files", "", kChecked, "",
       "has no language model en-us.lm.bin"},
      {"garbage model definition",
       withItem(without(smallModel(), "m/en-us/mdef"), {"m/en-us/mdef", Kind::file, "mdef\n"}),
       "files", "", kChecked, "",
       "has no usable acoustic model m/en-us (mdef is not a model definition)"},
      {"empty dictionary",
       withItem(without(smallModel(), "m/cmudict-en-us.dict"),
                {"m/cmudict-en-us.dict", Kind::file, ""}),
       "files", "", kChecked, "", "has no dictionary m/cmudict-en-us.dict"},
  };
  for (const FailureCase& c : cases) {
    std::string name = c.served;
    if (!c.items.empty()) {
      name = replaceAll(c.label, " ", "-") + ".tar.gz";
      writeTarGz(*served_ / name, c.items);
    }
    std::string url = server_->url(c.mode, name);
    writeCatalogue(R"([{"url":")" + url + "\"" + c.downloadExtra + "}]", c.entryExtra, name);
    std::string expected = c.message;
    if (fs::exists(*served_ / name)) {
      expected = replaceAll(expected, "{size}", std::to_string(fs::file_size(*served_ / name)));
      expected = replaceAll(expected, "{sha256}", sha256OfFile(*served_ / name));
    }

    std::string failure = installFailure();
    EXPECT_NE(failure.find(expected), std::string::npos) << c.label << ": " << failure;
    EXPECT_NE(failure.find("en-GB"), std::string::npos) << c.label << ": " << failure;
    EXPECT_NE(failure.find(url), std::string::npos) << c.label << ": " << failure;
    expectNothingInstalled(c.label);
  }
  EXPECT_FALSE(fs::exists("/tmp/quillmor-evil"));
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dataHome_)) {
    EXPECT_NE(entry.path().filename(), "evil") << entry.path();
  }
}

TEST_F(ModelInstallTest, UnreachableServerFailsAtOnce) {
  std::string url = "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/m.tar.gz";
  writeCatalogue(R"([{"url":")" + url + R"(","size":1,"sha256":")" + std::string(64, '0') +
                 R"("}])");
  auto start = std::chrono::steady_clock::now();
  std::string failure = installFailure();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_NE(failure.find("cannot download the en-GB speech model quillmor-test-en-gb from " + url +
                         ": Couldn't connect to server"),
            std::string::npos)
      << failure;
  // A refused connection is not waited out (the default connect timeout is 30 s).
  EXPECT_LT(seconds, 15.0);
  expectNothingInstalled("unreachable");
}

TEST_F(ModelInstallTest, ConcurrentInstallersDownloadOnce) {
  writeCatalogue(R"([{"url":")" + server_->url("slow", "loadable.tar.gz") + "\"" +
                 checksOf("loadable.tar.gz") + "}]");
  std::size_t before = server_->requests().size();
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      try {
        std::unique_ptr<AssetInstallationRequest> request =
            modelInstallationRequest("en-GB", checkWithTheProgram);
        if (request) request->downloadAndInstall();
      } catch (...) {
        _exit(1);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(server_->requests().size() - before, 1u);
  EXPECT_TRUE(findInstalledModel("en-GB"));
  EXPECT_EQ(listing(store_), (std::set<std::string>{"catalogue.json", "en-GB", "en-GB.lock"}));
}

TEST_F(ModelInstallTest, HttpsServerWithAnUntrustedCertificateIsRefused) {
  std::string directory = dataHome_ + "/tls";
  fs::create_directories(directory);
  fs::copy_file(*served_ / "small.tar.gz", directory + "/small.tar.gz");
  std::string certificate = directory + "/loopback.pem";
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                         "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                         certificate + " -out " + certificate + ".crt 2>/dev/null && cat " +
                         certificate + ".crt >> " + certificate)
                            .c_str()),
            0);
  ModelServer tls(directory, certificate);
  std::string url = tls.url("files", "small.tar.gz");
  ASSERT_EQ(url.rfind("https://", 0), 0u);
  writeCatalogue(R"([{"url":")" + url + R"("}])");
  std::string failure = installFailure();
  EXPECT_NE(failure.find("from " + url + ": SSL peer certificate or SSH remote key was not OK"),
            std::string::npos)
      << failure;
  EXPECT_TRUE(tls.requests().empty());
  fs::remove_all(directory);
  expectNothingInstalled("untrusted certificate");
}

}  // namespace
}  // namespace quillmor_speech
