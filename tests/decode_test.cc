// The decode command through the real binary: generated tones in every container and codec of
// interest, bad and hostile files, and the broken pipe.
#include "decode/decode.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "platform/audio_file/pcm_decoder.h"
#include "support/audio_fixtures.h"
#include "support/run_binary.h"

namespace quillmor_speech {
namespace {

const std::string kPrefix = "这个音频格式系统解不开：";

std::string errorLine(const std::string& code, const std::string& message) {
  return "{\"code\":\"" + code + "\",\"message\":\"" + message + "\",\"type\":\"error\"}\n";
}

class DecodeTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeTempDir(); }
  void TearDown() override { removeTree(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static RunResult decodeFile(const std::string& file, const RunOptions& options = {}) {
    return runBinary(QUILLMOR_BINARY, {"decode", file}, "", options);
  }
  std::string dir_;
};

struct ToneCase {
  std::string name;
  int rate;
  int channels;
  std::vector<std::string> codec;
  // The codec's own padding (encoder delay and last-block fill), in frames at the source rate.
  int paddingFrames;
};

TEST_F(DecodeTest, TonesKeepLengthFrequencyAndLevel) {
  const std::vector<ToneCase> cases = {
      {"s16_8k_mono.wav", 8000, 1, {"-c:a", "pcm_s16le"}, 0},
      {"f32_22k_stereo.wav", 22050, 2, {"-c:a", "pcm_f32le"}, 0},
      {"f32_48k_mono.wav", 48000, 1, {"-c:a", "pcm_f32le"}, 0},
      {"s16_96k_stereo.wav", 96000, 2, {"-c:a", "pcm_s16le"}, 0},
      {"44k_stereo.flac", 44100, 2, {"-c:a", "flac"}, 0},
      {"96k_mono.flac", 96000, 1, {"-c:a", "flac"}, 0},
      {"s24_48k_stereo.flac", 48000, 2, {"-c:a", "flac", "-sample_fmt", "s32"}, 0},
      {"s24_96k_stereo.wav", 96000, 2, {"-c:a", "pcm_s24le"}, 0},
      {"44k_stereo.mp3", 44100, 2, {"-c:a", "libmp3lame"}, 2304},
      {"22k_mono.mp3", 22050, 1, {"-c:a", "libmp3lame"}, 2304},
      {"8k_mono.mp3", 8000, 1, {"-c:a", "libmp3lame"}, 2304},
      {"48k_stereo.ogg", 48000, 2, {"-c:a", "libvorbis"}, 2048},
      {"22k_mono.ogg", 22050, 1, {"-c:a", "libvorbis"}, 2048},
      {"48k_stereo.opus", 48000, 2, {"-c:a", "libopus"}, 960},
      {"8k_mono.opus", 8000, 1, {"-c:a", "libopus"}, 960},
      {"44k_stereo.m4a", 44100, 2, {"-c:a", "aac"}, 2048},
      {"22k_mono.m4a", 22050, 1, {"-c:a", "aac"}, 2048},
  };
  const double seconds = 2;
  for (const ToneCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(makeTone(path(c.name), c.rate, c.channels, seconds, c.codec));
    RunResult r = decodeFile(path(c.name));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.exitedNormally);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size() % 2, 0u);
    std::vector<std::int16_t> samples = pcmSamples(r.out);
    const double expected = seconds * 16000;
    const double slack = c.paddingFrames * 16000.0 / c.rate + 2;
    EXPECT_GE(static_cast<double>(samples.size()), expected - 2);
    EXPECT_LE(static_cast<double>(samples.size()), expected + slack);
    // Away from the edges (encoder delay, fades): the tone and its level. Stereo becomes the
    // mean of the channels: (0.5 + 0.25) / 2 = 0.375.
    const double amplitude = c.channels == 2 ? 0.375 : 0.5;
    const double expectedDb = 20 * std::log10(amplitude / std::sqrt(2.0));
    EXPECT_NEAR(toneFrequency(samples, 16000, 4000, 28000), 440.0, 1.0);
    EXPECT_NEAR(levelDb(samples, 4000, 28000), expectedDb, 1.0);
  }
}

TEST_F(DecodeTest, SixteenKilohertzMonoPcmComesOutUnchanged) {
  ASSERT_TRUE(
      runFfmpeg({"-f", "lavfi", "-i", "aevalsrc=0.3*sin(2*PI*523*t)+0.1*sin(2*PI*97*t):s=16000:d=3",
                 "-f", "s16le", path("tone.raw")}));
  ASSERT_TRUE(runFfmpeg({"-f", "s16le", "-ar", "16000", "-ac", "1", "-i", path("tone.raw"), "-c:a",
                         "pcm_s16le", path("tone.wav")}));
  RunResult r = decodeFile(path("tone.wav"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, readFileBytes(path("tone.raw")));
}

TEST_F(DecodeTest, RateChangeInMidStreamKeepsTimeAndTone) {
  // Two MP3 streams back to back, 44.1 kHz then 22.05 kHz: the decoder's frames change rate.
  ASSERT_TRUE(makeTone(path("a.mp3"), 44100, 1, 2, {"-c:a", "libmp3lame", "-write_xing", "0"}));
  ASSERT_TRUE(makeTone(path("b.mp3"), 22050, 1, 2, {"-c:a", "libmp3lame", "-write_xing", "0"}));
  writeFileBytes(path("ab.mp3"), readFileBytes(path("a.mp3")) + readFileBytes(path("b.mp3")));
  RunResult r = decodeFile(path("ab.mp3"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<std::int16_t> samples = pcmSamples(r.out);
  EXPECT_NEAR(static_cast<double>(samples.size()), 64000, 4 * 2304 * 16000.0 / 22050);
  EXPECT_NEAR(toneFrequency(samples, 16000, 4000, 28000), 440.0, 1.0);
  EXPECT_NEAR(toneFrequency(samples, 16000, 36000, 60000), 440.0, 1.0);
  EXPECT_NEAR(levelDb(samples, 36000, 60000), 20 * std::log10(0.5 / std::sqrt(2.0)), 1.0);
}

TEST_F(DecodeTest, UnreadableFilesGetTheirExactErrorLine) {
  ASSERT_TRUE(makeTone(path("tone.mp3"), 44100, 2, 2, {"-c:a", "libmp3lame"}));
  const std::string mp3 = readFileBytes(path("tone.mp3"));
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i) + " of a plain text file\n";
  writeFileBytes(path("notes.txt"), text);
  writeFileBytes(path("hello.txt"), "hello\n");
  writeFileBytes(path("empty.wav"), "");
  writeFileBytes(path("riff-garbage.wav"), "RIFF" + noiseBytes(200, 7));
  writeFileBytes(path("rate-1.wav"), wavFile(1, 1, 16, std::string(2000, '\0')));
  writeFileBytes(path("rate-0.wav"), wavFile(0, 1, 16, std::string(2000, '\0')));
  writeFileBytes(path("rate-negative.wav"), wavFile(0xFFFFFFFF, 1, 16, std::string(2000, '\0')));
  writeFileBytes(path("rate-10mhz.wav"), wavFile(10000000, 1, 16, std::string(2000, '\0')));
  writeFileBytes(path("header-only.mp3"), mp3.substr(0, 60));
  mkdir(path("folder.wav").c_str(), 0755);
  ASSERT_EQ(mkfifo(path("pipe.wav").c_str(), 0644), 0);

  const std::string unrecognised =
      "unrecognised file format: Invalid data found when processing input";
  const std::string missing = "cannot open the file: No such file or directory";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {path("notes.txt"), "not an audio file format: tty"},
      {path("hello.txt"), unrecognised},
      {path("empty.wav"), unrecognised},
      {path("riff-garbage.wav"), unrecognised},
      {path("rate-1.wav"), "unsupported sample rate: 1 Hz"},
      {path("rate-0.wav"), "cannot read the file header: Invalid data found when processing input"},
      {path("rate-negative.wav"),
       "cannot read the file header: Invalid data found when processing input"},
      {path("rate-10mhz.wav"), "unsupported sample rate: 10000000 Hz"},
      {path("header-only.mp3"), "cannot read the file header: Invalid argument"},
      {path("folder.wav"), "cannot open the file: Is a directory"},
      {path("pipe.wav"), "cannot open the file: not a regular file"},
      {path("missing.mp3"), missing},
      {path("no such 文件 é.mp3"), missing},
      {"", missing},
      {"http://127.0.0.1:9/tone.mp3", missing},
  };
  for (const auto& [file, description] : cases) {
    SCOPED_TRACE(file);
    RunOptions options;
    options.timeoutSeconds = 30;
    RunResult r = decodeFile(file, options);
    EXPECT_EQ(r.out, errorLine("decode_unsupported", kPrefix + description));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.exitedNormally);
    EXPECT_EQ(r.status, 1);
  }
}

TEST_F(DecodeTest, DamagedOrEmptyAudioEndsNormally) {
  ASSERT_TRUE(makeTone(path("tone.mp3"), 44100, 2, 4, {"-c:a", "libmp3lame"}));
  const std::string mp3 = readFileBytes(path("tone.mp3"));
  writeFileBytes(path("no-frames.wav"), wavFile(44100, 2, 16, ""));
  writeFileBytes(path("half.mp3"), mp3.substr(0, mp3.size() / 2));
  // 1 s of 16-bit stereo noise at 22.05 kHz: decodes as the noise it is.
  writeFileBytes(path("noise.wav"), wavFile(22050, 2, 16, noiseBytes(22050 * 4, 3)));
  const std::vector<std::pair<std::string, double>> cases = {
      {"no-frames.wav", 0}, {"half.mp3", 2 * 16000}, {"noise.wav", 16000}};
  for (const auto& [name, samples] : cases) {
    SCOPED_TRACE(name);
    RunResult r = decodeFile(path(name));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size() % 2, 0u);
    EXPECT_NEAR(static_cast<double>(r.out.size() / 2), samples, samples == 0 ? 0 : 1200);
  }
}

TEST_F(DecodeTest, LosslessFilesGiveTheBytesOfTheWavOfTheirSamples) {
  // Noise in the first channel, so that frames handed out of order or mixed wrong cannot match.
  // 20 s: the packets of these formats are decoded in many batches on several threads, while a
  // WAV file is decoded on one; the samples, and so the output, must be the same.
  struct Case {
    std::string name;
    int rate;
    int channels;
    std::vector<std::string> codec;
    std::string wavCodec;
  };
  const std::vector<Case> cases = {
      {"s16_44k_stereo.flac", 44100, 2, {"-c:a", "flac", "-sample_fmt", "s16"}, "pcm_s16le"},
      {"s24_48k_stereo.flac", 48000, 2, {"-c:a", "flac", "-sample_fmt", "s32"}, "pcm_s24le"},
      {"s16_48k_6ch.flac", 48000, 6, {"-c:a", "flac", "-sample_fmt", "s16"}, "pcm_s16le"},
      {"s16_16k_mono.flac", 16000, 1, {"-c:a", "flac", "-sample_fmt", "s16"}, "pcm_s16le"},
      {"s16_44k_stereo.m4a", 44100, 2, {"-c:a", "alac", "-sample_fmt", "s16p"}, "pcm_s16le"},
      {"s16_44k_stereo.tta", 44100, 2, {"-c:a", "tta", "-sample_fmt", "s16"}, "pcm_s16le"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string expression = "0.4*sin(2*PI*440*t)+0.1*random(0)";
    for (int i = 1; i < c.channels; ++i)
      expression += "|0.3*sin(2*PI*" + std::to_string(220 * (i + 2)) + "*t)";
    std::vector<std::string> arguments = {
        "-f", "lavfi", "-i", "aevalsrc=" + expression + ":s=" + std::to_string(c.rate) + ":d=20"};
    arguments.insert(arguments.end(), c.codec.begin(), c.codec.end());
    arguments.push_back(path(c.name));
    ASSERT_TRUE(runFfmpeg(arguments));
    ASSERT_TRUE(runFfmpeg({"-i", path(c.name), "-c:a", c.wavCodec, path(c.name + ".wav")}));
    RunResult lossless = decodeFile(path(c.name));
    RunResult wav = decodeFile(path(c.name + ".wav"));
    EXPECT_EQ(lossless.status, 0);
    EXPECT_EQ(lossless.err, "");
    EXPECT_EQ(wav.status, 0);
    EXPECT_EQ(lossless.out.size(), 20u * 16000 * 2);
    EXPECT_TRUE(lossless.out == wav.out);  // not printed: 640 kB each
  }
}

TEST_F(DecodeTest, PathsAreTakenLiterally) {
  ASSERT_TRUE(makeTone(path("tone.flac"), 44100, 2, 1, {"-c:a", "flac"}));
  const std::string reference = decodeFile(path("tone.flac")).out;
  ASSERT_EQ(reference.size(), 32000u);
  for (const std::string name : {"with space é 音频.flac", "file:colon.flac", "a?b#c.flac"}) {
    SCOPED_TRACE(name);
    writeFileBytes(path(name), readFileBytes(path("tone.flac")));
    RunResult r = decodeFile(path(name));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, reference);
  }
}

TEST_F(DecodeTest, ClosedStdoutEndsPromptlyWithStatusOne) {
  ASSERT_TRUE(makeTone(path("long.mp3"), 44100, 2, 60, {"-c:a", "libmp3lame"}));
  RunOptions options;
  options.closeStdoutAfter = 1000;
  options.timeoutSeconds = 30;
  RunResult r = decodeFile(path("long.mp3"), options);
  EXPECT_TRUE(r.exitedNormally);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(r.timedOut);
  EXPECT_LT(r.out.size(), 60u * 32000);
}

TEST(DecodeOutputCapacity, FollowsTheScaledChunkRule) {
  const std::vector<std::pair<double, std::optional<std::uint32_t>>> cases = {
      {8000, 2 * 16384 + 4096},     {16000, 16384 + 4096},
      {48000, 16384 / 3 + 4096},  // 5461.33 truncated
      {44100, 5944 + 4096},       // 5944.67 truncated
      {96000, 2730 + 4096},         {0, std::nullopt},
      {-16000, std::nullopt},       {std::nan(""), std::nullopt},
      {0.05, std::nullopt},          // 5.2e9 frames
      {0.0625, 4194304000u + 4096},  // the largest power-of-two rate that still fits
  };
  for (const auto& [rate, capacity] : cases) {
    EXPECT_EQ(decodeOutputCapacity(rate), capacity) << rate;
  }
}

}  // namespace
}  // namespace quillmor_speech
