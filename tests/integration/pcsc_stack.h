// The real PC/SC path for the integration tests: pcscd, vsmartcard's virtual
// reader and vemra-vcard serving a fresh simulated card.
//
// The stack is brought up once per test process and torn down at its end.
// Runs on one machine are serialised by an exclusive lock on
// /tmp/vemra-vpcd.lock, since vpcd offers one virtual reader on one port.
// A pcscd that already runs is used as it is; otherwise one is started
// (`pcscd --foreground --auto-exit`) and stopped again afterwards.
//
// This header carries no PC/SC types, so that a test may include the
// minidriver's interface (whose DWORD differs from pcsc-lite's) beside it.
#ifndef VEMRA_INTEGRATION_PCSC_STACK_H
#define VEMRA_INTEGRATION_PCSC_STACK_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vemra::integration {

// A card handle on the simulated card, connected with protocol T=0.
struct Connection {
  uintptr_t context = 0;  // SCARDCONTEXT
  uintptr_t card = 0;     // SCARDHANDLE
  std::vector<uint8_t> atr;
  bool t0 = false;
};

class PcscStack {
 public:
  static PcscStack& instance();

  // Brings the stack up if it is not yet. Returns "" when the simulated card
  // sits in the reader, else what went wrong.
  std::string start();
  // Stops the bridge and, if it was started here, pcscd; releases the lock.
  void stop();

  // SCardEstablishContext, SCardConnect (shared, T=0) and SCardStatus.
  std::string connect(Connection& out);
  // SCardDisconnect (leave the card) and SCardReleaseContext.
  void disconnect(Connection& connection);
  // SCardBeginTransaction / SCardEndTransaction (leave the card): the PC/SC result.
  long begin(const Connection& connection);
  long end(const Connection& connection);
  // SCardReconnect (shared, T=0) with `reset` true: the card is reset for
  // every handle on it; with false: this handle takes note of a reset done
  // by another. The PC/SC result.
  long reconnect(const Connection& connection, bool reset);

  // Takes the simulated card out of the reader (its bridge ends) and puts it
  // back (a new bridge, from the state file if one is set). "" or what went
  // wrong.
  std::string removeCard();
  std::string insertCard();

  // Before start(): the simulated card keeps its state in `path` (loaded if
  // it exists, saved on every change).
  void setStateFile(std::string path) { stateFile_ = std::move(path); }
  // Options added to the bridge's command line when it is next started
  // (start() or insertCard()): a timing profile, a counts file.
  void setBridgeOptions(std::vector<std::string> options) { bridgeOptions_ = std::move(options); }
  // One command through SCardTransmit with the T=0 PCI; the response bytes,
  // empty when the transmission failed.
  std::vector<uint8_t> transmit(const Connection& connection, std::span<const uint8_t> command);

  const std::string& readerName() const { return reader_; }
  // Where the programs started meanwhile keep what they read of the card
  // for the programs after them ($XDG_CACHE_HOME, set by start() to a
  // folder of its own and emptied by stop()); emptyCardStore() forgets it.
  const std::string& cardStore() const { return cardStore_; }
  void emptyCardStore();

 private:
  PcscStack() = default;
  std::string startLocked();
  std::string startBridge(std::uintptr_t context);

  int lockFd_ = -1;
  int pcscdPid_ = -1;
  int bridgePid_ = -1;
  bool started_ = false;
  std::string failure_;
  std::string reader_;
  std::string stateFile_;
  std::vector<std::string> bridgeOptions_;
  std::string cardStore_;
};

}  // namespace vemra::integration

#endif  // VEMRA_INTEGRATION_PCSC_STACK_H
