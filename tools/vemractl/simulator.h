// The simulated card served through the real PC/SC stack, for the demo:
// pcscd (started when none runs) with vsmartcard's virtual reader, and the
// bridge vemra-vcard with a fresh card in it. Runs on one machine share the
// one virtual reader, so the whole use is held under an exclusive lock on
// /tmp/vemra-vpcd.lock. Whatever was started here is stopped on destruction.
#ifndef VEMRA_CTL_SIMULATOR_H
#define VEMRA_CTL_SIMULATOR_H

#include <ostream>
#include <string>
#include <vector>

namespace vemra::ctl {

class SimulatedCard {
 public:
  // Starts what is missing; throws host::Error with the reason on failure.
  // With `stateFile`, the fresh card is kept there (the bridge saves it on
  // every change) for later runs to load.
  SimulatedCard(const std::string& vcardPath, std::ostream& log, const std::string& stateFile = "");
  ~SimulatedCard();
  SimulatedCard(const SimulatedCard&) = delete;
  SimulatedCard& operator=(const SimulatedCard&) = delete;

  const std::string& reader() const { return reader_; }
  bool startedPcscd() const { return pcscdPid_ > 0; }

 private:
  void stop();

  int lockFd_ = -1;
  int pcscdPid_ = -1;
  int bridgePid_ = -1;
  std::string reader_;
  std::string workDir_;
};

// The environment of a program the demo starts (pcscd, the bridge): `env`
// without the variables that carry the user's PIN or administrator key.
std::vector<std::string> childEnvironment(char** env);

// vemra-vcard beside the running program (build tree or installation).
std::string defaultVcardPath();

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_SIMULATOR_H
