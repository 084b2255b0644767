// Steps shared by the directory and file entry points: making the named
// directory current, the rights check by VERIFY probes, and reading an object's
// access bytes back from its control parameters.
#pragma once

#include <cstdint>
#include <span>

#include "card/config.h"
#include "card/exchange.h"
#include "card/names.h"
#include "card/commands.h"
#include "card/status.h"
#include "common/caller_buffer.h"
#include "common/entry.h"
#include "vemradrv/minidriver.h"

namespace vemra::files {

using card::Result;
using card::sendExpectingSuccess;
namespace command = card::command;
using command::Answer;
using command::Target;

// Makes the directory `directoryName` the current DF: NULL is the root (the
// application DF the prologue left current; nothing is sent), a name is
// looked up in the directory table and its DF selected. Errors:
// SCARD_E_INVALID_PARAMETER (empty or longer than eight bytes),
// SCARD_E_DIR_NOT_FOUND, the lookup's other failures, SCARD_F_INTERNAL_ERROR
// when the DF cannot be selected.
[[nodiscard]] Result resolveDirectory(const card::CardConfig& config, card::Handle card, const char* directoryName);

// 0 when the caller may delete `fid`: reads its security attribute 3 from
// the first 86 `count` pair of its control parameters (as readAccessBytes,
// selecting it as `target`), then asks the card with VERIFY probes whether a
// reference that byte names is verified: the user PIN for userPinRef or
// userAccess, the administrator for adminPinRef or userAccess (user probe
// first; both run for userAccess). SCARD_W_SECURITY_VIOLATION when no probe
// answers 0x9000; the errors of readAccessBytes; a PC/SC failure of a probe.
[[nodiscard]] Result checkDeletionRight(const card::CardConfig& config, card::Handle card, Target target,
                                        std::uint16_t fid, std::uint8_t count);

// Selects `fid` as a `target` with P2 0x00 (FCI) and copies security attributes
// `first`, `first` + 1, ... (as many as `out` holds) from the first 86
// `count` pair of its control parameters. Errors: SCARD_F_INTERNAL_ERROR for
// a status other than 0x9000 or missing bytes.
[[nodiscard]] Result readAccessBytes(card::Handle card, Target target, std::uint16_t fid, std::uint8_t count,
                                     std::size_t first, std::span<std::uint8_t> out);

using common::CallerBuffer;

}  // namespace vemra::files
