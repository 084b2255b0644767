#include "pcsc_stack.h"

#include <PCSC/winscard.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace vemra::integration {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kLockPath = "/tmp/vemra-vpcd.lock";
constexpr const char* kReaderPrefix = "Virtual PCD 00 00";

std::string logPath(const char* name) { return std::string(VEMRA_INTEGRATION_WORKDIR) + "/" + name + ".log"; }

std::string tail(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  std::string text = s.str();
  return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

// Starts `argv` in a session of its own with standard output and error in
// `log`; returns its process id or -1.
int spawn(const std::vector<std::string>& args, const std::string& log) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? pid : -1;
}

bool exited(int pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

// Ends a process started here: SIGTERM, then SIGKILL after two seconds.
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

bool serviceRuns() {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return false;
  SCardReleaseContext(ctx);
  return true;
}

// Whether this pcscd build has polkit, which would keep clients out unless
// it is disabled.
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

std::string findPcscd() {
  for (const char* p : {"/usr/sbin/pcscd", "/sbin/pcscd", "/usr/local/sbin/pcscd"}) {
    if (::access(p, X_OK) == 0) return p;
  }
  return {};
}

// The virtual reader's name, once pcscd lists it.
std::string findReader(SCARDCONTEXT ctx) {
  DWORD size = 0;
  if (SCardListReaders(ctx, nullptr, nullptr, &size) != SCARD_S_SUCCESS || size == 0) return {};
  std::string names(size, '\0');
  if (SCardListReaders(ctx, nullptr, names.data(), &size) != SCARD_S_SUCCESS) return {};
  for (std::size_t at = 0; at < names.size() && names[at] != '\0';) {
    const std::string name(names.c_str() + at);
    if (name.rfind(kReaderPrefix, 0) == 0) return name;
    at += name.size() + 1;
  }
  return {};
}

// The reader's state flags once they differ from `known`, or `known` after
// `timeout` without a change.
DWORD readerState(SCARDCONTEXT ctx, const std::string& reader, DWORD known, std::chrono::milliseconds timeout) {
  SCARD_READERSTATE state{};
  state.szReader = reader.c_str();
  state.dwCurrentState = known;
  if (SCardGetStatusChange(ctx, static_cast<DWORD>(timeout.count()), &state, 1) != SCARD_S_SUCCESS) {
    std::this_thread::sleep_for(50ms);
    return known;
  }
  return state.dwEventState & ~SCARD_STATE_CHANGED;
}

}  // namespace

PcscStack& PcscStack::instance() {
  static PcscStack stack;
  return stack;
}

std::string PcscStack::start() {
  if (started_ || !failure_.empty()) return failure_;
  lockFd_ = ::open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd_ < 0) return failure_ = std::string("cannot open ") + kLockPath + ": " + std::strerror(errno);
  const auto deadline = Clock::now() + 300s;
  while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    if (Clock::now() > deadline) return failure_ = "another run holds the virtual reader for more than 300 s";
    std::this_thread::sleep_for(100ms);
  }
  // A record kept of another run's card must not be taken for this one's.
  char store[] = "/tmp/vemra-card-store-XXXXXX";
  if (::mkdtemp(store) == nullptr) return failure_ = std::string("mkdtemp: ") + std::strerror(errno);
  cardStore_ = store;
  ::setenv("XDG_CACHE_HOME", cardStore_.c_str(), 1);
  failure_ = startLocked();
  if (!failure_.empty()) {
    stop();
    return failure_;
  }
  started_ = true;
  return {};
}

std::string PcscStack::startLocked() {
  if (!serviceRuns()) {
    const std::string pcscd = findPcscd();
    if (pcscd.empty()) return "pcscd is not installed";
    std::vector<std::string> args{pcscd, "--foreground", "--auto-exit"};
    if (hasPolkitOption(pcscd)) args.emplace_back("--disable-polkit");
    pcscdPid_ = spawn(args, logPath("pcscd"));
    if (pcscdPid_ < 0) return "cannot start pcscd";
    const auto deadline = Clock::now() + 10s;
    while (!serviceRuns()) {
      if (exited(pcscdPid_)) {
        pcscdPid_ = -1;
        return "pcscd stopped at once:\n" + tail(logPath("pcscd"));
      }
      if (Clock::now() > deadline) return "pcscd does not answer:\n" + tail(logPath("pcscd"));
      std::this_thread::sleep_for(50ms);
    }
  }
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
    return "SCardEstablishContext failed";
  }
  struct Release {
    SCARDCONTEXT ctx;
    ~Release() { SCardReleaseContext(ctx); }
  } release{ctx};
  const auto readerDeadline = Clock::now() + 10s;
  while ((reader_ = findReader(ctx)).empty()) {
    if (Clock::now() > readerDeadline) return "pcscd lists no reader \"Virtual PCD 00 00\" (is vsmartcard-vpcd installed?)";
    std::this_thread::sleep_for(100ms);
  }
  if (readerState(ctx, reader_, SCARD_STATE_UNAWARE, 0ms) & SCARD_STATE_PRESENT) {
    return "a card not started here already sits in " + reader_;
  }
  return startBridge(ctx);
}

void PcscStack::emptyCardStore() {
  if (cardStore_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(cardStore_ + "/vemradrv", ignored);
}

void PcscStack::stop() {
  terminate(bridgePid_);
  terminate(pcscdPid_);
  if (!cardStore_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(cardStore_, ignored);
    cardStore_.clear();
  }
  if (lockFd_ >= 0) {
    ::flock(lockFd_, LOCK_UN);
    ::close(lockFd_);
    lockFd_ = -1;
  }
  started_ = false;
}

std::string PcscStack::connect(Connection& out) {
  SCARDCONTEXT ctx = 0;
  LONG rc = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
  if (rc != SCARD_S_SUCCESS) return "SCardEstablishContext: " + std::string(pcsc_stringify_error(rc));
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  rc = SCardConnect(ctx, reader_.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card, &protocol);
  if (rc != SCARD_S_SUCCESS) {
    SCardReleaseContext(ctx);
    return "SCardConnect: " + std::string(pcsc_stringify_error(rc));
  }
  unsigned char atr[MAX_ATR_SIZE];
  DWORD atrLength = sizeof atr;
  DWORD state = 0;
  DWORD statusProtocol = 0;
  char name[256];
  DWORD nameLength = sizeof name;
  rc = SCardStatus(card, name, &nameLength, &state, &statusProtocol, atr, &atrLength);
  if (rc != SCARD_S_SUCCESS) {
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(ctx);
    return "SCardStatus: " + std::string(pcsc_stringify_error(rc));
  }
  out.context = static_cast<uintptr_t>(ctx);
  out.card = static_cast<uintptr_t>(card);
  out.atr.assign(atr, atr + atrLength);
  out.t0 = protocol == SCARD_PROTOCOL_T0;
  return {};
}

void PcscStack::disconnect(Connection& c) {
  if (c.card != 0) SCardDisconnect(static_cast<SCARDHANDLE>(c.card), SCARD_LEAVE_CARD);
  if (c.context != 0) SCardReleaseContext(static_cast<SCARDCONTEXT>(c.context));
  c = Connection{};
}

// Starts vemra-vcard and waits until its card sits in the reader.
std::string PcscStack::startBridge(std::uintptr_t context) {
  const SCARDCONTEXT ctx = static_cast<SCARDCONTEXT>(context);
  std::vector<std::string> bridge{VEMRA_VCARD_PATH, "--port", "35963", "--wait", "20"};
  if (!stateFile_.empty()) {
    bridge.emplace_back("--state");
    bridge.push_back(stateFile_);
  }
  bridge.insert(bridge.end(), bridgeOptions_.begin(), bridgeOptions_.end());
  bridgePid_ = spawn(bridge, logPath("vemra-vcard"));
  if (bridgePid_ < 0) return "cannot start vemra-vcard";
  const auto cardDeadline = Clock::now() + 20s;
  DWORD state = SCARD_STATE_UNAWARE;
  while (!((state = readerState(ctx, reader_, state, 500ms)) & SCARD_STATE_PRESENT)) {
    if (exited(bridgePid_)) {
      bridgePid_ = -1;
      return "vemra-vcard stopped:\n" + tail(logPath("vemra-vcard"));
    }
    if (Clock::now() > cardDeadline) return "the simulated card does not appear in " + reader_;
  }
  return {};
}

std::string PcscStack::removeCard() {
  terminate(bridgePid_);
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
    return "SCardEstablishContext failed";
  }
  const auto deadline = Clock::now() + 10s;
  DWORD state = SCARD_STATE_UNAWARE;
  std::string failure;
  while ((state = readerState(ctx, reader_, state, 500ms)) & SCARD_STATE_PRESENT) {
    if (Clock::now() > deadline) {
      failure = "the card stays in " + reader_;
      break;
    }
  }
  SCardReleaseContext(ctx);
  return failure;
}

std::string PcscStack::insertCard() {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
    return "SCardEstablishContext failed";
  }
  const std::string failure = startBridge(static_cast<std::uintptr_t>(ctx));
  SCardReleaseContext(ctx);
  return failure;
}

long PcscStack::begin(const Connection& c) { return SCardBeginTransaction(static_cast<SCARDHANDLE>(c.card)); }

long PcscStack::end(const Connection& c) {
  return SCardEndTransaction(static_cast<SCARDHANDLE>(c.card), SCARD_LEAVE_CARD);
}

long PcscStack::reconnect(const Connection& c, bool reset) {
  DWORD protocol = 0;
  return SCardReconnect(static_cast<SCARDHANDLE>(c.card), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0,
                        reset ? SCARD_RESET_CARD : SCARD_LEAVE_CARD, &protocol);
}

std::vector<uint8_t> PcscStack::transmit(const Connection& c, std::span<const uint8_t> command) {
  unsigned char response[MAX_BUFFER_SIZE];
  DWORD length = sizeof response;
  const LONG rc = SCardTransmit(static_cast<SCARDHANDLE>(c.card), SCARD_PCI_T0, command.data(),
                                static_cast<DWORD>(command.size()), nullptr, response, &length);
  if (rc != SCARD_S_SUCCESS) return {};
  return {response, response + length};
}

}  // namespace vemra::integration
