#include "platform/base/program_module.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "platform/base/file_descriptor.h"

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

// Standard error pointed at /dev/null for the life of the object. The libraries a module brings
// run their constructors while it is mapped, and some print when they fail (GnuTLS does when
// memory is short); the program never writes to standard error, so nothing of theirs may either.
// Where /dev/null or a copy of the descriptor cannot be had, standard error is left as it is.
class StandardErrorSilenced {
 public:
  StandardErrorSilenced() {
    FileDescriptor null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!null.valid()) return;
    saved_ = FileDescriptor(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
    if (saved_.valid() && dup2(null.get(), STDERR_FILENO) < 0) saved_ = FileDescriptor();
  }
  ~StandardErrorSilenced() {
    if (saved_.valid()) dup2(saved_.get(), STDERR_FILENO);
  }
  StandardErrorSilenced(const StandardErrorSilenced&) = delete;
  StandardErrorSilenced& operator=(const StandardErrorSilenced&) = delete;

 private:
  FileDescriptor saved_;
};

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
                                            const std::string& entryName, std::uint32_t version) {
  const std::vector<std::string> candidates = moduleCandidates(fileName);
  for (const std::string& path : candidates) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) continue;
    // RTLD_NODELETE: closing the handle never unmaps the module (see the header).
    void* handle = nullptr;
    {
      StandardErrorSilenced silenced;
      handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    }
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
    const std::uint32_t found = *static_cast<const std::uint32_t*>(entry);
    if (found != version) {
      dlclose(handle);
      return Status::error("the module " + path + " is of version " + std::to_string(found) +
                           ", this program needs version " + std::to_string(version));
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

void setModuleMessage(void* message, const char* text, std::size_t length) noexcept {
  try {
    static_cast<std::string*>(message)->assign(text, length);
  } catch (...) {
    // The code alone still tells the failure.
  }
}

ProgramModule::ProgramModule(ProgramModule&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      entry_(std::exchange(other.entry_, nullptr)) {}

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
