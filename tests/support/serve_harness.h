// Runs serve sessions of the test binary with the scripted engine: builds frames, writes the
// scenario, and reads back what the engine recorded.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "support/run_binary.h"

namespace quillmor_speech {

// One frame's bytes: type, big-endian length, payload.
std::string frameBytes(std::uint8_t type, const std::string& payload = "");
std::string startFrame(const nlohmann::json& request);
// Audio frame of little-endian 16-bit samples.
std::string audioFrame(const std::vector<std::int16_t>& samples);

struct SessionResult {
  RunResult run;
  nlohmann::json record;  // what the scripted engine received; null when it wrote nothing
  std::string unread;     // stdin bytes left unread (runScriptedLeavingInput only)
};

// Runs `quillmor-speech-scripted <arguments>` with the scenario (a "record" path is added).
SessionResult runScripted(nlohmann::json scenario, const std::string& input,
                          const std::vector<std::string>& arguments = {"serve"},
                          RunOptions options = {});
SessionResult runScriptedLeavingInput(nlohmann::json scenario, const std::string& input,
                                      const std::vector<std::string>& arguments = {"serve"});

// The output split into lines (each without its 0x0A); a last line without 0x0A is kept too.
std::vector<std::string> outputLines(const std::string& out);

}  // namespace quillmor_speech
