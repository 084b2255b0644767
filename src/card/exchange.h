// The card exchange: every byte the driver sends to the card goes through
// here. One command APDU in T=0 framing, with the 61xx (GET RESPONSE) and
// 6Cxx (repeat with the length the card names) procedures completed inside,
// run in a PC/SC transaction of its own ("bracketed exchange").
//
// This header is the only door to PC/SC: it uses no PC/SC type, so the rest of
// the driver never sees one. Status words are never mapped here; each caller
// maps them to the interface's error codes.
#pragma once

#include <cstdint>
#include <span>

#include "card/apdu.h"

namespace vemra::card {

using Handle = std::uintptr_t;  // the card handle, as CARD_DATA carries it
using Result = std::uint32_t;   // 0, an interface error code, or a PC/SC code passed through

inline constexpr std::uint16_t kSwSuccess = sw::kSuccess;

// At most this many commands are chained behind one command (GET RESPONSE
// after 61xx, the repeated command after 6Cxx). A card that keeps asking for
// more is treated as broken and the exchange fails with SCARD_F_INTERNAL_ERROR.
inline constexpr int kMaxChainedCommands = 8;

// Size of the receive buffer offered to SCardTransmit: response data of at
// most 510 bytes plus the status word.
inline constexpr std::size_t kReceiveBufferSize = 512;

// Sends `apdu` as a bracketed exchange (two-byte length form).
//
// `length` on entry is the expected response length, sent as P3 when the
// command has no data (0 means 256 to a T=0 card, or no response expected).
// On success it holds the number of data bytes the card sent with its final
// answer (0 when the card sent only a status word). At most response.size()
// bytes are stored in `response`; data beyond that, or data that arrives when
// `response` is empty, is discarded, so `length` can exceed response.size()
// and callers must compare it with what they asked for before using the data.
//
// Returns 0 when the card answered, whatever its status word (stored in `sw`).
// Otherwise: the failure of SCardBeginTransaction (nothing sent), of
// SCardTransmit, SCARD_F_INTERNAL_ERROR for an answer of fewer than two bytes
// or a chain longer than kMaxChainedCommands (in these cases `length` is not
// updated), or SCARD_E_INVALID_PARAMETER for command data over 255 bytes. When
// the exchange succeeded but SCardEndTransaction failed, its code is returned
// with `sw`, `length` and the data already stored.
[[nodiscard]] Result transmit(Handle card, const Apdu& apdu, std::span<std::uint8_t> response, std::uint16_t& length,
                              std::uint16_t& sw);

// The same with a one-byte length: the caller's byte is widened on entry and
// only the low-order byte of the data length is stored back (256 reports 0).
[[nodiscard]] Result transmit(Handle card, const Apdu& apdu, std::span<std::uint8_t> response, std::uint8_t& length,
                              std::uint16_t& sw);

// A command that expects no response data and whose data length the caller
// does not need: the one-byte form with expected length 0 and no buffer.
[[nodiscard]] Result transmit(Handle card, const Apdu& apdu, std::uint16_t& sw);

// The two transaction calls, for operations whose commands must stay
// together; both use the card handle and SCARD_LEAVE_CARD.
[[nodiscard]] Result beginTransaction(Handle card);
[[nodiscard]] Result endTransaction(Handle card);

// An operation's outer transaction. `begin()` starts it; every path that
// leaves after a successful begin ends it with SCARD_LEAVE_CARD, through
// `finish()` or, failing that, the destructor.
class OuterTransaction {
 public:
  explicit OuterTransaction(Handle card) : card_(card) {}
  OuterTransaction(const OuterTransaction&) = delete;
  OuterTransaction& operator=(const OuterTransaction&) = delete;
  ~OuterTransaction();

  // Begins the transaction; returns the failure of SCardBeginTransaction.
  [[nodiscard]] Result begin();

  // Ends the transaction and returns `result` when it is a failure (ending
  // does not hide it), otherwise the result of SCardEndTransaction.
  [[nodiscard]] Result finish(Result result);

 private:
  Handle card_;
  bool active_ = false;
};

// Runs `steps()` (returning a Result) inside an outer transaction: the
// failure to begin it (nothing run), or the steps' result as finish() gives it.
template <typename Steps>
[[nodiscard]] Result inTransaction(Handle card, Steps&& steps) {
  OuterTransaction transaction{card};
  if (const Result rc = transaction.begin()) return rc;
  return transaction.finish(steps());
}

}  // namespace vemra::card
