#include "serve/serve.h"

#include <unistd.h>

#include "output/output.h"
#include "serve/audio_ingest.h"
#include "serve/frames.h"
#include "serve/results.h"
#include "serve/session_signals.h"
#include "serve/start_request.h"

namespace quillmor_speech {

namespace {

constexpr double kDefaultSampleRate = 16000.0;

// Runs an engine call that may throw; a failure ends the process with the engine's description
// exactly, or for any other failure with "申请不到内存" or its own description.
template <typename Call>
auto orFailRecognition(Call&& call) -> decltype(call()) {
  try {
    return call();
  } catch (...) {
    failFromCurrentException("recognition_failed");
  }
}

}  // namespace

void serve(SpeechEngine& engine) {
  SessionSignals signals;
  if (!engine.isAvailable()) fail("unsupported", "此 Mac 不支持本机语音识别");

  std::optional<Frame> first = readFrame(STDIN_FILENO);
  std::optional<StartRequest> request;
  if (first && first->type == static_cast<std::uint8_t>(FrameType::start)) {
    request = decodeStartRequest(first->payload);
  }
  // A rate that no input format can describe would drop every frame and still report success;
  // it is refused here, before any audio is read.
  std::optional<AVAudioFormat> inputFormat;
  if (request) inputFormat = hostInputFormat(request->sampleRate.value_or(kDefaultSampleRate));
  if (!request || !inputFormat) fail("bad_start", "第一帧必须是 start");
  const std::string& locale = request->locale;

  auto transcriber = std::make_shared<SpeechTranscriber>(
      locale, TranscriptionOptions{}, ReportingOptions{.volatileResults = true},
      AttributeOptions{.transcriptionConfidence = true});

  AssetInventoryStatus status = engine.status(*transcriber);
  if (status == AssetInventoryStatus::unsupported) {
    fail("locale_unsupported", "本机不支持 " + locale + " 识别");
  }
  if (status != AssetInventoryStatus::installed) {
    if (!request->install.value_or(true)) fail("locale_not_installed", locale + " 语言包还没装");
    std::unique_ptr<AssetInstallationRequest> installation =
        orFailRecognition([&] { return engine.assetInstallationRequest(*transcriber); });
    if (installation) {
      // The status line goes out once a signal would cancel the download, so that a host that
      // has seen it and stops the session always hears of the download being cancelled.
      orFailRecognition([&] {
        signals.runInstallation(*installation, [&] {
          emitEvent(
              {{"type", std::string("status")}, {"message", "正在下载 " + locale + " 语音模型…"}});
        });
      });
    }
  }

  AVAudioFormat analyzerFormat =
      engine.bestAvailableAudioFormat(*transcriber)
          .value_or(*AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, 16000.0, 1, false));
  std::unique_ptr<SpeechAnalyzer> analyzer =
      orFailRecognition([&] { return engine.makeAnalyzer(transcriber); });
  orFailRecognition([&] { analyzer->prepareToAnalyze(analyzerFormat); });

  auto input = std::make_shared<AnalyzerInputSequence>();
  ResultTask resultTask(transcriber);
  // While the analyzer and the result task run, any failure ends the process where it happens
  // (fail() joins nothing), rather than unwinding through the running session.
  orFailRecognition([&] {
    analyzer->start(input);
    // After the engine has started its threads, which keep the wake signal blocked.
    signals.audioStarts();
    streamAudio(STDIN_FILENO, *inputFormat, analyzerFormat, *analyzer, *input, resultTask);
  });
  // Every line is out, "done" last, and the recognizer's threads have ended; the signal watch
  // ends with the process.
  exitNow(0);
}

}  // namespace quillmor_speech
