#include "support/audio_fixtures.h"

#include <cmath>
#include <sstream>

#include "support/run_binary.h"
#include "support/temp_dir.h"

namespace quillmor_speech {

bool runFfmpeg(const std::vector<std::string>& arguments) {
  std::vector<std::string> all = {"-nostdin", "-v", "error", "-y"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  RunResult r = runBinary("/usr/bin/ffmpeg", all, "");
  return r.exitedNormally && r.status == 0;
}

std::string ffmpegPcm(std::vector<std::string> arguments, const std::string& filter, int rate) {
  const TempDir dir;
  for (const std::string& part : {std::string("-filter_complex"), filter, std::string("-f"),
                                  std::string("s16le"), std::string("-ar"), std::to_string(rate),
                                  std::string("-ac"), std::string("1"), dir / "out.raw"}) {
    arguments.push_back(part);
  }
  std::string pcm;
  if (runFfmpeg(arguments)) pcm = readFileBytes(dir / "out.raw");
  return pcm;
}

std::vector<std::string> syntheticMusic(int seconds) {
  std::vector<std::string> sources;
  std::istringstream lines(
      readFileBytes(std::string(QUILLMOR_TEST_DATA_DIR) + "/synthetic_music.txt"));
  for (std::string expression; std::getline(lines, expression);) {
    if (expression.empty() || expression.front() == '#') continue;
    sources.push_back("aevalsrc='" + expression + "':s=16000:d=" + std::to_string(seconds));
  }
  return sources;
}

bool makeTone(const std::string& path, int rate, int channels, double seconds,
              const std::vector<std::string>& codecArguments) {
  std::string expression = "0.5*sin(2*PI*440*t)";
  if (channels == 2) expression += "|0.25*sin(2*PI*440*t)";
  std::vector<std::string> arguments = {
      "-f", "lavfi", "-i",
      "aevalsrc=" + expression + ":s=" + std::to_string(rate) + ":d=" + std::to_string(seconds)};
  arguments.insert(arguments.end(), codecArguments.begin(), codecArguments.end());
  arguments.push_back(path);
  return runFfmpeg(arguments);
}

std::string wavFile(std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bits,
                    const std::string& data) {
  std::string out;
  auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  auto u16 = [&](std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
  };
  const std::uint16_t blockAlign = static_cast<std::uint16_t>(channels * bits / 8);
  out += "RIFF";
  u32(static_cast<std::uint32_t>(36 + data.size()));
  out += "WAVEfmt ";
  u32(16);
  u16(1);
  u16(channels);
  u32(sampleRate);
  u32(sampleRate * blockAlign);
  u16(blockAlign);
  u16(bits);
  out += "data";
  u32(static_cast<std::uint32_t>(data.size()));
  return out + data;
}

std::vector<std::int16_t> pcmSamples(const std::string& bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    auto lo = static_cast<std::uint8_t>(bytes[2 * i]);
    auto hi = static_cast<std::uint8_t>(bytes[2 * i + 1]);
    samples[i] = static_cast<std::int16_t>(lo | (hi << 8));
  }
  return samples;
}

double toneFrequency(const std::vector<std::int16_t>& samples, double rate, std::size_t from,
                     std::size_t to) {
  double first = -1, last = -1;
  int crossings = 0;
  for (std::size_t i = from + 1; i < to && i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      double fraction = -samples[i - 1] / static_cast<double>(samples[i] - samples[i - 1]);
      double at = static_cast<double>(i - 1) + fraction;
      if (first < 0) first = at;
      last = at;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * rate / (last - first);
}

double levelDb(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t to) {
  double sum = 0;
  std::size_t n = 0;
  for (std::size_t i = from; i < to && i < samples.size(); ++i, ++n) {
    double x = samples[i] / 32768.0;
    sum += x * x;
  }
  if (n == 0 || sum == 0) return -1000;
  return 10 * std::log10(sum / static_cast<double>(n));
}

std::string noiseBytes(std::size_t count, std::uint32_t seed) {
  std::string out(count, '\0');
  std::uint32_t x = seed ? seed : 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return out;
}

}  // namespace quillmor_speech
