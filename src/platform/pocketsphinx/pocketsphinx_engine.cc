#include "platform/pocketsphinx/pocketsphinx_engine.h"

#include <algorithm>
#include <atomic>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/pocketsphinx/analyzer_worker.h"
#include "platform/pocketsphinx/language_model_load.h"
#include "platform/pocketsphinx/model_assets.h"
#include "platform/pocketsphinx/pocketsphinx_handles.h"
#include "platform/pocketsphinx/recognition.h"
#include "platform/pocketsphinx/restricted_dictionary.h"

namespace quillmor_speech {

namespace {

constexpr double kSampleRate = 16000;
// The name the decoder gives the search of its configuration's language model.
constexpr const char* kSearchName = "_default";

std::optional<AVAudioFormat> recognizerFormat() {
  return AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, kSampleRate, 1, false);
}

bool isRecognizerFormat(const AVAudioFormat& format) {
  return format.commonFormat() == AVAudioCommonFormat::pcmFormatInt16 &&
         format.sampleRate() == kSampleRate && format.channelCount() == 1;
}

class PocketSphinxAnalyzer : public SpeechAnalyzer {
 public:
  PocketSphinxAnalyzer(std::shared_ptr<SpeechTranscriber> transcriber, ModelFinder findModel)
      : transcriber_(std::move(transcriber)), findModel_(std::move(findModel)) {}

  ~PocketSphinxAnalyzer() override {
    if (!worker_.joinable()) return;
    abandoned_ = true;
    input_->finish();
    worker_.join();
  }

  void prepareToAnalyze(const AVAudioFormat& format) override {
    if (!isRecognizerFormat(format)) {
      throw SpeechError(
          "The speech recognizer takes 16000 Hz 16-bit integer mono audio, not the format "
          "asked for");
    }
    if (decoder_) return;  // the model is loaded once
    const std::string& locale = transcriber_->locale;
    std::optional<ModelFiles> files = findModel_(locale);
    if (!files) throw SpeechError("No speech model is installed for " + locale);
    if (auto problem = modelFilesProblem(locale, *files)) throw SpeechError(*problem);

    silenceLibraryLog();
    const std::string dictionary = decoderDictionary(*files);
    LibraryLog log;
    // The search settings serve both passes (the decoder has one search): the live pass's
    // partials come from the tree search alone, and its own end-of-utterance search is never
    // read, so the flat search is left out; the second pass's words come from the best path
    // through the tree search's lattice, with a language weight below the library's default, and
    // the active models per frame are bounded. Measured on the testdata clips with the field
    // bench: these give the second pass a lower word error rate than the library's defaults at
    // about half their cost.
    auto configure = [&] {
      return ConfigHandle(cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm",
                                      files->acousticModel.c_str(), "-dict", dictionary.c_str(),
                                      "-logfn", "/dev/null", "-fwdflat", "no", "-bestpathlw", "7.5",
                                      "-maxhmmpf", "3000", nullptr));
    };
    ConfigHandle config = configure();
    ConfigHandle languageModelConfig = configure();
    if (!config || !languageModelConfig) {
      throw SpeechError(describePocketSphinxFailure(
          "The " + locale + " speech model could not be configured", 0, log.lastError()));
    }
    const std::string notLoaded = "The " + locale + " speech model could not be loaded";
    // The language model is read while the decoder loads the rest, then searched as the
    // decoder's own ("-lm") would be.
    // Its log math outlives the decoder, whose search borrows it (language_model_load.h).
    LanguageModelLoad languageModel(files->languageModel, std::move(languageModelConfig));
    LanguageModel model;
    DecoderHandle decoder(ps_init(config.get()));
    if (!decoder) throw SpeechError(describePocketSphinxFailure(notLoaded, 0, log.lastError()));
    model = languageModel.take();
    if (!model.model) throw SpeechError(describePocketSphinxFailure(notLoaded, 0, log.lastError()));
    if (ps_set_lm(decoder.get(), kSearchName, model.model.get()) != 0 ||
        ps_set_search(decoder.get(), kSearchName) != 0) {
      throw SpeechError(describePocketSphinxFailure(notLoaded, 0, log.lastError()));
    }
    const double frameRate = cmd_ln_int_r(config.get(), "-frate");
    if (frameRate > 0) frameRate_ = frameRate;
    format_ = format;
    config_ = std::move(config);
    languageModelMath_ = std::move(model.logmath);
    decoder_ = std::move(decoder);
  }

  void start(std::shared_ptr<AnalyzerInputSequence> inputSequence) override {
    if (!decoder_) throw SpeechError("The speech recognizer was started before it was prepared");
    if (worker_.joinable() || finished_)
      throw SpeechError("The speech recognizer is already running");
    const int stream = ps_start_stream(decoder_.get());
    if (stream < 0) {
      throw SpeechError(describePocketSphinxFailure("Starting recognition failed", stream, ""));
    }
    const int utterance = ps_start_utt(decoder_.get());
    if (utterance < 0) {
      throw SpeechError(describePocketSphinxFailure("Starting recognition failed", utterance, ""));
    }
    input_ = std::move(inputSequence);
    try {
      worker_ = std::thread([this] { analyze(); });
    } catch (const std::system_error& error) {
      throw SpeechError(std::string("The speech recognizer could not start its thread: ") +
                        error.what());
    }
  }

  void finalizeAndFinishThroughEndOfInput() override {
    if (worker_.joinable()) {
      input_->finish();
      worker_.join();
    } else if (!finished_) {
      transcriber_->results->finish();  // never started: no input, no result
    }
    finished_ = true;
  }

 private:
  // The worker: recognises every input until the input ends; see runAnalyzerWorker.
  void analyze() noexcept {
    try {
      analyzeInputs();
    } catch (...) {  // setting up the steps failed (out of memory): nothing was analysed
      try {
        transcriber_->results->fail(describeCurrentException());
      } catch (...) {
        transcriber_->results->finish();
      }
    }
  }

  void analyzeInputs() {
    ResultSequence& results = *transcriber_->results;
    std::optional<Recognition> recognition;
    RecognitionSteps steps;
    steps.analyze = [&](const AnalyzerInput& input) {
      if (!recognition) {
        recognition.emplace(decoder_.get(), frameRate_, transcriber_->reportingOptions,
                            transcriber_->attributeOptions, transcriber_->locale, results);
      }
      if (!input.buffer || !(input.buffer->format() == *format_)) return;
      const std::int16_t* const* channels = input.buffer->int16ChannelData();
      if (channels == nullptr) return;
      recognition->feed(std::span(channels[0], input.buffer->frameLength()));
    };
    steps.finish = [&] {
      if (recognition) recognition->finish();
    };
    runAnalyzerWorker(*input_, results, abandoned_, steps);
  }

  std::shared_ptr<SpeechTranscriber> transcriber_;
  ModelFinder findModel_;
  // Set by prepareToAnalyze; from start() on, the decoder is used by the worker alone.
  ConfigHandle config_;
  LogmathHandle languageModelMath_;  // borrowed by the decoder's search: released after it
  DecoderHandle decoder_;
  std::optional<AVAudioFormat> format_;
  double frameRate_ = 100;
  std::shared_ptr<AnalyzerInputSequence> input_;
  std::thread worker_;
  bool finished_ = false;
  std::atomic<bool> abandoned_ = false;  // shared with the worker
};

class PocketSphinxEngine : public SpeechEngine {
 public:
  bool isAvailable() override { return true; }

  AssetInventoryStatus status(const SpeechTranscriber& transcriber) override {
    return modelStatus(transcriber.locale);
  }

  std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(
      const SpeechTranscriber& transcriber) override {
    return modelInstallationRequest(transcriber.locale);
  }

  // Every model this engine runs takes the same format; a locale without any model has none.
  std::optional<AVAudioFormat> bestAvailableAudioFormat(
      const SpeechTranscriber& transcriber) override {
    if (modelStatus(transcriber.locale) == AssetInventoryStatus::unsupported) return std::nullopt;
    return recognizerFormat();
  }

  std::unique_ptr<SpeechAnalyzer> makeAnalyzer(
      std::shared_ptr<SpeechTranscriber> transcriber) override {
    return makePocketSphinxAnalyzer(std::move(transcriber), findLoadableModel);
  }
};

}  // namespace

std::unique_ptr<SpeechAnalyzer> makePocketSphinxAnalyzer(
    std::shared_ptr<SpeechTranscriber> transcriber, ModelFinder findModel) {
  return std::make_unique<PocketSphinxAnalyzer>(std::move(transcriber), std::move(findModel));
}

std::unique_ptr<SpeechEngine> makePocketSphinxEngine() {
  return std::make_unique<PocketSphinxEngine>();
}

}  // namespace quillmor_speech
