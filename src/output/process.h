// The two process-wide values. Both exist before main runs any subcommand and are never
// replaced: stdoutLock serialises whole event lines on standard output; args holds the
// command-line arguments (element 0 the program path, 1 the subcommand, 2 the decode path).
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace quillmor_speech {

extern std::mutex stdoutLock;
extern std::vector<std::string> args;

}  // namespace quillmor_speech
