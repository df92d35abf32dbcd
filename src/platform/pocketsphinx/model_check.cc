#include "platform/pocketsphinx/model_check.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sphinxbase/err.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/base/file_descriptor.h"
#include "platform/base/posix_error.h"
#include "platform/pocketsphinx/language_model_load.h"
#include "platform/pocketsphinx/pocketsphinx_engine.h"
#include "platform/pocketsphinx/pocketsphinx_handles.h"

extern char** environ;

namespace quillmor_speech {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr const char* kModeArgument = "--quillmor-model-check";
constexpr int kArgumentCount = 7;  // program, mode, parent, address space, the three parts
constexpr int kReportFd = 3;
constexpr std::uint64_t kBaseAddressSpace = std::uint64_t{2} << 30;
// The child's statuses of its own; the library's exit() ends it through its exit handler.
constexpr int kLoaded = 0;
constexpr int kNotLoaded = 2;
constexpr int kLibraryExited = 3;
constexpr int kParentGone = 4;

const char* const kPartNames[] = {"acoustic model", "dictionary", "language model"};

// ---- The child ----

void report(const std::string& line) noexcept {
  const std::string text = line + "\n";
  ssize_t written = ::write(kReportFd, text.data(), text.size());
  (void)written;  // a parent that stopped reading has killed this process or is gone
}

void reportLogMessage(void*, err_lvl_t level, const char* format, ...) noexcept {
  if (level != ERR_ERROR && level != ERR_FATAL) return;
  va_list arguments;
  va_start(arguments, format);
  std::string text = libraryMessageText(format, arguments);
  va_end(arguments);
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  report((level == ERR_FATAL ? "fatal " : "error ") + text);
}

// Run by the library's exit(): its allocator failed, or it logged a fatal error (reported
// already through the log).
void reportLibraryExit(bool) noexcept {
  report("exit");
  _exit(kLibraryExited);
}

void limit(int resource, rlim_t soft, rlim_t hard) {
  const rlimit bound{soft, hard};
  setrlimit(resource, &bound);
}

[[noreturn]] void notLoaded() {
  report("failed");
  _exit(kNotLoaded);
}

// ---- The parent ----

// What the child said, line by line.
struct ChildReport {
  int step = -1;  // the part being loaded: 0 acoustic model, 1 dictionary, 2 language model
  std::string lastError;
  bool fatal = false;
  bool failed = false;
  bool outOfMemory = false;
  bool libraryExited = false;
  bool loaded = false;

  void read(const std::string& line) {
    if (line.rfind("step ", 0) == 0 && line.size() == 6 && line[5] >= '0' && line[5] <= '2') {
      step = line[5] - '0';
    } else if (line.rfind("error ", 0) == 0) {
      lastError = line.substr(6);
    } else if (line.rfind("fatal ", 0) == 0) {
      lastError = line.substr(6);
      fatal = true;
    } else if (line == "failed") {
      failed = true;
    } else if (line == "memory") {
      outOfMemory = true;
    } else if (line == "exit") {
      libraryExited = true;
    } else if (line == "ok") {
      loaded = true;
    }
  }
};

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// The bytes of the model's files, as far as they can be examined.
std::uint64_t modelBytes(const ModelFiles& files) {
  namespace fs = std::filesystem;
  std::uint64_t total = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(files.acousticModel, error), end; !error && it != end;
       it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    const std::uintmax_t size = it->file_size(error);
    if (!error) total += size;
  }
  error.clear();
  for (const std::string& file : {files.dictionary, files.languageModel}) {
    const std::uintmax_t size = fs::file_size(file, error);
    if (!error) total += size;
  }
  return total;
}

// The library's message with each part's path shortened to its last name, so that where the
// model lies (an installation's work folder) does not show.
std::string withShortPaths(std::string text, const ModelFiles& files) {
  for (const std::string& path : {files.acousticModel, files.dictionary, files.languageModel}) {
    const std::string name = std::filesystem::path(path).filename().string();
    if (path.empty() || name.empty()) continue;
    for (std::size_t at = text.find(path); at != std::string::npos; at = text.find(path, at)) {
      text.replace(at, path.size(), name);
      at += name.size();
    }
  }
  return text;
}

std::string signalName(int signal) {
  const char* abbreviation = sigabbrev_np(signal);
  return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

// The child's environment: this process's, except that in a sanitizer build the sanitizer's own
// handlers of SIGSEGV and SIGBUS are turned off, so that the child crashes as the plain program
// does instead of reporting the crash as an abort or an exit status.
std::vector<std::string> childEnvironment() {
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable)
    variables.emplace_back(*variable);
  if (!kSanitized) return variables;
  for (const std::string name : {"ASAN_OPTIONS=", "TSAN_OPTIONS="}) {
    auto found = std::find_if(variables.begin(), variables.end(),
                              [&](const std::string& v) { return v.rfind(name, 0) == 0; });
    if (found == variables.end()) found = variables.insert(variables.end(), name);
    *found +=
        (found->size() > name.size() ? ":" : "") + std::string("handle_segv=0:handle_sigbus=0");
  }
  return variables;
}

// Why the child did not load the model, from its report and how it ended.
std::string failureReason(const ChildReport& said, int status, const ModelFiles& files) {
  const std::string lastError = withShortPaths(said.lastError, files);
  if (WIFSIGNALED(status)) {
    if (WTERMSIG(status) == SIGXCPU) {
      return "it took more than " + std::to_string(kModelCheckSeconds) +
             " s of processor time to load";
    }
    return "the speech library crashed on it (" + signalName(WTERMSIG(status)) + ")";
  }
  if (said.fatal) {
    return "the speech library stopped on a fatal error" +
           (lastError.empty() ? std::string() : ": " + lastError);
  }
  if (said.outOfMemory || said.libraryExited) {
    return "the speech library ran out of memory loading it";
  }
  if (said.failed) return lastError.empty() ? "the speech library could not read it" : lastError;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return "its check ended without an answer (status " + std::to_string(code) + ")";
}

}  // namespace

Status checkModelLoads(const std::string& program, const ModelFiles& files,
                       const std::function<bool()>& cancelled) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return posixError("cannot check that the model loads", errno);
  FileDescriptor readEnd(ends[0]);
  FileDescriptor writeEnd(ends[1]);

  // The report's pipe first: descriptors 0 to 2 may be it when the host closed them.
  SpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), kReportFd);
  posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(actions.get(), 1, 2);
  posix_spawn_file_actions_addclosefrom_np(actions.get(), kReportFd + 1);
  // This program blocks or ignores signals that the child must take as any program does.
  SpawnAttributes attributes;
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGXCPU, SIGSEGV, SIGBUS}) {
    sigaddset(&defaults, signal);
  }
  posix_spawnattr_setsigmask(attributes.get(), &none);
  posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const std::uint64_t addressSpace = kSanitized ? 0 : kBaseAddressSpace + 2 * modelBytes(files);
  std::vector<std::string> arguments = {program,
                                        kModeArgument,
                                        std::to_string(getpid()),
                                        std::to_string(addressSpace),
                                        files.acousticModel,
                                        files.dictionary,
                                        files.languageModel};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables = childEnvironment();
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, program.c_str(), actions.get(), attributes.get(),
                                  argv.data(), envp.data());
  if (spawned != 0) return posixError("cannot start the check that the model loads", spawned);
  writeEnd = FileDescriptor();

  ChildReport said;
  std::string pending;
  bool ended = false;
  bool timedOut = false;
  bool wasCancelled = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kModelCheckSeconds);
  for (;;) {
    pollfd ready{readEnd.get(), POLLIN, 0};
    const int events = poll(&ready, 1, 100);
    if (events > 0) {
      char buffer[4096];
      const ssize_t got = read(readEnd.get(), buffer, sizeof buffer);
      if (got == 0) {  // the child has ended
        ended = true;
        break;
      }
      if (got > 0) {
        pending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
          said.read(pending.substr(0, end));
          pending.erase(0, end + 1);
        }
        if (pending.size() > 4096) pending.clear();  // no line of the child's is that long
      } else if (errno != EINTR && errno != EAGAIN) {
        break;
      }
    } else if (events < 0 && errno != EINTR) {
      break;
    }
    if (cancelled && cancelled()) {
      wasCancelled = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      timedOut = true;
      break;
    }
  }
  if (!ended) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (wasCancelled) return Status::error("cancelled");
  if (!timedOut && said.loaded && WIFEXITED(status) && WEXITSTATUS(status) == kLoaded) {
    return Status::ok();
  }
  const std::string part =
      said.step >= 0 ? std::string("the ") + kPartNames[said.step] : "the model";
  if (timedOut) {
    return Status::error(part + " does not load: it took more than " +
                         std::to_string(kModelCheckSeconds) + " s");
  }
  std::string reason = part + " does not load: " + failureReason(said, status, files);
  const bool outOfMemory =
      !WIFSIGNALED(status) && !said.fatal && (said.outOfMemory || said.libraryExited);
  return outOfMemory ? Status::noMemory(std::move(reason)) : Status::error(std::move(reason));
}

bool isModelCheckRun(int argc, char** argv) {
  struct stat report;
  return argc == kArgumentCount && std::strcmp(argv[1], kModeArgument) == 0 &&
         fstat(kReportFd, &report) == 0 && S_ISFIFO(report.st_mode);
}

void runModelCheck(char** argv) {
  // Ends with the thread that started it, and never outlives a parent that is already gone.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != static_cast<pid_t>(std::strtol(argv[2], nullptr, 10))) _exit(kParentGone);
  prctl(PR_SET_DUMPABLE, 0);
  limit(RLIMIT_CORE, 0, 0);
  // SIGXCPU at the soft limit; the hard one, a little later, would be SIGKILL.
  limit(RLIMIT_CPU, kModelCheckSeconds, kModelCheckSeconds + 5);
  const std::uint64_t addressSpace = std::strtoull(argv[3], nullptr, 10);
  if (addressSpace > 0) limit(RLIMIT_AS, addressSpace, addressSpace);

  silenceLibraryLog();
  onPocketSphinxExit(&reportLibraryExit);
  err_set_callback(&reportLogMessage, nullptr);
  try {
    const std::string acousticModel = argv[4], dictionary = argv[5], languageModel = argv[6];
    report("step 0");
    ConfigHandle config(cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", acousticModel.c_str(),
                                    "-logfn", "/dev/null", nullptr));
    if (!config) notLoaded();
    DecoderHandle decoder(ps_init(config.get()));
    if (!decoder) notLoaded();
    report("step 1");
    if (ps_load_dict(decoder.get(), dictionary.c_str(), nullptr, nullptr) != 0) notLoaded();
    report("step 2");
    const LanguageModel model = readLanguageModel(languageModel, config.get());
    if (!model.model) notLoaded();
    // Searched as the session's decoder searches its language model.
    if (ps_set_lm(decoder.get(), "_default", model.model.get()) != 0 ||
        ps_set_search(decoder.get(), "_default") != 0) {
      notLoaded();
    }
    report("ok");
    _exit(kLoaded);  // the process ends here: nothing loaded needs releasing
  } catch (...) {
    report("memory");
    _exit(kNotLoaded);
  }
  _exit(kLoaded);
}

}  // namespace quillmor_speech
