// Shared modules of this program: the parts whose libraries are costly to map (FFmpeg's
// demuxers and decoders, libcurl and libarchive with their dependencies take about 50 ms and
// 20 MB before main) live in modules of their own, loaded only by the commands that use them,
// so that a recognition session never maps them.
//
// A module exports one variable with C linkage, its entry: a record whose type is declared
// beside the code that calls it. The record crosses dlopen in C types only (integers, C strings,
// function pointers with a context pointer): no C++ object, allocation or exception passes
// between the program and a module. It begins with a std::uint32_t version, and the program
// refuses a module whose entry's version differs from the one it was built with, so a module
// left from another build fails with a message instead of a crash.
//
// An entry type declares kVersion, kFile ("quillmor-speech-decoder.so") and kSymbol (the
// variable's name), and is read with loadModuleEntry<Entry>(). Modules are found in
// <directory of the executable>/../lib/quillmor-speech (the build tree and an installation have
// that layout), then in the directory the build was configured to install them in.
//
// Thread safety: load() may run on any thread; a loaded module is never unloaded (its libraries
// may have registered exit handlers), so entries stay valid for the life of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/base/exception_message.h"
#include "platform/base/status.h"

namespace quillmor_speech {

// The directory of the running executable (through /proc/self/exe, so symbolic links to it are
// resolved); nothing when the system does not say. The program finds its modules, and the
// model store its catalogue, relative to it.
std::optional<std::filesystem::path> executableDirectory();

class ProgramModule {
 public:
  // Loads the module `fileName` ("quillmor-speech-decoder.so") and finds its entry `entryName`,
  // whose first field must be `version`. The first place that has the file is the one loaded.
  // Fails when neither has it, with the loader's description when it does not load, when it has
  // no such entry, and when the entry's version is another.
  static StatusOr<ProgramModule> load(const std::string& fileName, const std::string& entryName,
                                      std::uint32_t version);

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

// The entry of the module that Entry describes, copied out of the module (which stays mapped, so
// its functions stay callable); fails as ProgramModule::load.
template <typename Entry>
StatusOr<Entry> loadModuleEntry() {
  static_assert(std::is_standard_layout_v<Entry> && std::is_trivially_copyable_v<Entry>,
                "a module entry is a plain C record");
  static_assert(
      offsetof(Entry, version) == 0 && std::is_same_v<decltype(Entry::version), std::uint32_t>,
      "a module entry begins with its version");
  StatusOr<ProgramModule> module =
      ProgramModule::load(Entry::kFile, Entry::kSymbol, Entry::kVersion);
  if (!module) return module.status();
  return module->template entry<Entry>();
}

// How a module's entry function reports a failure to the program: the program passes
// setModuleMessage with a std::string* context, and gets the StatusCode as the return value.
void setModuleMessage(void* message, const char* text, std::size_t length) noexcept;

// For a module's entry functions: runs `call` (which returns a Status), catches every exception
// it throws (nothing may unwind into the program's frames), and returns the StatusCode as an
// int; on failure the message goes out through setMessage.
template <typename Call>
int runModuleCall(Call&& call, void (*setMessage)(void*, const char*, std::size_t),
                  void* messageContext) noexcept {
  try {
    Status status;
    try {
      status = call();
    } catch (...) {
      status = currentExceptionStatus({kOutOfMemoryMessage, kUnexpectedFailureMessage});
    }
    if (!status.isOk()) {
      setMessage(messageContext, status.description().data(), status.description().size());
    }
    return static_cast<int>(status.code());
  } catch (...) {
    return static_cast<int>(StatusCode::noMemory);  // not even the message could be had
  }
}

}  // namespace quillmor_speech
