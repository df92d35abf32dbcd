// The speech recognition engine as the program sees it.
//
// Abstract so that every status, error and result shape of an engine can be produced on demand
// in tests. The real implementation is PocketSphinxEngine (pocketsphinx_engine.h); the scripted
// test engine lives with the tests. The names follow the platform's speech framework that this
// boundary stands in for: a SpeechTranscriber per locale, an AssetInventory of models, a
// SpeechAnalyzer that consumes an input sequence of AnalyzerInput buffers and delivers
// SpeechTranscriber results.
//
// Thread safety: an engine object is used by one thread at a time, except that a transcriber's
// results() is consumed on one thread while another feeds the analyzer's input sequence; the
// two sequences are the only objects shared between threads, and they are thread-safe.
//
// Failures: operations documented as "throws" throw SpeechError, whose what() is the readable
// description the program prints unchanged. No other exception leaves the engine.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/audio/audio_format.h"
#include "platform/base/thread_annotations.h"

namespace quillmor_speech {

class SpeechError : public std::runtime_error {
 public:
  explicit SpeechError(const std::string& description) : std::runtime_error(description) {}
  std::string localizedDescription() const { return what(); }
};

// A point on the timeline of the audio fed to the analyzer (the first sample is 0 s).
struct CMTime {
  double seconds = 0;
};
struct CMTimeRange {
  CMTime start;
  CMTime duration;
  CMTime end() const { return CMTime{start.seconds + duration.seconds}; }
};
inline double CMTimeGetSeconds(CMTime t) { return t.seconds; }

// Option sets of a transcriber; each holds only the members the program uses.
struct TranscriptionOptions {};
struct ReportingOptions {
  bool volatileResults = false;
};
struct AttributeOptions {
  bool transcriptionConfidence = false;
};

// One run of attributed text: a piece of the text and, optionally, its confidence in [0, 1].
struct TextRun {
  std::string text;
  std::optional<double> confidence;
};

// One result of a transcriber. The text is the concatenation of its runs.
struct SpeechTranscriptionResult {
  std::vector<TextRun> text;
  CMTimeRange range;
  bool isFinal = false;

  std::string plainText() const;
};

// A transcriber's results, in delivery order. One thread consumes them with next() while the
// engine delivers from another. Thread-safe.
class ResultSequence {
 public:
  // Blocks until the next result, the end of the sequence (nothing), or its failure (throws
  // SpeechError with the failure's description). After the end or a failure, every later call
  // gives the same outcome again.
  std::optional<SpeechTranscriptionResult> next();

  // Producer side, for engines. Deliveries after finish() or fail() are ignored.
  void deliver(SpeechTranscriptionResult result);
  void finish();
  void fail(const std::string& description);

 private:
  Mutex mutex_;
  CondVar changed_;
  std::deque<SpeechTranscriptionResult> pending_ GUARDED_BY(mutex_);
  bool finished_ GUARDED_BY(mutex_) = false;
  std::optional<std::string> failure_ GUARDED_BY(mutex_);
};

// SpeechTranscriber(locale:transcriptionOptions:reportingOptions:attributeOptions:).
// Never fails; the locale text is kept exactly as given. Engines attach their own state to a
// transcriber through the results sequence only.
struct SpeechTranscriber {
  SpeechTranscriber(std::string locale, TranscriptionOptions transcription,
                    ReportingOptions reporting, AttributeOptions attributes)
      : locale(std::move(locale)),
        transcriptionOptions(transcription),
        reportingOptions(reporting),
        attributeOptions(attributes),
        results(std::make_shared<ResultSequence>()) {}

  std::string locale;
  TranscriptionOptions transcriptionOptions;
  ReportingOptions reportingOptions;
  AttributeOptions attributeOptions;
  std::shared_ptr<ResultSequence> results;
};

// AnalyzerInput(buffer:): one buffer of PCM in the analyzer's format.
struct AnalyzerInput {
  explicit AnalyzerInput(std::unique_ptr<AVAudioPCMBuffer> buffer) : buffer(std::move(buffer)) {}
  std::unique_ptr<AVAudioPCMBuffer> buffer;
};

// The unbounded input stream of an analyzer: the program yields into it and finishes it, the
// engine takes from it on its own thread. yield never blocks and never drops while the stream
// is open. Thread-safe.
//
// When the engine falls behind (more than kJoinAfterWaiting inputs waiting), a buffer yielded
// is appended to the last waiting one when both have one format and the two fit
// kJoinedBufferBytes: audio waiting in small frames then costs about its samples, not a buffer
// per frame. The samples, their order and their format are unchanged; only the cut between
// inputs moves.
inline constexpr std::size_t kJoinAfterWaiting = 64;
inline constexpr std::size_t kJoinedBufferBytes = 64 * 1024;

class AnalyzerInputSequence {
 public:
  // Producer side (the input continuation). yield after finish is ignored.
  void yield(AnalyzerInput input);
  void finish();

  // Consumer side: blocks until an input or the end of the stream (nothing).
  std::optional<AnalyzerInput> next();

 private:
  Mutex mutex_;
  CondVar changed_;
  std::deque<AnalyzerInput> pending_ GUARDED_BY(mutex_);
  bool finished_ GUARDED_BY(mutex_) = false;
};

// AssetInventory status of a locale's model.
enum class AssetInventoryStatus { unsupported, supported, downloading, installed, other };

// AssetInstallationRequest: downloadAndInstall() returns once the model is installed; throws.
class AssetInstallationRequest {
 public:
  virtual ~AssetInstallationRequest() = default;
  virtual void downloadAndInstall() = 0;
  // Asks a downloadAndInstall running on another thread to stop: it then throws SpeechError
  // soon, having removed what it wrote (an installation that has already finished stays).
  // Thread-safe; called before downloadAndInstall, it makes it stop at once. By default it does
  // nothing and the installation runs to its end.
  virtual void cancel() {}
};

// SpeechAnalyzer(modules:options:) with one transcriber module.
class SpeechAnalyzer {
 public:
  virtual ~SpeechAnalyzer() = default;
  // prepareToAnalyze(in:): returns when ready for input in that format; throws.
  virtual void prepareToAnalyze(const AVAudioFormat& format) = 0;
  // start(inputSequence:): returns once analysis has begun, then takes inputs as they arrive on
  // the engine's own thread; throws. The sequence must stay alive until finalisation returns.
  virtual void start(std::shared_ptr<AnalyzerInputSequence> inputSequence) = 0;
  // finalizeAndFinishThroughEndOfInput(): called after the sequence is finished; returns when
  // all input is analysed and every result delivered, after which the transcriber's results
  // end; throws.
  virtual void finalizeAndFinishThroughEndOfInput() = 0;
};

class SpeechEngine {
 public:
  virtual ~SpeechEngine() = default;

  // SpeechTranscriber.isAvailable.
  virtual bool isAvailable() = 0;
  // AssetInventory.status(forModules:); never fails and never touches the network.
  virtual AssetInventoryStatus status(const SpeechTranscriber& transcriber) = 0;
  // AssetInventory.assetInstallationRequest(supporting:): a request, or nullptr when nothing
  // needs installing; throws.
  virtual std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(
      const SpeechTranscriber& transcriber) = 0;
  // SpeechAnalyzer.bestAvailableAudioFormat(compatibleWith:); never fails.
  virtual std::optional<AVAudioFormat> bestAvailableAudioFormat(
      const SpeechTranscriber& transcriber) = 0;
  // SpeechAnalyzer(modules:options:); the analyzer delivers into transcriber->results.
  virtual std::unique_ptr<SpeechAnalyzer> makeAnalyzer(
      std::shared_ptr<SpeechTranscriber> transcriber) = 0;
};

}  // namespace quillmor_speech
