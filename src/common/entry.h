// The shape every entry point that talks to the card shares: the entry trace,
// the prologue, then the operation with what it needs from CARD_DATA.
#pragma once

#include "card/config.h"
#include "card/exchange.h"
#include "common/context.h"
#include "common/prologue.h"
#include "common/trace.h"
#include "vemradrv/minidriver.h"

namespace vemra::common {

// What an operation needs once the prologue has passed: the provider's
// record (for its allocator and callbacks), the card configuration and the
// card handle.
struct Session {
  PCARD_DATA cardData;
  card::CardConfig& config;
  card::Handle card;
  // The challenge-issued flag as it stood before the prologue cleared it: a
  // challenge from the call just before this one may be answered.
  std::uint8_t challengeIssued = 0;
};

// Traces `called` ("Function CardReadFile called"), runs the prologue and,
// when it passes, returns `operation(session)`; otherwise the prologue's
// failure, with the operation not run.
template <typename Operation>
[[nodiscard]] DWORD runEntryPoint(const char* called, PCARD_DATA pCardData, Operation&& operation) {
  trace::function(called);
  const std::uint8_t challengeIssued = challengeIssuedBeforePrologue(pCardData);
  if (const DWORD rc = prologue(pCardData)) return rc;
  return operation(Session{pCardData, config(pCardData), cardHandle(pCardData), challengeIssued});
}

// The same, tracing `done` ("\tFunction CardReadFile is done") when the
// operation succeeds.
template <typename Operation>
[[nodiscard]] DWORD runEntryPoint(const char* called, const char* done, PCARD_DATA pCardData,
                                  Operation&& operation) {
  const DWORD rc = runEntryPoint(called, pCardData, static_cast<Operation&&>(operation));
  if (rc == 0) trace::function(done);
  return rc;
}

}  // namespace vemra::common
