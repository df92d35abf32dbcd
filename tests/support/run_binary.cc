#include "support/run_binary.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace quillmor_speech {

namespace {

std::vector<std::string> childEnvironment(const RunOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const auto& [key, value] : options.env) {
      if (entry.rfind(key + "=", 0) == 0) replaced = true;
    }
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [key, value] : options.env) env.push_back(key + "=" + value);
  return env;
}

RunResult run(const std::string& path, const std::vector<std::string>& arguments,
              const std::string& input, const RunOptions& options, std::string* unread) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  if (unread) {
    // The whole input sits in the pipe before the child starts, so that what the child does not
    // read can be read back afterwards.
    fcntl(inPipe[1], F_SETPIPE_SZ, 1 << 20);
  }
  std::vector<std::string> argvStrings{path};
  argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = childEnvironment(options);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  size_t written = 0;
  if (unread) {
    while (written < input.size()) {
      ssize_t n = write(inPipe[1], input.data() + written, input.size() - written);
      if (n <= 0) throw std::runtime_error("input does not fit the pipe");
      written += static_cast<size_t>(n);
    }
  }

  auto started = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    signal(SIGPIPE, SIG_DFL);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  int inWrite = inPipe[1];
  if (!unread) close(inPipe[0]);
  if (!unread && input.empty() && !options.keepStdinOpen) {
    close(inWrite);
    inWrite = -1;
  }
  if (inWrite >= 0 && !unread) fcntl(inWrite, F_SETFL, O_NONBLOCK);

  RunResult result;
  int outFd = outPipe[0], errFd = errPipe[0];
  if (options.stdoutClosed) {
    close(outFd);
    outFd = -1;
  }
  int status = 0;
  bool exited = false;
  struct rusage usage {};
  sigset_t none;
  sigemptyset(&none);
  while (outFd >= 0 || errFd >= 0 || !exited) {
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (elapsed > options.timeoutSeconds) {
      kill(pid, SIGKILL);
      result.timedOut = true;
      wait4(pid, &status, 0, &usage);
      exited = true;
      break;
    }
    if (outFd < 0 && errFd < 0) {
      pid_t w = wait4(pid, &status, WNOHANG, &usage);
      if (w == pid) {
        exited = true;
        break;
      }
      usleep(2000);
      continue;
    }
    std::vector<pollfd> fds;
    if (outFd >= 0) fds.push_back({outFd, POLLIN, 0});
    if (errFd >= 0) fds.push_back({errFd, POLLIN, 0});
    bool feeding = !unread && inWrite >= 0 && written < input.size();
    if (feeding) fds.push_back({inWrite, POLLOUT, 0});
    int ready = poll(fds.data(), fds.size(), 50);
    if (ready < 0 && errno != EINTR) break;
    for (const pollfd& p : fds) {
      if (!p.revents) continue;
      if (p.fd == inWrite) {
        if (p.revents & (POLLERR | POLLHUP)) {
          close(inWrite);
          inWrite = -1;
          continue;
        }
        ssize_t n =
            write(inWrite, input.data() + written, std::min<size_t>(input.size() - written, 65536));
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
          close(inWrite);
          inWrite = -1;
        }
        continue;
      }
      char buffer[65536];
      ssize_t n = read(p.fd, buffer, sizeof buffer);
      if (n > 0) {
        std::string& sink = p.fd == outFd ? result.out : result.err;
        sink.append(buffer, static_cast<size_t>(n));
        if (p.fd == outFd && options.closeStdoutAfter &&
            result.out.size() >= options.closeStdoutAfter) {
          close(outFd);
          outFd = -1;
          result.stdoutClosedAt =
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        }
      } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        close(p.fd);
        if (p.fd == outFd) outFd = -1;
        if (p.fd == errFd) errFd = -1;
      }
    }
    const bool stdinTimeUp =
        options.closeStdinAfterSeconds > 0 && elapsed >= options.closeStdinAfterSeconds;
    if (!unread && inWrite >= 0 && written >= input.size() &&
        (!options.keepStdinOpen || stdinTimeUp)) {
      close(inWrite);
      inWrite = -1;
    }
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  if (inWrite >= 0 && !unread) close(inWrite);
  if (unread) {
    close(inPipe[1]);
    fcntl(inPipe[0], F_SETFL, O_NONBLOCK);
    char buffer[65536];
    ssize_t n;
    while ((n = read(inPipe[0], buffer, sizeof buffer)) > 0) {
      unread->append(buffer, static_cast<size_t>(n));
    }
    close(inPipe[0]);
  }
  result.peakRssKb = usage.ru_maxrss;
  if (WIFEXITED(status)) {
    result.exitedNormally = !result.timedOut;
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace

void expectEndedByItself(const RunResult& run, int status) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_TRUE(run.exitedNormally) << "signal " << run.signal;
  EXPECT_EQ(run.status, status);
  EXPECT_EQ(run.err, "");
}

RunResult runBinary(const std::string& path, const std::vector<std::string>& arguments,
                    const std::string& input, const RunOptions& options) {
  return run(path, arguments, input, options, nullptr);
}

RunResult runBinaryLeavingInput(const std::string& path, const std::vector<std::string>& arguments,
                                const std::string& input, std::string& unread,
                                const RunOptions& options) {
  unread.clear();
  return run(path, arguments, input, options, &unread);
}

std::string readFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void writeFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace quillmor_speech
