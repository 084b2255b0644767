// CardCreateDirectory: a directory is a DF of its own under the application
// DF, with file table 0 created inside it, registered in the directory table.
#include <array>

#include "card/tables.h"
#include "files/file_system.h"

namespace vemra::files {
namespace {

// The directory access byte of an access condition; false for any other value.
bool directoryAccessByte(const card::CardConfig& config, CARD_DIRECTORY_ACCESS_CONDITION condition,
                         std::uint8_t& accessByte) {
  switch (condition) {
    case UserCreateDeleteDirAc:
      accessByte = config.userAccess;
      return true;
    case AdminCreateDeleteDirAc:
      accessByte = config.adminPinRef;
      return true;
    default:
      return false;
  }
}

// CREATE FILE of the DF. A DF left under this FID by an unfinished creation
// or deletion (0x6A89) is deleted and the creation sent once more; only a
// refusal (0x6982) of the first creation is a security violation, any answer
// but 0x9000 to the second is an internal error.
[[nodiscard]] Result createDirectoryDf(card::Handle card, std::span<const std::uint8_t> fcp, std::uint16_t fid) {
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, command::createFile(fcp), sw)) return rc;
  if (sw == card::sw::kSecurityNotSatisfied) return SCARD_W_SECURITY_VIOLATION;
  if (sw == card::sw::kFileExists) {
    std::uint16_t ignored = 0;
    if (const Result rc = card::transmit(card, command::deleteFile(Target::ChildDf, Answer::Fci, fid), ignored))
      return rc;
    if (const Result rc = card::transmit(card, command::createFile(fcp), sw)) return rc;
  }
  return sw == card::sw::kSuccess ? 0 : SCARD_F_INTERNAL_ERROR;
}

// The changing steps, inside the operation's transaction: the DF (which the
// card makes current), its file table 0, its activation, and the record in
// the directory table.
[[nodiscard]] Result buildDirectory(const card::CardConfig& config, card::Handle card, const card::LogicalName& name,
                                    std::uint8_t number, std::uint8_t accessByte) {
  const std::uint16_t fid = card::fidPlus(config.dirFidBase, number);
  if (const Result rc = createDirectoryDf(card, card::directoryFcp(fid, accessByte), fid)) return rc;
  if (const Result rc = card::createFileTable(config, card, 0, 0x00, accessByte)) return rc;

  for (const card::Apdu& apdu : {command::activateFile(fid), command::selectApplication(Answer::Nothing),
                                 command::selectByFid(Target::ChildEf, Answer::Fci, config.dirTableFid)}) {
    if (const Result rc = sendExpectingSuccess(card, apdu)) return rc;
  }
  std::array<std::uint8_t, card::kDirectoryRecordSize> record{};
  card::ByteWriter writer{record};
  if (!writer.putU8(card::kRecordInUse) || !writer.putBytes(name.padded())) return SCARD_F_INTERNAL_ERROR;
  return sendExpectingSuccess(card, command::updateRecord(static_cast<std::uint8_t>(number + 1), record),
                              {{card::sw::kSecurityNotSatisfied, SCARD_E_NO_ACCESS}});
}

[[nodiscard]] Result createDirectory(const card::CardConfig& config, card::Handle card, const char* directoryName,
                                     CARD_DIRECTORY_ACCESS_CONDITION condition) {
  const auto name = card::LogicalName::from(directoryName);
  if (!name) return SCARD_E_INVALID_PARAMETER;
  std::uint8_t accessByte = 0;
  if (!directoryAccessByte(config, condition, accessByte)) return SCARD_E_INVALID_PARAMETER;
  if (!name->allowed()) return SCARD_E_INVALID_PARAMETER;

  std::uint8_t number = 0;
  std::uint8_t freeRecord = card::kNoDirectory;
  Result rc = card::findDirectory(config, card, *name, number, &freeRecord);
  if (rc == 0) return ERROR_FILE_EXISTS;
  if (rc != SCARD_E_DIR_NOT_FOUND) return rc;
  if (freeRecord == card::kNoDirectory) return SCARD_E_NO_MEMORY;

  // A directory may not bear the name of a file in the root.
  std::uint16_t entry = 0;
  rc = card::findFile(config, card, *name, entry, nullptr, nullptr);
  if (rc == 0) return ERROR_FILE_EXISTS;
  if (rc != SCARD_E_FILE_NOT_FOUND) return rc;

  return card::inTransaction(card, [&] { return buildDirectory(config, card, *name, freeRecord, accessByte); });
}

}  // namespace
}  // namespace vemra::files

extern "C" {

// Creates the directory `pszDirectoryName` (one to eight characters, stored
// lower-cased) under the root with the access condition `AccessCondition`
// (UserCreateDeleteDirAc or AdminCreateDeleteDirAc).
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL, empty or too long
// name, another access condition, or a forbidden character;
// ERROR_FILE_EXISTS when a directory or a root file has the name;
// SCARD_E_NO_MEMORY when the directory table is full;
// SCARD_W_SECURITY_VIOLATION when the card refuses the DF's creation;
// SCARD_E_NO_ACCESS when it refuses file table 0 or the directory-table
// update; SCARD_E_NO_MEMORY when file table 0 does not fit;
// SCARD_F_INTERNAL_ERROR for any other unexpected answer; a PC/SC failure
// unchanged; and the prologue's errors.
DWORD WINAPI CardCreateDirectory(PCARD_DATA pCardData, LPSTR pszDirectoryName,
                                 CARD_DIRECTORY_ACCESS_CONDITION AccessCondition) {
  return vemra::common::runEntryPoint(
      "Function CardCreateDirectory called", "\tFunction CardCreateDirectory is done", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::files::createDirectory(session.config, session.card, pszDirectoryName, AccessCondition);
      });
}

}  // extern "C"
