#pragma once

#include "vemradrv/minidriver.h"

namespace vemra::common {

// The common first steps of every entry point that talks to the card:
// checks the record and its card handle (SCARD_E_INVALID_PARAMETER), selects
// the card application again by its DF name (a PC/SC failure unchanged, any
// status other than 0x9000 SCARD_E_UNKNOWN_CARD) and clears challengeIssued.
// Returns 0, or the code with which the entry point must return at once.
[[nodiscard]] DWORD prologue(PCARD_DATA pCardData);

}  // namespace vemra::common
