// The decode command through the real binary: generated tones in every container and codec of
// interest, and bad, hostile and lying files. Every run ends by itself and writes nothing to
// stderr.
#include "decode/decode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "platform/audio_file/pcm_decoder.h"
#include "support/audio_fixtures.h"
#include "support/run_binary.h"
#include "support/temp_dir.h"

namespace quillmor_speech {
namespace {

const std::string kPrefix = "这个音频格式系统解不开：";

std::string decodeError(const std::string& description) {
  return "{\"code\":\"decode_unsupported\",\"message\":\"" + kPrefix + description +
         "\",\"type\":\"error\"}\n";
}

void putLe32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A WAV file whose RIFF and data chunk sizes promise ~74 hours at 8 kHz mono.
std::string wavPromisingHours(std::uint32_t rate, std::uint16_t channels, const std::string& data) {
  std::string bytes = wavFile(rate, channels, 16, data);
  putLe32(bytes, 4, 0xFFFFFFFF);
  putLe32(bytes, 40, 0xFFFFFFF0);
  return bytes;
}

class DecodeTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_ / name; }
  static RunResult decodeFile(const std::string& file) {
    RunOptions options;
    options.timeoutSeconds = 30;
    return runBinary(QUILLMOR_BINARY, {"decode", file}, "", options);
  }
  TempDir dir_;
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
    expectEndedByItself(r, 0);
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
  expectEndedByItself(r, 0);
  EXPECT_EQ(r.out, readFileBytes(path("tone.raw")));
}

TEST_F(DecodeTest, RateChangeInMidStreamKeepsTimeAndTone) {
  // Two MP3 streams back to back, 44.1 kHz then 22.05 kHz: the decoder's frames change rate.
  ASSERT_TRUE(makeTone(path("a.mp3"), 44100, 1, 2, {"-c:a", "libmp3lame", "-write_xing", "0"}));
  ASSERT_TRUE(makeTone(path("b.mp3"), 22050, 1, 2, {"-c:a", "libmp3lame", "-write_xing", "0"}));
  writeFileBytes(path("ab.mp3"), readFileBytes(path("a.mp3")) + readFileBytes(path("b.mp3")));
  RunResult r = decodeFile(path("ab.mp3"));
  expectEndedByItself(r, 0);
  std::vector<std::int16_t> samples = pcmSamples(r.out);
  EXPECT_NEAR(static_cast<double>(samples.size()), 64000, 4 * 2304 * 16000.0 / 22050);
  EXPECT_NEAR(toneFrequency(samples, 16000, 4000, 28000), 440.0, 1.0);
  EXPECT_NEAR(toneFrequency(samples, 16000, 36000, 60000), 440.0, 1.0);
  EXPECT_NEAR(levelDb(samples, 36000, 60000), 20 * std::log10(0.5 / std::sqrt(2.0)), 1.0);
}

TEST_F(DecodeTest, UnreadableAndHostileFilesGetTheirExactErrorLine) {
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
  ASSERT_EQ(mkdir(path("folder.wav").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(path("pipe.wav").c_str(), 0644), 0);
  // Special files: a FIFO with a live writer that has already sent a WAV header (opening it for
  // reading would not block, and reading it would stream; it must be neither opened nor read),
  // a link to a device and a link to a folder.
  ASSERT_EQ(mkfifo(path("live.wav").c_str(), 0644), 0);
  int writer = open(path("live.wav").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  const std::string header = wavFile(8000, 1, 16, std::string(1000, '\1'));
  ASSERT_EQ(write(writer, header.data(), header.size()), static_cast<ssize_t>(header.size()));
  ASSERT_EQ(symlink("/dev/zero", path("zero.wav").c_str()), 0);
  ASSERT_EQ(symlink(path("folder.wav").c_str(), path("dir.flac").c_str()), 0);
  // Playlists, lists of other files and stream descriptions, under their own names and others.
  const std::string target = path("tone.mp3");
  const std::string hls =
      "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n"
      "#EXTINF:1.0,\n" +
      target + "\n#EXT-X-ENDLIST\n";
  const std::string concat = "ffconcat version 1.0\nfile '" + target + "'\n";
  writeFileBytes(path("list.m3u8"), hls);
  writeFileBytes(path("list-named.wav"), hls);
  writeFileBytes(path("list.ffconcat"), concat);
  writeFileBytes(path("list-named.mp3"), concat);
  writeFileBytes(path("stream.sdp"),
                 "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=x\nc=IN IP4 127.0.0.1\nt=0 0\n"
                 "m=audio 5004 RTP/AVP 0\n");

  const std::string unrecognised =
      "unrecognised file format: Invalid data found when processing input";
  const std::string badHeader =
      "cannot read the file header: Invalid data found when processing input";
  const std::string missing = "cannot open the file: No such file or directory";
  const std::string notRegular = "cannot open the file: not a regular file";
  const std::string folder = "cannot open the file: Is a directory";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {path("notes.txt"), "not an audio file format: tty"},
      {path("hello.txt"), unrecognised},
      {path("empty.wav"), unrecognised},
      {path("riff-garbage.wav"), unrecognised},
      {path("rate-1.wav"), "unsupported sample rate: 1 Hz"},
      {path("rate-0.wav"), badHeader},
      {path("rate-negative.wav"), badHeader},
      {path("rate-10mhz.wav"), "unsupported sample rate: 10000000 Hz"},
      {path("header-only.mp3"), "cannot read the file header: Invalid argument"},
      {path("folder.wav"), folder},
      {path("dir.flac"), folder},
      {path("pipe.wav"), notRegular},
      {path("live.wav"), notRegular},
      {path("zero.wav"), notRegular},
      {"/dev/zero", notRegular},
      {"/dev/urandom", notRegular},
      {"/dev/null", notRegular},
      {"/dev/stdin", notRegular},  // the pipe runBinary gives the child
      {path("list.m3u8"), "not an audio file format: hls"},
      {path("list-named.wav"), "not an audio file format: hls"},
      {path("list.ffconcat"), "not an audio file format: concat"},
      {path("list-named.mp3"), "not an audio file format: concat"},
      {path("stream.sdp"), "not an audio file format: sdp"},
      {path("missing.mp3"), missing},
      {path("no such 文件 é.mp3"), missing},
      {"", missing},
      // Protocol syntax, even around a file that exists, is a path like any other: there is none.
      {"http://127.0.0.1:9/tone.mp3", missing},
      {"concat:" + target + "|" + target, missing},
      {"subfile,,start,0,end,100,,:" + target, missing},
      {"file://" + target, missing},
      {"pipe:0", missing},
  };
  for (const auto& [file, description] : cases) {
    SCOPED_TRACE(file);
    RunResult r = decodeFile(file);
    expectEndedByItself(r, 1);
    EXPECT_EQ(r.out, decodeError(description));
  }
  // Nothing was taken from the live FIFO.
  char left[2048];
  EXPECT_EQ(read(writer, left, sizeof left), static_cast<ssize_t>(header.size()));
  close(writer);
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
    expectEndedByItself(r, 0);
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
    expectEndedByItself(lossless, 0);
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
    expectEndedByItself(r, 0);
    EXPECT_EQ(r.out, reference);
  }
}

TEST_F(DecodeTest, AbsurdWavHeadersAreRefusedOrDecodedPlainly) {
  const std::string samples = noiseBytes(32000, 4);
  struct Case {
    std::string name;
    std::string bytes;
    int status;
    // Status 1: the start of the description (FFmpeg's own wording follows some of ours).
    std::string description;
    double outputFrames;  // status 0: output length, within a resampler's edge of 2 frames
  };
  std::string bits0 = wavFile(8000, 1, 0, samples);
  bits0[32] = 2;  // block align 2, so only the sample width is absurd
  const std::vector<Case> cases = {
      {"ch0.wav", wavFile(8000, 0, 16, samples), 1, "no audio stream in the file: ", 0},
      {"ch65.wav", wavFile(8000, 65, 16, samples.substr(0, 65 * 2 * 100)), 1,
       "unsupported channel count: 65", 0},
      {"ch255.wav", wavFile(8000, 255, 16, samples), 1, "unsupported channel count: 255", 0},
      {"ch65535.wav", wavFile(8000, 65535, 16, samples), 1, "cannot open the audio decoder: ", 0},
      {"bits0.wav", bits0, 1, "no decoder for the audio stream: ", 0},
      {"rate999.wav", wavFile(999, 1, 16, samples), 1, "unsupported sample rate: 999 Hz", 0},
      {"rate768001.wav", wavFile(768001, 1, 16, samples), 1, "unsupported sample rate: 768001 Hz",
       0},
      // The limits themselves decode: 16000 frames at 1000 Hz are 16 s at 16 kHz.
      {"ch64.wav", wavFile(8000, 64, 16, samples.substr(0, 64 * 2 * 200)), 0, "", 400},
      {"rate1000.wav", wavFile(1000, 1, 16, samples), 0, "", 256000},
      {"rate768000.wav", wavFile(768000, 1, 16, samples), 0, "", 16000.0 / 48},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFileBytes(path(c.name), c.bytes);
    RunResult r = decodeFile(path(c.name));
    expectEndedByItself(r, c.status);
    if (c.status == 1) {
      const std::string start = "{\"code\":\"decode_unsupported\",\"message\":\"" + kPrefix;
      EXPECT_EQ(r.out.rfind(start + c.description, 0), 0u) << r.out;
      if (c.description.back() != ' ') {
        EXPECT_EQ(r.out, decodeError(c.description));
      }
      EXPECT_EQ(r.out.back(), '\n');
      EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    } else {
      EXPECT_EQ(r.out.size() % 2, 0u);
      EXPECT_NEAR(static_cast<double>(r.out.size() / 2), c.outputFrames, 2.0);
    }
  }
}

TEST_F(DecodeTest, HeadersPromisingHoursEndWithTheAudioThatIsThere) {
  // One second of audio each; the headers claim ~74 hours (WAV) and ~298 hours (FLAC).
  const std::string second = noiseBytes(16000, 6);
  writeFileBytes(path("plain.wav"), wavFile(8000, 1, 16, second));
  writeFileBytes(path("hours.wav"), wavPromisingHours(8000, 1, second));
  writeFileBytes(path("hours-odd.wav"), wavPromisingHours(8000, 1, second + "x"));
  writeFileBytes(path("hours-64ch.wav"), wavPromisingHours(48000, 64, noiseBytes(48000 * 128, 8)));
  // After the audio, a LIST chunk and its title that claim 2 GiB.
  std::string tagged =
      wavFile(8000, 1, 16, second) + "LIST____INFOINAM____" + std::string(100, 'x');
  putLe32(tagged, 4, static_cast<std::uint32_t>(tagged.size() - 8));
  putLe32(tagged, tagged.size() - 116, 0x7FFFFFF0);
  putLe32(tagged, tagged.size() - 104, 0x7FFFFF00);
  writeFileBytes(path("list-2gib.wav"), tagged);
  ASSERT_TRUE(runFfmpeg({"-i", path("plain.wav"), "-c:a", "flac", path("plain.flac")}));
  std::string flac = readFileBytes(path("plain.flac"));
  ASSERT_EQ(flac.substr(0, 4), "fLaC");
  // STREAMINFO's 36-bit total sample count at its widest, and no MD5 to check against.
  flac[8 + 13] = static_cast<char>(flac[8 + 13] | 0x0F);
  std::memset(flac.data() + 8 + 14, 0xFF, 4);
  std::memset(flac.data() + 8 + 18, 0, 16);
  writeFileBytes(path("hours.flac"), flac);

  RunResult baseline = decodeFile(path("plain.wav"));
  expectEndedByItself(baseline, 0);
  ASSERT_EQ(baseline.out.size(), 32000u);
  const std::vector<std::pair<std::string, std::size_t>> cases = {{"hours.wav", 32000},
                                                                  {"hours-odd.wav", 32000},
                                                                  {"hours.flac", 32000},
                                                                  {"hours-64ch.wav", 32000},
                                                                  {"list-2gib.wav", 32000}};
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    RunResult r = decodeFile(path(name));
    expectEndedByItself(r, 0);
    EXPECT_NEAR(static_cast<double>(r.out.size()), static_cast<double>(bytes), 64.0);
    EXPECT_EQ(r.out.size() % 2, 0u);
    // Memory follows the audio that is there, not the length or size a header claims.
    EXPECT_LT(r.peakRssKb, baseline.peakRssKb + 64 * 1024);
  }
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
