#include "serve/frames.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace quillmor_speech {
namespace {

using namespace std::chrono_literals;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string header(std::uint8_t type, std::uint32_t length) {
  return std::string{static_cast<char>(type), static_cast<char>(length >> 24),
                     static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                     static_cast<char>(length)};
}

// A pipe whose write end is fed by a thread, in pieces with pauses, then closed (or not).
class FedPipe {
 public:
  FedPipe(std::vector<std::string> pieces, bool closeAfter = true) {
    EXPECT_EQ(pipe(fds_), 0);
    writer_ = std::thread([this, pieces = std::move(pieces), closeAfter] {
      for (const std::string& piece : pieces) {
        if (!piece.empty()) {
          EXPECT_EQ(write(fds_[1], piece.data(), piece.size()), (ssize_t)piece.size());
        }
        std::this_thread::sleep_for(2ms);
      }
      if (closeAfter) closeWriter();
    });
  }
  ~FedPipe() {
    writer_.join();
    closeWriter();
    close(fds_[0]);
  }
  int readEnd() const { return fds_[0]; }
  // Whatever is still unread in the pipe once the writer is done.
  std::string rest() {
    writer_.join();
    writer_ = std::thread([] {});
    closeWriter();
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds_[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
    return out;
  }

 private:
  void closeWriter() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }
  int fds_[2];
  std::thread writer_;
};

struct FrameCase {
  const char* name;
  std::vector<std::string> pieces;
  std::optional<Frame> expected;
};

TEST(ReadFrame, Table) {
  std::string payload256(256, 'p');
  const std::vector<FrameCase> cases = {
      {"empty input", {}, std::nullopt},
      {"one header byte", {"\x02"}, std::nullopt},
      {"four header bytes", {std::string("\x02\x00\x00\x00", 4)}, std::nullopt},
      {"payload truncated", {header(2, 10), "abc"}, std::nullopt},
      {"length zero", {header(3, 0)}, Frame{3, {}}},
      {"length bytes 00 00 01 00", {header(2, 256) + payload256}, Frame{2, bytesOf(payload256)}},
      {"type 255 returned unchanged", {header(255, 3), "xyz"}, Frame{255, bytesOf("xyz")}},
      {"type 0", {header(0, 1), "z"}, Frame{0, bytesOf("z")}},
      {"payload in small pieces with pauses",
       {header(1, 14).substr(0, 2), header(1, 14).substr(2), "{\"lo", "cale\"", ":\"x\"}"},
       Frame{1, bytesOf("{\"locale\":\"x\"}")}},
  };
  for (const FrameCase& c : cases) {
    FedPipe input(c.pieces);
    std::optional<Frame> frame = readFrame(input.readEnd());
    ASSERT_EQ(frame.has_value(), c.expected.has_value()) << c.name;
    if (frame) {
      EXPECT_EQ(frame->type, c.expected->type) << c.name;
      EXPECT_EQ(frame->payload, c.expected->payload) << c.name;
    }
  }
}

TEST(ReadFrame, NothingAfterAFrameIsConsumed) {
  FedPipe input({header(3, 2) + "ok" + header(2, 4) + "left"});
  std::optional<Frame> frame = readFrame(input.readEnd());
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->type, 3);
  EXPECT_EQ(input.rest(), header(2, 4) + "left");
}

TEST(ReadFrame, ZeroLengthConsumesExactlyFiveBytes) {
  FedPipe input({header(7, 0) + "after"});
  std::optional<Frame> frame = readFrame(input.readEnd());
  ASSERT_TRUE(frame);
  EXPECT_TRUE(frame->payload.empty());
  EXPECT_EQ(input.rest(), "after");
}

TEST(ReadExactly, CountsAndEnds) {
  {
    FedPipe input({"abc"});
    EXPECT_EQ(readExactly(input.readEnd(), 0), Bytes{});
    EXPECT_EQ(readExactly(input.readEnd(), -5), Bytes{});
    EXPECT_EQ(input.rest(), "abc") << "count below 1 reads nothing";
  }
  {
    FedPipe input({"ab", "c"});
    EXPECT_EQ(readExactly(input.readEnd(), 5), bytesOf("abc")) << "short result at the end";
    EXPECT_EQ(readExactly(input.readEnd(), 5), std::nullopt) << "absent once ended";
  }
}

TEST(ReadFrame, ConsecutiveFramesAndALargePayload) {
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  FedPipe input({header(2, static_cast<std::uint32_t>(big.size())), big.substr(0, 70000),
                 big.substr(70000), header(3, 0)});
  std::optional<Frame> first = readFrame(input.readEnd());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->payload, bytesOf(big));
  std::optional<Frame> second = readFrame(input.readEnd());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->type, 3);
  EXPECT_FALSE(readFrame(input.readEnd()));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUILLMOR_UNDER_SANITIZER 1
#endif

TEST(ReadFrame, DeclaredLengthIsNotTrustedForMemory) {
#ifdef QUILLMOR_UNDER_SANITIZER
  GTEST_SKIP() << "address-space limits do not mix with sanitizer shadow memory";
#else
  // In a child limited to 256 MiB of address space, a frame declaring 4 GiB and sending 10
  // bytes must end as absent, not as a failed multi-gigabyte allocation.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    rlimit limit{256u << 20, 256u << 20};
    setrlimit(RLIMIT_AS, &limit);
    int fds[2];
    if (pipe(fds) != 0) _exit(3);
    std::string bytes = header(2, 0xFFFFFFFFu) + "0123456789";
    if (write(fds[1], bytes.data(), bytes.size()) != (ssize_t)bytes.size()) _exit(3);
    close(fds[1]);
    try {
      std::optional<Frame> frame = readFrame(fds[0]);
      _exit(frame ? 2 : 0);
    } catch (...) {
      _exit(4);
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
}  // namespace quillmor_speech
