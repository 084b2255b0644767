// CardQueryFreeSpace: the application's free memory, as its control
// parameters state it, and the key-container slots without key files.
#include <array>

#include "card/tables.h"
#include "files/file_system.h"

namespace vemra::files {
namespace {

// The free memory: the two bytes after the first 82 02 that follows a 62
// and then an A5 in the application's control parameters (a byte scan, not
// a TLV walk). Errors: SCARD_F_INTERNAL_ERROR for a status other than 0x9000
// or no such bytes.
[[nodiscard]] Result freeMemory(card::Handle card, std::uint16_t& bytes) {
  card::ControlParameters parameters;
  std::uint16_t sw = 0;
  if (const Result rc = card::selectKeepingParameters(card, command::selectApplication(Answer::Fcp), parameters, sw))
    return rc;
  if (sw != card::sw::kSuccess) return SCARD_F_INTERNAL_ERROR;
  card::ByteReader reader{parameters.bytes()};
  if (!card::seekPairAfter(reader, {0x62, 0xA5}, 0x82, 0x02) || !reader.readU16(bytes)) return SCARD_F_INTERNAL_ERROR;
  return 0;
}

// Counts the slots n < maxContainers where neither key file exists.
[[nodiscard]] Result freeSlots(const card::CardConfig& config, card::Handle card, DWORD& count) {
  count = 0;
  for (unsigned n = 0; n < config.maxContainers; ++n) {
    Result rc = card::selectFile(card, card::fidPlus(config.kxKeyFidBase, n));
    if (rc == SCARD_E_FILE_NOT_FOUND) rc = card::selectFile(card, card::fidPlus(config.sigKeyFidBase, n));
    if (rc == SCARD_E_FILE_NOT_FOUND) {
      ++count;
    } else if (rc != 0) {
      return rc;
    }
  }
  return 0;
}

[[nodiscard]] Result queryFreeSpace(const card::CardConfig& config, card::Handle card, DWORD flags,
                                    PCARD_FREE_SPACE_INFO info) {
  if (flags != 0) return SCARD_E_INVALID_PARAMETER;
  if (info == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (info->dwVersion > 1) return ERROR_REVISION_MISMATCH;

  std::uint16_t memory = 0;
  if (const Result rc = freeMemory(card, memory)) return rc;
  info->dwBytesAvailable = memory;
  info->dwMaxKeyContainers = config.maxContainers;
  DWORD slots = 0;
  if (const Result rc = freeSlots(config, card, slots)) return rc;
  info->dwKeyContainersAvailable = slots;
  if (info->dwVersion == 0) info->dwVersion = 1;
  return 0;
}

}  // namespace
}  // namespace vemra::files

extern "C" {

// Fills `pCardFreeSpaceInfo` (dwVersion 0 or 1; 0 becomes 1) with the
// application's free memory in bytes, the number of key-container slots and
// how many of them hold no key file. `dwFlags` must be 0. A failure while
// the slots are counted leaves dwBytesAvailable and dwMaxKeyContainers
// written and the other fields as they were.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for non-zero flags or a NULL
// record; ERROR_REVISION_MISMATCH for dwVersion above 1;
// SCARD_F_INTERNAL_ERROR when the free memory is missing from the
// application's control parameters or for any unexpected answer; a PC/SC
// failure unchanged; and the prologue's errors.
DWORD WINAPI CardQueryFreeSpace(PCARD_DATA pCardData, DWORD dwFlags, PCARD_FREE_SPACE_INFO pCardFreeSpaceInfo) {
  return vemra::common::runEntryPoint(
      "Function CardQueryFreeSpace called", "\tFunction CardQueryFreeSpace is done", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::files::queryFreeSpace(session.config, session.card, dwFlags, pCardFreeSpaceInfo);
      });
}

}  // extern "C"
