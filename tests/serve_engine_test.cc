// serve end to end with the real recognizer: real speech in, partial and final lines out.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <utility>

#include "platform/models/model_store.h"
#include "platform/pocketsphinx/model_assets.h"
#include "support/audio_fixtures.h"
#include "support/model_fixtures.h"
#include "support/run_binary.h"
#include "support/serve_harness.h"
#include "support/temp_dir.h"

namespace quillmor_speech {
namespace {

using nlohmann::json;

const std::string kGoForward = "/usr/share/pocketsphinx/test/data/goforward.raw";
const std::string kSample = std::string(QUILLMOR_SOURCE_DIR) + "/samples/sense-and-sensibility.ogg";

const std::string kLibriVox = "/usr/share/pocketsphinx/test/data/librivox/";

// Audio frames of 16-bit PCM bytes at the given rate, their lengths in milliseconds taken in
// turn from `ms` (20 by default).
std::string audioFrames(const std::string& pcm, int rate, const std::vector<int>& ms = {20}) {
  std::string frames;
  for (std::size_t at = 0, n = 0; at < pcm.size(); ++n) {
    const std::size_t step = static_cast<std::size_t>(rate / 1000.0 * ms[n % ms.size()]) * 2;
    frames += frameBytes(2, pcm.substr(at, step));
    at += step;
  }
  return frames;
}

struct Transcript {
  std::vector<json> events;
  std::string finals;  // the final texts joined by spaces
};

// Checks the line discipline of a whole successful session and gathers its events.
Transcript checkSession(const RunResult& run) {
  Transcript t;
  expectEndedByItself(run, 0);
  std::vector<std::string> lines = outputLines(run.out);
  EXPECT_FALSE(lines.empty());
  if (lines.empty()) return t;
  EXPECT_EQ(lines.back(), "{\"type\":\"done\"}");
  EXPECT_EQ(run.out.back(), '\n');
  double lastFinalEnd = 0;
  for (const std::string& line : lines) {
    json event = json::parse(line);
    t.events.push_back(event);
    if (event["type"] == "final") {
      if (!t.finals.empty()) t.finals += ' ';
      t.finals += event["text"].get<std::string>();
      EXPECT_GE(event["start"].get<double>(), lastFinalEnd - 1e-9) << line;
      EXPECT_GE(event["end"].get<double>(), event["start"].get<double>()) << line;
      lastFinalEnd = event["end"].get<double>();
      if (event.contains("confidence")) {
        EXPECT_GE(event["confidence"].get<double>(), 0.0) << line;
        EXPECT_LE(event["confidence"].get<double>(), 1.0) << line;
      }
    }
  }
  return t;
}

int countType(const Transcript& t, const std::string& type) {
  int n = 0;
  for (const json& e : t.events) n += e["type"] == type;
  return n;
}

std::vector<std::string> finalLines(const std::string& out) {
  std::vector<std::string> finals;
  for (const std::string& line : outputLines(out)) {
    if (line.find("\"type\":\"final\"") != std::string::npos) finals.push_back(line);
  }
  return finals;
}

TEST(ServeEndToEnd, BundledSampleThroughDecodeAndServeWhateverTheHostsFrameSize) {
  RunResult decoded = runBinary(QUILLMOR_BINARY, {"decode", kSample}, "");
  ASSERT_EQ(decoded.status, 0);
  ASSERT_GT(decoded.out.size(), 16000u * 2 * 20);  // more than 20 s of audio
  RunResult run = runBinary(QUILLMOR_BINARY, {"serve"},
                            startFrame({{"locale", "en-US"}, {"sampleRate", 16000}}) +
                                audioFrames(decoded.out, 16000) + frameBytes(3));
  Transcript t = checkSession(run);
  EXPECT_GE(countType(t, "final"), 3) << run.out;
  EXPECT_GT(countType(t, "partial"), countType(t, "final")) << run.out;
  for (const char* word : {"consider", "selfish", "amiable", "respectable"}) {
    EXPECT_NE(t.finals.find(word), std::string::npos) << word << " in: " << t.finals;
  }
  // Partial lines of an utterance come before its final line.
  ASSERT_FALSE(t.events.empty());
  EXPECT_EQ(t.events.front()["type"], "partial");

  // The final lines do not depend on the host's frame sizes: the first 12 s (two utterances and
  // a pause), in runs of 5 ms frames (which divide the recognizer's pieces of 50 ms) between
  // frames of 1000 ms (many pieces, never aligned to them), give the final lines that the whole
  // sample in 20 ms frames gave for them.
  std::vector<std::string> reference;
  for (const std::string& line : finalLines(run.out)) {
    if (json::parse(line)["end"].get<double>() < 12) reference.push_back(line);
  }
  ASSERT_GE(reference.size(), 2u) << run.out;
  std::vector<int> sizes(37, 5);
  sizes.push_back(1000);
  RunResult part = runBinary(QUILLMOR_BINARY, {"serve"},
                             startFrame({{"locale", "en-US"}}) +
                                 audioFrames(decoded.out.substr(0, 16000 * 2 * 12), 16000, sizes));
  checkSession(part);
  EXPECT_EQ(finalLines(part.out), reference);
}

TEST(ServeEndToEnd, HostAudioAt44100HzIsConvertedAndGivesTheWordsOfTheRecording) {
  // The recognizer's own rate is heard in every other session here.
  const std::string pcm =
      ffmpegPcm({"-f", "s16le", "-ar", "16000", "-ac", "1", "-i", kGoForward}, "[0:a]anull", 44100);
  ASSERT_FALSE(pcm.empty());
  Transcript t =
      checkSession(runBinary(QUILLMOR_BINARY, {"serve"},
                             startFrame({{"locale", "en-US"}, {"sampleRate", 44100}}) +
                                 audioFrames(pcm, 44100)));  // end of input, no end frame
  for (const char* word : {"go", "forward", "meters"}) {
    EXPECT_NE(t.finals.find(word), std::string::npos) << t.finals;
  }
}

TEST(ServeEndToEnd, ContinuousOverlappingSpeechGetsFinalsWithinTheCap) {
  // Two voices without a pause between them: the recordings one after another, mixed with a
  // copy of themselves 1.7 s later, about 28 s in all.
  std::vector<std::string> inputs;
  std::string filter;
  for (const char* n : {"0870", "0880", "0890", "0920", "0930", "0880"}) {
    filter += '[';
    filter += std::to_string(inputs.size() / 2);
    filter += ":a]";
    inputs.push_back("-i");
    inputs.push_back(kLibriVox + "sense_and_sensibility_01_austen_64kb-" + n + ".wav");
  }
  filter += "concat=n=";
  filter += std::to_string(inputs.size() / 2);
  filter += ":v=0:a=1,asplit[a][b];[b]adelay=1700[c];[a][c]amix=inputs=2:duration=first";
  const std::string pcm = ffmpegPcm(inputs, filter);
  const double seconds = pcm.size() / 32000.0;
  ASSERT_GT(seconds, 27);
  RunResult run = runBinary(QUILLMOR_BINARY, {"serve"},
                            startFrame({{"locale", "en-US"}}) + audioFrames(pcm, 16000));
  Transcript t = checkSession(run);
  double lastEnd = 0;
  int finals = 0;
  for (const json& event : t.events) {
    if (event["type"] != "final") continue;
    ++finals;
    const double start = event["start"].get<double>(), end = event["end"].get<double>();
    EXPECT_LE(end - start, 24.5) << event;
    EXPECT_LE(end - lastEnd, 25.0) << event;  // words of a cut utterance may start a bit early
    lastEnd = end;
  }
  EXPECT_GE(finals, 2);
  EXPECT_LE(seconds - lastEnd, 25.0);
  EXPECT_GE(t.finals.size(), 150u) << t.finals;  // the words go on through every cut
}

TEST(ServeEndToEnd, FinalsComeFromTheSecondPassOnTheTimelineOfThePartials) {
  // Three of the cards recordings 2 s apart, the first 1 s in: the live pass hears the first as
  // "i've been up close" (its running normalisation starts from the model's default), the
  // second pass over each whole utterance gets every one right. The pass runs as the pause
  // begins, and its words are the last partial: the final does not rewrite what was shown.
  const std::string cards = "/usr/share/pocketsphinx/test/data/cards/";
  struct Clip {
    std::string file;
    std::string text;
    double start = 0;
    double end = 0;
  };
  std::vector<Clip> clips = {{"001.wav", "ten of clubs"},
                             {"003.wav", "seven of clubs"},
                             {"005.wav", "eight of spades four of clubs seven of hearts"}};
  std::string pcm(32000, '\0');
  for (Clip& clip : clips) {
    const std::string recording = ffmpegPcm({"-i", cards + clip.file}, "[0:a]anull");
    ASSERT_FALSE(recording.empty()) << clip.file;
    clip.start = pcm.size() / 32000.0;
    pcm += recording;
    clip.end = pcm.size() / 32000.0;
    pcm += std::string(64000, '\0');
  }
  Transcript t = checkSession(runBinary(
      QUILLMOR_BINARY, {"serve"}, startFrame({{"locale", "en-US"}}) + audioFrames(pcm, 16000)));
  std::vector<std::string> finals;
  std::vector<std::string> lastPartials;
  std::string lastPartial;
  std::size_t clip = 0;
  for (const json& event : t.events) {
    if (event["type"] == "done") continue;
    ASSERT_LT(clip, clips.size()) << event;
    // Partials and the final of an utterance lie within its recording.
    EXPECT_GE(event["start"].get<double>(), clips[clip].start - 0.05) << event;
    EXPECT_LE(event["end"].get<double>(), clips[clip].end + 0.05) << event;
    if (event["type"] == "partial") lastPartial = event["text"].get<std::string>();
    if (event["type"] == "final") {
      finals.push_back(event["text"].get<std::string>());
      lastPartials.push_back(std::exchange(lastPartial, ""));
      ++clip;
    }
  }
  EXPECT_EQ(finals, (std::vector<std::string>{clips[0].text, clips[1].text, clips[2].text}));
  EXPECT_EQ(lastPartials, finals);
}

TEST(ServeEndToEnd, SpeechAfterAShortPauseContinuesTheUtterance) {
  // Two recordings cut at their words and joined by 0.25 s of silence (long enough for the
  // second pass to run early, shorter than the end of speech): one utterance, whose final is
  // the second pass over both, and whose partials after the pause keep the words shown before
  // it.
  const std::string first = ffmpegPcm(
      {"-i", kLibriVox + "sense_and_sensibility_01_austen_64kb-0880.wav"}, "[0:a]atrim=0:2.8");
  const std::string second = ffmpegPcm(
      {"-i", kLibriVox + "sense_and_sensibility_01_austen_64kb-0930.wav"}, "[0:a]atrim=start=0.2");
  ASSERT_FALSE(first.empty() || second.empty());
  const std::string pcm = first + std::string(8000, '\0') + second;
  const double resumed = (first.size() + 8000) / 32000.0;
  Transcript t = checkSession(runBinary(
      QUILLMOR_BINARY, {"serve"}, startFrame({{"locale", "en-US"}}) + audioFrames(pcm, 16000)));
  EXPECT_EQ(countType(t, "final"), 1);
  EXPECT_EQ(t.finals,
            "he was not until exposed young man he might even have been made amiable himself");
  std::string beforePause;
  int after = 0;
  for (const json& event : t.events) {
    if (event["type"] != "partial") continue;
    const std::string text = event["text"].get<std::string>();
    if (event["end"].get<double>() <= resumed) {
      beforePause = text;
    } else {
      ++after;
      EXPECT_EQ(text.rfind(beforePause + " ", 0), 0u) << text << " | " << beforePause;
    }
  }
  EXPECT_FALSE(beforePause.empty());
  EXPECT_GT(after, 0);
}

TEST(ServeEndToEnd, MusicAndNoiseGiveNoFinalAndSpeechAfterThemStillDoes) {
  // A minute of four kinds of synthetic music, white noise and pink noise, then "ten of clubs".
  std::string pcm;
  for (const std::string& source : syntheticMusic(8)) {
    pcm += ffmpegPcm({"-f", "lavfi", "-i", source}, "[0:a]anull");
  }
  for (const char* noise :
       {"anoisesrc=c=white:a=0.3:d=15:seed=1", "anoisesrc=c=pink:a=0.3:d=15:seed=2"}) {
    pcm += ffmpegPcm({"-f", "lavfi", "-i", noise}, "[0:a]anull");
  }
  const double speechStart = pcm.size() / 32000.0 + 1;
  ASSERT_GT(speechStart, 62);
  pcm += std::string(32000, '\0') +
         ffmpegPcm({"-i", "/usr/share/pocketsphinx/test/data/cards/001.wav"}, "[0:a]anull") +
         std::string(32000, '\0');
  Transcript t = checkSession(runBinary(
      QUILLMOR_BINARY, {"serve"}, startFrame({{"locale", "en-US"}}) + audioFrames(pcm, 16000)));
  EXPECT_EQ(t.finals, "ten of clubs");
  for (const json& event : t.events) {
    if (event["type"] == "final") {
      EXPECT_GE(event["start"].get<double>(), speechStart - 0.1) << event;
    }
  }
}

TEST(ServeEndToEnd, QuietSpeechStillYieldsItsWords) {
  // The recordings at 34 and 46 dB below their level (a laptop microphone at low gain). The
  // final of "go forward ten meters" is exact: a pass over the audio as raised by the level
  // normalizer, whose gain climbs during the first words, added a word at -34 dB.
  struct Case {
    std::vector<std::string> input;  // ffmpeg's input arguments
    std::string volume;
    std::vector<std::string> words;
    std::string exactly;  // the whole text of the finals, when known
  };
  const std::vector<std::string> goForward = {"-f",  "s16le", "-ar", "16000",
                                              "-ac", "1",     "-i",  kGoForward};
  const std::vector<std::string> librivox = {
      "-i", kLibriVox + "sense_and_sensibility_01_austen_64kb-0870.wav"};
  const std::vector<Case> cases = {
      {goForward, "-34dB", {}, "go forward ten meters"},
      {goForward, "-46dB", {}, "go forward ten meters"},
      {librivox, "-34dB", {"consider", "power"}, ""},
      {librivox, "-46dB", {"consider", "power"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.back() + " " + c.volume);
    const std::string pcm = ffmpegPcm(c.input, "[0:a]volume=" + c.volume);
    ASSERT_FALSE(pcm.empty());
    Transcript t = checkSession(runBinary(
        QUILLMOR_BINARY, {"serve"}, startFrame({{"locale", "en-US"}}) + audioFrames(pcm, 16000)));
    if (!c.exactly.empty()) {
      EXPECT_EQ(t.finals, c.exactly);
    }
    for (const std::string& word : c.words) {
      EXPECT_NE(t.finals.find(word), std::string::npos) << t.finals;
    }
  }
}

// The dictionaries derived into the store under dataHome: path → bytes.
std::map<std::string, std::string> derivedDictionaries(const std::string& dataHome) {
  std::map<std::string, std::string> files;
  const std::string dir = dataHome + "/quillmor-speech/models/.dictionaries";
  if (!std::filesystem::is_directory(dir)) return files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    files[entry.path().string()] = readFileBytes(entry.path().string());
  }
  return files;
}

std::string goForwardSession() {
  return startFrame({{"locale", "en-US"}}) + audioFrames(readFileBytes(kGoForward), 16000) +
         frameBytes(3);
}

TEST(ServeEndToEnd, DerivedDictionaryIsBuiltOnceByTwoSessionsAndRebuiltWhenDamaged) {
  const TempDir dataHome;
  RunOptions options;
  options.env = {{"XDG_DATA_HOME", dataHome.path()}};
  // Two sessions starting together on a fresh model both succeed.
  RunResult runs[2];
  std::thread other(
      [&] { runs[1] = runBinary(QUILLMOR_BINARY, {"serve"}, goForwardSession(), options); });
  runs[0] = runBinary(QUILLMOR_BINARY, {"serve"}, goForwardSession(), options);
  other.join();
  for (const RunResult& run : runs) {
    Transcript t = checkSession(run);
    EXPECT_NE(t.finals.find("forward"), std::string::npos) << t.finals;
  }
  const std::map<std::string, std::string> built = derivedDictionaries(dataHome.path());
  ASSERT_EQ(built.size(), 1u);  // no temporary file left behind
  const auto& [path, bytes] = *built.begin();
  EXPECT_EQ(bytes.rfind(";; quillmor-dictionary ", 0), 0u);
  EXPECT_NE(bytes.find("\nforward F AO R W ER D\n"), std::string::npos);
  const std::size_t entries = std::count(bytes.begin(), bytes.end(), '\n') - 1;
  EXPECT_GT(entries, 70000u);
  EXPECT_LT(entries, 100000u);  // the full dictionary has 134,723
  std::string changed = bytes;
  changed[changed.size() - 3] = 'Q';
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"cut short", bytes.substr(0, bytes.size() / 2)},
      {"garbage appended", bytes + "zzzz Z Z Z\n"},
      {"an entry changed", changed},
      {"empty", ""},
      {"a folder", "(folder)"},
      {"larger than any dictionary written", "(huge)"},
  };
  for (const auto& [damage, replaced] : damages) {
    std::filesystem::remove_all(path);
    if (replaced == "(folder)") {
      std::filesystem::create_directory(path);
    } else if (replaced == "(huge)") {
      writeFileBytes(path, bytes);
      std::filesystem::resize_file(path, std::uintmax_t{65} << 20);  // sparse: costs no disk
    } else {
      writeFileBytes(path, replaced);
    }
    Transcript t = checkSession(runBinary(QUILLMOR_BINARY, {"serve"}, goForwardSession(), options));
    EXPECT_NE(t.finals.find("forward"), std::string::npos) << damage << ": " << t.finals;
    if (replaced != "(folder)") {
      EXPECT_EQ(derivedDictionaries(dataHome.path()), built) << damage;
    }
  }
}

TEST(ServeEndToEnd, MissingModelIsInstalledFromTheCatalogueThenUsed) {
  EnGbModelSite site;
  const std::string& store = site.store;
  ModelServer server(site.served);
  RunOptions options;
  options.env = {{"XDG_DATA_HOME", site.dataHome}};
  const std::string downloading = "{\"message\":\"正在下载 en-GB 语音模型…\",\"type\":\"status\"}";

  // An installation killed half-way (headers, then nothing) leaves nothing installed.
  writeEnGbCatalogue(store, server.url("stall", "en-gb.tar.gz"), site.served + "/en-gb.tar.gz");
  RunOptions killedAfter = options;
  killedAfter.timeoutSeconds = 1.5;
  RunResult killed =
      runBinary(QUILLMOR_BINARY, {"serve"}, startFrame({{"locale", "en-GB"}}), killedAfter);
  EXPECT_TRUE(killed.timedOut);
  EXPECT_EQ(killed.out, downloading + "\n");
  {
    ScopedEnvironment env("XDG_DATA_HOME", site.dataHome);
    EXPECT_EQ(findInstalledModel("en-GB"), std::nullopt);
    EXPECT_EQ(modelStatus("en-GB"), AssetInventoryStatus::supported);
  }

  // The next session installs it and recognises with it.
  writeEnGbCatalogue(store, server.url("files", "en-gb.tar.gz"), site.served + "/en-gb.tar.gz");
  RunResult run = runBinary(QUILLMOR_BINARY, {"serve"},
                            startFrame({{"locale", "en-GB"}}) +
                                audioFrames(readFileBytes(kGoForward), 16000) + frameBytes(3),
                            options);
  Transcript t = checkSession(run);
  ASSERT_FALSE(t.events.empty());
  EXPECT_EQ(outputLines(run.out).front(), downloading);
  EXPECT_EQ(countType(t, "status"), 1);
  EXPECT_NE(t.finals.find("forward"), std::string::npos) << t.finals;
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(store)) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, (std::set<std::string>{"catalogue.json", "en-GB", "en-GB.lock"}));
  // The derived dictionary of a store model is kept inside the model's own folder.
  int derived = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(store)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".derived-", 0) == 0) {
      ++derived;
      EXPECT_EQ(entry.path().string().rfind(store + "/en-GB/", 0), 0u) << entry.path();
    }
  }
  EXPECT_EQ(derived, 1);

  // The second session finds the model installed: no status line, no download.
  std::size_t requests = server.requests().size();
  RunResult again = runBinary(QUILLMOR_BINARY, {"serve"},
                              startFrame({{"locale", "en_GB"}, {"install", false}}) +
                                  audioFrames(readFileBytes(kGoForward), 16000),
                              options);
  Transcript second = checkSession(again);
  EXPECT_EQ(countType(second, "status"), 0);
  EXPECT_EQ(server.requests().size(), requests);
}

}  // namespace
}  // namespace quillmor_speech
