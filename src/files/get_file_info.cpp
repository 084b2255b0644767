// CardGetFileInfo: a file's registered length and the access condition that
// its EF's read and write bytes stand for.
#include <array>

#include "card/tables.h"
#include "files/file_system.h"

namespace vemra::files {
namespace {

// The access condition of the read byte `read` and write byte `write`. When
// userAccess equals adminPinRef, a file everyone reads is reported as
// written by the administrator, one read and written by that byte as the
// user's.
CARD_FILE_ACCESS_CONDITION decodeAccess(const card::CardConfig& config, std::uint8_t read, std::uint8_t write) {
  if (read == 0x00) {
    if (write == config.adminPinRef) return EveryoneReadAdminWriteAc;
    if (write == config.userAccess) return EveryoneReadUserWriteAc;
    return InvalidAc;
  }
  if (read == 0xFF && write == config.userAccess) return UserWriteExecuteAc;
  if (read == config.userAccess && write == config.userAccess) return UserReadWriteAc;
  if (read == config.adminPinRef && write == config.adminPinRef) return AdminReadWriteAc;
  return UnknownAc;
}

[[nodiscard]] Result getFileInfo(const card::CardConfig& config, card::Handle card, const char* directoryName,
                                 const char* fileName, PCARD_FILE_INFO info) {
  const auto name = card::LogicalName::from(fileName);
  if (!name) return SCARD_E_INVALID_PARAMETER;
  if (info == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (info->dwVersion > 1) return ERROR_REVISION_MISMATCH;
  if (const Result rc = resolveDirectory(config, card, directoryName)) return rc;

  std::uint16_t entry = 0;
  std::uint16_t registered = 0;
  if (const Result rc = card::findFile(config, card, *name, entry, &registered, nullptr)) return rc;
  std::array<std::uint8_t, 2> readWrite{};
  if (const Result rc =
          readAccessBytes(card, Target::ChildEf, card::fidPlus(config.fileFidBase, entry), 0x06, 4, readWrite))
    return rc;

  // Read check: a file the caller may not read yields no information.
  std::array<std::uint8_t, 1> discarded{};
  std::uint16_t length = 1;
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, command::readBinary(0), discarded, length, sw)) return rc;
  if (const Result rc =
          card::mapStatus(sw, {{card::sw::kSecurityNotSatisfied, SCARD_W_SECURITY_VIOLATION}}, SCARD_F_INTERNAL_ERROR))
    return rc;

  info->AccessCondition = decodeAccess(config, readWrite[0], readWrite[1]);
  info->dwVersion = 1;
  info->cbFileSize = registered;
  return 0;
}

}  // namespace
}  // namespace vemra::files

extern "C" {

// Fills `pCardFileInfo` (dwVersion 0 or 1 on entry, 1 on return) with the
// registered length and the access condition of the file `pszFileName` of
// the directory `pszDirectoryName` (NULL: the root). The record is written
// only on success.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL, empty or too long
// name or a NULL record; ERROR_REVISION_MISMATCH for dwVersion above 1;
// SCARD_E_DIR_NOT_FOUND; SCARD_E_FILE_NOT_FOUND; SCARD_W_SECURITY_VIOLATION
// when the card refuses reading the file; SCARD_E_NO_ACCESS when it refuses
// reading the file tables; SCARD_F_INTERNAL_ERROR for any other unexpected
// answer or EF control parameters without 86 06; a PC/SC failure unchanged;
// and the prologue's errors.
DWORD WINAPI CardGetFileInfo(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                             PCARD_FILE_INFO pCardFileInfo) {
  return vemra::common::runEntryPoint(
      "Function CardGetFileInfo called", "\tFunction CardGetFileInfo is done", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::files::getFileInfo(session.config, session.card, pszDirectoryName, pszFileName, pCardFileInfo);
      });
}

}  // extern "C"
