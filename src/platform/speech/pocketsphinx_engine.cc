#include "platform/speech/pocketsphinx_engine.h"

#include <sphinxbase/logmath.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/speech/pocketsphinx_handles.h"
#include "platform/speech/transcript_text.h"

namespace quillmor_speech {

namespace {

constexpr double kSampleRate = 16000;
// Audio goes to the decoder in pieces of 50 ms, so that utterance ends are found and volatile
// results made at that granularity however large the host's buffers are.
constexpr std::size_t kPieceSamples = 800;
// The least audio between two volatile results of one utterance.
constexpr std::size_t kVolatileIntervalSamples = 3200;

std::optional<AVAudioFormat> recognizerFormat() {
  return AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, kSampleRate, 1, false);
}

bool isRecognizerFormat(const AVAudioFormat& format) {
  return format.commonFormat() == AVAudioCommonFormat::pcmFormatInt16 &&
         format.sampleRate() == kSampleRate && format.channelCount() == 1;
}

// One recognised word, with its frames (inclusive) on the decoder's stream timeline.
struct Word {
  std::string text;
  int startFrame = 0;
  int endFrame = 0;
  std::optional<double> posterior;
};

// The spoken form of a decoder token: nothing for silence and filler tokens ("<s>", "</s>",
// "<sil>", "[NOISE]", "++GARBAGE++"), and the word without an alternate-pronunciation mark
// ("read(2)" → "read").
std::optional<std::string> spokenWord(const char* token) {
  if (token == nullptr) return std::nullopt;
  std::string word(token);
  if (word.empty() || word.front() == '<' || word.front() == '[' || word.rfind("++", 0) == 0) {
    return std::nullopt;
  }
  if (word.back() == ')') {
    const std::size_t open = word.rfind('(');
    if (open != std::string::npos && open > 0 && open + 2 < word.size() &&
        std::all_of(word.begin() + static_cast<std::ptrdiff_t>(open) + 1, word.end() - 1,
                    [](char c) { return c >= '0' && c <= '9'; })) {
      word.erase(open);
    }
  }
  return word;
}

// The words of the decoder's current best hypothesis, with posteriors when asked for (only
// meaningful after the utterance has ended).
std::vector<Word> hypothesisWords(ps_decoder_t* decoder, bool withPosteriors) {
  std::vector<Word> words;
  logmath_t* logmath = ps_get_logmath(decoder);
  for (SegmentIteratorHandle segment(ps_seg_iter(decoder)); segment;
       segment.reset(ps_seg_next(segment.release()))) {
    std::optional<std::string> text = spokenWord(ps_seg_word(segment.get()));
    if (!text) continue;
    Word word{std::move(*text), 0, 0, std::nullopt};
    ps_seg_frames(segment.get(), &word.startFrame, &word.endFrame);
    if (withPosteriors) {
      const double posterior =
          logmath_exp(logmath, ps_seg_prob(segment.get(), nullptr, nullptr, nullptr));
      if (std::isfinite(posterior)) word.posterior = std::clamp(posterior, 0.0, 1.0);
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::string joinedText(const std::vector<Word>& words) {
  std::string text;
  for (const Word& word : words) {
    if (!text.empty()) text += ' ';
    text += word.text;
  }
  return text;
}

// What the worker knows of the recognition in progress. Used by the worker thread only.
struct Recognition {
  ps_decoder_t* decoder = nullptr;
  ReportingOptions reporting;
  AttributeOptions attributes;
  std::string locale;
  double frameRate = 100;
  std::size_t samplesFed = 0;
  bool inSpeech = false;  // the current utterance has speech in it
  std::string lastVolatileText;
  std::optional<std::size_t> lastVolatileAt;  // samplesFed at the last volatile result
};

SpeechTranscriptionResult makeResult(const Recognition& recognition, const std::vector<Word>& words,
                                     bool isFinal) {
  SpeechTranscriptionResult result;
  result.isFinal = isFinal;
  std::vector<TextRun> spoken;
  for (const Word& word : words) {
    std::optional<double> confidence;
    if (isFinal && recognition.attributes.transcriptionConfidence) confidence = word.posterior;
    spoken.push_back(TextRun{word.text, confidence});
  }
  result.text = transcriptRuns(spoken, recognition.locale);
  const double fedSeconds = static_cast<double>(recognition.samplesFed) / kSampleRate;
  const double start = std::min(words.front().startFrame / recognition.frameRate, fedSeconds);
  const double end =
      std::clamp((words.back().endFrame + 1) / recognition.frameRate, start, fedSeconds);
  result.range = CMTimeRange{CMTime{start}, CMTime{end - start}};
  return result;
}

// Ends the current utterance (it has speech in it), delivers its final result when it has
// words, and starts the next one unless this is the end of the input.
std::optional<std::string> endUtterance(Recognition& recognition, ResultSequence& results,
                                        bool startNext) {
  const int ended = ps_end_utt(recognition.decoder);
  if (ended < 0) return describePocketSphinxFailure("Ending an utterance failed", ended, "");
  const std::vector<Word> words = hypothesisWords(recognition.decoder, true);
  if (!words.empty()) results.deliver(makeResult(recognition, words, true));
  recognition.inSpeech = false;
  recognition.lastVolatileText.clear();
  recognition.lastVolatileAt.reset();
  if (!startNext) return std::nullopt;
  const int started = ps_start_utt(recognition.decoder);
  if (started < 0) return describePocketSphinxFailure("Starting an utterance failed", started, "");
  return std::nullopt;
}

void deliverVolatileResult(Recognition& recognition, ResultSequence& results) {
  if (recognition.lastVolatileAt &&
      recognition.samplesFed - *recognition.lastVolatileAt < kVolatileIntervalSamples) {
    return;
  }
  const std::vector<Word> words = hypothesisWords(recognition.decoder, false);
  if (words.empty()) return;
  std::string text = joinedText(words);
  if (text == recognition.lastVolatileText) return;
  results.deliver(makeResult(recognition, words, false));
  recognition.lastVolatileText = std::move(text);
  recognition.lastVolatileAt = recognition.samplesFed;
}

std::optional<std::string> feedSamples(Recognition& recognition, const std::int16_t* samples,
                                       std::size_t count, ResultSequence& results) {
  for (std::size_t offset = 0; offset < count; offset += kPieceSamples) {
    const std::size_t piece = std::min(kPieceSamples, count - offset);
    const int processed = ps_process_raw(recognition.decoder, samples + offset, piece, 0, 0);
    if (processed < 0) {
      return describePocketSphinxFailure("Recognising the audio failed", processed, "");
    }
    recognition.samplesFed += piece;
    const bool speaking = ps_get_in_speech(recognition.decoder) != 0;
    if (speaking) {
      recognition.inSpeech = true;
      if (recognition.reporting.volatileResults) deliverVolatileResult(recognition, results);
    } else if (recognition.inSpeech) {
      // Utterances are ended only after speech was seen in them: the library misbehaves after
      // many empty ones.
      if (auto failure = endUtterance(recognition, results, true)) return failure;
    }
  }
  return std::nullopt;
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
    LibraryLog log;
    ConfigHandle config(cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", files->acousticModel.c_str(),
                                    "-dict", files->dictionary.c_str(), "-lm",
                                    files->languageModel.c_str(), "-logfn", "/dev/null", nullptr));
    if (!config) {
      throw SpeechError(describePocketSphinxFailure(
          "The " + locale + " speech model could not be configured", 0, log.lastError()));
    }
    DecoderHandle decoder(ps_init(config.get()));
    if (!decoder) {
      throw SpeechError(describePocketSphinxFailure(
          "The " + locale + " speech model could not be loaded", 0, log.lastError()));
    }
    const double frameRate = cmd_ln_int_r(config.get(), "-frate");
    if (frameRate > 0) frameRate_ = frameRate;
    format_ = format;
    config_ = std::move(config);
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
    worker_ = std::thread([this] { analyze(); });
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
  // The worker: feeds every input to the decoder until the input ends, then ends the last
  // utterance and the results. Failures end the results; no exception leaves this thread.
  void analyze() {
    Recognition recognition;
    recognition.decoder = decoder_.get();
    recognition.reporting = transcriber_->reportingOptions;
    recognition.attributes = transcriber_->attributeOptions;
    recognition.locale = transcriber_->locale;
    recognition.frameRate = frameRate_;
    ResultSequence& results = *transcriber_->results;
    std::optional<std::string> failure;
    while (std::optional<AnalyzerInput> input = input_->next()) {
      if (abandoned_) break;
      if (failure || !input->buffer || !(input->buffer->format() == *format_)) continue;
      const std::int16_t* const* channels = input->buffer->int16ChannelData();
      if (channels == nullptr) continue;
      failure = feedSamples(recognition, channels[0], input->buffer->frameLength(), results);
    }
    if (abandoned_) {
      results.fail("Speech recognition was stopped before the end of the audio");
      return;
    }
    if (!failure && recognition.inSpeech) failure = endUtterance(recognition, results, false);
    if (failure) {
      results.fail(*failure);
    } else {
      results.finish();
    }
  }

  std::shared_ptr<SpeechTranscriber> transcriber_;
  ModelFinder findModel_;
  // Set by prepareToAnalyze; from start() on, the decoder is used by the worker alone.
  ConfigHandle config_;
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
    return makePocketSphinxAnalyzer(std::move(transcriber), findInstalledModel);
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
