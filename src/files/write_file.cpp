// CardWriteFile: replaces the whole content of an existing file. Content
// that fits under the registered length (or in the 10 bytes every EF has)
// is written in place; longer content moves the file to a new EF of exactly
// its length under the lowest free entry, keeping its name and access bytes.
#include <array>

#include "card/tables.h"
#include "files/file_system.h"
#include "files/read_write.h"

namespace vemra::files {
namespace {

// The file as the lookup found it and where its new content goes.
struct WritePlan {
  std::uint16_t entry;       // the file's entry now
  std::uint16_t registered;  // its registered length
  std::uint16_t target;      // the entry that receives the content
  bool moves;
};

// Writes `data` into the current EF from offset 0 with UPDATE BINARY.
[[nodiscard]] Result writeChunks(card::Handle card, std::span<const std::uint8_t> data) {
  for (std::size_t offset = 0; offset < data.size(); offset += kChunk) {
    const std::size_t size = data.size() - offset < kChunk ? data.size() - offset : kChunk;
    const auto at = static_cast<std::uint16_t>(offset);
    if (const Result rc = sendExpectingSuccess(card, command::updateBinary(at, data.subspan(offset, size)),
                                               {{card::sw::kSecurityNotSatisfied, SCARD_W_SECURITY_VIOLATION}}))
      return rc;
  }
  return 0;
}

// Creates the EF of a moving file under the target entry with the old EF's
// read and write bytes (attributes 4 and 5). A card without room for it
// makes the write too large.
[[nodiscard]] Result createMovedEf(const card::CardConfig& config, card::Handle card, const WritePlan& plan,
                                   std::uint16_t size) {
  std::array<std::uint8_t, 2> readWrite{};
  if (const Result rc =
          readAccessBytes(card, Target::ChildEf, card::fidPlus(config.fileFidBase, plan.entry), 0x06, 4, readWrite))
    return rc;
  const Result rc =
      card::createDataFile(card, card::fidPlus(config.fileFidBase, plan.target), size, readWrite[0], readWrite[1]);
  return rc == SCARD_E_INVALID_PARAMETER ? SCARD_E_WRITE_TOO_MANY : rc;
}

// The changing steps, inside the operation's transaction: the content, the
// entry's length, and for a moved file the removal of its old entry and EF.
[[nodiscard]] Result writeContent(const card::CardConfig& config, card::Handle card, const card::LogicalName& name,
                                  const WritePlan& plan, std::span<const std::uint8_t> data) {
  if (const Result rc = writeChunks(card, data)) return rc;
  const auto length = static_cast<std::uint16_t>(data.size());
  if (plan.registered != length) {
    if (const Result rc = card::registerFile(config, card, name, plan.target, length)) return rc;
  }
  if (!plan.moves) return 0;
  if (const Result rc = card::clearFileEntry(config, card, plan.entry, SCARD_F_INTERNAL_ERROR)) return rc;
  return sendExpectingSuccess(
      card, command::deleteFile(Target::ChildEf, Answer::Fci, card::fidPlus(config.fileFidBase, plan.entry)));
}

[[nodiscard]] Result writeFile(const card::CardConfig& config, card::Handle card, const char* directoryName,
                               const char* fileName, DWORD flags, const BYTE* pbData, DWORD cbData) {
  const auto name = card::LogicalName::from(fileName);
  if (!name) return SCARD_E_INVALID_PARAMETER;
  if (flags != 0) return SCARD_E_INVALID_PARAMETER;
  if (cbData == 0 || pbData == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (const Result rc = resolveDirectory(config, card, directoryName)) return rc;

  WritePlan plan{};
  std::uint16_t freeEntry = card::kNoEntry;
  if (const Result rc = card::findFile(config, card, *name, plan.entry, &plan.registered, &freeEntry)) return rc;
  if (cbData > kMaxFileLength) return SCARD_E_WRITE_TOO_MANY;
  plan.moves = plan.registered < cbData && cbData > kMinEfSize;
  plan.target = plan.moves ? freeEntry : plan.entry;
  if (plan.moves && freeEntry == card::kNoEntry) return SCARD_E_NO_MEMORY;

  const auto size = static_cast<std::uint16_t>(cbData);
  if (plan.moves) {
    if (const Result rc = createMovedEf(config, card, plan, size)) return rc;
  }
  if (const Result rc = card::selectFile(card, card::fidPlus(config.fileFidBase, plan.target))) return rc;

  return card::inTransaction(card, [&] { return writeContent(config, card, *name, plan, {pbData, cbData}); });
}

}  // namespace
}  // namespace vemra::files

extern "C" {

// Replaces the content of the existing file `pszFileName` of the directory
// `pszDirectoryName` (NULL: the root) with the `cbData` bytes at `pbData`
// (1 to 0x8000). `dwFlags` must be 0. A file whose new content is longer
// than its registered length and than 10 bytes moves to a new EF; its name
// and access condition stay.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL, empty or too long
// name, non-zero flags, no data; SCARD_E_DIR_NOT_FOUND;
// SCARD_E_FILE_NOT_FOUND (writing never creates a file);
// SCARD_E_WRITE_TOO_MANY above 0x8000 bytes or when the card has no room for
// a moved file's EF; SCARD_E_NO_MEMORY when the file must move and no entry
// is free; SCARD_W_SECURITY_VIOLATION when the card refuses writing or the
// new EF; SCARD_E_NO_ACCESS when it refuses reading or creating a file
// table; SCARD_F_INTERNAL_ERROR for any other unexpected answer; a PC/SC
// failure unchanged; and the prologue's errors.
DWORD WINAPI CardWriteFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags, PBYTE pbData,
                           DWORD cbData) {
  return vemra::common::runEntryPoint(
      "Function CardWriteFile called", "\tFunction CardWriteFile is done", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::files::writeFile(session.config, session.card, pszDirectoryName, pszFileName, dwFlags, pbData,
                                       cbData);
      });
}

}  // extern "C"
