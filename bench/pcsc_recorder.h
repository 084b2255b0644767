// The bench's view of the PC/SC calls the driver makes. The bench executable
// defines SCardBeginTransaction, SCardEndTransaction and SCardTransmit itself
// and exports them, so the dlopen'ed driver binds to these definitions before
// libpcsclite's; each forwards to libpcsclite, and when the call comes from
// inside the driver it is counted and, while recording, kept for a replay.
//
// The same module knows whether code of the driver is running (an entry point
// called by the bench, minus the PC/SC calls and provider callbacks it makes
// from there): heap calls and callgrind's collection follow that state.
//
// This header carries no PC/SC types, so that it can sit beside the
// minidriver's interface (whose DWORD differs from pcsc-lite's).
#ifndef VEMRA_BENCH_PCSC_RECORDER_H
#define VEMRA_BENCH_PCSC_RECORDER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vemra::bench {

struct PcscCall {
  enum class Kind : std::uint8_t { Begin, End, Transmit };
  Kind kind = Kind::Transmit;
  std::uintptr_t card = 0;
  std::uint32_t disposition = 0;         // End
  std::vector<std::uint8_t> command;     // Transmit
  std::size_t answerCapacity = 0;        // Transmit: the receive buffer the driver offered
  std::vector<std::uint8_t> answer;      // Transmit: what came back
  long result = 0;
};

struct PcscCounts {
  std::size_t transmits = 0;
  std::size_t transactions = 0;  // SCardBeginTransaction calls
  std::size_t calls = 0;         // every PC/SC call
};

// Counts (and, with a sink, records) the PC/SC calls made from inside the
// driver until the next call. A null sink counts only.
void beginOperation(std::vector<PcscCall>* sink);
PcscCounts endOperation();

// Sends `calls` again straight to libpcsclite, in order; returns how many
// answers differed from the recorded ones (0 when the card behaved the same).
std::size_t replay(const std::vector<PcscCall>& calls);

// Heap calls (malloc, calloc, realloc, free and what builds on them) made
// while driver code ran; -1 when the build cannot count them (sanitizers
// bring their own allocator).
long heapCallsInDriver();

// Where the bench enters the driver (an entry point) and where the driver
// calls back into the bench (a provider allocator). Nested freely.
void enterDriver();
void leaveDriver();
void enterCallback();
void leaveCallback();

// Under valgrind's callgrind (started with --collect-atstart=no), collect
// instructions only while driver code runs.
void collectDriverInstructions(bool on);

class DriverCall {
 public:
  DriverCall() { enterDriver(); }
  ~DriverCall() { leaveDriver(); }
  DriverCall(const DriverCall&) = delete;
  DriverCall& operator=(const DriverCall&) = delete;
};

class Callback {
 public:
  Callback() { enterCallback(); }
  ~Callback() { leaveCallback(); }
  Callback(const Callback&) = delete;
  Callback& operator=(const Callback&) = delete;
};

}  // namespace vemra::bench

#endif  // VEMRA_BENCH_PCSC_RECORDER_H
