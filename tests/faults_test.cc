// Faults a host or a file can cause, through the real binary: standard output that goes away or
// fills up, special files, playlists and lists of other files, and WAV headers that lie. Every
// run must end by itself, with status 0 or 1 and never a signal, and write nothing to stderr.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "support/audio_fixtures.h"
#include "support/run_binary.h"

namespace quillmor_speech {
namespace {

const std::string kPrefix = "这个音频格式系统解不开：";

std::string errorLine(const std::string& code, const std::string& message) {
  return "{\"code\":\"" + code + "\",\"message\":\"" + message + "\",\"type\":\"error\"}\n";
}

std::string decodeError(const std::string& description) {
  return errorLine("decode_unsupported", kPrefix + description);
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

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeTempDir(); }
  void TearDown() override { removeTree(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  static RunResult decodeFile(const std::string& file, RunOptions options = {}) {
    options.timeoutSeconds = std::min(options.timeoutSeconds, 10.0);
    return runBinary(QUILLMOR_BINARY, {"decode", file}, "", options);
  }

  // The binary with its stdout on a file (such as /dev/full), through a shell that execs it.
  static RunResult runWithStdoutOn(const std::string& sink, const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" >" + sink, QUILLMOR_BINARY};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    RunOptions options;
    options.timeoutSeconds = 10;
    return runBinary("/bin/sh", shellArgs, "", options);
  }

  static void expectEndedByItself(const RunResult& r, int status) {
    EXPECT_FALSE(r.timedOut);
    EXPECT_TRUE(r.exitedNormally) << "signal " << r.signal;
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.err, "");
  }

  std::string dir_;
};

TEST_F(FaultsTest, HostClosingStdoutMidDecodeEndsItWithinASecond) {
  // Ten minutes of 8 kHz noise: 19 MB of output, far more than the pipe holds.
  writeFileBytes(path("long.wav"), wavFile(8000, 1, 16, noiseBytes(10 * 60 * 8000 * 2, 5)));
  for (std::size_t closeAfter : {std::size_t{1}, std::size_t{200000}}) {
    SCOPED_TRACE(closeAfter);
    RunOptions options;
    options.closeStdoutAfter = closeAfter;
    RunResult r = decodeFile(path("long.wav"), options);
    expectEndedByItself(r, 1);  // a finished decode would have status 0
    ASSERT_GE(r.stdoutClosedAt, 0);
    EXPECT_LT(r.seconds - r.stdoutClosedAt, 1.0);
  }
}

TEST_F(FaultsTest, StdoutThatCannotBeWrittenGivesStatusOne) {
  writeFileBytes(path("tone.wav"), wavFile(8000, 1, 16, noiseBytes(16000, 9)));
  // probe and a good decode would exit 0; the others fail anyway but must not die by a signal.
  const std::vector<std::vector<std::string>> commands = {
      {"probe"}, {"decode", path("tone.wav")}, {"decode", path("missing.wav")}, {"serve"}, {}};
  for (const std::vector<std::string>& command : commands) {
    SCOPED_TRACE(command.empty() ? "(none)" : command[0] + " " + command.back());
    {
      SCOPED_TRACE("/dev/full");
      RunResult r = runWithStdoutOn("/dev/full", command);
      expectEndedByItself(r, 1);
      EXPECT_EQ(r.out, "");
    }
    {
      SCOPED_TRACE("closed pipe");
      RunOptions options;
      options.stdoutClosed = true;
      options.timeoutSeconds = 10;
      RunResult r = runBinary(QUILLMOR_BINARY, command, "", options);
      expectEndedByItself(r, 1);
    }
  }
}

TEST_F(FaultsTest, SpecialFilesAreRefusedWithoutBeingRead) {
  // A FIFO with a live writer that has already sent a WAV header: opening it for reading would
  // not block, and reading it would stream; it must be neither opened nor read.
  ASSERT_EQ(mkfifo(path("live.wav").c_str(), 0644), 0);
  int writer = open(path("live.wav").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  const std::string header = wavFile(8000, 1, 16, std::string(1000, '\1'));
  ASSERT_EQ(write(writer, header.data(), header.size()), static_cast<ssize_t>(header.size()));
  ASSERT_EQ(symlink("/dev/zero", path("zero.wav").c_str()), 0);
  ASSERT_EQ(mkdir(path("dir").c_str(), 0755), 0);
  ASSERT_EQ(symlink(path("dir").c_str(), path("dir.flac").c_str()), 0);

  const std::string notRegular = "cannot open the file: not a regular file";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/dev/zero", notRegular},
      {"/dev/urandom", notRegular},
      {"/dev/null", notRegular},
      {"/dev/stdin", notRegular},  // the pipe runBinary gives the child
      {path("zero.wav"), notRegular},
      {path("live.wav"), notRegular},
      {path("dir.flac"), "cannot open the file: Is a directory"},
  };
  for (const auto& [file, description] : cases) {
    SCOPED_TRACE(file);
    RunResult r = decodeFile(file);
    expectEndedByItself(r, 1);
    EXPECT_EQ(r.out, decodeError(description));
  }
  // Nothing was taken from the FIFO.
  char left[2048];
  EXPECT_EQ(read(writer, left, sizeof left), static_cast<ssize_t>(header.size()));
  close(writer);
}

TEST_F(FaultsTest, PlaylistsListsAndOtherProtocolsAreRefused) {
  const std::string target = path("tone.wav");
  writeFileBytes(target, wavFile(8000, 1, 16, noiseBytes(16000, 2)));
  const std::string hls =
      "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n"
      "#EXTINF:1.0,\n" +
      target + "\n#EXT-X-ENDLIST\n";
  const std::string concat = "ffconcat version 1.0\nfile '" + target + "'\n";
  const std::string sdp =
      "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=x\nc=IN IP4 127.0.0.1\nt=0 0\nm=audio 5004 RTP/AVP 0\n";
  writeFileBytes(path("list.m3u8"), hls);
  writeFileBytes(path("list-named.wav"), hls);
  writeFileBytes(path("list.ffconcat"), concat);
  writeFileBytes(path("list-named.mp3"), concat);
  writeFileBytes(path("stream.sdp"), sdp);

  const std::string missing = "cannot open the file: No such file or directory";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {path("list.m3u8"), "not an audio file format: hls"},
      {path("list-named.wav"), "not an audio file format: hls"},
      {path("list.ffconcat"), "not an audio file format: concat"},
      {path("list-named.mp3"), "not an audio file format: concat"},
      {path("stream.sdp"), "not an audio file format: sdp"},
      // Protocol syntax around a file that exists is a path like any other, and there is none.
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
}

TEST_F(FaultsTest, AbsurdWavHeadersAreRefusedOrDecodedPlainly) {
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

TEST_F(FaultsTest, HeadersPromisingHoursEndWithTheAudioThatIsThere) {
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

// `binary args` under an address-space limit (RLIMIT_AS, set by the shell's ulimit -v).
RunResult underAddressLimit(long kib, const std::vector<std::string>& args) {
  std::vector<std::string> shellArgs = {
      "-c", "ulimit -v " + std::to_string(kib) + " && exec \"$0\" \"$@\"", QUILLMOR_BINARY};
  shellArgs.insert(shellArgs.end(), args.begin(), args.end());
  RunOptions options;
  options.timeoutSeconds = 20;
  return runBinary("/bin/sh", shellArgs, "", options);
}

// The lowest limit (to 256 KiB) at which the program itself runs, shown by its usage line.
// Below it the dynamic loader cannot map the libraries: its message and status 127, before any
// code of the program has run.
long programFloorKib() {
  const std::string usage =
      "{\"code\":\"usage\",\"message\":\"用法：quillmor-speech probe | serve | decode "
      "<文件>\",\"type\":\"error\"}\n";
  long failing = 16 * 1024, working = 2 * 1024 * 1024;
  while (working - failing > 256) {
    long middle = (failing + working) / 2;
    RunResult r = underAddressLimit(middle, {});
    (r.status == 1 && r.out == usage ? working : failing) = middle;
  }
  return working;
}

TEST_F(FaultsTest, RunningOutOfAddressSpaceNeverAbortsACommand) {
  if (kSanitizedBuild) GTEST_SKIP() << "a sanitizer build cannot run under an address-space limit";
  // From the lowest limit at which the program runs upwards, in 1 MiB steps, until the command
  // succeeds, then again in 256 KiB steps over the last 16 MiB below that: every run ends by
  // itself with nothing on stderr, either exactly as without a limit or with one error line of
  // the command's codes. decode maps its decoder module, over a hundred libraries, only once it
  // runs, so it needs far more than the program's floor.
  writeFileBytes(path("tone.wav"), wavFile(44100, 2, 16, noiseBytes(44100 * 4 * 2, 3)));
  struct Case {
    std::vector<std::string> args;
    std::set<std::string> codes;
  };
  const std::vector<Case> cases = {
      {{"decode", path("tone.wav")}, {"decode_failed", "decode_unsupported"}},
      {{"probe"}, {"probe_failed"}},
  };
  const long floor = programFloorKib();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const RunResult unlimited = runBinary(QUILLMOR_BINARY, c.args, "");
    ASSERT_EQ(unlimited.status, 0);
    // Whether the command succeeded under `kib`; any other ending is checked here.
    auto runUnder = [&](long kib) {
      SCOPED_TRACE(std::to_string(kib) + " KiB");
      RunResult r = underAddressLimit(kib, c.args);
      EXPECT_FALSE(r.timedOut);
      EXPECT_TRUE(r.exitedNormally) << "signal " << r.signal;
      EXPECT_EQ(r.err, "");
      if (r.status == 0) {
        EXPECT_EQ(r.out, unlimited.out);
        return true;
      }
      EXPECT_EQ(r.status, 1);
      // decode may have written samples before the error line; the line itself is whole.
      const std::size_t start = r.out.rfind("{\"code\":");
      const nlohmann::json line = start == std::string::npos
                                      ? nlohmann::json()
                                      : nlohmann::json::parse(r.out.substr(start), nullptr, false);
      EXPECT_TRUE(line.is_object()) << r.out.substr(0, 200);
      if (!line.is_object()) return false;
      EXPECT_EQ(line.value("type", ""), "error");
      EXPECT_EQ(c.codes.count(line.value("code", "")), 1u) << r.out.substr(start);
      EXPECT_EQ(r.out.back(), '\n');
      return false;
    };
    long first = 0;
    for (long kib = floor; kib < floor + 256 * 1024 && first == 0; kib += 1024) {
      if (runUnder(kib)) first = kib;
    }
    const bool succeeded = first != 0;
    for (long kib = std::max(floor, first - 16 * 1024); succeeded && kib < first; kib += 256) {
      runUnder(kib);
    }
    EXPECT_TRUE(succeeded) << "no limit up to 256 MiB above the floor let the command finish";
  }
}

}  // namespace
}  // namespace quillmor_speech
