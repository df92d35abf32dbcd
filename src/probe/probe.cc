#include "probe/probe.h"

#include <sys/utsname.h>

#include <fstream>
#include <map>
#include <string>

#include "output/output.h"

namespace quillmor_speech {

namespace {

// PRETTY_NAME of an os-release file, unquoted; empty when absent.
std::string prettyName(const char* path) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    std::string value = line.substr(12);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

// The operating system's version text: the distribution's pretty name and the kernel release,
// for example "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64".
std::string operatingSystemVersionString() {
  std::string name = prettyName("/etc/os-release");
  if (name.empty()) name = prettyName("/usr/lib/os-release");
  std::string kernel;
  struct utsname uts;
  if (uname(&uts) == 0) kernel = std::string(uts.sysname) + " " + uts.release;
  if (name.empty()) return kernel;
  if (kernel.empty()) return name;
  return name + ", " + kernel;
}

std::string statusWord(AssetInventoryStatus status) {
  switch (status) {
    case AssetInventoryStatus::unsupported:
      return "unsupported";
    case AssetInventoryStatus::supported:
      return "downloadable";
    case AssetInventoryStatus::downloading:
      return "downloading";
    case AssetInventoryStatus::installed:
      return "installed";
    case AssetInventoryStatus::other:
      break;
  }
  return "unknown";
}

}  // namespace

void probe(SpeechEngine& engine) {
  Event event{{"type", std::string("probe")}, {"os", operatingSystemVersionString()}};
  if (!engine.isAvailable()) {
    event["supported"] = false;
    event["reason"] = std::string("此 Mac 不支持本机语音识别");
    emitEvent(event);
    return;
  }
  event["supported"] = true;
  std::map<std::string, std::string> locales;
  for (const char* identifier : {"zh-CN", "en-US"}) {
    SpeechTranscriber transcriber(identifier, {}, {}, {});
    locales[identifier] = statusWord(engine.status(transcriber));
  }
  event["locales"] = locales;
  emitEvent(event);
}

}  // namespace quillmor_speech
