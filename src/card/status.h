// Mapping of a card's status word to an interface error code. Each operation
// keeps its own small table next to its code; a status word the table does
// not list gives the operation's default (mostly SCARD_F_INTERNAL_ERROR).
#pragma once

#include <cstdint>
#include <initializer_list>

#include "card/exchange.h"
#include "vemradrv/minidriver.h"

namespace vemra::card {

struct StatusMapping {
  std::uint16_t sw;
  Result result;
};

// The result for `sw`: 0 for 0x9000, the table's entry for a listed status
// word, `otherwise` for the rest.
[[nodiscard]] constexpr Result mapStatus(std::uint16_t sw, std::initializer_list<StatusMapping> table,
                                         Result otherwise) {
  if (sw == sw::kSuccess) return 0;
  for (const StatusMapping& entry : table) {
    if (entry.sw == sw) return entry.result;
  }
  return otherwise;
}

// Sends `apdu`, a command answered by a status word alone (answer data is
// ignored). Returns the exchange's failure unchanged, otherwise the
// mapStatus of its status word.
[[nodiscard]] inline Result sendExpectingSuccess(Handle card, const Apdu& apdu,
                                                 std::initializer_list<StatusMapping> table = {},
                                                 Result otherwise = SCARD_F_INTERNAL_ERROR) {
  std::uint16_t sw = 0;
  if (const Result rc = transmit(card, apdu, sw)) return rc;
  return mapStatus(sw, table, otherwise);
}

// A 63Cx status word (verification failed, x tries left).
[[nodiscard]] constexpr bool isRetryCounter(std::uint16_t sw) {
  return (sw & sw::kRetryCounterMask) == sw::kRetryCounter;
}
[[nodiscard]] constexpr std::uint32_t triesLeft(std::uint16_t sw) { return sw & ~sw::kRetryCounterMask; }

}  // namespace vemra::card
