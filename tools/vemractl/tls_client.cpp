// The demo's TLS 1.3 handshake: two OpenSSL programs, each bounded by
// `timeout`, started with the tool's environment less its secrets.
#include "tls_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "error.h"
#include "simulator.h"

extern char** environ;

namespace vemra::ctl {

using host::Error;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* kTimeoutSeconds = "60";

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string tail(const std::string& text) { return text.size() > 1500 ? text.substr(text.size() - 1500) : text; }

// The sanitizers' runtime this program runs with: a module built with them
// (built with this program) loads into OpenSSL only after it.
std::string sanitizerPreload() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  std::string asan;
  std::string ubsan;
  while (std::getline(maps, line)) {
    const std::size_t slash = line.find('/');
    if (slash == std::string::npos) continue;
    const std::string path = line.substr(slash);
    if (asan.empty() && path.find("/libasan.so") != std::string::npos) asan = path;
    if (ubsan.empty() && path.find("/libubsan.so") != std::string::npos) ubsan = path;
  }
  return asan.empty() && ubsan.empty() ? "" : asan + (asan.empty() || ubsan.empty() ? "" : " ") + ubsan;
}

// The tool's environment less its secrets, with the engine's configuration
// and, when needed, the sanitizers' runtime.
std::vector<std::string> opensslEnvironment(const std::string& config) {
  std::vector<std::string> env;
  for (std::string& e : childEnvironment(environ)) {
    if (e.rfind("OPENSSL_CONF=", 0) != 0 && e.rfind("LD_PRELOAD=", 0) != 0 && e.rfind("ASAN_OPTIONS=", 0) != 0) {
      env.push_back(std::move(e));
    }
  }
  env.push_back("OPENSSL_CONF=" + config);
  const std::string preload = sanitizerPreload();
  if (!preload.empty()) {
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("ASAN_OPTIONS=detect_leaks=0");
  }
  return env;
}

// A child `timeout 60 openssl args...`, input from `input`, output to `log`.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::vector<std::string>& environment, const std::string& input,
        const std::string& log) {
    std::vector<std::string> all = {"timeout", kTimeoutSeconds, "openssl"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = environment;
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawnp(&pid_, "timeout", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      throw Error("cannot start openssl through timeout: " + std::string(std::strerror(rc)));
    }
  }
  ~Child() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    waitUntil(Clock::now() + 3s);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Whether it ended by `deadline`; its exit status in `status_`.
  bool waitUntil(Clock::time_point deadline) {
    while (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        break;
      }
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  }
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Runs `openssl args...` to its end (bounded by the timeout); its status.
int runOpenssl(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& log) {
  Child child(args, env, "/dev/null", log);
  child.waitUntil(Clock::now() + 70s);
  return child.status();
}

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path == nullptr ? "/usr/bin:/bin" : path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// A port on 127.0.0.1 nobody listens on now.
int freePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) throw Error("cannot open a socket");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) == 0;
  ::close(s);
  if (!ok) throw Error("cannot find a free port on 127.0.0.1");
  return ntohs(a.sin_port);
}

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, mode);
  if (fd < 0) throw Error("cannot write " + path);
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!ok) throw Error("cannot write " + path);
}

std::string percentEncoded(const std::string& text) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char ch : text) {
    if (std::isalnum(ch) != 0 || ch == '-' || ch == '.' || ch == '_' || ch == '~') {
      out += static_cast<char>(ch);
    } else {
      out += '%';
      out += kDigits[ch >> 4];
      out += kDigits[ch & 15];
    }
  }
  return out;
}

// Skips the step where OpenSSL or its PKCS #11 engine is missing.
void requireEngine(const std::vector<std::string>& env, const std::string& folder) {
  if (!onPath("openssl") || !onPath("timeout")) {
    throw Error("the openssl program (or timeout) is not installed", SCARD_E_UNSUPPORTED_FEATURE);
  }
  const std::string log = folder + "/engine.log";
  if (runOpenssl({"engine", "-t", "pkcs11"}, env, log) != 0) {
    throw Error("OpenSSL's PKCS #11 engine (libengine-pkcs11-openssl) is not available: " + tail(slurp(log)),
                SCARD_E_UNSUPPORTED_FEATURE);
  }
}

}  // namespace

std::string engineKeyUri(const std::string& serial, BYTE container, DWORD keySpec, const std::string& pinFile) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string uri = "pkcs11:";
  if (!serial.empty()) uri += "serial=" + percentEncoded(serial) + ";";
  uri += "id=";
  for (unsigned byte : {static_cast<unsigned>(container), static_cast<unsigned>(keySpec & 0xFF)}) {
    uri += '%';
    uri += kDigits[byte >> 4];
    uri += kDigits[byte & 15];
  }
  return uri + ";type=private?pin-source=file:" + percentEncoded(pinFile);
}

std::string handshakeProblem(const std::string& serverLog, const std::string& clientOutput) {
  const std::size_t depth0 = serverLog.find("depth=0 ");
  if (depth0 == std::string::npos) return "the server saw no client certificate";
  const std::size_t verdict = serverLog.find("verify ", depth0);
  if (verdict == std::string::npos || serverLog.compare(verdict, 16, "verify return:1\n") != 0 ||
      serverLog.find("verify error", 0) != std::string::npos) {
    return "the server did not verify the client certificate";
  }
  if (clientOutput.find("Protocol  : TLSv1.3\n") == std::string::npos) return "the connection did not use TLS 1.3";
  if (clientOutput.find("Peer signature type: RSA-PSS\n") == std::string::npos) {
    return "the client did not sign the handshake with RSA-PSS";
  }
  return {};
}

void tlsHandshakeThroughEngine(const Handshake& h, const Secret& pin, std::ostream& out) {
  const std::string config = h.folder + "/openssl.cnf";
  writeFile(config,
            "openssl_conf = openssl_init\n[openssl_init]\nengines = engine_section\n[engine_section]\n"
            "pkcs11 = pkcs11_section\n[pkcs11_section]\nengine_id = pkcs11\nMODULE_PATH = " +
                h.modulePath + "\ninit = 0\n",
            0600);
  const std::vector<std::string> env = opensslEnvironment(config);
  requireEngine(env, h.folder);
  const std::string pinFile = h.folder + "/pin";
  writeFile(pinFile, std::string(reinterpret_cast<const char*>(pin.data()), pin.size()), 0600);
  struct PinGone {
    std::string path;
    ~PinGone() { ::unlink(path.c_str()); }
  } pinGone{pinFile};

  const std::string serverKey = h.folder + "/server.key";
  const std::string serverCert = h.folder + "/server.pem";
  if (runOpenssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", serverKey, "-out", serverCert, "-subj",
                  "/CN=localhost", "-days", "1"},
                 env, h.folder + "/server-cert.log") != 0) {
    throw Error("openssl req could not make the server's certificate: " + tail(slurp(h.folder + "/server-cert.log")));
  }
  const int port = freePort();
  const std::string serverLog = h.folder + "/s_server.log";
  Child server({"s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-naccept", "1", "-www", "-tls1_3",
                "-cert", serverCert, "-key", serverKey, "-CAfile", h.caFile, "-Verify", "1", "-verify_return_error"},
               env, "/dev/null", serverLog);
  const auto ready = Clock::now() + 15s;
  while (slurp(serverLog).find("ACCEPT") == std::string::npos) {
    if (server.waitUntil(Clock::now()) || Clock::now() > ready) {
      throw Error("openssl s_server did not start: " + tail(slurp(serverLog)));
    }
    std::this_thread::sleep_for(50ms);
  }
  out << "    openssl s_server listens on 127.0.0.1:" << port << ", asking for a certificate the demo CA issued\n";

  const std::string request = h.folder + "/request.txt";
  writeFile(request, "GET / HTTP/1.0\r\n\r\n", 0600);
  const std::string clientLog = h.folder + "/s_client.log";
  const std::string key = engineKeyUri(h.tokenSerial, h.container, h.keySpec, pinFile);
  Child client({"s_client", "-ign_eof", "-tls1_3", "-engine", "pkcs11", "-keyform", "engine", "-key", key, "-cert",
                h.certificateFile, "-connect", "127.0.0.1:" + std::to_string(port)},
               env, request, clientLog);
  client.waitUntil(Clock::now() + 70s);
  server.waitUntil(Clock::now() + 10s);
  const std::string serverText = slurp(serverLog);
  const std::string clientText = slurp(clientLog);
  if (client.status() != 0) {
    throw Error("openssl s_client ended with " + std::to_string(client.status()) + ": " + tail(clientText));
  }
  const std::string problem = handshakeProblem(serverText, clientText);
  if (!problem.empty()) throw Error(problem + ": " + tail(serverText) + tail(clientText));
  out << "    openssl s_client signed the handshake with the card's key (" << key.substr(0, key.find('?'))
      << ") through the engine and the module\n";
  out << "    the server verified the client certificate, the connection used TLS 1.3 and the card signed"
         " with RSA-PSS\n";
}

}  // namespace vemra::ctl
