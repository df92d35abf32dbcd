// Helpers for the model store and installation tests: environment overrides, a loopback HTTP
// server serving test archives, and archives built entry by entry.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quillmor_speech {

// Sets (or, with nothing, unsets) an environment variable, and restores it when destroyed.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// tests/support/model_server.py serving the files of a directory on 127.0.0.1, started in the
// constructor (which waits for its port) and killed in the destructor.
class ModelServer {
 public:
  // With a certificate (PEM holding the certificate and its key), the server speaks HTTPS.
  explicit ModelServer(const std::string& directory, const std::string& certificate = "");
  ~ModelServer();
  ModelServer(const ModelServer&) = delete;
  ModelServer& operator=(const ModelServer&) = delete;

  // "http://127.0.0.1:<port>/<mode>/<name>" (https with a certificate); modes are those of
  // model_server.py.
  std::string url(const std::string& mode, const std::string& name) const;
  // The request paths served so far, in order.
  std::vector<std::string> requests() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string log_;
  std::string scheme_;
};

// One entry of a test archive.
struct ArchiveItem {
  enum class Kind { file, directory, symlink, hardlink, characterDevice };
  std::string name;
  Kind kind = Kind::file;
  std::string contents;  // file bytes, or the target of a link
};

// The regular files and directories under `directory`, named `prefix` + their relative path.
std::vector<ArchiveItem> treeItems(const std::string& directory, const std::string& prefix);

// Writes a gzip-compressed tar (pax) archive holding the items in order.
void writeTarGz(const std::string& path, const std::vector<ArchiveItem>& items);

// A temporary directory to serve, holding en-gb.tar.gz (Debian's en-US model under
// quillmor-test-en-gb/), and a temporary XDG_DATA_HOME whose model store exists and is empty.
// Both are removed on destruction.
struct EnGbModelSite {
  EnGbModelSite();

  TempDir servedDir;
  TempDir dataHomeDir;
  std::string served;
  std::string dataHome;
  std::string store;  // dataHome/quillmor-speech/models
};

// Writes `store`/catalogue.json offering the test locale en-GB as one archive at `url` that
// holds Debian's en-US model under quillmor-test-en-gb/ (see writeTarGz and treeItems), with
// the size and SHA-256 of `servedFile`, the file served there (plain http needs them).
void writeEnGbCatalogue(const std::string& store, const std::string& url,
                        const std::string& servedFile);

// A Chinese test model laid out as the published cmusphinx-zh-cn-5.2.tar.gz unpacks, each item
// named `prefix` + its path: Debian's en-US acoustic model as zh_cn.cd_cont_5000/, a dictionary
// zh_cn.dic giving 去 向前 十 米 the pronunciations of "go forward ten meters", and a small
// language model written as ARPA text over those words, as zh_cn.lm.bin.
std::vector<ArchiveItem> chineseTestModelItems(const std::string& prefix);

// The same model with other words in place of 去 向前 十 米, in that order (four words).
std::vector<ArchiveItem> goForwardModelItems(const std::string& prefix,
                                             const std::vector<std::string>& words);

// The part paths of that model relative to the folder holding `prefix`, as the catalogue's
// "acousticModel", "dictionary" and "languageModel" fields (JSON text, no braces).
std::string chineseTestModelParts(const std::string& prefix);

// Writes the items under `root` (directories and files).
void writeItems(const std::string& root, const std::vector<ArchiveItem>& items);

// SHA-256 of a file's bytes as 64 lower-case hex digits.
std::string sha256OfFile(const std::string& path);

// A unused TCP port on 127.0.0.1: bound, then released, so connecting to it is refused.
int closedLoopbackPort();

}  // namespace quillmor_speech
