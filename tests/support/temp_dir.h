// A temporary directory owned by the test that made it.
#pragma once

#include <string>

namespace quillmor_speech {

// A fresh empty directory under the system's temporary directory, removed with everything in
// it when its owner is destroyed, including when a failed ASSERT leaves the test early.
// Move-only; a moved-from TempDir owns nothing.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(TempDir&& other) noexcept;
  TempDir& operator=(TempDir&& other) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace quillmor_speech
