// The PocketSphinx engine on real speech: the CMU recordings of Debian's pocketsphinx-testdata.
#include "platform/pocketsphinx/pocketsphinx_engine.h"

#include <gtest/gtest.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "platform/models/dictionary_cache.h"
#include "platform/pocketsphinx/restricted_dictionary.h"
#include "support/run_binary.h"

namespace quillmor_speech {
namespace {

const std::string kTestData = "/usr/share/pocketsphinx/test/data/";
const std::string kModel = "/usr/share/pocketsphinx/model/en-us/";
constexpr double kRate = 16000;

std::vector<std::int16_t> readRawSamples(const std::string& path) {
  const std::string bytes = readFileBytes(path);
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

std::vector<std::int16_t> goForward() { return readRawSamples(kTestData + "goforward.raw"); }

AVAudioFormat recognizerFormat() {
  return *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, kRate, 1, false);
}

std::unique_ptr<AVAudioPCMBuffer> bufferOf(const std::int16_t* samples, std::size_t count) {
  auto buffer = AVAudioPCMBuffer::make(recognizerFormat(), static_cast<std::uint32_t>(count));
  std::memcpy(buffer->int16ChannelData()[0], samples, count * 2);
  buffer->setFrameLength(static_cast<std::uint32_t>(count));
  return buffer;
}

std::vector<std::string> wordsOf(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

bool hasWord(const std::string& text, const std::string& word) {
  const std::vector<std::string> words = wordsOf(text);
  return std::find(words.begin(), words.end(), word) != words.end();
}

struct Session {
  std::vector<SpeechTranscriptionResult> results;
  std::optional<std::string> failure;
};

// Prepares and starts an analyzer, then feeds the samples in buffers of bufferFrames (0: one
// buffer) on one thread while another thread consumes the results, as a host does.
Session recognize(const std::vector<std::int16_t>& samples, std::size_t bufferFrames,
                  bool volatileResults, bool confidence) {
  auto transcriber = std::make_shared<SpeechTranscriber>("en-US", TranscriptionOptions{},
                                                         ReportingOptions{volatileResults},
                                                         AttributeOptions{confidence});
  std::unique_ptr<SpeechEngine> engine = makePocketSphinxEngine();
  std::unique_ptr<SpeechAnalyzer> analyzer = engine->makeAnalyzer(transcriber);
  analyzer->prepareToAnalyze(recognizerFormat());
  auto input = std::make_shared<AnalyzerInputSequence>();
  Session session;
  std::thread consumer([&] {
    try {
      while (auto result = transcriber->results->next()) session.results.push_back(*result);
    } catch (const SpeechError& error) {
      session.failure = error.what();
    }
  });
  analyzer->start(input);
  std::thread producer([&] {
    const std::size_t step = bufferFrames == 0 ? samples.size() : bufferFrames;
    for (std::size_t at = 0; at < samples.size(); at += step) {
      input->yield(
          AnalyzerInput(bufferOf(samples.data() + at, std::min(step, samples.size() - at))));
    }
    input->finish();
  });
  producer.join();
  analyzer->finalizeAndFinishThroughEndOfInput();
  consumer.join();
  return session;
}

std::vector<SpeechTranscriptionResult> finalsOf(const Session& session) {
  std::vector<SpeechTranscriptionResult> finals;
  for (const auto& result : session.results) {
    if (result.isFinal) finals.push_back(result);
  }
  return finals;
}

TEST(PocketSphinxEngine, GoForwardIsRecognisedWithVolatileResultsRangesAndConfidences) {
  const std::vector<std::int16_t> audio = goForward();
  const double audioSeconds = audio.size() / kRate;
  const Session session = recognize(audio, 1600, true, true);
  ASSERT_FALSE(session.failure) << *session.failure;
  const auto finals = finalsOf(session);
  ASSERT_EQ(finals.size(), 1u);
  const std::string text = finals[0].plainText();
  for (const char* word : {"go", "forward", "meters"}) EXPECT_TRUE(hasWord(text, word)) << text;
  EXPECT_EQ(text, [&] {  // single spaces, no filler tokens, no pronunciation marks
    std::string joined;
    for (const auto& word : wordsOf(text)) joined += (joined.empty() ? "" : " ") + word;
    return joined;
  }());
  EXPECT_EQ(text.find_first_of("<[()"), std::string::npos) << text;

  // Volatile results come first, and the final one is the last result.
  ASSERT_GE(session.results.size(), 2u);
  EXPECT_FALSE(session.results.front().isFinal);
  EXPECT_TRUE(session.results.back().isFinal);

  // Ranges lie within the audio; volatile results grow towards the final one.
  double previousEnd = 0;
  for (const auto& result : session.results) {
    const double start = CMTimeGetSeconds(result.range.start);
    const double end = CMTimeGetSeconds(result.range.end());
    EXPECT_GE(start, 0.0);
    EXPECT_GT(end, start);
    EXPECT_LE(end, audioSeconds);
    EXPECT_GE(end, previousEnd);
    previousEnd = end;
  }
  EXPECT_GT(CMTimeGetSeconds(finals[0].range.start), 0.2);
  EXPECT_GT(CMTimeGetSeconds(finals[0].range.end()), 2.0);

  // Word runs carry confidences in [0, 1], space runs none; volatile results carry none.
  for (const TextRun& run : finals[0].text) {
    if (run.text == " ") {
      EXPECT_FALSE(run.confidence);
    } else {
      ASSERT_TRUE(run.confidence) << run.text;
      EXPECT_GE(*run.confidence, 0.0);
      EXPECT_LE(*run.confidence, 1.0);
    }
  }
  for (const auto& result : session.results) {
    if (result.isFinal) continue;
    for (const TextRun& run : result.text) EXPECT_FALSE(run.confidence);
  }
}

TEST(PocketSphinxEngine, OptionsTurnVolatileResultsAndConfidencesOff) {
  const Session session = recognize(goForward(), 4000, false, false);
  ASSERT_FALSE(session.failure) << *session.failure;
  ASSERT_EQ(session.results.size(), 1u);
  EXPECT_TRUE(session.results[0].isFinal);
  EXPECT_TRUE(hasWord(session.results[0].plainText(), "forward"));
  for (const TextRun& run : session.results[0].text) EXPECT_FALSE(run.confidence);
}

TEST(PocketSphinxEngine, LongSilenceBetweenPhrasesGivesTwoFinalResultsOnOneTimeline) {
  const std::vector<std::int16_t> phrase = goForward();
  std::vector<std::int16_t> audio = phrase;
  audio.insert(audio.end(), static_cast<std::size_t>(3 * kRate), 0);
  audio.insert(audio.end(), phrase.begin(), phrase.end());
  const double secondPhraseStart = (phrase.size() + 3 * kRate) / kRate;
  // One buffer for all of it: segmentation does not depend on the host's buffer sizes.
  const Session session = recognize(audio, 0, true, true);
  ASSERT_FALSE(session.failure) << *session.failure;
  const auto finals = finalsOf(session);
  ASSERT_EQ(finals.size(), 2u);
  for (const auto& final : finals) EXPECT_TRUE(hasWord(final.plainText(), "forward"));
  EXPECT_LT(CMTimeGetSeconds(finals[0].range.end()), secondPhraseStart);
  EXPECT_GT(CMTimeGetSeconds(finals[1].range.start), secondPhraseStart);
  EXPECT_LE(CMTimeGetSeconds(finals[1].range.end()), audio.size() / kRate);
  // The same words at the same offset within each phrase.
  EXPECT_NEAR(CMTimeGetSeconds(finals[1].range.start) - CMTimeGetSeconds(finals[0].range.start),
              secondPhraseStart, 0.1);
}

TEST(PocketSphinxEngine, NoSpeechGivesNoResult) {
  const std::vector<std::vector<std::int16_t>> inputs = {
      {},  // finalised with no input at all
      std::vector<std::int16_t>(static_cast<std::size_t>(2 * kRate), 0),  // silence only
  };
  for (const auto& audio : inputs) {
    const Session session = recognize(audio, 1600, true, true);
    EXPECT_FALSE(session.failure);
    EXPECT_TRUE(session.results.empty()) << audio.size();
  }
}

TEST(PocketSphinxEngine, FinalizingAnAnalyzerThatNeverStartedEndsTheResults) {
  auto transcriber = std::make_shared<SpeechTranscriber>("en-US", TranscriptionOptions{},
                                                         ReportingOptions{}, AttributeOptions{});
  auto analyzer = makePocketSphinxEngine()->makeAnalyzer(transcriber);
  analyzer->finalizeAndFinishThroughEndOfInput();
  EXPECT_FALSE(transcriber->results->next());
}

TEST(PocketSphinxEngine, DroppingARunningAnalyzerStopsItAndFailsTheResults) {
  auto transcriber = std::make_shared<SpeechTranscriber>(
      "en-US", TranscriptionOptions{}, ReportingOptions{true}, AttributeOptions{});
  auto analyzer = makePocketSphinxEngine()->makeAnalyzer(transcriber);
  analyzer->prepareToAnalyze(recognizerFormat());
  auto input = std::make_shared<AnalyzerInputSequence>();
  analyzer->start(input);
  const auto audio = goForward();
  input->yield(AnalyzerInput(bufferOf(audio.data(), audio.size() / 2)));
  analyzer.reset();  // input never finished, never finalised
  bool failed = false;
  try {
    while (transcriber->results->next()) {
    }
  } catch (const SpeechError& error) {
    failed = true;
    EXPECT_NE(std::string(error.what()), "");
  }
  EXPECT_TRUE(failed);
}

TEST(PocketSphinxEngine, EngineReportsAvailabilityAndTheRecognizerFormat) {
  auto engine = makePocketSphinxEngine();
  EXPECT_TRUE(engine->isAvailable());
  SpeechTranscriber english("en-US", {}, {}, {});
  EXPECT_EQ(engine->status(english), AssetInventoryStatus::installed);
  auto format = engine->bestAvailableAudioFormat(english);
  ASSERT_TRUE(format);
  EXPECT_EQ(*format, recognizerFormat());
  EXPECT_EQ(format->commonFormat(), AVAudioCommonFormat::pcmFormatInt16);
  EXPECT_EQ(format->sampleRate(), 16000.0);
  EXPECT_EQ(format->channelCount(), 1u);
  SpeechTranscriber nowhere("xx-XX", {}, {}, {});
  EXPECT_EQ(engine->status(nowhere), AssetInventoryStatus::unsupported);
  EXPECT_FALSE(engine->bestAvailableAudioFormat(nowhere));
}

// A model folder that links to the system model's files, with some of them replaced.
struct DamagedModel {
  std::string dir;
  ModelFiles files;
};

DamagedModel damagedModel(const std::map<std::string, std::string>& replaced) {
  namespace fs = std::filesystem;
  DamagedModel model{makeTempDir(), {}};
  fs::create_directory(model.dir + "/am");
  for (const auto& entry : fs::directory_iterator(kModel + "en-us")) {
    fs::create_symlink(entry.path(), model.dir + "/am/" + entry.path().filename().string());
  }
  fs::create_symlink(kModel + "cmudict-en-us.dict", model.dir + "/dict");
  fs::create_symlink(kModel + "en-us.lm.bin", model.dir + "/lm");
  for (const auto& [name, bytes] : replaced) {
    fs::remove(model.dir + "/" + name);
    if (bytes != "(missing)") writeFileBytes(model.dir + "/" + name, bytes);
  }
  model.files = {model.dir + "/am", model.dir + "/dict", model.dir + "/lm"};
  return model;
}

// While alive, allocations are not reported as leaks by LeakSanitizer (when it runs).
struct LibraryLeaksIgnored {
#ifdef __SANITIZE_ADDRESS__
  LibraryLeaksIgnored() { __lsan_disable(); }
  ~LibraryLeaksIgnored() { __lsan_enable(); }
#endif
};

TEST(PocketSphinxEngine, PreparationFailuresThrowReadableDescriptions) {
  const std::string garbage(4000, '\x5a');
  const std::string someMeans = readFileBytes(kModel + "en-us/means").substr(0, 5000);
  struct Case {
    std::string name;
    std::map<std::string, std::string> replaced;
    std::string mentions;
  };
  const std::vector<Case> cases = {
      {"no acoustic model", {{"am/mdef", "(missing)"}}, "mdef is missing"},
      {"garbage model definition", {{"am/mdef", garbage}}, "not a model definition"},
      {"truncated means", {{"am/means", someMeans}}, "could not be loaded"},
      {"garbage language model", {{"lm", garbage}}, "could not be loaded"},
      {"no dictionary", {{"dict", "(missing)"}}, "dictionary"},
  };
  for (const Case& c : cases) {
    DamagedModel model = damagedModel(c.replaced);
    auto transcriber = std::make_shared<SpeechTranscriber>("en-US", TranscriptionOptions{},
                                                           ReportingOptions{}, AttributeOptions{});
    auto analyzer = makePocketSphinxAnalyzer(
        transcriber, [&](const std::string&) { return std::optional<ModelFiles>(model.files); });
    try {
      // The library leaks parts of a model whose loading fails half-way (truncated means, a
      // garbage language model); only those allocations are kept out of the leak check.
      [[maybe_unused]] LibraryLeaksIgnored ignored;
      analyzer->prepareToAnalyze(recognizerFormat());
      ADD_FAILURE() << c.name << ": no error";
    } catch (const SpeechError& error) {
      EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos)
          << c.name << ": " << error.what();
    }
    removeTree(model.dir);
  }
}

TEST(RestrictedDictionary, KeepsTheEntriesOfTheVocabularysWordsInOrder) {
  const std::string dictionary =
      ";; a comment\n"
      "read R EH D\n"
      "reader R IY D ER\n"
      "read(2) R IY D\n"
      "\n"
      "## another comment\n"
      "(paren) P ER EH N\n"
      "go(3) G OW\n"
      "zebra Z IY B R AH\n";
  EXPECT_EQ(restrictedEntries(dictionary, {"read", "zebra", "go"}),
            "read R EH D\nread(2) R IY D\ngo(3) G OW\nzebra Z IY B R AH\n");
  EXPECT_EQ(restrictedEntries(dictionary, {"(paren)"}), "(paren) P ER EH N\n");
  EXPECT_EQ(restrictedEntries(dictionary, {}), "");
}

// Recognises the phrase with the model's files and returns the final text.
std::string finalTextWith(const ModelFiles& files) {
  auto transcriber = std::make_shared<SpeechTranscriber>("en-US", TranscriptionOptions{},
                                                         ReportingOptions{}, AttributeOptions{});
  auto analyzer = makePocketSphinxAnalyzer(
      transcriber, [&](const std::string&) { return std::optional<ModelFiles>(files); });
  analyzer->prepareToAnalyze(recognizerFormat());
  auto input = std::make_shared<AnalyzerInputSequence>();
  analyzer->start(input);
  const auto audio = goForward();
  input->yield(AnalyzerInput(bufferOf(audio.data(), audio.size())));
  input->finish();
  analyzer->finalizeAndFinishThroughEndOfInput();
  std::string text;
  while (auto result = transcriber->results->next()) text += result->plainText();
  return text;
}

TEST(PocketSphinxEngine, AChangedDictionaryGetsItsOwnDerivedDictionary) {
  namespace fs = std::filesystem;
  const std::string dataHome = makeTempDir();
  setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  DamagedModel model = damagedModel({{"dict", readFileBytes(kModel + "cmudict-en-us.dict")}});
  const std::optional<std::string> before = derivedDictionaryPath(model.files);
  ASSERT_TRUE(before);
  EXPECT_TRUE(hasWord(finalTextWith(model.files), "forward"));
  ASSERT_TRUE(readDerivedDictionary(*before));
  EXPECT_EQ(readDerivedDictionary(*before)->find("meters(9)"), std::string::npos);

  // One more pronunciation of a word the language model knows, one of a word it does not.
  writeFileBytes(model.files.dictionary,
                 readFileBytes(model.files.dictionary) + "meters(9) M IY T ER Z\nqqqzzz K Y UW\n");
  const std::optional<std::string> after = derivedDictionaryPath(model.files);
  ASSERT_TRUE(after);
  EXPECT_NE(*after, *before);
  EXPECT_TRUE(hasWord(finalTextWith(model.files), "forward"));
  const std::optional<std::string> rebuilt = readDerivedDictionary(*after);
  ASSERT_TRUE(rebuilt);
  EXPECT_NE(rebuilt->find("\nmeters(9) M IY T ER Z\n"), std::string::npos);
  EXPECT_EQ(rebuilt->find("qqqzzz"), std::string::npos);
  unsetenv("XDG_DATA_HOME");
  removeTree(model.dir);
  removeTree(dataHome);
}

TEST(PocketSphinxEngine, UnsupportedFormatsAndMissingModelsThrow) {
  struct Case {
    std::string locale;
    AVAudioFormat format;
    std::string mentions;
  };
  const std::vector<Case> cases = {
      {"en-US", *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, 8000, 1, false),
       "16000 Hz"},
      {"en-US", *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat32, 16000, 1, false),
       "16000 Hz"},
      {"en-US", *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatInt16, 16000, 2, true),
       "16000 Hz"},
      {"xx-XX", recognizerFormat(), "xx-XX"},
  };
  for (const Case& c : cases) {
    auto transcriber = std::make_shared<SpeechTranscriber>(c.locale, TranscriptionOptions{},
                                                           ReportingOptions{}, AttributeOptions{});
    auto analyzer = makePocketSphinxEngine()->makeAnalyzer(transcriber);
    try {
      analyzer->prepareToAnalyze(c.format);
      ADD_FAILURE() << c.locale << " " << c.format.sampleRate() << ": no error";
    } catch (const SpeechError& error) {
      EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos) << error.what();
    }
  }
}

}  // namespace
}  // namespace quillmor_speech
