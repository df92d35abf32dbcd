// File-system steps of writing into the model store: new files written in full and made
// durable, and work directories that remove themselves.
#pragma once

#include <cstddef>
#include <string>

#include "platform/base/file_descriptor.h"
#include "platform/base/status.h"

namespace quillmor_speech {

// A fresh directory made from a mkdtemp(3) template ("…XXXXXX"), removed with all it holds
// when the owner goes. Move-only.
class WorkDirectory {
 public:
  // Fails when the directory cannot be created.
  static StatusOr<WorkDirectory> create(std::string pattern);
  ~WorkDirectory();
  WorkDirectory(WorkDirectory&& other) noexcept;
  WorkDirectory& operator=(WorkDirectory&&) = delete;
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  explicit WorkDirectory(std::string path) : path_(std::move(path)) {}
  std::string path_;  // empty once moved from
};

// A new file for writing (an existing one is truncated; a symbolic link is not followed).
StatusOr<FileDescriptor> createFile(const std::string& path);

// Writes all `count` bytes to `fd`, which was opened for `path` (named in the failure).
Status writeAll(int fd, const char* bytes, std::size_t count, const std::string& path);

// fsync(2) of a file written through `fd`.
Status syncFile(const FileDescriptor& fd, const std::string& path);

// Replaces the file at `path` with `bytes` (mode 0644) as a whole: written and synced to a
// temporary file beside it, then renamed into place, so a reader never sees a part of it. On
// failure the temporary file is removed and `path` is left as it was.
Status replaceFileWhole(const std::string& path, const std::string& bytes);

// Makes a directory's new entries durable. Never fails: a failure here loses nothing that was
// checked, so it is not reported.
void syncDirectory(const std::string& path);

}  // namespace quillmor_speech
