#include "platform/base/program_module.h"

#include <dlfcn.h>

#include <filesystem>
#include <utility>
#include <vector>

namespace quillmor_speech {

namespace {

std::vector<std::string> moduleCandidates(const std::string& fileName) {
  std::vector<std::string> candidates;
  if (std::optional<std::filesystem::path> directory = executableDirectory()) {
    candidates.push_back((*directory / "../lib/quillmor-speech" / fileName).lexically_normal());
  }
  candidates.push_back(std::string(QUILLMOR_MODULE_DIR) + "/" + fileName);
  return candidates;
}

std::string loaderError() {
  const char* message = dlerror();
  return message != nullptr ? message : "unknown error";
}

}  // namespace

std::optional<std::filesystem::path> executableDirectory() {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return executable.parent_path();
}

StatusOr<ProgramModule> ProgramModule::load(const std::string& fileName,
                                            const std::string& entryName) {
  const std::vector<std::string> candidates = moduleCandidates(fileName);
  for (const std::string& path : candidates) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) continue;
    // RTLD_NODELETE: closing the handle never unmaps the module (see the header).
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
      return Status::error("cannot load the module " + fileName + ": " + loaderError());
    }
    dlerror();
    const void* entry = dlsym(handle, entryName.c_str());
    if (entry == nullptr) {
      std::string description = "the module " + path + " has no entry " + entryName;
      dlclose(handle);
      return Status::error(std::move(description));
    }
    return ProgramModule(handle, entry);
  }
  std::string places;
  for (const std::string& path : candidates) {
    if (!places.empty()) places += " or ";
    places += path;
  }
  return Status::error("cannot load the module " + fileName + ": there is none at " + places);
}

ProgramModule::ProgramModule(ProgramModule&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), entry_(std::exchange(other.entry_, nullptr)) {}

ProgramModule& ProgramModule::operator=(ProgramModule&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
    entry_ = std::exchange(other.entry_, nullptr);
  }
  return *this;
}

ProgramModule::~ProgramModule() {
  if (handle_ != nullptr) dlclose(handle_);
}

}  // namespace quillmor_speech
