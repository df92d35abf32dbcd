// The held-tone share of music, speech and noise made with ffmpeg: the line between music and
// speech that decides whether an utterance's words are delivered.
#include "platform/pocketsphinx/held_tones.h"

#include <gtest/gtest.h>

#include "support/audio_fixtures.h"

namespace quillmor_speech {
namespace {

constexpr double kMusic = 0.45;  // the recognizer's line

const std::string kData = "/usr/share/pocketsphinx/test/data/";

double shareOf(const std::string& pcm) {
  const std::vector<std::int16_t> samples = pcmSamples(pcm);
  return heldToneShare(samples);
}

TEST(HeldTones, MusicIsAboveTheLineSpeechAndNoiseFarBelowIt) {
  const std::vector<std::string> music = syntheticMusic(10);
  ASSERT_EQ(music.size(), 4u);  // the kinds in tests/data/synthetic_music.txt
  for (const std::string& source : music) {
    const std::string pcm = ffmpegPcm({"-f", "lavfi", "-i", source}, "[0:a]anull");
    ASSERT_FALSE(pcm.empty()) << source;
    EXPECT_GE(shareOf(pcm), kMusic + 0.05) << source;
  }
  struct Speech {
    std::string file;
    std::string filter;
    std::vector<std::string> under;  // ffmpeg's arguments of a second input mixed under it
  };
  const std::string mixed = "[0:a][1:a]amix=inputs=2:duration=first:normalize=0";
  for (const Speech& speech : std::vector<Speech>{
           {"librivox/sense_and_sensibility_01_austen_64kb-0870.wav", "[0:a]anull", {}},
           {"librivox/sense_and_sensibility_01_austen_64kb-0930.wav", "[0:a]anull", {}},
           {"cards/005.wav", "[0:a]anull", {}},
           {"cards/002.wav", "[0:a]volume=-34dB", {}},
           {"librivox/sense_and_sensibility_01_austen_64kb-0880.wav",
            mixed,
            {"-f", "lavfi", "-i", "anoisesrc=c=pink:a=0.08:d=40:seed=1"}},
           {"librivox/sense_and_sensibility_01_austen_64kb-0890.wav",
            "[1:a]volume=-12dB[b];[0:a][b]amix=inputs=2:duration=first:normalize=0",
            {"-i", kData + "cards/005.wav"}},
       }) {
    std::vector<std::string> inputs = {"-i", kData + speech.file};
    inputs.insert(inputs.end(), speech.under.begin(), speech.under.end());
    const std::string pcm = ffmpegPcm(inputs, speech.filter);
    ASSERT_FALSE(pcm.empty()) << speech.file;
    EXPECT_LT(shareOf(pcm), kMusic - 0.1) << speech.file << " " << speech.filter;
  }
  for (const char* source :
       {"anoisesrc=c=white:a=0.3:d=10:seed=1", "anoisesrc=c=pink:a=0.3:d=10:seed=1",
        "anoisesrc=c=brown:a=0.3:d=10:seed=1", "anullsrc=r=16000:d=10"}) {
    const std::string pcm = ffmpegPcm({"-f", "lavfi", "-i", source}, "[0:a]anull");
    ASSERT_FALSE(pcm.empty()) << source;
    // A chance run of alike frames now and then; nowhere near music.
    EXPECT_LT(shareOf(pcm), 0.05) << source;
  }
  // Too little to judge (0 by definition): a tone of 0.15 s, and nothing at all.
  EXPECT_EQ(shareOf(ffmpegPcm({"-f", "lavfi", "-i", "sine=f=440:d=0.15"}, "[0:a]anull")), 0);
  EXPECT_EQ(heldToneShare({}), 0);
}

}  // namespace
}  // namespace quillmor_speech
