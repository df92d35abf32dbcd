// Shared modules of this program: the parts whose libraries are costly to map (FFmpeg's
// demuxers and decoders, libcurl and libarchive with their dependencies take about 50 ms and
// 20 MB before main) live in modules of their own, loaded only by the commands that use them,
// so that a recognition session never maps them.
//
// A module exports one variable with C linkage, its entry: a record of function pointers whose
// type is declared beside the code that calls it. Modules are found in
// <directory of the executable>/../lib/quillmor-speech (the build tree and an installation have
// that layout), then in the directory the build was configured to install them in.
//
// Thread safety: load() may run on any thread; a loaded module is never unloaded (its libraries
// may have registered exit handlers), so entries stay valid for the life of the process.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/base/status.h"

namespace quillmor_speech {

// The directory of the running executable (through /proc/self/exe, so symbolic links to it are
// resolved); nothing when the system does not say. The program finds its modules, and the
// model store its catalogue, relative to it.
std::optional<std::filesystem::path> executableDirectory();

class ProgramModule {
 public:
  // Loads the module `fileName` ("quillmor-speech-decoder.so") and finds its entry `entryName`.
  // The first place that has the file is the one loaded. Fails when neither has it, with the
  // loader's description when it does not load, and when it has no such entry.
  static StatusOr<ProgramModule> load(const std::string& fileName, const std::string& entryName);

  ProgramModule(ProgramModule&& other) noexcept;
  ProgramModule& operator=(ProgramModule&& other) noexcept;
  ProgramModule(const ProgramModule&) = delete;
  ProgramModule& operator=(const ProgramModule&) = delete;
  ~ProgramModule();

  // The entry, as the type the module defines it with.
  template <typename Entry>
  const Entry& entry() const {
    return *static_cast<const Entry*>(entry_);
  }

 private:
  ProgramModule(void* handle, const void* entry) : handle_(handle), entry_(entry) {}
  void* handle_ = nullptr;
  const void* entry_ = nullptr;
};

}  // namespace quillmor_speech
