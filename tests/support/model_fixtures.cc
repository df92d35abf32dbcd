#include "support/model_fixtures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/base/file_descriptor.h"
#include "platform/model_installer/archive_handles.h"
#include "platform/model_installer/openssl_handles.h"
#include "support/run_binary.h"

namespace quillmor_speech {

namespace fs = std::filesystem;

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) saved_ = old;
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  if (saved_) {
    setenv(name_.c_str(), saved_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ModelServer::ModelServer(const std::string& directory, const std::string& certificate)
    : log_(directory + "/requests.log"), scheme_(certificate.empty() ? "http" : "https") {
  std::string script = std::string(QUILLMOR_TEST_DATA_DIR) + "/../support/model_server.py";
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  FileDescriptor readEnd(fds[0]);
  FileDescriptor writeEnd(fds[1]);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(writeEnd.get(), STDOUT_FILENO);
    if (certificate.empty()) {
      execlp("python3", "python3", script.c_str(), directory.c_str(), log_.c_str(),
             static_cast<char*>(nullptr));
    } else {
      execlp("python3", "python3", script.c_str(), directory.c_str(), log_.c_str(),
             certificate.c_str(), static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  writeEnd = FileDescriptor();
  std::string line;
  char c;
  while (read(readEnd.get(), &c, 1) == 1 && c != '\n') line += c;
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) throw std::runtime_error("model_server.py did not start");
}

ModelServer::~ModelServer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string ModelServer::url(const std::string& mode, const std::string& name) const {
  return scheme_ + "://127.0.0.1:" + std::to_string(port_) + "/" + mode + "/" + name;
}

std::vector<std::string> ModelServer::requests() const {
  std::vector<std::string> paths;
  std::istringstream lines(readFileBytes(log_));
  for (std::string line; std::getline(lines, line);) paths.push_back(line);
  return paths;
}

std::vector<ArchiveItem> treeItems(const std::string& directory, const std::string& prefix) {
  std::vector<ArchiveItem> items;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(directory)) {
    std::string name = prefix + fs::relative(entry.path(), directory).string();
    if (entry.is_directory()) {
      items.push_back({name, ArchiveItem::Kind::directory, {}});
    } else if (entry.is_regular_file()) {
      items.push_back({name, ArchiveItem::Kind::file, readFileBytes(entry.path())});
    }
  }
  return items;
}

void writeTarGz(const std::string& path, const std::vector<ArchiveItem>& items) {
  ArchiveWriter writer(archive_write_new());
  archive* a = writer.get();
  archive_write_set_format_pax_restricted(a);
  archive_write_add_filter_gzip(a);
  archive_write_set_filter_option(a, "gzip", "compression-level", "1");
  if (archive_write_open_filename(a, path.c_str()) != ARCHIVE_OK) {
    throw std::runtime_error(archiveErrorText(a));
  }
  for (const ArchiveItem& item : items) {
    ArchiveEntry entry(archive_entry_new());
    archive_entry* e = entry.get();
    archive_entry_set_pathname(e, item.name.c_str());
    archive_entry_set_perm(e, 0644);
    switch (item.kind) {
      case ArchiveItem::Kind::file:
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_size(e, static_cast<la_int64_t>(item.contents.size()));
        break;
      case ArchiveItem::Kind::directory:
        archive_entry_set_filetype(e, AE_IFDIR);
        archive_entry_set_perm(e, 0755);
        break;
      case ArchiveItem::Kind::symlink:
        archive_entry_set_filetype(e, AE_IFLNK);
        archive_entry_set_symlink(e, item.contents.c_str());
        break;
      case ArchiveItem::Kind::hardlink:
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_hardlink(e, item.contents.c_str());
        break;
      case ArchiveItem::Kind::characterDevice:
        archive_entry_set_filetype(e, AE_IFCHR);
        archive_entry_set_rdev(e, makedev(1, 3));
        break;
    }
    if (archive_write_header(a, e) != ARCHIVE_OK) throw std::runtime_error(archiveErrorText(a));
    if (item.kind == ArchiveItem::Kind::file && !item.contents.empty() &&
        archive_write_data(a, item.contents.data(), item.contents.size()) < 0) {
      throw std::runtime_error(archiveErrorText(a));
    }
  }
  if (archive_write_close(a) != ARCHIVE_OK) throw std::runtime_error(archiveErrorText(a));
}

std::string sha256OfFile(const std::string& path) {
  std::string bytes = readFileBytes(path);
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EvpMdCtx context(EVP_MD_CTX_new());
  EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
  EVP_DigestUpdate(context.get(), bytes.data(), bytes.size());
  EVP_DigestFinal_ex(context.get(), sum, &length);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[sum[i] >> 4];
    hex += kDigits[sum[i] & 0x0f];
  }
  return hex;
}

int closedLoopbackPort() {
  FileDescriptor fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot bind a loopback port");
  }
  return ntohs(address.sin_port);
}

EnGbModelSite::EnGbModelSite()
    : served(servedDir.path()),
      dataHome(dataHomeDir.path()),
      store(dataHome + "/quillmor-speech/models") {
  std::filesystem::create_directories(store);
  writeTarGz(served + "/en-gb.tar.gz",
             treeItems("/usr/share/pocketsphinx/model/en-us", "quillmor-test-en-gb/"));
}

void writeEnGbCatalogue(const std::string& store, const std::string& url,
                        const std::string& servedFile) {
  writeFileBytes(store + "/catalogue.json",
                 R"({"models":{"en-GB":{"name":"quillmor-test-en-gb","downloads":[{"url":")" + url +
                     R"(","size":)" + std::to_string(std::filesystem::file_size(servedFile)) +
                     R"(,"sha256":")" + sha256OfFile(servedFile) +
                     R"("}],"acousticModel":"en-us","dictionary":"cmudict-en-us.dict",)"
                     R"("languageModel":"en-us.lm.bin"}}})");
}

std::vector<ArchiveItem> chineseTestModelItems(const std::string& prefix) {
  return goForwardModelItems(prefix, {"去", "向前", "十", "米"});
}

std::vector<ArchiveItem> goForwardModelItems(const std::string& prefix,
                                             const std::vector<std::string>& words) {
  if (words.size() != 4) throw std::invalid_argument("the model takes four words");
  std::vector<ArchiveItem> items = {{prefix, ArchiveItem::Kind::directory, {}}};
  for (ArchiveItem& item :
       treeItems("/usr/share/pocketsphinx/model/en-us/en-us", prefix + "zh_cn.cd_cont_5000/")) {
    items.push_back(std::move(item));
  }
  // The pronunciations of "go forward ten meters", and a language model of that one sentence.
  const char* const phones[] = {"G OW", "F AO R W ER D", "T EH N", "M IY T ER Z"};
  std::string dictionary;
  std::string unigrams = "-0.7782 </s> 0.0\n-99.0 <s> -0.3010\n";
  std::string bigrams;
  std::string previous = "<s>";
  for (std::size_t i = 0; i < words.size(); ++i) {
    dictionary += words[i] + " " + phones[i] + "\n";
    unigrams += "-0.7782 " + words[i] + " -0.3010\n";
    bigrams += "-0.0 " + previous + " " + words[i] + "\n";
    previous = words[i];
  }
  bigrams += "-0.0 " + previous + " </s>\n";
  items.push_back({prefix + "zh_cn.dic", ArchiveItem::Kind::file, dictionary});
  items.push_back({prefix + "zh_cn.lm.bin", ArchiveItem::Kind::file,
                   "\\data\\\nngram 1=6\nngram 2=5\n\n\\1-grams:\n" + unigrams + "\n\\2-grams:\n" +
                       bigrams + "\n\\end\\\n"});
  return items;
}

std::string chineseTestModelParts(const std::string& prefix) {
  return R"("acousticModel":")" + prefix + R"(zh_cn.cd_cont_5000","dictionary":")" + prefix +
         R"(zh_cn.dic","languageModel":")" + prefix + R"(zh_cn.lm.bin")";
}

void writeItems(const std::string& root, const std::vector<ArchiveItem>& items) {
  for (const ArchiveItem& item : items) {
    fs::path path = fs::path(root) / item.name;
    if (item.kind == ArchiveItem::Kind::directory) {
      fs::create_directories(path);
    } else {
      fs::create_directories(path.parent_path());
      writeFileBytes(path.string(), item.contents);
    }
  }
}

}  // namespace quillmor_speech
