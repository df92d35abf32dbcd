// The per-locale installation lock of the model store: an flock(2) on <store>/<locale>.lock.
//
// A process installing a locale holds the lock for the whole installation; the kernel releases
// it when the process ends, however it ends, so a killed installer never leaves it held.
#pragma once

#include <string>
#include <utility>

#include "platform/base/file_descriptor.h"
#include "platform/base/status.h"

namespace quillmor_speech {

// Holds the exclusive lock on a lock file, created when missing, until destroyed. Move-only.
class ModelLock {
 public:
  // Blocks until the lock is free. Fails when the file cannot be opened or locked.
  static StatusOr<ModelLock> acquire(const std::string& path);

 private:
  explicit ModelLock(FileDescriptor fd) : fd_(std::move(fd)) {}
  FileDescriptor fd_;
};

// True when some open file description other than the caller's holds an exclusive lock on the
// file (another process installing; also a ModelLock of this process). A missing file is not
// locked. Creates nothing and never fails: an unreadable file counts as not locked.
bool isModelLockHeld(const std::string& path);

}  // namespace quillmor_speech
