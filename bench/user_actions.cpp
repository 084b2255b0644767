#include "user_actions.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace vemra::bench {

namespace {

constexpr const char* kToken = "pkcs11:model=VEMRA_MINIDR";
constexpr const char* kAdminKey = "0123456789ABCDEFFEDCBA98765432100123456789ABCDEF";

std::string quoted(const std::string& text) { return "'" + text + "'"; }

std::string p11tool(const Programs& p, const std::string& arguments) {
  return p.preload + "p11tool --provider " + p.module + " " + arguments;
}

std::string inWork(const Programs& p, const std::string& name) { return p.work + "/" + name; }

}  // namespace

std::optional<BridgeCounts> readBridgeCounts(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  BridgeCounts c;
  c.commands = j.value("commands", 0ULL);
  c.bytesIn = j.value("bytesIn", 0ULL);
  c.bytesOut = j.value("bytesOut", 0ULL);
  c.modelled = std::chrono::microseconds(j.value("modelledMicroseconds", 0LL));
  return c;
}

std::vector<UserAction> userActions(const Programs& p) {
  const std::string login = "--login --set-pin=1234 ";
  return {
      {"p11tool --list-tokens", p11tool(p, "--list-tokens")},
      {"p11tool --list-all", p11tool(p, "--list-all " + quoted(kToken))},
      {"p11tool --login --list-all", p11tool(p, login + "--list-all " + quoted(kToken))},
      {"ssh-keygen -D", p.preload + "ssh-keygen -D " + p.module},
      {"p11tool --login --test-sign", p11tool(p, login + "--test-sign " + quoted(std::string(kToken) + ";object=card-key"))},
      {"vemractl info", p.vemractl + " info"},
      {"vemractl sign", p.vemractl + " --pin 1234 --login user sign --container 1 --keyspec sig " +
                            inWork(p, "message") + " -o " + inWork(p, "message.sig")},
  };
}

RunResult runCommandLine(const std::string& line) {
  RunResult r;
  FILE* pipe = ::popen((line + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) r.output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string prepareCard(const Programs& p) {
  std::ofstream(inWork(p, "message")) << "a message signed by the card\n";
  const std::string kx = inWork(p, "kx.pem");
  const std::string sig = inWork(p, "sig.pem");
  const std::string cert = inWork(p, "kx-cert.pem");
  const std::string token = quoted(kToken);
  const std::string steps[] = {
      "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + kx,
      "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + sig,
      "chmod 600 " + kx + " " + sig,
      "openssl req -new -x509 -key " + kx + " -subj /CN=vemra-card -days 2 -out " + cert,
      p.vemractl + " --admin-key " + kAdminKey + " --login admin init",
      // CKA_ID 00 01: container 0, the key-exchange key.
      p11tool(p, "--login --set-pin=1234 --write --label card-key --id=0001 --load-privkey " + kx + " " + token),
      p11tool(p, "--login --set-pin=1234 --write --label card-key --id=0001 --load-certificate " + cert + " " + token),
      p.vemractl + " --pin 1234 --login user import-key " + sig + " --container 1 --keyspec sig",
  };
  for (const std::string& step : steps) {
    const RunResult r = runCommandLine(step);
    if (r.status != 0) return step + " failed:\n" + r.output;
  }
  return {};
}

std::optional<Measurement> measure(const UserAction& action, const std::string& countsFile) {
  const auto before = readBridgeCounts(countsFile);
  if (!before) return std::nullopt;
  Measurement m;
  const auto start = std::chrono::steady_clock::now();
  m.result = runCommandLine(action.commandLine);
  m.wall = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  const auto after = readBridgeCounts(countsFile);
  if (!after) return std::nullopt;
  m.counts.commands = after->commands - before->commands;
  m.counts.bytesIn = after->bytesIn - before->bytesIn;
  m.counts.bytesOut = after->bytesOut - before->bytesOut;
  m.counts.modelled = after->modelled - before->modelled;
  return m;
}

}  // namespace vemra::bench
