#include "support/scripted_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quillmor_speech {

namespace {

using nlohmann::json;

// fail throws the engine's own SpeechError; the other throwing actions stand for failures that
// no engine promises (a broken invariant, memory running out, a foreign exception type).
enum class Action { succeed, none, fail, throwLogicError, throwBadAlloc, throwInteger };

struct Operation {
  Action action = Action::succeed;
  std::string description;
  int waitMs = 0;
};

struct ScriptedResult {
  SpeechTranscriptionResult result;
  std::optional<std::size_t> afterBuffers;  // nothing: at finalisation
};

struct ResultFailure {
  std::size_t afterResults = 0;
  std::string description;
};

struct Scenario {
  bool available = true;
  std::map<std::string, AssetInventoryStatus> statuses;
  AssetInventoryStatus defaultStatus = AssetInventoryStatus::unsupported;
  std::map<std::string, Operation> operations;
  std::optional<AVAudioFormat> format;
  std::vector<ScriptedResult> results;
  std::optional<ResultFailure> failResults;
  std::string recordPath;
};

AssetInventoryStatus parseStatus(const std::string& word) {
  if (word == "unsupported") return AssetInventoryStatus::unsupported;
  if (word == "supported" || word == "downloadable") return AssetInventoryStatus::supported;
  if (word == "downloading") return AssetInventoryStatus::downloading;
  if (word == "installed") return AssetInventoryStatus::installed;
  if (word == "other") return AssetInventoryStatus::other;
  throw std::invalid_argument("unknown status \"" + word + "\"");
}

Operation parseOperation(const json& value) {
  Operation operation;
  const std::string action = value.value("do", std::string("succeed"));
  if (action == "succeed") {
    operation.action = Action::succeed;
  } else if (action == "none") {
    operation.action = Action::none;
  } else if (action == "throw") {
    operation.action = Action::fail;
  } else if (action == "throwLogicError") {
    operation.action = Action::throwLogicError;
  } else if (action == "throwBadAlloc") {
    operation.action = Action::throwBadAlloc;
  } else if (action == "throwInteger") {
    operation.action = Action::throwInteger;
  } else {
    throw std::invalid_argument("unknown operation action \"" + action + "\"");
  }
  operation.description = value.value("description", std::string("scripted failure"));
  operation.waitMs = value.value("waitMs", 0);
  return operation;
}

double parseSeconds(const json& value) {
  if (value.is_number()) return value.get<double>();
  const std::string text = value.get<std::string>();
  if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
  if (text == "inf") return std::numeric_limits<double>::infinity();
  if (text == "-inf") return -std::numeric_limits<double>::infinity();
  throw std::invalid_argument("not a time: \"" + text + "\"");
}

AVAudioFormat parseFormat(const json& value) {
  std::optional<AVAudioFormat> format =
      AVAudioFormat::make(static_cast<AVAudioCommonFormat>(value.value("commonFormat", 3)),
                          value.value("sampleRate", 16000.0), value.value("channels", 1u),
                          value.value("interleaved", false));
  if (!format) throw std::invalid_argument("unusable format " + value.dump());
  return *format;
}

json formatJson(const AVAudioFormat& format) {
  return {{"commonFormat", static_cast<int>(format.commonFormat())},
          {"sampleRate", format.sampleRate()},
          {"channels", format.channelCount()},
          {"interleaved", format.isInterleaved()}};
}

std::string repeated(const std::string& text, std::size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

Scenario parseScenario(const json& value) {
  if (!value.is_object()) throw std::invalid_argument("the scenario is not a JSON object");
  Scenario scenario;
  scenario.available = value.value("available", true);
  if (value.contains("statuses")) {
    for (const auto& [locale, word] : value.at("statuses").items()) {
      scenario.statuses[locale] = parseStatus(word.get<std::string>());
    }
  }
  scenario.defaultStatus = parseStatus(value.value("defaultStatus", std::string("unsupported")));
  if (value.contains("operations")) {
    for (const auto& [name, operation] : value.at("operations").items()) {
      scenario.operations[name] = parseOperation(operation);
    }
  }
  if (!value.contains("format")) {
    scenario.format = AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, 16000, 1, false);
  } else if (!value.at("format").is_null()) {
    scenario.format = parseFormat(value.at("format"));
  }
  for (const json& item : value.value("results", json::array())) {
    ScriptedResult scripted;
    for (const json& run : item.value("runs", json::array())) {
      TextRun textRun{repeated(run.value("text", std::string()), run.value("repeat", 1u)),
                      std::nullopt};
      if (run.contains("confidence")) textRun.confidence = parseSeconds(run.at("confidence"));
      scripted.result.text.push_back(std::move(textRun));
    }
    scripted.result.range.start.seconds = parseSeconds(item.value("start", json(0.0)));
    scripted.result.range.duration.seconds = parseSeconds(item.value("duration", json(0.0)));
    scripted.result.isFinal = item.value("isFinal", true);
    if (item.contains("afterBuffers")) {
      scripted.afterBuffers = item.at("afterBuffers").get<std::size_t>();
    }
    scenario.results.push_back(std::move(scripted));
  }
  if (value.contains("failResults")) {
    const json& failure = value.at("failResults");
    scenario.failResults = ResultFailure{failure.value("afterResults", std::size_t{0}),
                                         failure.value("description", std::string("scripted "
                                                                                  "failure"))};
  }
  scenario.recordPath = value.value("record", std::string());
  return scenario;
}

// What the engine was asked and given, shared by the engine, its analyzers and their workers.
class Recorder {
 public:
  explicit Recorder(std::string path) : path_(std::move(path)) {
    record_ = {{"calls", json::array()},
               {"transcriber", nullptr},
               {"preparedFormat", nullptr},
               {"buffers", 0},
               {"frames", 0},
               {"formats", json::array()},
               {"samples", json::array()}};
  }

  void call(const std::string& name) {
    MutexLock lock(mutex_);
    record_["calls"].push_back(name);
    writeLocked();
  }

  void set(const std::string& key, json value) {
    MutexLock lock(mutex_);
    record_[key] = std::move(value);
    writeLocked();
  }

  // Per buffer; written out with the next call() or write().
  void buffer(const AVAudioPCMBuffer& buffer) {
    MutexLock lock(mutex_);
    record_["buffers"] = record_["buffers"].get<std::size_t>() + 1;
    record_["frames"] = record_["frames"].get<std::size_t>() + buffer.frameLength();
    json format = formatJson(buffer.format());
    json& formats = record_["formats"];
    if (std::find(formats.begin(), formats.end(), format) == formats.end()) {
      formats.push_back(format);
    }
    // Samples are kept only when there is a record to write them to, so that long streams
    // (benchmarks) do not pile them up in memory.
    const std::int16_t* const* channels = path_.empty() ? nullptr : buffer.int16ChannelData();
    if (channels) {
      json& samples = record_["samples"];
      for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
        samples.push_back(
            channels[0]
                    [i * (buffer.format().isInterleaved() ? buffer.format().channelCount() : 1)]);
      }
    }
  }

  void write() {
    MutexLock lock(mutex_);
    writeLocked();
  }

 private:
  void writeLocked() {
    if (path_.empty()) return;
    // Written whole beside the record, then renamed over it: the process may end from another
    // thread at any moment (a fatal line), and a reader must then find the last whole record,
    // never a truncated one.
    const std::string partial = path_ + ".partial";
    {
      std::ofstream out(partial, std::ios::binary | std::ios::trunc);
      out << record_.dump() << '\n';
      out.close();
      if (!out) return;
    }
    std::rename(partial.c_str(), path_.c_str());
  }

  const std::string path_;
  Mutex mutex_;
  json record_ GUARDED_BY(mutex_);
};

// What the engine's objects share: the scenario (read only, except statuses) and the record.
struct Script {
  explicit Script(Scenario s) : scenario(std::move(s)), recorder(scenario.recordPath) {}

  Operation operation(const std::string& name) const {
    auto found = scenario.operations.find(name);
    return found == scenario.operations.end() ? Operation{} : found->second;
  }

  Scenario scenario;
  Recorder recorder;
  std::mutex statusMutex;  // guards scenario.statuses, which an installation changes
};

// Throws what the operation is to throw that is not the engine's own error.
void throwIfUnexpected(const Operation& operation) {
  switch (operation.action) {
    case Action::throwLogicError:
      throw std::logic_error(operation.description);
    case Action::throwBadAlloc:
      throw std::bad_alloc();
    case Action::throwInteger:
      throw 7;
    default:
      break;
  }
}

// Sleeps the operation's wait; then throws what an operation that never fails may still throw.
void waitFor(const Operation& operation) {
  if (operation.waitMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(operation.waitMs));
  }
  throwIfUnexpected(operation);
}

// Sleeps the operation's wait, then throws when it is to fail; gives whether it gives something.
bool perform(const Operation& operation) {
  waitFor(operation);
  if (operation.action == Action::fail) throw SpeechError(operation.description);
  return operation.action == Action::succeed;
}

class ScriptedInstallation : public AssetInstallationRequest {
 public:
  ScriptedInstallation(std::shared_ptr<Script> script, std::string locale)
      : script_(std::move(script)), locale_(std::move(locale)) {}

  // The operation's wait ends early at cancel(), which then throws SpeechError "cancelled".
  void downloadAndInstall() override {
    script_->recorder.call("downloadAndInstall");
    Operation operation = script_->operation("downloadAndInstall");
    {
      std::unique_lock lock(cancelMutex_);
      if (cancelChanged_.wait_for(lock, std::chrono::milliseconds(operation.waitMs),
                                  [&] { return cancelled_; })) {
        throw SpeechError("cancelled");
      }
    }
    operation.waitMs = 0;
    perform(operation);
    std::lock_guard lock(script_->statusMutex);
    script_->scenario.statuses[locale_] = AssetInventoryStatus::installed;
  }

  void cancel() override {
    script_->recorder.call("cancel");
    std::lock_guard lock(cancelMutex_);
    cancelled_ = true;
    cancelChanged_.notify_all();
  }

 private:
  std::shared_ptr<Script> script_;
  std::string locale_;
  std::mutex cancelMutex_;
  std::condition_variable cancelChanged_;
  bool cancelled_ = false;
};

class ScriptedAnalyzer : public SpeechAnalyzer {
 public:
  ScriptedAnalyzer(std::shared_ptr<Script> script, std::shared_ptr<SpeechTranscriber> transcriber)
      : script_(std::move(script)), transcriber_(std::move(transcriber)) {}

  ~ScriptedAnalyzer() override {
    if (worker_.joinable()) {
      input_->finish();
      worker_.join();
    }
    transcriber_->results->finish();
  }

  void prepareToAnalyze(const AVAudioFormat& format) override {
    script_->recorder.call("prepareToAnalyze");
    script_->recorder.set("preparedFormat", formatJson(format));
    perform(script_->operation("prepareToAnalyze"));
  }

  void start(std::shared_ptr<AnalyzerInputSequence> inputSequence) override {
    script_->recorder.call("start");
    perform(script_->operation("start"));
    input_ = std::move(inputSequence);
    worker_ = std::thread([this] { consume(); });
  }

  void finalizeAndFinishThroughEndOfInput() override {
    script_->recorder.call("finalize");
    const Operation operation = script_->operation("finalize");
    if (operation.waitMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(operation.waitMs));
    }
    if (worker_.joinable()) {
      input_->finish();
      worker_.join();
    }
    script_->recorder.write();
    // A failed finalisation leaves the results open: the program ends on it.
    throwIfUnexpected(operation);
    if (operation.action == Action::fail) throw SpeechError(operation.description);
    failIfDue();
    while (next_ < script_->scenario.results.size()) deliverNext();
    transcriber_->results->finish();
  }

 private:
  // The worker: takes inputs until the end of the input, delivering what is due.
  void consume() {
    deliverDue(0);
    std::size_t buffers = 0;
    while (std::optional<AnalyzerInput> input = input_->next()) {
      if (!input->buffer) continue;
      script_->recorder.buffer(*input->buffer);
      deliverDue(++buffers);
    }
    script_->recorder.write();
  }

  void deliverDue(std::size_t buffers) {
    const auto& results = script_->scenario.results;
    failIfDue();
    while (next_ < results.size() && results[next_].afterBuffers &&
           *results[next_].afterBuffers <= buffers) {
      deliverNext();
    }
  }

  void deliverNext() {
    // Each result is delivered once: it moves to the sequence rather than being copied.
    transcriber_->results->deliver(std::move(script_->scenario.results[next_].result));
    ++next_;
    failIfDue();
  }

  void failIfDue() {
    const auto& failure = script_->scenario.failResults;
    if (failure && failure->afterResults == next_)
      transcriber_->results->fail(failure->description);
  }

  std::shared_ptr<Script> script_;
  std::shared_ptr<SpeechTranscriber> transcriber_;
  std::shared_ptr<AnalyzerInputSequence> input_;
  std::thread worker_;
  // The next result to deliver: the worker's while it runs, finalisation's after the join.
  std::size_t next_ = 0;
};

class ScriptedEngine : public SpeechEngine {
 public:
  explicit ScriptedEngine(Scenario scenario)
      : script_(std::make_shared<Script>(std::move(scenario))) {}

  bool isAvailable() override {
    script_->recorder.call("isAvailable");
    waitFor(script_->operation("isAvailable"));
    return script_->scenario.available;
  }

  AssetInventoryStatus status(const SpeechTranscriber& transcriber) override {
    script_->recorder.call("status " + transcriber.locale);
    waitFor(script_->operation("status"));
    std::lock_guard lock(script_->statusMutex);
    auto found = script_->scenario.statuses.find(transcriber.locale);
    return found == script_->scenario.statuses.end() ? script_->scenario.defaultStatus
                                                     : found->second;
  }

  std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(
      const SpeechTranscriber& transcriber) override {
    script_->recorder.call("assetInstallationRequest " + transcriber.locale);
    if (!perform(script_->operation("assetInstallationRequest"))) return nullptr;
    return std::make_unique<ScriptedInstallation>(script_, transcriber.locale);
  }

  std::optional<AVAudioFormat> bestAvailableAudioFormat(
      const SpeechTranscriber& transcriber) override {
    script_->recorder.call("bestAvailableAudioFormat " + transcriber.locale);
    const Operation operation = script_->operation("bestAvailableAudioFormat");
    waitFor(operation);
    if (operation.action == Action::none) return std::nullopt;
    return script_->scenario.format;
  }

  std::unique_ptr<SpeechAnalyzer> makeAnalyzer(
      std::shared_ptr<SpeechTranscriber> transcriber) override {
    script_->recorder.set(
        "transcriber",
        {{"locale", transcriber->locale},
         {"volatileResults", transcriber->reportingOptions.volatileResults},
         {"transcriptionConfidence", transcriber->attributeOptions.transcriptionConfidence}});
    script_->recorder.call("makeAnalyzer " + transcriber->locale);
    return std::make_unique<ScriptedAnalyzer>(script_, std::move(transcriber));
  }

 private:
  std::shared_ptr<Script> script_;
};

}  // namespace

std::unique_ptr<SpeechEngine> makeScriptedEngine(const nlohmann::json& scenario) {
  try {
    return std::make_unique<ScriptedEngine>(parseScenario(scenario));
  } catch (const nlohmann::json::exception& error) {
    throw std::invalid_argument(std::string("malformed scenario: ") + error.what());
  }
}

nlohmann::json readScenarioFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::invalid_argument("cannot read the scenario file " + path);
  std::stringstream text;
  text << file.rdbuf();
  try {
    return nlohmann::json::parse(text.str());
  } catch (const nlohmann::json::exception& error) {
    throw std::invalid_argument("the scenario file " + path + " is not JSON: " + error.what());
  }
}

}  // namespace quillmor_speech
