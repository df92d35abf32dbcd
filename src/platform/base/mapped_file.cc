#include "platform/base/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "platform/base/file_descriptor.h"

namespace quillmor_speech {

std::optional<MappedFile> MappedFile::open(const std::string& path, std::size_t maxBytes) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size > maxBytes) return std::nullopt;
  if (size == 0) return MappedFile(nullptr, 0);
  void* address = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (address == MAP_FAILED) return std::nullopt;
  return MappedFile(address, size);
}

MappedFile::~MappedFile() {
  if (address_ != nullptr) munmap(address_, size_);
}

}  // namespace quillmor_speech
