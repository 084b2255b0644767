// CardCreateFile: a file is a transparent EF at fileFidBase + e and the
// entry e of its directory's file tables that names it.
#include <algorithm>

#include "card/tables.h"
#include "files/file_system.h"
#include "files/read_write.h"

namespace vemra::files {
namespace {

struct AccessBytes {
  std::uint8_t read;
  std::uint8_t write;
};

// The read and write bytes of an access condition; false for any other value.
bool fileAccessBytes(const card::CardConfig& config, CARD_FILE_ACCESS_CONDITION condition, AccessBytes& out) {
  switch (condition) {
    case EveryoneReadUserWriteAc:
      out = {0x00, config.userAccess};
      return true;
    case UserWriteExecuteAc:
      out = {0xFF, config.userAccess};
      return true;
    case EveryoneReadAdminWriteAc:
      out = {0x00, config.adminPinRef};
      return true;
    case UnknownAc:
      out = {0xFF, 0xFF};
      return true;
    case UserReadWriteAc:
      out = {config.userAccess, config.userAccess};
      return true;
    case AdminReadWriteAc:
      out = {config.adminPinRef, config.adminPinRef};
      return true;
    default:
      return false;
  }
}

// Deletes an EF left under the FID of a free entry by an unfinished
// creation, deletion or write; nothing when there is none.
[[nodiscard]] Result removeLeftOver(card::Handle card, std::uint16_t fid) {
  const Result selected = card::selectFile(card, fid);
  if (selected == SCARD_E_FILE_NOT_FOUND) return 0;
  if (selected != 0) return selected;
  return sendExpectingSuccess(card, command::deleteFile(Target::ChildEf, Answer::Nothing, fid),
                              {{card::sw::kSecurityNotSatisfied, SCARD_W_SECURITY_VIOLATION}});
}

[[nodiscard]] Result createFile(const card::CardConfig& config, card::Handle card, const char* directoryName,
                                const char* fileName, DWORD size, CARD_FILE_ACCESS_CONDITION condition) {
  const auto name = card::LogicalName::from(fileName);
  if (!name) return SCARD_E_INVALID_PARAMETER;
  AccessBytes access{};
  if (!fileAccessBytes(config, condition, access)) return SCARD_E_INVALID_PARAMETER;
  if (const Result rc = resolveDirectory(config, card, directoryName)) return rc;
  if (!name->allowed()) return SCARD_E_INVALID_PARAMETER;

  std::uint16_t entry = 0;
  std::uint16_t freeEntry = card::kNoEntry;
  Result rc = card::findFile(config, card, *name, entry, nullptr, &freeEntry);
  if (rc == 0) return ERROR_FILE_EXISTS;
  // A lookup that could not read the tables says nothing about the free
  // entry it may have seen: its own failure is the answer.
  if (rc != SCARD_E_FILE_NOT_FOUND) return rc;
  if (freeEntry == card::kNoEntry) return SCARD_E_NO_MEMORY;

  if (directoryName == nullptr) {
    // A root file may not bear the name of a directory.
    std::uint8_t number = 0;
    rc = card::findDirectory(config, card, *name, number, nullptr);
    if (rc == 0) return ERROR_FILE_EXISTS;
    if (rc != SCARD_E_DIR_NOT_FOUND) return rc;
  }

  const std::uint16_t fid = card::fidPlus(config.fileFidBase, freeEntry);
  if (const Result removed = removeLeftOver(card, fid)) return removed;
  if (size > kMaxFileLength) return SCARD_E_INVALID_PARAMETER;
  const auto length = static_cast<std::uint16_t>(size);

  return card::inTransaction(card, [&] {
    const Result created = card::createDataFile(card, fid, std::max(length, kMinEfSize), access.read, access.write);
    return created != 0 ? created : card::registerFile(config, card, *name, freeEntry, length);
  });
}

}  // namespace
}  // namespace vemra::files

extern "C" {

// Creates the file `pszFileName` (one to eight characters, stored
// lower-cased) in the directory `pszDirectoryName` (NULL: the root), with a
// registered length of `cbInitialCreationSize` (at most 0x8000; the EF has at
// least 10 bytes) and the access condition `AccessCondition` (1 to 6).
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL, empty or too long
// name, a forbidden character, an access condition out of range, a size
// above 0x8000, or when the card has no room for the EF (0x6A84, 0x9108);
// SCARD_E_DIR_NOT_FOUND; ERROR_FILE_EXISTS when the directory holds a file of
// that name, or (root) a directory bears it; SCARD_E_NO_MEMORY when no file
// entry is free, or a new file table does not fit; SCARD_W_SECURITY_VIOLATION
// when the card refuses to create the EF or to delete a left-over EF;
// SCARD_E_NO_ACCESS when the card refuses to read or create a file table;
// SCARD_F_INTERNAL_ERROR for any other unexpected answer; a PC/SC failure
// unchanged; and the prologue's errors.
DWORD WINAPI CardCreateFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                            DWORD cbInitialCreationSize, CARD_FILE_ACCESS_CONDITION AccessCondition) {
  return vemra::common::runEntryPoint(
      "Function CardCreateFile called", "\tFunction CardCreateFile is done", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::files::createFile(session.config, session.card, pszDirectoryName, pszFileName,
                                        cbInitialCreationSize, AccessCondition);
      });
}

}  // extern "C"
