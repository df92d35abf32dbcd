// Loading a model in a child process, so that a model file on which the recognition library
// crashes (a binary mdef cut short) or ends the process (a text mdef of a bare header) is
// found out without ending the process that asked.
//
// The child is this program run again with an internal first argument (isModelCheckRun):
// it loads the acoustic model, then the dictionary, then the language model, as a session's
// decoder does (the same configuration, the model's own dictionary), and reports each step and
// the library's error messages through a pipe on its descriptor 3. Its stdin, stdout and stderr
// are /dev/null. It is bounded: killed after kModelCheckSeconds, limited to as much processor
// time, and to an address space of 2 GiB plus twice the model's bytes (no limit in sanitizer
// builds, which reserve far more); it writes no core file, and it dies with the thread that
// started it.
//
// Thread safety: checkModelLoads may run on any thread (the child is started with posix_spawn,
// never a bare fork), and in several at once.
#pragma once

#include <functional>
#include <string>

#include "platform/base/status.h"
#include "platform/models/model_store.h"

namespace quillmor_speech {

inline constexpr int kModelCheckSeconds = 120;

// Runs `program` (a path to this program: "/proc/self/exe" for the running one) as the child
// that loads `files`. Succeeds when the three parts loaded. Otherwise fails with a description
// that names the part the child was loading:
//   "the acoustic model does not load: the speech library crashed on it (SIGSEGV)"
//   "the acoustic model does not load: the speech library stopped on a fatal error: Incomplete
//    header"
//   "the language model does not load: Wrong magic header size number 67617262: words.lm is
//    not a dump file" (the library's message, the part's path shortened to its file name)
// and likewise when the load outlasted its time, or the library ran out of memory (then of code
// noMemory: "… does not load: the speech library ran out of memory loading it"). Fails with
// "cancelled", the child killed, soon after `cancelled` (asked every 100 ms) returns true; with
// the system's reason when the child cannot be started.
Status checkModelLoads(const std::string& program, const ModelFiles& files,
                       const std::function<bool()>& cancelled = {});

// True when this process was started as the child of checkModelLoads: the internal first
// argument, its arguments, and a pipe on descriptor 3. Anyone else giving that argument is
// answered as for any unknown subcommand.
bool isModelCheckRun(int argc, char** argv);

// The child's work; ends the process. Call from main before anything else, when
// isModelCheckRun.
[[noreturn]] void runModelCheck(char** argv);

}  // namespace quillmor_speech
