// What a person runs against the card (p11tool, ssh-keygen, vemractl), each
// run counted at the simulated card's bridge: commands, bytes and the
// modelled card time, beside the wall time. Used by vemra-bench-actions
// and by the test that bounds the command counts.
#ifndef VEMRA_BENCH_USER_ACTIONS_H
#define VEMRA_BENCH_USER_ACTIONS_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vemra::bench {

// Where the programs and their files are.
struct Programs {
  std::string module;    // libvemra-pkcs11.so
  std::string vemractl;  // finds the driver beside itself
  std::string work;      // keys, certificate, message and signature go here
  std::string preload;   // put before programs that load the module (a sanitizer runtime), or empty
};

// The bridge's counts file (vemra-vcard --stats).
struct BridgeCounts {
  unsigned long long commands = 0;
  unsigned long long bytesIn = 0;
  unsigned long long bytesOut = 0;
  std::chrono::microseconds modelled{0};
};
std::optional<BridgeCounts> readBridgeCounts(const std::string& path);

struct UserAction {
  std::string name;         // as a person would write it: "p11tool --login --list-all"
  std::string commandLine;  // what runs
};

// The actions of the table in docs/performance.md, in its order.
std::vector<UserAction> userActions(const Programs& programs);

struct RunResult {
  int status = -1;
  std::string output;  // standard output and error
};
RunResult runCommandLine(const std::string& line);

// Lays out the card in the reader as the measurements expect: the standard
// files (vemractl init), a 2048-bit key-exchange key in container 0 with a
// self-signed certificate, both written through the module by p11tool (so
// the certificate lands in mscp/kxc00), and a 2048-bit signature key in
// container 1 without one (vemractl import-key). "" or what failed.
std::string prepareCard(const Programs& programs);

struct Measurement {
  RunResult result;
  BridgeCounts counts;  // of this run alone
  std::chrono::microseconds wall{0};
};

// Runs one action and counts what it sent to the card; nothing when the
// counts file cannot be read.
std::optional<Measurement> measure(const UserAction& action, const std::string& countsFile);

}  // namespace vemra::bench

#endif  // VEMRA_BENCH_USER_ACTIONS_H
