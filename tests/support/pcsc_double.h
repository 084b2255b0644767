// The in-process PC/SC double linked into the test executables in place of
// the PC/SC library. It defines SCardTransmit, SCardBeginTransaction,
// SCardEndTransaction and g_rgSCardT0Pci, logs every command APDU with the
// transaction depth at which it was sent, counts transactions per card handle
// and can make the n-th call of any of the three fail with a chosen code.
// Commands are answered by a CardBackend (a scripted card, or the simulator).
//
// This header uses no PC/SC type, so tests can include it next to the
// driver's interface header.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <vector>

namespace vemra::test {

class CardBackend {
 public:
  virtual ~CardBackend() = default;
  // The card's whole answer to one command: response data and SW1 SW2.
  virtual std::vector<std::uint8_t> transmit(std::span<const std::uint8_t> command) = 0;
};

enum class PcscCall { Transmit, BeginTransaction, EndTransaction };

struct SentCommand {
  std::vector<std::uint8_t> bytes;
  int depth;                   // open transactions on the handle when it was sent
  std::uintptr_t handle;
  bool t0Pci;                  // sent with g_rgSCardT0Pci as send header
  std::uint64_t receiveLength;  // receive buffer size offered
};

class PcscDouble {
 public:
  static PcscDouble& instance();

  // Forgets commands, counters and planned failures; no backend afterwards.
  void reset();
  void setBackend(CardBackend* backend) { backend_ = backend; }

  // The nth call (1-based, counted from now over all handles) of `call` fails
  // with `code` and does nothing else.
  void failCall(PcscCall call, int nth, std::uint32_t code);
  // The nth SCardTransmit from now reaches the card, which runs the command,
  // but its answer is lost and the call fails with `code` (the card lost
  // power or was reset right after the command).
  void loseAnswer(int nth, std::uint32_t code) { lostAnswers_[calls(PcscCall::Transmit) + nth] = code; }

  // Another connection's commands, for tests of card sharing: `action` runs
  // at every command boundary of `handle` (before it begins a transaction or
  // sends a command) while `handle` holds the card in no transaction, and,
  // while it holds the card, waits for its outermost end, as the PC/SC
  // service makes other connections wait. An empty action stops it.
  void interleave(std::uintptr_t handle, std::function<void()> action);
  int interleavings() const { return interleavings_; }

  const std::vector<SentCommand>& commands() const { return commands_; }
  int calls(PcscCall call) const;
  int depth(std::uintptr_t handle) const;
  // Every successful begin was matched by an end, on every handle.
  bool balanced() const;
  // Ends called with a disposition other than SCARD_LEAVE_CARD.
  int endsNotLeavingCard() const { return endsNotLeavingCard_; }
  // Ends called on a handle without an open transaction.
  int unmatchedEnds() const { return unmatchedEnds_; }
  // The deepest transaction nesting seen on any handle.
  int maxDepth() const { return maxDepth_; }

  // Entry points used by the PC/SC functions; return the PC/SC result.
  std::uint32_t onTransmit(std::uintptr_t handle, bool t0Pci, std::span<const std::uint8_t> command,
                           std::uint8_t* receive, std::uint64_t& receiveLength);
  std::uint32_t onBegin(std::uintptr_t handle);
  std::uint32_t onEnd(std::uintptr_t handle, std::uint64_t disposition);

 private:
  bool plannedFailure(PcscCall call, std::uint32_t& code);
  void boundary(std::uintptr_t handle);
  void runInterloper();

  CardBackend* backend_ = nullptr;
  std::vector<SentCommand> commands_;
  std::map<PcscCall, int> calls_;
  std::map<PcscCall, std::map<int, std::uint32_t>> failures_;
  std::map<int, std::uint32_t> lostAnswers_;
  std::map<std::uintptr_t, int> depth_;
  int endsNotLeavingCard_ = 0;
  int unmatchedEnds_ = 0;
  int maxDepth_ = 0;
  std::uintptr_t interleaved_ = 0;
  std::function<void()> interloper_;
  bool interloperWaits_ = false;
  bool interloping_ = false;
  int interleavings_ = 0;
};

}  // namespace vemra::test
