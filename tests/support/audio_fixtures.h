// Test audio: fixtures generated with Debian's ffmpeg command, and measurements of decoded PCM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillmor_speech {

// Runs `ffmpeg -v error -y <arguments>`; true when it exits with status 0.
bool runFfmpeg(const std::vector<std::string>& arguments);

// Mono PCM at `rate` (16 kHz by default) made by ffmpeg from its input arguments and the filter
// graph given; empty when ffmpeg fails.
std::string ffmpegPcm(std::vector<std::string> arguments, const std::string& filter,
                      int rate = 16000);

// Synthetic music as ffmpeg lavfi sources of `seconds`, one per kind in
// tests/data/synthetic_music.txt (which the field bench reads too).
std::vector<std::string> syntheticMusic(int seconds);

// Writes a tone file: `seconds` of a 440 Hz sine at `rate`, amplitude 0.5 in the first channel
// and 0.25 in the second (same phase), encoded with `codecArguments` (e.g. {"-c:a", "flac"}).
bool makeTone(const std::string& path, int rate, int channels, double seconds,
              const std::vector<std::string>& codecArguments);

// The bytes of a canonical 44-byte PCM WAV header followed by `data`; every field as given.
std::string wavFile(std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bits,
                    const std::string& data);

// Little-endian 16-bit samples of raw PCM bytes (a last odd byte is ignored).
std::vector<std::int16_t> pcmSamples(const std::string& bytes);

// The frequency of a tone, from the positive-going zero crossings of samples [from, to).
double toneFrequency(const std::vector<std::int16_t>& samples, double rate, std::size_t from,
                     std::size_t to);

// RMS level of samples [from, to) in dB relative to full scale (32768).
double levelDb(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t to);

// Deterministic pseudo-random bytes.
std::string noiseBytes(std::size_t count, std::uint32_t seed);

}  // namespace quillmor_speech
