// Runs a program as a host would: feeds its stdin, reads all of stdout and stderr, and waits
// for its exit status, with a time limit after which it is killed.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quillmor_speech {

// True in sanitizer builds, whose programs reserve terabytes of shadow memory at start: they
// cannot run under an address-space limit at all, so tests that set one are skipped there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

struct RunOptions {
  // Added to (or replacing in) the environment of the child.
  std::vector<std::pair<std::string, std::string>> env;
  double timeoutSeconds = 120;
  // Keep stdin open (and silent) after the input has been written, until the child exits or,
  // when closeStdinAfterSeconds is above 0, until that many seconds from the start.
  bool keepStdinOpen = false;
  double closeStdinAfterSeconds = 0;
  // Close our end of stdout after reading this many bytes (0: read everything).
  std::size_t closeStdoutAfter = 0;
  // Close our end of stdout before the child writes anything.
  bool stdoutClosed = false;
};

struct RunResult {
  std::string out;
  std::string err;
  bool exitedNormally = false;  // false: killed by a signal (or by the time limit)
  int status = -1;              // exit status when exitedNormally
  int signal = 0;               // terminating signal otherwise
  bool timedOut = false;
  double seconds = 0;  // wall time until exit
  // When our end of stdout was closed (closeStdoutAfter), in seconds from the start; -1 if never.
  double stdoutClosedAt = -1;
  long peakRssKb = 0;  // the child's peak resident set size
};

// Expects the run to have ended by itself, neither killed at the time limit nor by a signal,
// with `status` and nothing on stderr.
void expectEndedByItself(const RunResult& run, int status);

RunResult runBinary(const std::string& path, const std::vector<std::string>& arguments,
                    const std::string& input, const RunOptions& options = {});

// The bytes left unread in a pipe after the child exited: runs the child with stdin from a pipe
// holding `input`, and reports what remained in it.
RunResult runBinaryLeavingInput(const std::string& path, const std::vector<std::string>& arguments,
                                const std::string& input, std::string& unread,
                                const RunOptions& options = {});

std::string readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::string& bytes);

}  // namespace quillmor_speech
