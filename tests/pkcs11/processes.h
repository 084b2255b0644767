// Running the programs of the client tests: a command line to its end with
// its output, a server in the background (stopped by its process id), a
// free loopback port, and whether a program is installed.
#ifndef VEMRA_P11_TEST_PROCESSES_H
#define VEMRA_P11_TEST_PROCESSES_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace vemra::p11::test {

struct Outcome {
  int status = -1;
  std::string output;
};

// Runs a shell command line; its standard output and error together.
inline Outcome runShell(const std::string& command) {
  Outcome r;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) r.output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

inline std::string slurpFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The programs of `names` that are not installed, separated by spaces.
inline std::string missingPrograms(const std::vector<std::string>& names) {
  std::string missing;
  for (const std::string& name : names) {
    if (runShell("command -v " + name + " >/dev/null").status != 0) missing += " " + name;
  }
  return missing;
}

// A port on 127.0.0.1 nobody listens on now.
inline int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

// Whether something accepts connections on 127.0.0.1:`port` within `limit`.
inline bool listening(int port, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool up = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) ::close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// A program started in the background with its output in a log file;
// stopped (SIGTERM to its own process id) when the object goes.
class Background {
 public:
  Background(const std::string& command, std::string log) : log_(std::move(log)) {
    const std::string line = "exec " + command + " >" + log_ + " 2>&1 </dev/null";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Background() { stop(); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Waits up to `limit` for the program to end by itself; false when it
  // still runs.
  bool ended(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pid_ <= 0;
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!ended(std::chrono::seconds(5))) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  std::string log() const { return slurpFile(log_); }
  // Whether the log shows `text` within `limit` (a server that serves one
  // connection says it is ready instead of being probed).
  bool says(const std::string& text, std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (log().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
};

}  // namespace vemra::p11::test

#endif  // VEMRA_P11_TEST_PROCESSES_H
