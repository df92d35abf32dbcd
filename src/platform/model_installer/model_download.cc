#include "platform/model_installer/model_download.h"

#include <chrono>
#include <cstdint>

#include "platform/base/exception_message.h"
#include "platform/model_installer/curl_handles.h"
#include "platform/model_installer/openssl_handles.h"
#include "platform/models/store_io.h"

namespace quillmor_speech {

namespace {

// Most bytes accepted for a download whose size the catalogue does not give.
constexpr std::uint64_t kMaxUnknownDownloadBytes = std::uint64_t{4} << 30;

// The slowest average that a download may keep once its first lowSpeedTimeSeconds are over.
constexpr std::uint64_t kMinAverageBytesPerSecond = 50 * 1024;

// The whole time a download may take: the entry's low-speed period (a minute by default), then
// its bytes (its size, or the cap) at kMinAverageBytesPerSecond, rounded up. A server that
// trickles just above the low-speed limit still ends there; one that stalls meets the low-speed
// limit first.
long deadlineSeconds(const CatalogueEntry& entry, std::uint64_t bytes) {
  return entry.lowSpeedTimeSeconds +
         static_cast<long>((bytes + kMinAverageBytesPerSecond - 1) / kMinAverageBytesPerSecond);
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
  std::string failure;       // why the transfer was stopped from here
  bool outOfMemory = false;  // stopped because even the failure's text could not be had
  const std::function<bool()>* cancelled = nullptr;  // asked by the progress callback
  bool wasCancelled = false;
};

size_t receiveChecked(char* data, size_t size, size_t count, DownloadSink& sink) {
  std::size_t length = size * count;
  if (length > sink.limit - sink.received) {
    sink.failure = "the server sent more than " + std::to_string(sink.limit) + " bytes";
    return 0;
  }
  if (Status written = writeAll(sink.fd, data, length, sink.path); !written) {
    sink.failure = written.description();
    return 0;
  }
  if (EVP_DigestUpdate(sink.digest, data, length) != 1) {
    sink.failure = "SHA-256 failed: " + openSslErrorText();
    return 0;
  }
  sink.received += length;
  return length;
}

// curl's write callback. Nothing may unwind through curl's frames: a failure that throws (only
// the failure's own text can, for want of memory) stops the transfer the way curl is told to
// stop, with a short count.
size_t receive(char* data, size_t size, size_t count, void* user) noexcept {
  DownloadSink& sink = *static_cast<DownloadSink*>(user);
  try {
    return receiveChecked(data, size, count, sink);
  } catch (...) {
    sink.outOfMemory = true;
    return 0;
  }
}

// curl's progress callback, called at least once a second while a transfer runs: a nonzero
// return stops it. Never throws.
int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
  DownloadSink& sink = *static_cast<DownloadSink*>(user);
  try {
    sink.wasCancelled = sink.cancelled && *sink.cancelled && (*sink.cancelled)();
  } catch (...) {
    sink.wasCancelled = false;
  }
  return sink.wasCancelled ? 1 : 0;
}

void configureTransfer(CURL* handle, const CatalogueEntry& entry, const ModelDownload& source,
                       DownloadSink& sink, char* errorBuffer) {
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
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, deadlineSeconds(entry, sink.limit));
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.limit));
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "quillmor-speech");
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receive);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, progress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &sink);
}

// The received bytes against the catalogue's size and SHA-256.
Status checkReceived(const ModelDownload& source, const DownloadSink& sink) {
  if (source.size && sink.received != *source.size) {
    return Status::error("received " + std::to_string(sink.received) + " bytes, expected " +
                         std::to_string(*source.size));
  }
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int sumLength = 0;
  if (EVP_DigestFinal_ex(sink.digest, sum, &sumLength) != 1) {
    return Status::error("SHA-256 failed: " + openSslErrorText());
  }
  if (source.sha256 && hex(sum, sumLength) != *source.sha256) {
    return Status::error("SHA-256 mismatch (got " + hex(sum, sumLength) + ", expected " +
                         *source.sha256 + ")");
  }
  return Status::ok();
}

Status transfer(const CatalogueEntry& entry, const ModelDownload& source, const std::string& path,
                const std::function<bool()>& cancelled) {
  StatusOr<FileDescriptor> fd = createFile(path);
  if (!fd) return fd.status();
  EvpMdCtx digest(EVP_MD_CTX_new());
  if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1) {
    return Status::error("SHA-256 failed: " + openSslErrorText());
  }
  DownloadSink sink{
      fd->get(), path, digest.get(), 0, source.size ? *source.size : kMaxUnknownDownloadBytes, {}};
  sink.cancelled = &cancelled;
  CurlEasy curl(curl_easy_init());
  if (!curl) return Status::error("libcurl could not start a transfer");
  char errorBuffer[CURL_ERROR_SIZE] = "";
  configureTransfer(curl.get(), entry, source, sink, errorBuffer);
  const auto started = std::chrono::steady_clock::now();
  CURLcode code = curl_easy_perform(curl.get());
  if (sink.wasCancelled) return Status::error("cancelled");
  if (sink.outOfMemory) return Status::noMemory(kOutOfMemoryMessage);
  if (!sink.failure.empty()) return Status::error(sink.failure);
  // curl's clock and ours may differ a little, hence the half second. A low-speed stop in that
  // last half second is described as the deadline's; either way the download was too slow.
  if (long deadline = deadlineSeconds(entry, sink.limit);
      code == CURLE_OPERATION_TIMEDOUT &&
      std::chrono::steady_clock::now() - started >=
          std::chrono::seconds(deadline) - std::chrono::milliseconds(500)) {
    return Status::error(
        "it did not end within " + std::to_string(deadline) + " s, the time allowed for " +
        std::to_string(sink.limit) + " bytes (" + std::to_string(entry.lowSpeedTimeSeconds) +
        " s, then 50 KiB/s on average); " + std::to_string(sink.received) + " bytes had arrived");
  }
  if (code != CURLE_OK) return Status::error(curlErrorText(code, errorBuffer));
  if (Status synced = syncFile(*fd, path); !synced) return synced;
  return checkReceived(source, sink);
}

}  // namespace

Status downloadToFile(const CatalogueEntry& entry, const ModelDownload& source,
                      const std::string& path, const std::string& what,
                      const std::function<bool()>& cancelled) {
  return transfer(entry, source, path, cancelled)
      .withContext("cannot download " + what + " from " + source.url);
}

}  // namespace quillmor_speech
