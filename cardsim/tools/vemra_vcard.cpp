// vemra-vcard: serves a simulated card to the virtual reader of vsmartcard's
// vpcd, so that pcscd and every PC/SC program see it in "Virtual PCD 00 00".
//
// vpcd listens on TCP (127.0.0.1:35963 by default); this program connects as
// its client. Each message is a two-byte big-endian length and a payload. A
// one-byte payload is a control byte (0 power off, 1 power on, 2 reset,
// 4 send the ATR); any longer payload is a command APDU to answer.
//
// With a timing profile (--timing, or the state file's) each answer is held
// back until the modelled time of the exchange has passed since the command
// arrived, so every program sees a real card's speed. --stats keeps a count
// of the commands, their bytes and their modelled time in a file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cardsim/card.h"

namespace {

using vemra::cardsim::Card;
using vemra::cardsim::TimingProfile;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t gStop = 0;

void onSignal(int) { gStop = 1; }

struct Options {
  std::string host = "127.0.0.1";
  int port = 35963;
  std::string stateFile;
  std::optional<std::vector<uint8_t>> atr;
  int waitSeconds = 30;
  bool reconnect = false;
  bool verbose = false;
  std::optional<TimingProfile> timing;
  std::string statsFile;
};

void usage(std::ostream& out) {
  out << "usage: vemra-vcard [--host ADDR] [--port N] [--state FILE] [--atr HEX]\n"
         "                   [--wait SECONDS] [--reconnect] [--verbose] [--help]\n"
         "                   [--timing PROFILE] [--stats FILE]\n"
         "  --state FILE   load the card from FILE if it exists, save it there on change\n"
         "  --atr HEX      answer-to-reset to present (default 3B0B56656D72614D696E694472)\n"
         "  --wait N       keep trying to reach vpcd for N seconds (default 30)\n"
         "  --reconnect    after vpcd closes the connection, connect again\n"
         "  --verbose      print every command and answer on standard error\n"
         "  --timing P     answer as slowly as a real card: off, usb-contact, and changes\n"
         "                 NAME=VALUE (command, byte-in, byte-out, byte, rsa1024, rsa2048,\n"
         "                 write; VALUE in us or ms), e.g. usb-contact,byte=93us\n"
         "                 (default: the state file's profile, else off)\n"
         "  --stats FILE   keep the count of commands, bytes and modelled time in FILE\n";
}

std::optional<std::vector<uint8_t>> parseHex(const std::string& text) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>((high << 4) | v));
      high = -1;
    }
  }
  if (high >= 0 || out.empty()) return std::nullopt;
  return out;
}

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", b);
    out += buf;
  }
  return out;
}

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--host") {
      if (!value(o.host)) return false;
    } else if (arg == "--port") {
      if (!value(v)) return false;
      o.port = std::atoi(v.c_str());
      if (o.port <= 0 || o.port > 65535) return false;
    } else if (arg == "--state") {
      if (!value(o.stateFile)) return false;
    } else if (arg == "--atr") {
      if (!value(v)) return false;
      o.atr = parseHex(v);
      if (!o.atr || o.atr->size() > 33) return false;
    } else if (arg == "--wait") {
      if (!value(v)) return false;
      o.waitSeconds = std::atoi(v.c_str());
    } else if (arg == "--reconnect") {
      o.reconnect = true;
    } else if (arg == "--verbose") {
      o.verbose = true;
    } else if (arg == "--timing") {
      if (!value(v)) return false;
      o.timing = vemra::cardsim::parseTimingProfile(v);
      if (!o.timing) return false;
    } else if (arg == "--stats") {
      if (!value(o.statsFile)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Owns a socket descriptor.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// vpcd writes each message's length and payload separately with Nagle's
// algorithm on, so the payload waits until the length is acknowledged. A
// delayed acknowledgement would hold every command for tens of milliseconds;
// the kernel leaves quick-acknowledge mode on its own, so it is asked for
// again after every receive.
void acknowledgeAtOnce(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

// Connects to vpcd, retrying until it listens or the wait runs out.
int connectToVpcd(const Options& o) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.port));
  if (::inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr) != 1) {
    std::cerr << "vemra-vcard: not an IPv4 address: " << o.host << "\n";
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.waitSeconds);
  while (!gStop) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
      // Answers go out at once, without waiting for earlier ones to be acknowledged.
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      acknowledgeAtOnce(fd);
      return fd;
    }
    ::close(fd);
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::cerr << "vemra-vcard: cannot reach vpcd at " << o.host << ":" << o.port << "\n";
  return -1;
}

bool readExact(int fd, uint8_t* out, std::size_t n) {
  while (n > 0) {
    const ssize_t got = ::recv(fd, out, n, 0);
    if (got > 0) {
      acknowledgeAtOnce(fd);
      out += got;
      n -= static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR && !gStop) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

bool sendMessage(int fd, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
  frame.insert(frame.end(), payload.begin(), payload.end());
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR && !gStop) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

// Saves the card when its persistent state differs from what was saved last.
class StateKeeper {
 public:
  explicit StateKeeper(std::string path) : path_(std::move(path)) {}
  void prime(const Card& card) {
    if (!path_.empty()) saved_ = card.toJson();
  }
  void save(const Card& card) {
    if (path_.empty()) return;
    std::string now = card.toJson();
    if (now == saved_) return;
    try {
      card.saveFile(path_);
      saved_ = std::move(now);
    } catch (const std::exception& e) {
      std::cerr << "vemra-vcard: " << e.what() << "\n";
    }
  }

 private:
  std::string path_;
  std::string saved_;
};

// The counts since the bridge started, kept in a file (one JSON object,
// replaced whole after every command, before its answer goes out).
class Stats {
 public:
  explicit Stats(std::string path) : path_(std::move(path)) {}
  void count(std::size_t in, std::size_t out, vemra::cardsim::Micros modelled) {
    ++commands_;
    bytesIn_ += in;
    bytesOut_ += out;
    modelled_ += modelled;
    write();
  }
  void write() const {
    if (path_.empty()) return;
    const std::string temporary = path_ + ".tmp";
    {
      std::ofstream f(temporary, std::ios::trunc);
      f << "{\"commands\": " << commands_ << ", \"bytesIn\": " << bytesIn_ << ", \"bytesOut\": " << bytesOut_
        << ", \"modelledMicroseconds\": " << modelled_.count() << "}\n";
    }
    std::error_code ignored;
    std::filesystem::rename(temporary, path_, ignored);
  }

 private:
  std::string path_;
  unsigned long long commands_ = 0;
  unsigned long long bytesIn_ = 0;
  unsigned long long bytesOut_ = 0;
  vemra::cardsim::Micros modelled_{0};
};

// What the bridge does around each command beyond answering it.
struct Service {
  StateKeeper& keeper;
  Stats& stats;
  TimingProfile timing;
  bool verbose = false;
};

// Answers one command, no sooner than the timing profile says a real card
// would, counted from `arrived`.
std::vector<uint8_t> answerCommand(Card& card, const Service& service, const std::vector<uint8_t>& command,
                                   Clock::time_point arrived) {
  std::vector<uint8_t> answer = card.transmit(command);
  const auto modelled = vemra::cardsim::modelledTime(service.timing, command.size(), answer.size(), card.lastWork());
  if (service.verbose) std::cerr << "> " << hex(command) << "\n< " << hex(answer) << "\n";
  service.keeper.save(card);
  service.stats.count(command.size(), answer.size(), modelled);
  std::this_thread::sleep_until(arrived + modelled);
  return answer;
}

// Serves one connection until vpcd closes it or a signal arrives.
void serve(int fd, Card& card, const Service& service) {
  std::vector<uint8_t> payload;
  while (!gStop) {
    uint8_t header[2];
    if (!readExact(fd, header, 2)) return;
    payload.resize((static_cast<std::size_t>(header[0]) << 8) | header[1]);
    if (!payload.empty() && !readExact(fd, payload.data(), payload.size())) return;
    const Clock::time_point arrived = Clock::now();
    if (payload.size() == 1) {
      switch (payload[0]) {
        case 0: card.powerOff(); break;
        case 1: card.powerOn(); break;
        case 2: card.reset(); break;
        case 4:
          if (!sendMessage(fd, card.atr())) return;
          break;
        default: break;
      }
      if (service.verbose) std::cerr << "control " << static_cast<int>(payload[0]) << "\n";
      continue;
    }
    if (payload.empty()) continue;
    if (!sendMessage(fd, answerCommand(card, service, payload, arrived))) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      std::cout << "Serves a simulated VEMRA card to PC/SC through the virtual reader of vsmartcard-vpcd.\n\n";
      usage(std::cout);
      return 0;
    }
  }
  if (!parseOptions(argc, argv, o)) {
    usage(std::cerr);
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocking recv returns on a signal
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);

  std::optional<Card> card;
  try {
    if (!o.stateFile.empty() && std::filesystem::exists(o.stateFile)) {
      card.emplace(Card::loadFile(o.stateFile));
    } else {
      card.emplace();
    }
  } catch (const std::exception& e) {
    std::cerr << "vemra-vcard: " << e.what() << "\n";
    return 1;
  }
  if (o.atr) card->setAtr(*o.atr);
  StateKeeper keeper(o.stateFile);
  keeper.prime(*card);
  if (!o.stateFile.empty() && !std::filesystem::exists(o.stateFile)) card->saveFile(o.stateFile);
  Stats stats(o.statsFile);
  stats.write();
  const Service service{keeper, stats, o.timing.value_or(card->config().timing), o.verbose};

  do {
    const int fd = connectToVpcd(o);
    if (fd < 0) return 1;
    Socket socket(fd);
    if (o.verbose) std::cerr << "vemra-vcard: connected to " << o.host << ":" << o.port << "\n";
    serve(socket.fd(), *card, service);
    card->powerOff();
  } while (o.reconnect && !gStop);
  keeper.save(*card);
  return 0;
}
