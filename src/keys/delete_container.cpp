// CardDeleteContainer: both key files of a container deleted inside one
// transaction. The card decides from each key file's own access conditions
// whether the caller may delete it; the driver checks no PIN itself.
#include <cstdint>

#include "card/commands.h"
#include "card/status.h"
#include "card/tables.h"
#include "common/entry.h"

namespace vemra::keys {
namespace {

using card::Result;

// Deletes the key file `fid` when it exists. Errors: those of the selection
// other than SCARD_E_FILE_NOT_FOUND (a missing file is nothing to delete),
// the exchange's failure, SCARD_W_SECURITY_VIOLATION when the card refuses
// the deletion (0x6982), SCARD_F_INTERNAL_ERROR for any other status.
Result deleteKeyFile(card::Handle card, std::uint16_t fid) {
  const Result selected = card::selectFile(card, fid);
  if (selected == SCARD_E_FILE_NOT_FOUND) return 0;
  if (selected != 0) return selected;
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, card::command::deleteCurrentFile(), sw)) return rc;
  return card::mapStatus(sw, {{card::sw::kSecurityNotSatisfied, SCARD_W_SECURITY_VIOLATION}},
                         SCARD_F_INTERNAL_ERROR);
}

// The key-exchange key file first, then the signature key file. A failure
// on the second leaves the first deleted.
Result removeKeyFiles(const common::Session& session, BYTE index) {
  if (const Result rc = deleteKeyFile(session.card, card::fidPlus(session.config.kxKeyFidBase, index))) return rc;
  return deleteKeyFile(session.card, card::fidPlus(session.config.sigKeyFidBase, index));
}

Result deleteContainer(const common::Session& session, BYTE index, DWORD reserved) {
  if (reserved != 0) return SCARD_E_INVALID_PARAMETER;
  card::OuterTransaction transaction{session.card};
  if (const Result rc = transaction.begin()) return rc;
  return transaction.finish(removeKeyFiles(session, index));
}

}  // namespace
}  // namespace vemra::keys

/*
 * CardDeleteContainer: deletes the key files of container `bContainerIndex`
 * (kxKeyFidBase + index, then sigKeyFidBase + index), those that exist.
 *   pCardData        the bound record.
 *   bContainerIndex  the container.
 *   dwReserved       must be 0.
 * Returns 0, also for a container without key files, or:
 * SCARD_E_INVALID_PARAMETER for non-zero dwReserved or a NULL record;
 * SCARD_W_SECURITY_VIOLATION when the card refuses a deletion;
 * SCARD_F_INTERNAL_ERROR for any other unexpected answer; a PC/SC failure
 * unchanged; and the prologue's errors. A failure on the signature key file
 * leaves the key-exchange key file deleted.
 */
extern "C" DWORD WINAPI CardDeleteContainer(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwReserved) {
  return vemra::common::runEntryPoint("Function CardDeleteContainer called", "\tFunction CardDeleteContainer is done",
                                      pCardData, [&](const vemra::common::Session& session) {
                                        return vemra::keys::deleteContainer(session, bContainerIndex, dwReserved);
                                      });
}
