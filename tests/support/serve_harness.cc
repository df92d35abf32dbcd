#include "support/serve_harness.h"

#include <fstream>

#include "support/temp_dir.h"

namespace quillmor_speech {

std::string frameBytes(std::uint8_t type, const std::string& payload) {
  auto length = static_cast<std::uint32_t>(payload.size());
  std::string bytes{static_cast<char>(type), static_cast<char>(length >> 24),
                    static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                    static_cast<char>(length)};
  return bytes + payload;
}

std::string startFrame(const nlohmann::json& request) { return frameBytes(1, request.dump()); }

std::string audioFrame(const std::vector<std::int16_t>& samples) {
  std::string payload;
  for (std::int16_t s : samples) {
    payload += static_cast<char>(static_cast<std::uint16_t>(s) & 0xFF);
    payload += static_cast<char>(static_cast<std::uint16_t>(s) >> 8);
  }
  return frameBytes(2, payload);
}

namespace {

SessionResult runWith(nlohmann::json scenario, const std::string& input,
                      const std::vector<std::string>& arguments, RunOptions options,
                      bool leaveInput) {
  const TempDir dir;
  const std::string recordPath = dir / "record.json";
  const std::string scenarioPath = dir / "scenario.json";
  scenario["record"] = recordPath;
  writeFileBytes(scenarioPath, scenario.dump());
  options.env.emplace_back("QUILLMOR_SCENARIO", scenarioPath);
  SessionResult result;
  if (leaveInput) {
    result.run =
        runBinaryLeavingInput(QUILLMOR_SCRIPTED_BINARY, arguments, input, result.unread, options);
  } else {
    result.run = runBinary(QUILLMOR_SCRIPTED_BINARY, arguments, input, options);
  }
  std::string record = readFileBytes(recordPath);
  if (!record.empty()) result.record = nlohmann::json::parse(record, nullptr, false);
  return result;
}

}  // namespace

SessionResult runScripted(nlohmann::json scenario, const std::string& input,
                          const std::vector<std::string>& arguments, RunOptions options) {
  return runWith(std::move(scenario), input, arguments, std::move(options), false);
}

SessionResult runScriptedLeavingInput(nlohmann::json scenario, const std::string& input,
                                      const std::vector<std::string>& arguments) {
  return runWith(std::move(scenario), input, arguments, {}, true);
}

std::vector<std::string> outputLines(const std::string& out) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < out.size()) {
    std::size_t end = out.find('\n', begin);
    if (end == std::string::npos) {
      lines.push_back(out.substr(begin));
      break;
    }
    lines.push_back(out.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

}  // namespace quillmor_speech
