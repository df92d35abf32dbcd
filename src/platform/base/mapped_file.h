// A whole file mapped read-only into memory, unmapped when the owner goes. Reading a file this
// way shares the system's cached pages instead of copying them into fresh memory of our own,
// which on a virtual machine is much of the cost of reading a file of a few megabytes.
// Move-only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quillmor_speech {

class MappedFile {
 public:
  // The regular file at `path` mapped, or nothing when it cannot be opened or mapped or is
  // larger than `maxBytes`. An empty file maps to no bytes.
  static std::optional<MappedFile> open(const std::string& path, std::size_t maxBytes);
  ~MappedFile();
  MappedFile(MappedFile&& other) noexcept
      : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MappedFile& operator=(MappedFile&&) = delete;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Valid while the owner lives. A file cut short in place while it is mapped ends the process
  // with SIGBUS when the lost part is read: map only files that are replaced whole (renamed
  // into place), never rewritten.
  std::string_view bytes() const { return {static_cast<const char*>(address_), size_}; }

 private:
  MappedFile(void* address, std::size_t size) : address_(address), size_(size) {}
  void* address_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quillmor_speech
