// CardDeleteFile: the entry is cleared before the EF is deleted, so a failed
// deletion leaves a left-over EF under a free entry, never an entry without
// its EF.
#include "card/tables.h"
#include "files/file_system.h"

namespace vemra::files {
namespace {

// The changing steps, inside the operation's transaction.
[[nodiscard]] Result removeFile(const card::CardConfig& config, card::Handle card, std::uint16_t entry,
                                std::uint16_t fid) {
  if (const Result rc = card::clearFileEntry(config, card, entry, SCARD_W_SECURITY_VIOLATION)) return rc;
  return sendExpectingSuccess(card, command::deleteFile(Target::ChildEf, Answer::Fci, fid),
                              {{card::sw::kSecurityNotSatisfied, SCARD_W_SECURITY_VIOLATION}});
}

[[nodiscard]] Result deleteFile(const card::CardConfig& config, card::Handle card, const char* directoryName,
                                const char* fileName, DWORD flags) {
  const auto name = card::LogicalName::from(fileName);
  if (!name) return SCARD_E_INVALID_PARAMETER;
  if (flags != 0) return SCARD_E_INVALID_PARAMETER;
  if (const Result rc = resolveDirectory(config, card, directoryName)) return rc;

  std::uint16_t entry = 0;
  if (const Result rc = card::findFile(config, card, *name, entry, nullptr, nullptr)) return rc;
  const std::uint16_t fid = card::fidPlus(config.fileFidBase, entry);

  // The deletion right is the EF's security attribute 3 (its write byte).
  if (const Result rc = checkDeletionRight(config, card, Target::AnyFile, fid, 0x06)) return rc;

  return card::inTransaction(card, [&] { return removeFile(config, card, entry, fid); });
}

}  // namespace
}  // namespace vemra::files

extern "C" {

// Deletes the file `pszFileName` of the directory `pszDirectoryName` (NULL:
// the root) when the caller holds the right its EF names for writing.
// `dwFlags` must be 0.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL, empty or too long
// name or non-zero flags; SCARD_E_DIR_NOT_FOUND; SCARD_E_FILE_NOT_FOUND;
// SCARD_W_SECURITY_VIOLATION when the right is not held or the card refuses
// the entry's update or the EF's deletion; SCARD_E_NO_ACCESS when the card
// refuses reading the file tables; SCARD_F_INTERNAL_ERROR for any other
// unexpected answer; a PC/SC failure unchanged; and the prologue's errors.
DWORD WINAPI CardDeleteFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags) {
  return vemra::common::runEntryPoint(
      "Function CardDeleteFile called", "\tFunction CardDeleteFile is done", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::files::deleteFile(session.config, session.card, pszDirectoryName, pszFileName, dwFlags);
      });
}

}  // extern "C"
