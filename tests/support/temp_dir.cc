#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <utility>
#include <vector>

namespace quillmor_speech {

namespace {

void removeTree(const std::string& path) {
  if (path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace

TempDir::TempDir() {
  const std::string base = std::filesystem::temp_directory_path() / "quillmor-test-XXXXXX";
  std::vector<char> buffer(base.begin(), base.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() { removeTree(path_); }

TempDir::TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    removeTree(path_);
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

}  // namespace quillmor_speech
