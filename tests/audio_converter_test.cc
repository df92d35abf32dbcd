// The converter on its own: which conversions exist, state kept across calls, the flush at the
// end of the stream, the downmix rule and its error reports.
#include "platform/audio_convert/audio_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace quillmor_speech {
namespace {

using Common = AVAudioCommonFormat;
using InStatus = AVAudioConverterInputStatus;
using OutStatus = AVAudioConverterOutputStatus;

AVAudioFormat format(Common common, double rate, std::uint32_t channels, bool interleaved) {
  return *AVAudioFormat::make(common, rate, channels, interleaved);
}

TEST(AudioConverter, MakesOnlySupportedConversions) {
  const AVAudioFormat target = format(Common::pcmFormatInt16, 16000, 1, true);
  struct Case {
    AVAudioFormat from;
    AVAudioFormat to;
    bool made;
  };
  const std::vector<Case> cases = {
      {format(Common::pcmFormatInt16, 8000, 1, true), target, true},
      {format(Common::pcmFormatFloat32, 44100, 2, false), target, true},
      {format(Common::pcmFormatFloat32, 16000, 1, false), target, true},
      {format(Common::pcmFormatInt32, 96000, 6, true), target, true},
      {format(Common::pcmFormatFloat64, 48000, 2, false),
       format(Common::pcmFormatFloat32, 16000, 2, true), true},
      {target, format(Common::pcmFormatFloat32, 16000, 2, false), true},
      {format(Common::pcmFormatInt16, 16000, 3, true),
       format(Common::pcmFormatInt16, 16000, 2, true), false},
      {format(Common::pcmFormatInt16, 44100.5, 1, true), target, false},
      {format(Common::pcmFormatInt16, 999, 1, true), target, false},
      {format(Common::pcmFormatInt16, 1, 1, true), target, false},
      {format(Common::pcmFormatInt16, 768001, 1, true), target, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(AVAudioConverter::make(cases[i].from, cases[i].to) != nullptr, cases[i].made) << i;
  }
}

// 1 s of a 44.1 kHz stereo float source: a 440 Hz tone on the left, 1 kHz on the right.
std::unique_ptr<AVAudioPCMBuffer> stereoSource() {
  auto buffer = AVAudioPCMBuffer::make(format(Common::pcmFormatFloat32, 44100, 2, false), 44100);
  for (std::uint32_t i = 0; i < 44100; ++i) {
    buffer->floatChannelData()[0][i] =
        0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * i / 44100));
    buffer->floatChannelData()[1][i] =
        0.3f * static_cast<float>(std::sin(2 * M_PI * 1000 * i / 44100));
  }
  buffer->setFrameLength(44100);
  return buffer;
}

std::unique_ptr<AVAudioPCMBuffer> slice(const AVAudioPCMBuffer& source, std::uint32_t from,
                                        std::uint32_t frames) {
  auto part = AVAudioPCMBuffer::make(source.format(), frames);
  for (std::uint32_t c = 0; c < source.planeCount(); ++c) {
    std::memcpy(part->floatChannelData()[c], source.floatChannelData()[c] + from,
                frames * sizeof(float));
  }
  part->setFrameLength(frames);
  return part;
}

struct Conversion {
  std::vector<std::int16_t> samples;
  std::vector<OutStatus> statuses;
  std::size_t samplesBeforeEnd = 0;
};

// Feeds the source in chunks of the given sizes (cycled), each chunk in its own convert call
// followed by noDataNow, with an output capacity of chunk × ratio + slack; then reports the end
// of the stream and drains until endOfStream.
Conversion convertInChunks(const AVAudioPCMBuffer& source, const std::vector<std::uint32_t>& chunks,
                           std::uint32_t slack) {
  const AVAudioFormat target = format(Common::pcmFormatInt16, 16000, 1, true);
  auto converter = AVAudioConverter::make(source.format(), target);
  Conversion run;
  auto collect = [&](AVAudioPCMBuffer& out) {
    run.samples.insert(run.samples.end(), out.int16ChannelData()[0],
                       out.int16ChannelData()[0] + out.frameLength());
  };
  std::uint32_t at = 0;
  for (std::size_t k = 0; at < source.frameLength(); ++k) {
    std::uint32_t frames = std::min(chunks[k % chunks.size()], source.frameLength() - at);
    auto chunk = slice(source, at, frames);
    at += frames;
    bool supplied = false;
    auto out = AVAudioPCMBuffer::make(target, frames * 16000 / 44100 + slack);
    StatusOr<OutStatus> status = converter->convert(*out, [&](std::uint32_t, InStatus& s) {
      if (supplied) {
        s = InStatus::noDataNow;
        return static_cast<AVAudioPCMBuffer*>(nullptr);
      }
      supplied = true;
      s = InStatus::haveData;
      return chunk.get();
    });
    if (!status.isOk()) {
      ADD_FAILURE() << status.status().description();
      return run;
    }
    run.statuses.push_back(*status);
    collect(*out);
  }
  run.samplesBeforeEnd = run.samples.size();
  auto out = AVAudioPCMBuffer::make(target, 64 + slack);
  int blockCalls = 0;
  for (int pass = 0; pass < 1000; ++pass) {
    StatusOr<OutStatus> status = converter->convert(*out, [&](std::uint32_t, InStatus& s) {
      ++blockCalls;
      s = InStatus::endOfStream;
      return static_cast<AVAudioPCMBuffer*>(nullptr);
    });
    if (!status.isOk()) {
      ADD_FAILURE() << status.status().description();
      return run;
    }
    run.statuses.push_back(*status);
    collect(*out);
    if (*status == OutStatus::endOfStream) {
      EXPECT_EQ(out->frameLength(), 0u);
      break;
    }
  }
  EXPECT_EQ(blockCalls, 1);  // once the end is known the block is never asked again
  return run;
}

TEST(AudioConverter, SmallCallsGiveTheSamplesOfOneLargeCall) {
  auto source = stereoSource();
  Conversion whole = convertInChunks(*source, {44100}, 1024);
  ASSERT_EQ(whole.statuses.back(), OutStatus::endOfStream);
  // One second in, one second out, give or take the resampler's rounding.
  EXPECT_NEAR(static_cast<double>(whole.samples.size()), 16000, 2);
  // The flush at the end of the stream hands out the tail the resampler held back.
  EXPECT_LT(whole.samplesBeforeEnd, whole.samples.size());

  struct Case {
    std::string name;
    std::vector<std::uint32_t> chunks;
    std::uint32_t slack;
  };
  const std::vector<Case> cases = {
      {"serve-like frames", {441, 882, 1323}, 1024},
      {"odd sizes", {1, 7, 100, 997, 3}, 1024},
      {"output smaller than the input", {4410}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Conversion run = convertInChunks(*source, c.chunks, c.slack);
    EXPECT_EQ(run.samples, whole.samples);
    for (std::size_t i = 0; i + 1 < run.statuses.size(); ++i) {
      EXPECT_NE(run.statuses[i], OutStatus::endOfStream) << i;
    }
    EXPECT_EQ(run.statuses.back(), OutStatus::endOfStream);
  }
}

TEST(AudioConverter, FullOutputBufferReportsHaveDataAndKeepsTheRest) {
  const AVAudioFormat from = format(Common::pcmFormatInt16, 8000, 1, true);
  const AVAudioFormat to = format(Common::pcmFormatInt16, 16000, 1, true);
  auto converter = AVAudioConverter::make(from, to);
  auto input = AVAudioPCMBuffer::make(from, 800);
  for (std::uint32_t i = 0; i < 800; ++i) input->int16ChannelData()[0][i] = 1000;
  input->setFrameLength(800);
  auto out = AVAudioPCMBuffer::make(to, 100);
  int supplied = 0;
  auto once = [&](std::uint32_t, InStatus& s) -> AVAudioPCMBuffer* {
    if (supplied++ > 0) {
      s = InStatus::noDataNow;
      return nullptr;
    }
    s = InStatus::haveData;
    return input.get();
  };
  std::size_t total = 0;
  StatusOr<OutStatus> status = converter->convert(*out, once);
  ASSERT_TRUE(status.isOk());
  EXPECT_EQ(*status, OutStatus::haveData);
  EXPECT_EQ(out->frameLength(), 100u);
  total += out->frameLength();
  while ((status = converter->convert(*out, once)).isOk() && *status == OutStatus::haveData) {
    total += out->frameLength();
  }
  ASSERT_TRUE(status.isOk()) << status.status().description();
  EXPECT_EQ(*status, OutStatus::inputRanDry);
  total += out->frameLength();
  // 800 frames at 8 kHz are 1600 at 16 kHz, less what the filter still holds.
  EXPECT_GT(total, 1500u);
  EXPECT_LE(total, 1600u);
}

TEST(AudioConverter, DownmixIsTheMeanOfTheChannels) {
  struct Case {
    AVAudioFormat from;
    std::vector<double> channelValues;
    AVAudioFormat to;
    std::vector<std::int16_t> expected;  // per output channel
  };
  const std::vector<Case> cases = {
      {format(Common::pcmFormatFloat32, 16000, 2, false),
       {0.5, -0.1},
       format(Common::pcmFormatInt16, 16000, 1, true),
       {6554}},
      {format(Common::pcmFormatInt16, 16000, 2, true),
       {10000 / 32768.0, -2000 / 32768.0},
       format(Common::pcmFormatInt16, 16000, 1, true),
       {4000}},
      {format(Common::pcmFormatFloat32, 16000, 4, false),
       {0.4, 0.2, 0.0, -0.2},
       format(Common::pcmFormatInt16, 16000, 1, true),
       {3277}},
      {format(Common::pcmFormatInt16, 16000, 1, true),
       {0.25},
       format(Common::pcmFormatInt16, 16000, 2, true),
       {8192, 8192}},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    auto converter = AVAudioConverter::make(c.from, c.to);
    ASSERT_TRUE(converter) << k;
    const std::uint32_t frames = 200;
    auto input = AVAudioPCMBuffer::make(c.from, frames);
    const std::uint32_t channels = c.from.channelCount();
    for (std::uint32_t i = 0; i < frames; ++i) {
      for (std::uint32_t ch = 0; ch < channels; ++ch) {
        if (c.from.commonFormat() == Common::pcmFormatFloat32) {
          input->floatChannelData()[ch][i] = static_cast<float>(c.channelValues[ch]);
        } else {
          input->int16ChannelData()[0][i * channels + ch] =
              static_cast<std::int16_t>(std::lround(c.channelValues[ch] * 32768));
        }
      }
    }
    input->setFrameLength(frames);
    auto out = AVAudioPCMBuffer::make(c.to, frames);
    bool supplied = false;
    StatusOr<OutStatus> status =
        converter->convert(*out, [&](std::uint32_t, InStatus& s) -> AVAudioPCMBuffer* {
          s = supplied ? InStatus::endOfStream : InStatus::haveData;
          supplied = true;
          return s == InStatus::haveData ? input.get() : nullptr;
        });
    ASSERT_TRUE(status.isOk()) << k;
    ASSERT_EQ(out->frameLength(), frames) << k;
    const std::uint32_t outChannels = c.to.channelCount();
    for (std::uint32_t ch = 0; ch < outChannels; ++ch) {
      EXPECT_NEAR(out->int16ChannelData()[0][100 * outChannels + ch], c.expected[ch], 1) << k;
    }
  }
}

TEST(AudioConverter, BuffersOfTheWrongFormatAreErrors) {
  const AVAudioFormat from = format(Common::pcmFormatInt16, 8000, 1, true);
  const AVAudioFormat to = format(Common::pcmFormatInt16, 16000, 1, true);
  auto converter = AVAudioConverter::make(from, to);
  auto wrongInput = AVAudioPCMBuffer::make(format(Common::pcmFormatFloat32, 8000, 1, true), 10);
  wrongInput->setFrameLength(10);
  auto out = AVAudioPCMBuffer::make(to, 100);

  StatusOr<OutStatus> status = converter->convert(*out, [&](std::uint32_t, InStatus& s) {
    s = InStatus::haveData;
    return wrongInput.get();
  });
  ASSERT_FALSE(status.isOk());
  EXPECT_EQ(status.status().description(),
            "the input buffer is not in the converter's input format");
  EXPECT_EQ(out->frameLength(), 0u);

  auto wrongOutput = AVAudioPCMBuffer::make(from, 100);
  bool called = false;
  status = converter->convert(*wrongOutput, [&](std::uint32_t, InStatus& s) {
    called = true;
    s = InStatus::endOfStream;
    return static_cast<AVAudioPCMBuffer*>(nullptr);
  });
  ASSERT_FALSE(status.isOk());
  EXPECT_EQ(status.status().description(),
            "the output buffer is not in the converter's output format");
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace quillmor_speech
