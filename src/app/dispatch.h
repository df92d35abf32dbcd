// Subcommand dispatch.
#pragma once

#include <functional>
#include <memory>

#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

// Runs the subcommand that args names and ends the process: status 0 when it returns, status 1
// through fail() on wrong usage or any fatal condition. The engine is made only for the
// subcommands that use one. Whatever the engine's maker or a command's main flow throws ends the
// process with one error line (code "probe_failed", "recognition_failed" or "decode_failed";
// message "申请不到内存" when memory ran out) and status 1. SIGTERM and SIGINT never end the
// process by themselves (termination_signals.h): probe and decode end with their error line and
// status 1, serve as session_signals.h says.
[[noreturn]] void runCommand(const std::function<std::unique_ptr<SpeechEngine>()>& makeEngine);

}  // namespace quillmor_speech
