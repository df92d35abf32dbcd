// recognizer_bench: the PocketSphinx engine against PocketSphinx's own decoding of the same
// audio with the same model, in the same run.
//
//   recognizer_bench [speech.raw]
//   recognizer_bench --finals speech.raw
//
// The audio is 16 kHz 16-bit mono: the file given (raw little-endian samples), or else the CMU
// recordings of Debian's pocketsphinx-testdata concatenated, repeated until there is at least
// 60 s. Figures:
//   - real-time factor (processing time / audio time) of the engine fed at full speed, with
//     volatile results on and off, best of two runs each;
//   - the same for PocketSphinx's batch decoding (ps_decode_raw over the whole audio) and for a
//     bare streaming loop on the C API with the engine's segmentation, and the engine's
//     overhead as a ratio against each;
//   - fed at real-time pace with volatile results on: the delay from the end of a word in the
//     audio to the first volatile result that holds it, and from speech onset to the first
//     volatile result of an utterance;
//   - peak resident memory.
// With --finals, the engine only recognises the file at full speed and prints each final as
// one JSON line: its start and end, and its words with their confidences ({"start":..,"end":..,
// "words":[["ten",0.91],...]}), for bench/field_bench.py.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/models/model_store.h"
#include "platform/pocketsphinx/pocketsphinx_engine.h"
#include "platform/pocketsphinx/pocketsphinx_handles.h"

namespace quillmor_speech {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRate = 16000;
constexpr std::size_t kBufferFrames = 1600;  // 100 ms, as a host sends

// CPU seconds of the whole process (every thread), user and system.
double processCpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::vector<std::int16_t> samplesOf(const std::string& bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// The data chunk of a 16 kHz 16-bit mono WAV file.
std::vector<std::int16_t> wavSamples(const std::string& path) {
  const std::string bytes = fileBytes(path);
  std::size_t at = 12;
  while (at + 8 <= bytes.size()) {
    std::uint32_t size;
    std::memcpy(&size, bytes.data() + at + 4, 4);
    if (bytes.compare(at, 4, "data") == 0) return samplesOf(bytes.substr(at + 8, size));
    at += 8 + size + (size & 1);
  }
  return {};
}

std::vector<std::int16_t> defaultSpeech() {
  const std::string data = "/usr/share/pocketsphinx/test/data/";
  std::vector<std::int16_t> once;
  for (const char* name :
       {"sense_and_sensibility_01_austen_64kb-0870", "sense_and_sensibility_01_austen_64kb-0880",
        "sense_and_sensibility_01_austen_64kb-0890", "sense_and_sensibility_01_austen_64kb-0920",
        "sense_and_sensibility_01_austen_64kb-0930"}) {
    const auto part = wavSamples(data + "librivox/" + name + ".wav");
    once.insert(once.end(), part.begin(), part.end());
  }
  for (const char* name : {"goforward.raw", "numbers.raw", "something.raw"}) {
    const auto part = samplesOf(fileBytes(data + name));
    once.insert(once.end(), part.begin(), part.end());
  }
  std::vector<std::int16_t> speech;
  while (!once.empty() && speech.size() < 60 * kRate) {
    speech.insert(speech.end(), once.begin(), once.end());
  }
  return speech;
}

AVAudioFormat format() {
  return *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, kRate, 1, false);
}

struct Delivery {
  SpeechTranscriptionResult result;
  double audioClock;  // seconds since feeding began, at delivery
};

struct EngineRun {
  double processingSeconds = 0;
  double cpuSeconds = 0;
  double loadSeconds = 0;
  std::vector<Delivery> deliveries;
  std::size_t finalWords = 0;
};

std::size_t wordCount(const std::string& text) {
  std::istringstream in(text);
  std::size_t count = 0;
  for (std::string word; in >> word;) ++count;
  return count;
}

// Feeds the speech in 100 ms buffers, at full speed or at real-time pace, while another thread
// takes the results.
EngineRun runEngine(const std::vector<std::int16_t>& speech, bool volatileResults, bool realTime) {
  auto transcriber = std::make_shared<SpeechTranscriber>(
      "en-US", TranscriptionOptions{}, ReportingOptions{volatileResults}, AttributeOptions{true});
  auto engine = makePocketSphinxEngine();
  auto analyzer = engine->makeAnalyzer(transcriber);
  EngineRun run;
  const auto loadStart = Clock::now();
  analyzer->prepareToAnalyze(format());
  run.loadSeconds = secondsSince(loadStart);
  auto input = std::make_shared<AnalyzerInputSequence>();
  Clock::time_point feedStart;
  std::thread consumer([&] {
    try {
      while (auto result = transcriber->results->next()) {
        run.deliveries.push_back({*result, secondsSince(feedStart)});
      }
    } catch (const SpeechError& error) {
      std::printf("results failed: %s\n", error.what());
    }
  });
  const double cpuStart = processCpuSeconds();
  feedStart = Clock::now();
  analyzer->start(input);
  for (std::size_t at = 0; at < speech.size(); at += kBufferFrames) {
    const std::size_t count = std::min(kBufferFrames, speech.size() - at);
    if (realTime) {
      std::this_thread::sleep_until(feedStart +
                                    std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>((at + count) / kRate)));
    }
    auto buffer = AVAudioPCMBuffer::make(format(), static_cast<std::uint32_t>(count));
    std::memcpy(buffer->int16ChannelData()[0], speech.data() + at, count * 2);
    buffer->setFrameLength(static_cast<std::uint32_t>(count));
    input->yield(AnalyzerInput(std::move(buffer)));
  }
  input->finish();
  analyzer->finalizeAndFinishThroughEndOfInput();
  run.processingSeconds = secondsSince(feedStart);
  consumer.join();
  run.cpuSeconds = processCpuSeconds() - cpuStart;
  for (const auto& delivery : run.deliveries) {
    if (delivery.result.isFinal) run.finalWords += wordCount(delivery.result.plainText());
  }
  return run;
}

DecoderHandle loadPeerDecoder(ConfigHandle& config) {
  const ModelFiles files = *findInstalledModel("en-US");
  silenceLibraryLog();
  config.reset(cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", files.acousticModel.c_str(), "-dict",
                           files.dictionary.c_str(), "-lm", files.languageModel.c_str(), "-logfn",
                           "/dev/null", nullptr));
  return DecoderHandle(ps_init(config.get()));
}

struct PeerRun {
  double processingSeconds = 0;
  double cpuSeconds = 0;
  std::size_t words = 0;
};

std::size_t hypothesisWords(ps_decoder_t* decoder) {
  const char* hypothesis = ps_get_hyp(decoder, nullptr);
  return hypothesis ? wordCount(hypothesis) : 0;
}

// PocketSphinx's batch decoding: the whole file as one utterance, read by the library.
PeerRun runBatchPeer(const std::string& rawPath) {
  ConfigHandle config;
  DecoderHandle decoder = loadPeerDecoder(config);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(rawPath.c_str(), "rb"),
                                                       &std::fclose);
  PeerRun run;
  const double cpuStart = processCpuSeconds();
  const auto start = Clock::now();
  ps_decode_raw(decoder.get(), file.get(), -1);
  run.processingSeconds = secondsSince(start);
  run.cpuSeconds = processCpuSeconds() - cpuStart;
  run.words = hypothesisWords(decoder.get());
  return run;
}

// The C API in a plain loop with the engine's segmentation: no threads, queues or results.
PeerRun runStreamingPeer(const std::vector<std::int16_t>& speech) {
  ConfigHandle config;
  DecoderHandle decoder = loadPeerDecoder(config);
  ps_decoder_t* ps = decoder.get();
  PeerRun run;
  const double cpuStart = processCpuSeconds();
  const auto start = Clock::now();
  ps_start_stream(ps);
  ps_start_utt(ps);
  bool inSpeech = false;
  for (std::size_t at = 0; at < speech.size(); at += 800) {
    ps_process_raw(ps, speech.data() + at, std::min<std::size_t>(800, speech.size() - at), 0, 0);
    if (ps_get_in_speech(ps)) {
      inSpeech = true;
    } else if (inSpeech) {
      ps_end_utt(ps);
      run.words += hypothesisWords(ps);
      ps_start_utt(ps);
      inSpeech = false;
    }
  }
  ps_end_utt(ps);
  if (inSpeech) run.words += hypothesisWords(ps);
  run.processingSeconds = secondsSince(start);
  run.cpuSeconds = processCpuSeconds() - cpuStart;
  return run;
}

struct Spread {
  double median = 0, p90 = 0, max = 0;
  std::size_t count = 0;
};

Spread spreadOf(std::vector<double> values) {
  Spread spread;
  spread.count = values.size();
  if (values.empty()) return spread;
  std::sort(values.begin(), values.end());
  spread.median = values[values.size() / 2];
  spread.p90 = values[std::min(values.size() - 1, values.size() * 9 / 10)];
  spread.max = values.back();
  return spread;
}

long peakRssKiB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Each final of the speech as a JSON line (see the top of the file).
int printFinals(const std::vector<std::int16_t>& speech) {
  const EngineRun run = runEngine(speech, false, false);
  for (const Delivery& delivery : run.deliveries) {
    const SpeechTranscriptionResult& result = delivery.result;
    if (!result.isFinal) continue;
    std::string line = "{\"start\":" + std::to_string(result.range.start.seconds) +
                       ",\"end\":" + std::to_string(result.range.end().seconds) + ",\"words\":[";
    bool first = true;
    for (const TextRun& run : result.text) {
      if (wordCount(run.text) == 0) continue;  // the spaces between words
      line += std::string(first ? "" : ",") + "[\"" + run.text + "\"," +
              (run.confidence ? std::to_string(*run.confidence) : "null") + "]";
      first = false;
    }
    std::printf("%s]}\n", line.c_str());
  }
  return 0;
}

int benchMain(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--finals") == 0) {
    return printFinals(samplesOf(fileBytes(argv[2])));
  }
  const std::vector<std::int16_t> speech =
      argc > 1 ? samplesOf(fileBytes(argv[1])) : defaultSpeech();
  const double audioSeconds = speech.size() / kRate;
  if (audioSeconds < 1) {
    std::printf("no audio\n");
    return 1;
  }
  char rawPath[] = "/tmp/recognizer_bench_XXXXXX";
  const int fd = mkstemp(rawPath);
  if (fd < 0) return 1;
  close(fd);
  std::ofstream(rawPath, std::ios::binary)
      .write(reinterpret_cast<const char*>(speech.data()),
             static_cast<std::streamsize>(speech.size() * 2));
  std::printf("audio: %.1f s of speech, 16 kHz 16-bit mono, fed in %zu-frame buffers\n",
              audioSeconds, kBufferFrames);
  std::printf("peak RSS before loading a model: %ld KiB\n", peakRssKiB());

  // Best of two runs each, wall and CPU time taken separately: the machine is shared, and CPU
  // time is what contention disturbs least.
  struct Row {
    const char* name;
    double wall = 1e9, cpu = 1e9;
    std::size_t words = 0;
    void add(double w, double c, std::size_t n) {
      wall = std::min(wall, w);
      cpu = std::min(cpu, c);
      words = n;
    }
  };
  Row on{"engine, volatile results on"}, off{"engine, volatile results off"},
      batch{"peer: PocketSphinx batch (ps_decode_raw)"},
      streaming{"peer: bare C API streaming loop"};
  double load = 0;
  long rssEngine = 0;
  for (int repetition = 0; repetition < 2; ++repetition) {
    const EngineRun a = runEngine(speech, true, false);
    if (repetition == 0) rssEngine = peakRssKiB();
    on.add(a.processingSeconds, a.cpuSeconds, a.finalWords);
    load = a.loadSeconds;
    const PeerRun b = runBatchPeer(rawPath);
    batch.add(b.processingSeconds, b.cpuSeconds, b.words);
    const EngineRun c = runEngine(speech, false, false);
    off.add(c.processingSeconds, c.cpuSeconds, c.finalWords);
    const PeerRun d = runStreamingPeer(speech);
    streaming.add(d.processingSeconds, d.cpuSeconds, d.words);
  }
  std::remove(rawPath);
  std::printf("model load (prepareToAnalyze): %.3f s\n", load);
  std::printf("%-44s %8s %8s %8s %8s %7s\n", "full speed, best of 2", "wall s", "RTF", "CPU s",
              "CPU RTF", "words");
  for (const Row* row : {&on, &off, &batch, &streaming}) {
    std::printf("%-44s %8.3f %8.4f %8.3f %8.4f %7zu\n", row->name, row->wall,
                row->wall / audioSeconds, row->cpu, row->cpu / audioSeconds, row->words);
  }
  std::printf("overhead vs batch (wall, CPU):     volatile on %.3f, %.3f; off %.3f, %.3f\n",
              on.wall / batch.wall, on.cpu / batch.cpu, off.wall / batch.wall, off.cpu / batch.cpu);
  std::printf("overhead vs streaming (wall, CPU): volatile on %.3f, %.3f; off %.3f, %.3f\n",
              on.wall / streaming.wall, on.cpu / streaming.cpu, off.wall / streaming.wall,
              off.cpu / streaming.cpu);

  // Real-time pace: the audio clock at a delivery is the time since feeding began.
  const EngineRun paced = runEngine(speech, true, true);
  std::vector<double> wordDelays, onsetDelays;
  std::size_t wordsSoFar = 0;
  // The audio clock at the first volatile result of the utterance under way, if it had one.
  bool sawVolatile = false;
  double firstVolatileClock = 0;
  for (const Delivery& delivery : paced.deliveries) {
    const auto& result = delivery.result;
    if (result.isFinal) {
      if (sawVolatile) {
        onsetDelays.push_back(firstVolatileClock - CMTimeGetSeconds(result.range.start));
      }
      wordsSoFar = 0;
      sawVolatile = false;
      continue;
    }
    if (!sawVolatile) {
      sawVolatile = true;
      firstVolatileClock = delivery.audioClock;
    }
    const std::size_t words = wordCount(result.plainText());
    // A volatile result with more words than any before it in the utterance holds a new last
    // word, which ends where the result's range ends.
    if (words > wordsSoFar) {
      wordDelays.push_back(delivery.audioClock - CMTimeGetSeconds(result.range.end()));
      wordsSoFar = words;
    }
  }
  const Spread word = spreadOf(wordDelays), onset = spreadOf(onsetDelays);
  std::printf("real-time pace, volatile on (%.1f s wall for %.1f s audio):\n",
              paced.processingSeconds, audioSeconds);
  std::printf(
      "  word end -> first volatile result with it: median %.0f ms, p90 %.0f ms, max %.0f "
      "ms (%zu words)\n",
      word.median * 1000, word.p90 * 1000, word.max * 1000, word.count);
  std::printf(
      "  speech onset -> first volatile result:     median %.0f ms, p90 %.0f ms, max %.0f "
      "ms (%zu utterances)\n",
      onset.median * 1000, onset.p90 * 1000, onset.max * 1000, onset.count);
  std::printf("peak RSS: %ld KiB after the first engine run, %ld KiB at the end\n", rssEngine,
              peakRssKiB());
  return 0;
}

}  // namespace
}  // namespace quillmor_speech

int main(int argc, char** argv) { return quillmor_speech::benchMain(argc, argv); }
