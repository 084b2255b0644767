// CardDeleteDirectory: an empty directory whose deletion right the caller
// holds loses its directory-table record, then its DF (which takes its file
// tables with it).
#include <array>

#include "card/tables.h"
#include "files/file_system.h"

namespace vemra::files {
namespace {

// The emptiness check looks one table further than a lookup does: a table
// 255 that is there is read too.
constexpr unsigned kLastTableChecked = 255;

// ERROR_DIR_NOT_EMPTY when any record of any file table of the current DF is
// in use; reads only each record's state byte, table after table until one
// is missing or table 255 has been read. Errors: SCARD_E_FILE_NOT_FOUND
// when table 0 is missing, SCARD_E_NO_ACCESS when the card refuses a record
// read, SCARD_F_INTERNAL_ERROR.
[[nodiscard]] Result checkEmpty(const card::CardConfig& config, card::Handle card) {
  if (const Result rc = card::selectFile(card, config.fileTableFidBase)) return rc;
  for (unsigned table = 0;; ++table) {
    for (unsigned r = 1; r <= config.fileTableRecords; ++r) {
      std::uint8_t state = 0;
      std::uint16_t sw = 0;
      if (const Result rc = card::readRecordState(card, static_cast<std::uint8_t>(r), state, sw)) return rc;
      if (const Result rc =
              card::mapStatus(sw, {{card::sw::kSecurityNotSatisfied, SCARD_E_NO_ACCESS}}, SCARD_F_INTERNAL_ERROR))
        return rc;
      if (state == card::kRecordInUse) return ERROR_DIR_NOT_EMPTY;
    }
    if (table == kLastTableChecked) return 0;
    const Result rc = card::selectFile(card, card::fidPlus(config.fileTableFidBase, table + 1));
    if (rc == SCARD_E_FILE_NOT_FOUND) return 0;
    if (rc != 0) return rc;
  }
}

// The changing steps, inside the operation's transaction.
[[nodiscard]] Result removeDirectory(const card::CardConfig& config, card::Handle card, std::uint8_t number,
                                     std::uint16_t fid) {
  if (const Result rc = card::reselectApplication(card)) return rc;
  if (const Result rc = card::selectFile(card, config.dirTableFid)) return rc;
  constexpr std::array<std::uint8_t, card::kDirectoryRecordSize> kFreeRecord{};
  if (const Result rc =
          sendExpectingSuccess(card, command::updateRecord(static_cast<std::uint8_t>(number + 1), kFreeRecord)))
    return rc;
  return sendExpectingSuccess(card, command::deleteFile(Target::ChildDf, Answer::Fci, fid),
                              {{card::sw::kSecurityNotSatisfied, SCARD_W_SECURITY_VIOLATION}});
}

[[nodiscard]] Result deleteDirectory(const card::CardConfig& config, card::Handle card, const char* directoryName) {
  const auto name = card::LogicalName::from(directoryName);
  if (!name) return SCARD_E_INVALID_PARAMETER;
  std::uint8_t number = 0;
  if (const Result rc = card::findDirectory(config, card, *name, number, nullptr)) return rc;
  const std::uint16_t fid = card::fidPlus(config.dirFidBase, number);
  if (const Result rc = card::selectDirectory(card, fid)) return rc;
  if (const Result rc = checkEmpty(config, card)) return rc;

  // The deletion right is the DF's security attribute 3.
  if (const Result rc = card::reselectApplication(card)) return rc;
  if (const Result rc = checkDeletionRight(config, card, Target::AnyFile, fid, 0x05)) return rc;

  return card::inTransaction(card, [&] { return removeDirectory(config, card, number, fid); });
}

}  // namespace
}  // namespace vemra::files

extern "C" {

// Deletes the empty directory `pszDirectoryName` (one to eight characters,
// any letter case) when the caller holds the right its DF names.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL, empty or too long
// name; SCARD_E_DIR_NOT_FOUND; ERROR_DIR_NOT_EMPTY when a file is registered
// in it; SCARD_W_SECURITY_VIOLATION when neither the user PIN nor the
// administrator that its access byte asks for is verified, or when the card
// refuses the deletion; SCARD_E_NO_ACCESS when the card refuses reading its
// file tables; SCARD_E_FILE_NOT_FOUND when a table it relies on is missing;
// SCARD_E_UNKNOWN_CARD when the application cannot be selected again;
// SCARD_F_INTERNAL_ERROR for any other unexpected answer; a PC/SC failure
// unchanged; and the prologue's errors.
DWORD WINAPI CardDeleteDirectory(PCARD_DATA pCardData, LPSTR pszDirectoryName) {
  return vemra::common::runEntryPoint(
      "Function CardDeleteDirectory called", "\tFunction CardDeleteDirectory is done", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::files::deleteDirectory(session.config, session.card, pszDirectoryName);
      });
}

}  // extern "C"
