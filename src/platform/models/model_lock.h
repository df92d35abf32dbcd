// The per-locale installation lock of the model store: an flock(2) on <store>/<locale>.lock.
//
// A process installing a locale holds the lock for the whole installation; the kernel releases
// it when the process ends, however it ends, so a killed installer never leaves it held.
#pragma once

#include <string>

#include "platform/base/file_descriptor.h"
#include "platform/models/model_error.h"

namespace quillmor_speech {

// Holds the exclusive lock on a lock file, created when missing, until destroyed. Move-only.
class ModelLock {
 public:
  // Blocks until the lock is free. Throws ModelError when the file cannot be opened or locked.
  explicit ModelLock(const std::string& path);

 private:
  FileDescriptor fd_;
};

// True when some open file description other than the caller's holds an exclusive lock on the
// file (another process installing; also a ModelLock of this process). A missing file is not
// locked. Creates nothing and never fails: an unreadable file counts as not locked.
bool isModelLockHeld(const std::string& path);

}  // namespace quillmor_speech
