#include "simulator.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include "error.h"
#include "pcsc.h"

extern char** environ;

namespace vemra::ctl {

using host::Error;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* kLockPath = "/tmp/vemra-vpcd.lock";
constexpr const char* kReaderPrefix = "Virtual PCD 00 00";

// The processes started here, for the signal handler: an interrupted demo
// still stops what it started.
volatile sig_atomic_t startedPids[2] = {-1, -1};

void stopStartedAndExit(int signal) {
  for (int i = 0; i < 2; ++i) {
    if (startedPids[i] > 0) ::kill(static_cast<pid_t>(startedPids[i]), SIGTERM);
  }
  ::_exit(128 + signal);
}

void watchSignals() {
  struct sigaction action {};
  action.sa_handler = stopStartedAndExit;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

// Starts `args` in a session of its own, output to `log`, with no secret
// in its environment; its pid or -1.
int spawn(const std::vector<std::string>& args, const std::string& log) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env = childEnvironment(environ);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? pid : -1;
}

bool exited(int pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

// SIGTERM, then SIGKILL after two seconds.
void terminate(int& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const auto deadline = Clock::now() + 2s;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  pid = -1;
}

std::string tail(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  std::string text = s.str();
  return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
}

std::string findPcscd() {
  for (const char* p : {"/usr/sbin/pcscd", "/sbin/pcscd", "/usr/local/sbin/pcscd"}) {
    if (::access(p, X_OK) == 0) return p;
  }
  return {};
}

// Whether this pcscd has polkit, which keeps clients out unless disabled.
bool hasPolkitOption(const std::string& pcscd) {
  const std::string command = pcscd + " --help 2>&1";
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return false;
  std::string text;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p) != nullptr) text += buf;
  ::pclose(p);
  return text.find("--disable-polkit") != std::string::npos;
}

// The virtual reader's state, or nothing while pcscd does not list it.
bool virtualReader(std::string& name, bool& cardPresent) {
  try {
    host::PcscContext pcsc;
    for (const host::ReaderState& r : pcsc.readers()) {
      if (r.name.rfind(kReaderPrefix, 0) == 0) {
        name = r.name;
        cardPresent = r.cardPresent;
        return true;
      }
    }
  } catch (const Error&) {
  }
  return false;
}

}  // namespace

std::vector<std::string> childEnvironment(char** env) {
  static constexpr std::string_view kSecrets[] = {"VEMRA_PIN=", "VEMRA_NEW_PIN=", "VEMRA_ADMIN_KEY=",
                                                  "VEMRA_NEW_ADMIN_KEY="};
  std::vector<std::string> out;
  for (char** e = env; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const bool secret = std::any_of(std::begin(kSecrets), std::end(kSecrets),
                                    [&](std::string_view name) { return entry.substr(0, name.size()) == name; });
    if (!secret) out.emplace_back(entry);
  }
  return out;
}

std::string defaultVcardPath() {
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
  for (const std::filesystem::path& candidate : {dir / "cardsim" / "vemra-vcard", dir / "vemra-vcard"}) {
    if (std::filesystem::exists(candidate, ec)) return candidate.string();
  }
  return "vemra-vcard";
}

SimulatedCard::SimulatedCard(const std::string& vcardPath, std::ostream& log, const std::string& stateFile) {
  if (::access(vcardPath.c_str(), X_OK) != 0) {
    throw Error("the simulated card's bridge " + vcardPath + " is missing (build the target vemra-vcard)");
  }
  watchSignals();
  char dirTemplate[] = "/tmp/vemractl-demo-XXXXXX";
  if (::mkdtemp(dirTemplate) == nullptr) throw Error("cannot make a temporary directory");
  workDir_ = dirTemplate;

  lockFd_ = ::open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd_ < 0) throw Error(std::string("cannot open ") + kLockPath + ": " + std::strerror(errno));
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    log << "    waiting for another run to free the virtual reader (" << kLockPath << ")" << std::endl;
    const auto deadline = Clock::now() + 300s;
    while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
      if (Clock::now() > deadline) {
        stop();
        throw Error("another run holds the virtual reader for more than 300 s");
      }
      std::this_thread::sleep_for(100ms);
    }
  }
  try {
    if (!host::pcscServiceRuns()) {
      const std::string pcscd = findPcscd();
      if (pcscd.empty()) throw Error("pcscd is not installed (scripts/install-deps.sh installs it)");
      std::vector<std::string> args{pcscd, "--foreground", "--auto-exit"};
      if (hasPolkitOption(pcscd)) args.emplace_back("--disable-polkit");
      const std::string pcscdLog = workDir_ + "/pcscd.log";
      pcscdPid_ = spawn(args, pcscdLog);
      if (pcscdPid_ < 0) throw Error("cannot start pcscd");
      startedPids[0] = pcscdPid_;
      const auto deadline = Clock::now() + 10s;
      while (!host::pcscServiceRuns()) {
        if (exited(pcscdPid_)) {
          pcscdPid_ = -1;
          throw Error("pcscd stopped at once:\n" + tail(pcscdLog));
        }
        if (Clock::now() > deadline) throw Error("pcscd does not answer:\n" + tail(pcscdLog));
        std::this_thread::sleep_for(50ms);
      }
      log << "    started pcscd (pid " << pcscdPid_ << ")\n";
    }
    bool present = false;
    const auto readerDeadline = Clock::now() + 10s;
    while (!virtualReader(reader_, present)) {
      if (Clock::now() > readerDeadline) {
        throw Error("pcscd lists no reader \"Virtual PCD 00 00\" (is vsmartcard-vpcd installed?)");
      }
      std::this_thread::sleep_for(100ms);
    }
    if (present) throw Error("a card not started here already sits in " + reader_);
    const std::string bridgeLog = workDir_ + "/vemra-vcard.log";
    std::vector<std::string> bridge{vcardPath, "--port", "35963", "--wait", "20"};
    if (!stateFile.empty()) {
      std::error_code ec;
      std::filesystem::remove(stateFile, ec);  // a fresh card, not one kept before
      bridge.insert(bridge.end(), {"--state", stateFile});
    }
    bridgePid_ = spawn(bridge, bridgeLog);
    if (bridgePid_ < 0) throw Error("cannot start " + vcardPath);
    startedPids[1] = bridgePid_;
    const auto cardDeadline = Clock::now() + 20s;
    while (!(virtualReader(reader_, present) && present)) {
      if (exited(bridgePid_)) {
        bridgePid_ = -1;
        throw Error("vemra-vcard stopped:\n" + tail(bridgeLog));
      }
      if (Clock::now() > cardDeadline) throw Error("the simulated card does not appear in " + reader_);
      std::this_thread::sleep_for(100ms);
    }
    log << "    started vemra-vcard (pid " << bridgePid_ << "): a fresh simulated card in \"" << reader_ << "\"\n";
  } catch (...) {
    stop();
    throw;
  }
}

SimulatedCard::~SimulatedCard() { stop(); }

void SimulatedCard::stop() {
  startedPids[1] = -1;
  terminate(bridgePid_);
  startedPids[0] = -1;
  terminate(pcscdPid_);
  if (lockFd_ >= 0) {
    ::flock(lockFd_, LOCK_UN);
    ::close(lockFd_);
    lockFd_ = -1;
  }
  if (!workDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(workDir_, ec);
    workDir_.clear();
  }
}

}  // namespace vemra::ctl
