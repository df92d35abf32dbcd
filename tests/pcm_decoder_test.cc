// decodePcm in the process, with sinks that record or fail, and the file reader's decoding
// thread seen from its reader: the end of the stream, a failure part-way, an early stop.
#include "platform/audio_file/pcm_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string_view>

#include "platform/audio_file/audio_file.h"
#include "platform/audio_file/frame_reader.h"
#include "support/audio_fixtures.h"
#include "support/run_binary.h"

namespace quillmor_speech {
namespace {

class PcmDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeTempDir(); }
  void TearDown() override { removeTree(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

// Every call's samples, in order, as the bytes decode writes.
struct Recorder {
  std::string bytes;
  std::vector<std::size_t> calls;
  PcmSink sink() {
    return [this](std::span<const std::int16_t> samples) {
      calls.push_back(samples.size());
      bytes.append(reinterpret_cast<const char*>(samples.data()), samples.size_bytes());
      return Status::ok();
    };
  }
};

TEST_F(PcmDecoderTest, GivesTheCommandsBytesInCallsThatFitTheOutputBuffer) {
  struct Case {
    std::string name;
    int rate;
    int channels;
    std::vector<std::string> codec;
  };
  const std::vector<Case> cases = {
      {"s16_16k_mono.wav", 16000, 1, {"-c:a", "pcm_s16le"}},
      {"s16_44k_stereo.flac", 44100, 2, {"-c:a", "flac"}},
      {"s24_48k_stereo.flac", 48000, 2, {"-c:a", "flac", "-sample_fmt", "s32"}},
      {"48k_stereo.opus", 48000, 2, {"-c:a", "libopus"}},
      {"f32_22k_stereo.wav", 22050, 2, {"-c:a", "pcm_f32le"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(makeTone(path(c.name), c.rate, c.channels, 5, c.codec));
    Recorder recorder;
    Status result = decodePcm(path(c.name), recorder.sink());
    EXPECT_TRUE(result.isOk()) << result.description();
    EXPECT_EQ(recorder.bytes, runBinary(QUILLMOR_BINARY, {"decode", path(c.name)}, "").out);
    EXPECT_GT(recorder.calls.size(), 1u);
    for (std::size_t n : recorder.calls) {
      EXPECT_GT(n, 0u);
      EXPECT_LE(n, *decodeOutputCapacity(c.rate));
    }
  }
}

TEST_F(PcmDecoderTest, AFailingSinkEndsTheDecodeWithItsStatus) {
  ASSERT_TRUE(makeTone(path("long.flac"), 48000, 2, 60, {"-c:a", "flac"}));
  for (int failAt : {1, 3}) {
    SCOPED_TRACE(failAt);
    int calls = 0;
    const auto start = std::chrono::steady_clock::now();
    Status result = decodePcm(path("long.flac"), [&](std::span<const std::int16_t>) {
      return ++calls == failAt ? Status::error("the pipe is gone") : Status::ok();
    });
    EXPECT_EQ(result, Status::error("the pipe is gone"));
    EXPECT_EQ(calls, failAt);  // never called again after its failure
    // The decoding thread, far from the end of the file, is stopped and joined at once.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
}

TEST_F(PcmDecoderTest, DamagePartWayKeepsTheSamplesBeforeIt) {
  ASSERT_TRUE(makeTone(path("tone.flac"), 44100, 2, 4, {"-c:a", "flac"}));
  const std::string good = readFileBytes(path("tone.flac"));
  std::mt19937 random(5);
  std::string damaged = good.substr(0, good.size() / 2);
  while (damaged.size() < good.size()) damaged.push_back(static_cast<char>(random()));
  writeFileBytes(path("damaged.flac"), damaged);

  Recorder whole, front;
  ASSERT_TRUE(decodePcm(path("tone.flac"), whole.sink()).isOk());
  EXPECT_TRUE(decodePcm(path("damaged.flac"), front.sink()).isOk());
  // At least a second of the two intact ones, sample for sample as in the whole file.
  ASSERT_GT(front.bytes.size(), 2u * 16000);
  EXPECT_LT(front.bytes.size(), whole.bytes.size());
  const std::size_t compared = front.bytes.size() - 2 * 2000;  // the resampler's tail differs
  EXPECT_EQ(front.bytes.substr(0, compared), whole.bytes.substr(0, compared));
}

// What a frame reader hands out, one line per frame (its shape and a hash of its samples) or
// failure, ending with what ended it; a consumer's successes reset the failure count, as the
// file reader's do.
std::vector<std::string> readerOutcomes(const std::string& file, int workers, bool& parallel) {
  StatusOr<AudioInput> input = openAudioInput(file);
  if (!input) return {"open: " + input.status().description()};
  FrameReader reader(std::move(input).value(), workers);
  parallel = reader.decodesInParallel();
  std::vector<std::string> outcomes;
  while (true) {
    int rc = reader.next();
    if (rc < 0) {
      outcomes.push_back("end " + std::to_string(rc));
      return outcomes;
    }
    const AVFrame& frame = reader.frame();
    const int planes = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame.format))
                           ? frame.ch_layout.nb_channels
                           : 1;
    const int bytes =
        av_samples_get_buffer_size(nullptr, frame.ch_layout.nb_channels, frame.nb_samples,
                                   static_cast<AVSampleFormat>(frame.format), 1) /
        planes;
    std::size_t hash = 0;
    for (int p = 0; p < planes; ++p) {
      hash = hash * 31 + std::hash<std::string_view>()(
                             std::string_view(reinterpret_cast<const char*>(frame.extended_data[p]),
                                              static_cast<std::size_t>(bytes)));
    }
    outcomes.push_back(std::to_string(frame.nb_samples) + " " + std::to_string(frame.format) + " " +
                       std::to_string(hash));
    av_frame_unref(&reader.frame());
    reader.resetFailures();
  }
}

// `bytes` with noise over [from, to), in `runs` runs of 64 bytes spread evenly (0: all of it).
std::string withNoise(std::string bytes, std::size_t from, std::size_t to, std::size_t runs) {
  std::mt19937 random(11);
  const std::size_t step = runs == 0 ? 64 : std::max<std::size_t>(64, (to - from) / runs);
  for (std::size_t at = from; at + 64 <= to; at += step) {
    for (std::size_t i = 0; i < 64; ++i) bytes[at + i] = static_cast<char>(random());
  }
  return bytes;
}

TEST_F(PcmDecoderTest, FramesAndFailuresAreTheSameOnAnyNumberOfDecodingThreads) {
  const std::string signal =
      "aevalsrc=0.4*sin(2*PI*440*t)+0.1*random(0)|0.3*sin(2*PI*660*t):s=44100:d=30";
  ASSERT_TRUE(runFfmpeg({"-f", "lavfi", "-i", signal, "-c:a", "flac", path("good.flac")}));
  ASSERT_TRUE(runFfmpeg({"-f", "lavfi", "-i", signal, "-c:a", "alac", path("good.m4a")}));
  const std::string flac = readFileBytes(path("good.flac"));
  const std::string alac = readFileBytes(path("good.m4a"));
  // The ALAC packets, laid out by the index at the end of the file: damage there reaches the
  // decoder as packets that fail, where FLAC's parser would skip it.
  const std::size_t mdat = alac.find("mdat");
  const std::size_t moov = alac.rfind("moov");
  ASSERT_NE(mdat, std::string::npos);
  ASSERT_NE(moov, std::string::npos);
  ASSERT_LT(mdat, moov);
  const std::size_t payload = moov - mdat;

  struct Case {
    std::string name;
    std::string bytes;
    bool unreadable;  // ends in too many failures in a row
  };
  const std::vector<Case> cases = {
      {"good.flac", flac, false},
      // Hits inside frames all along the second half, a cut inside a frame.
      {"hit.flac", withNoise(flac, flac.size() / 2, flac.size(), 40), false},
      {"cut.flac", flac.substr(0, flac.size() / 2 + 777), false},
      // Packets that fail between intact ones; then nothing but failing packets after a third.
      {"hit.m4a", withNoise(alac, mdat + payload / 2, moov, 40), false},
      {"wrecked.m4a", withNoise(alac, mdat + payload / 3, moov - 8, 0), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFileBytes(path(c.name), c.bytes);
    bool parallel = true;
    const std::vector<std::string> alone = readerOutcomes(path(c.name), 1, parallel);
    EXPECT_FALSE(parallel);
    ASSERT_GT(alone.size(), 90u);
    EXPECT_EQ(alone.back() == "end " + std::to_string(AVERROR_EOF), !c.unreadable) << alone.back();
    for (int workers : {2, 4}) {
      SCOPED_TRACE(workers);
      EXPECT_EQ(readerOutcomes(path(c.name), workers, parallel), alone);
      EXPECT_TRUE(parallel);
    }
  }
}

TEST_F(PcmDecoderTest, NothingReachesTheSinkWhenTheFileDoesNotOpen) {
  writeFileBytes(path("notes.txt"), "hello\n");
  writeFileBytes(path("no-frames.wav"), wavFile(44100, 2, 16, ""));
  struct Case {
    std::string file;
    StatusCode code;
    std::string description;
  };
  const std::vector<Case> cases = {
      {path("missing.flac"), StatusCode::unreadable,
       "cannot open the file: No such file or directory"},
      {path("notes.txt"), StatusCode::unreadable,
       "unrecognised file format: Invalid data found when processing input"},
      {path("no-frames.wav"), StatusCode::ok, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Recorder recorder;
    Status result = decodePcm(c.file, recorder.sink());
    EXPECT_EQ(result.code(), c.code);
    EXPECT_EQ(result.description(), c.description);
    EXPECT_TRUE(recorder.calls.empty());
  }
}

TEST_F(PcmDecoderTest, TheFileReaderEndsOnceAndStaysEnded) {
  ASSERT_TRUE(makeTone(path("tone.flac"), 48000, 2, 3, {"-c:a", "flac"}));
  StatusOr<std::unique_ptr<AVAudioFile>> file = AVAudioFile::openForReading(path("tone.flac"));
  ASSERT_TRUE(file.isOk()) << file.status().description();
  const AVAudioFormat& format = (*file)->processingFormat();
  EXPECT_EQ(format.sampleRate(), 48000);
  EXPECT_EQ(format.channelCount(), 2u);
  auto buffer = AVAudioPCMBuffer::make(format, 10000);
  std::uint64_t total = 0;
  std::vector<std::uint32_t> lengths;
  while (true) {
    ASSERT_TRUE((*file)->read(*buffer, 10000).isOk());
    if (buffer->frameLength() == 0) break;
    lengths.push_back(buffer->frameLength());
    total += buffer->frameLength();
  }
  EXPECT_EQ(total, 3u * 48000);
  // Every read but the last is full: the decoding thread is waited for, not raced.
  for (std::size_t i = 0; i + 1 < lengths.size(); ++i) EXPECT_EQ(lengths[i], 10000u) << i;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE((*file)->read(*buffer, 10000).isOk());
    EXPECT_EQ(buffer->frameLength(), 0u);
  }
  auto wrong = AVAudioPCMBuffer::make(
      *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat64, 48000, 2, false), 100);
  EXPECT_EQ((*file)->read(*wrong, 100),
            Status::error("the buffer is not in the file's processing format"));
}

}  // namespace
}  // namespace quillmor_speech
