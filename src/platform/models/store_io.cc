#include "platform/models/store_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/base/posix_error.h"

namespace quillmor_speech {

StatusOr<WorkDirectory> WorkDirectory::create(std::string pattern) {
  if (mkdtemp(pattern.data()) == nullptr) {
    return posixError("cannot create the work directory " + pattern, errno);
  }
  return WorkDirectory(std::move(pattern));
}

WorkDirectory::WorkDirectory(WorkDirectory&& other) noexcept
    : path_(std::exchange(other.path_, std::string())) {}

WorkDirectory::~WorkDirectory() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

StatusOr<FileDescriptor> createFile(const std::string& path) {
  FileDescriptor fd(
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) return posixError("cannot create " + path, errno);
  return fd;
}

Status writeAll(int fd, const char* bytes, std::size_t count, const std::string& path) {
  while (count > 0) {
    ssize_t written = write(fd, bytes, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return posixError("cannot write " + path, errno);
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return Status::ok();
}

Status syncFile(const FileDescriptor& fd, const std::string& path) {
  if (fsync(fd.get()) != 0) return posixError("cannot write " + path, errno);
  return Status::ok();
}

void syncDirectory(const std::string& path) {
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) fsync(fd.get());
}

Status replaceFileWhole(const std::string& path, const std::string& bytes) {
  std::string temporary = path + ".XXXXXX";
  FileDescriptor fd(::mkstemp(temporary.data()));
  if (!fd.valid()) return posixError("cannot create " + temporary, errno);
  Status written = writeAll(fd.get(), bytes.data(), bytes.size(), temporary);
  if (written && ::fchmod(fd.get(), 0644) != 0) written = posixError("cannot set its mode", errno);
  if (written) written = syncFile(fd, temporary);
  if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
    written = posixError("cannot rename it into place", errno);
  }
  if (!written) ::unlink(temporary.c_str());
  return written;
}

}  // namespace quillmor_speech
