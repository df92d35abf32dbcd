#include "platform/models/model_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/posix_error.h"

namespace quillmor_speech {

StatusOr<ModelLock> ModelLock::acquire(const std::string& path) {
  FileDescriptor fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) return posixError("cannot open the model lock " + path, errno);
  while (flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return posixError("cannot lock " + path, errno);
  }
  return ModelLock(std::move(fd));
}

bool isModelLockHeld(const std::string& path) {
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  // A shared lock is refused exactly when someone holds the exclusive one, so two concurrent
  // queries never see each other. Closing the descriptor releases it again.
  int result;
  do {
    result = flock(fd.get(), LOCK_SH | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result != 0 && errno == EWOULDBLOCK;
}

}  // namespace quillmor_speech
