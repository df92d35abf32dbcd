#include "platform/models/model_installer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/base/file_descriptor.h"
#include "platform/base/posix_error.h"
#include "platform/models/archive_handles.h"
#include "platform/models/curl_handles.h"
#include "platform/models/model_lock.h"
#include "platform/models/model_paths.h"
#include "platform/models/openssl_handles.h"

namespace quillmor_speech {

namespace {

namespace fs = std::filesystem;

// Most bytes accepted for a download whose size the catalogue does not give.
constexpr std::uint64_t kMaxUnknownDownloadBytes = std::uint64_t{4} << 30;

// A fresh directory made from a mkdtemp template, removed with all it holds when the owner
// goes. Move-only.
class WorkDirectory {
 public:
  explicit WorkDirectory(std::string pattern) : path_(std::move(pattern)) {
    if (mkdtemp(path_.data()) == nullptr) {
      throw ModelError(posixError("cannot create the work directory " + path_, errno));
    }
  }
  ~WorkDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void writeAllTo(int fd, const char* bytes, std::size_t count, const std::string& path) {
  while (count > 0) {
    ssize_t written = write(fd, bytes, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw ModelError(posixError("cannot write " + path, errno));
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
}

FileDescriptor createFile(const std::string& path) {
  FileDescriptor fd(
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) throw ModelError(posixError("cannot create " + path, errno));
  return fd;
}

void syncFile(const FileDescriptor& fd, const std::string& path) {
  if (fsync(fd.get()) != 0) throw ModelError(posixError("cannot write " + path, errno));
}

// Makes a directory's new entries durable; a failure here loses nothing already checked.
void syncDirectory(const std::string& path) {
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) fsync(fd.get());
}

std::string hex(const unsigned char* bytes, unsigned int count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0f];
  }
  return text;
}

// Where the bytes of a transfer go: a file, the running SHA-256, and a count held to a limit.
struct DownloadSink {
  int fd;
  const std::string& path;
  EVP_MD_CTX* digest;
  std::uint64_t received = 0;
  std::uint64_t limit;
  std::string failure;  // why the transfer was stopped from here
};

size_t receive(char* data, size_t size, size_t count, void* user) {
  DownloadSink& sink = *static_cast<DownloadSink*>(user);
  std::size_t length = size * count;
  if (length > sink.limit - sink.received) {
    sink.failure = "the server sent more than " + std::to_string(sink.limit) + " bytes";
    return 0;
  }
  try {
    writeAllTo(sink.fd, data, length, sink.path);
  } catch (const ModelError& error) {
    sink.failure = error.what();
    return 0;
  }
  if (EVP_DigestUpdate(sink.digest, data, length) != 1) {
    sink.failure = "SHA-256 failed: " + openSslErrorText();
    return 0;
  }
  sink.received += length;
  return length;
}

// Fetches the download into `path` and checks its size and checksum.
void download(const CatalogueEntry& entry, const ModelDownload& source, const std::string& path,
              const std::string& what) {
  std::string context = "cannot download " + what + " from " + source.url;
  FileDescriptor fd = createFile(path);
  EvpMdCtx digest(EVP_MD_CTX_new());
  if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1) {
    throw ModelError(context + ": SHA-256 failed: " + openSslErrorText());
  }
  DownloadSink sink{
      fd.get(), path, digest.get(), 0, source.size ? *source.size : kMaxUnknownDownloadBytes, {}};

  CurlEasy curl(curl_easy_init());
  if (!curl) throw ModelError(context + ": libcurl could not start a transfer");
  char errorBuffer[CURL_ERROR_SIZE] = "";
  CURL* handle = curl.get();
  bool secure = source.url.rfind("https:", 0) == 0;
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(handle, CURLOPT_URL, source.url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, entry.connectTimeoutSeconds);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, entry.lowSpeedLimit);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, entry.lowSpeedTimeSeconds);
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.limit));
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "quillmor-speech");
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receive);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
  CURLcode code = curl_easy_perform(handle);
  if (!sink.failure.empty()) throw ModelError(context + ": " + sink.failure);
  if (code != CURLE_OK) throw ModelError(context + ": " + curlErrorText(code, errorBuffer));
  syncFile(fd, path);

  if (source.size && sink.received != *source.size) {
    throw ModelError(context + ": received " + std::to_string(sink.received) + " bytes, expected " +
                     std::to_string(*source.size));
  }
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int sumLength = 0;
  if (EVP_DigestFinal_ex(digest.get(), sum, &sumLength) != 1) {
    throw ModelError(context + ": SHA-256 failed: " + openSslErrorText());
  }
  if (source.sha256 && hex(sum, sumLength) != *source.sha256) {
    throw ModelError(context + ": SHA-256 mismatch (got " + hex(sum, sumLength) + ", expected " +
                     *source.sha256 + ")");
  }
}

// The entry's path inside the model root, or throws when it would leave the root. "" for the
// root itself ("." or "./").
std::string safeEntryPath(const std::string& name, const std::string& context) {
  if (name.empty()) throw ModelError(context + ": an entry has no name");
  if (name.front() == '/') throw ModelError(context + ": entry \"" + name + "\" is absolute");
  std::string path;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part == "..") {
      throw ModelError(context + ": entry \"" + name + "\" leads outside the model directory");
    }
    if (!part.empty() && part != ".") path += (path.empty() ? "" : "/") + part;
    start = end + 1;
  }
  return path;
}

// Unpacks the downloaded file into root, adding the bytes written to `written`, which may not
// pass `limit`.
void unpack(const ModelDownload& source, const std::string& file, const std::string& root,
            std::uint64_t limit, std::uint64_t& written, const std::string& what) {
  std::string context = "cannot unpack " + what + " from " + source.url;
  ArchiveReader reader(archive_read_new());
  if (!reader) throw ModelError(context + ": libarchive could not start");
  archive* handle = reader.get();
  archive_read_support_filter_all(handle);
  if (source.isArchive) {
    // Only formats that carry their content. "all" would also take mtree, whose entries name
    // files of the local disk to read.
    archive_read_support_format_tar(handle);
    archive_read_support_format_gnutar(handle);
    archive_read_support_format_zip(handle);
    archive_read_support_format_7zip(handle);
  } else {
    archive_read_support_format_raw(handle);
  }
  if (archive_read_open_filename(handle, file.c_str(), 1 << 16) != ARCHIVE_OK) {
    throw ModelError(context + ": " + archiveErrorText(handle));
  }
  std::vector<char> buffer(1 << 16);
  for (;;) {
    archive_entry* entry = nullptr;
    int result = archive_read_next_header(handle, &entry);
    if (result == ARCHIVE_EOF) break;
    if (result != ARCHIVE_OK && result != ARCHIVE_WARN) {
      throw ModelError(context + ": " + archiveErrorText(handle));
    }
    const char* rawName = archive_entry_pathname(entry);
    std::string name = source.isArchive ? (rawName ? rawName : "") : source.path;
    std::string relative = safeEntryPath(name, context);
    if (archive_entry_hardlink(entry) != nullptr) {
      throw ModelError(context + ": entry \"" + name + "\" is a hard link");
    }
    mode_t type = archive_entry_filetype(entry);
    if (type == AE_IFLNK) {
      throw ModelError(context + ": entry \"" + name + "\" is a symbolic link");
    }
    if (type != AE_IFREG && type != AE_IFDIR) {
      throw ModelError(context + ": entry \"" + name + "\" is a device or other special file");
    }
    fs::path target = fs::path(root) / relative;
    std::error_code error;
    fs::create_directories(type == AE_IFDIR ? target : target.parent_path(), error);
    if (error) {
      throw ModelError(context + ": cannot create " + target.string() + ": " + error.message());
    }
    if (type == AE_IFDIR) continue;
    if (relative.empty()) throw ModelError(context + ": a file entry has no name");

    FileDescriptor out = createFile(target.string());
    for (;;) {
      la_ssize_t count = archive_read_data(handle, buffer.data(), buffer.size());
      if (count == 0) break;
      if (count < 0) throw ModelError(context + ": " + archiveErrorText(handle));
      if (static_cast<std::uint64_t>(count) > limit - written) {
        throw ModelError(context + ": it unpacks to more than " + std::to_string(limit) + " bytes");
      }
      written += static_cast<std::uint64_t>(count);
      writeAllTo(out.get(), buffer.data(), static_cast<std::size_t>(count), target.string());
    }
    syncFile(out, target.string());
  }
}

// The part's path relative to root: as the catalogue gives it, or else under the one top-level
// directory that holds it (archives usually wrap their content in a directory of their own).
std::string locatePart(const std::string& root, const std::string& part) {
  std::error_code error;
  if (fs::exists(fs::path(root) / part, error)) return part;
  std::vector<std::string> found;
  for (const fs::directory_entry& top : fs::directory_iterator(root, error)) {
    if (top.is_directory(error) && fs::exists(top.path() / part, error)) {
      found.push_back(top.path().filename().string() + "/" + part);
    }
  }
  return found.size() == 1 ? found.front() : part;
}

void writeManifest(const std::string& root, const std::string& name, const ModelFiles& parts) {
  nlohmann::json manifest = {{"name", name},
                             {"acousticModel", parts.acousticModel},
                             {"dictionary", parts.dictionary},
                             {"languageModel", parts.languageModel}};
  std::string text = manifest.dump(2) + "\n";
  std::string path = root + "/" + kModelManifest;
  FileDescriptor fd = createFile(path);
  writeAllTo(fd.get(), text.data(), text.size(), path);
  syncFile(fd, path);
}

void removeStaleWork(const std::string& store, const std::string& locale) {
  std::string prefix = "." + locale + ".";
  std::error_code error;
  for (const fs::directory_entry& item : fs::directory_iterator(store, error)) {
    if (item.path().filename().string().rfind(prefix, 0) == 0) {
      std::error_code ignored;
      fs::remove_all(item.path(), ignored);
    }
  }
}

}  // namespace

void installModel(const std::string& store, const std::string& locale,
                  const CatalogueEntry& entry) {
  std::string what = "the " + locale + " speech model " + entry.name;
  std::error_code error;
  fs::create_directories(store, error);
  if (error) {
    throw ModelError("cannot install " + what + ": cannot create " + store + ": " +
                     error.message());
  }
  ModelLock lock(store + "/" + locale + ".lock");
  // Another process may have installed it while this one waited for the lock.
  if (findStoreModel(store, locale)) return;
  removeStaleWork(store, locale);

  WorkDirectory work(store + "/." + locale + ".partial-XXXXXX");
  std::string root = work.path() + "/model";
  if (mkdir(root.c_str(), 0755) != 0) throw ModelError(posixError("cannot create " + root, errno));
  std::uint64_t unpacked = 0;
  for (std::size_t i = 0; i < entry.downloads.size(); ++i) {
    const ModelDownload& source = entry.downloads[i];
    std::string file = work.path() + "/download-" + std::to_string(i + 1);
    download(entry, source, file, what);
    unpack(source, file, root, entry.maxUnpackedBytes, unpacked, what);
    fs::remove(file, error);
  }

  ModelFiles parts{locatePart(root, entry.parts.acousticModel),
                   locatePart(root, entry.parts.dictionary),
                   locatePart(root, entry.parts.languageModel)};
  if (std::optional<std::string> missing =
          missingModelPart({root + "/" + parts.acousticModel, root + "/" + parts.dictionary,
                            root + "/" + parts.languageModel})) {
    std::string part = *missing;
    std::size_t at = part.find(root + "/");
    if (at != std::string::npos) part.erase(at, root.size() + 1);
    std::string urls;
    for (const ModelDownload& source : entry.downloads) {
      urls += (urls.empty() ? "" : ", ") + source.url;
    }
    throw ModelError("cannot install " + what + ": the download from " + urls + " has no " + part);
  }
  writeManifest(root, entry.name, parts);
  syncDirectory(root);

  // The previous directory of this locale (incomplete, or the store's copy of a model found
  // elsewhere) moves into the work directory and goes with it.
  std::string target = store + "/" + locale;
  if (fs::exists(fs::symlink_status(target, error))) {
    std::string previous = work.path() + "/previous";
    if (rename(target.c_str(), previous.c_str()) != 0) {
      throw ModelError(
          posixError("cannot install " + what + ": cannot move " + target + " aside", errno));
    }
  }
  if (rename(root.c_str(), target.c_str()) != 0) {
    throw ModelError(
        posixError("cannot install " + what + ": cannot rename " + root + " to " + target, errno));
  }
  syncDirectory(store);
}

}  // namespace quillmor_speech
