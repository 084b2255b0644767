// CardEnumFiles: the names of the files of one directory (or the root), in
// entry order, as a multi-string in a buffer the caller owns.
#include <array>

#include "card/tables.h"
#include "common/trace.h"
#include "files/file_system.h"

namespace vemra::files {
namespace {

// The number of file tables of the current DF: table 0 is taken to exist,
// the first table after it that is missing ends the count, and the count
// never exceeds the tables a lookup visits.
[[nodiscard]] Result countTables(const card::CardConfig& config, card::Handle card, unsigned& tables) {
  for (tables = 1; tables < card::kMaxFileTables; ++tables) {
    const Result rc = card::selectFile(card, card::fidPlus(config.fileTableFidBase, tables));
    if (rc == SCARD_E_FILE_NOT_FOUND) return 0;
    if (rc != 0) return rc;
  }
  return 0;
}

// Appends the names of the in-use entries of `tables` tables to `list`.
[[nodiscard]] Result listNames(const card::CardConfig& config, card::Handle card, unsigned tables,
                               card::ByteWriter& list) {
  for (unsigned table = 0; table < tables; ++table) {
    if (const Result rc = card::selectFile(card, card::fidPlus(config.fileTableFidBase, table))) return rc;
    for (unsigned r = 1; r <= config.fileTableRecords; ++r) {
      std::array<std::uint8_t, card::kFileRecordSize> bytes{};
      std::uint16_t sw = 0;
      if (const Result rc = card::readRecord(card, static_cast<std::uint8_t>(r), bytes, sw)) return rc;
      card::FileRecord record{};
      if (sw != card::sw::kSuccess || !card::parseRecord(bytes, record)) return SCARD_F_INTERNAL_ERROR;
      if (record.state != card::kRecordInUse) continue;
      std::size_t nameLength = 0;
      while (nameLength < card::kNameLength && record.name[nameLength] != 0x00) ++nameLength;
      if (!list.putBytes(std::span(record.name).first(nameLength)) || !list.putU8(0x00)) return SCARD_F_INTERNAL_ERROR;
    }
  }
  return 0;
}

[[nodiscard]] Result enumFiles(const common::Session& session, const char* directoryName, LPSTR* names,
                               LPDWORD namesLength, DWORD flags) {
  const card::CardConfig& config = session.config;
  const card::Handle card = session.card;

  if (flags != 0) return SCARD_E_INVALID_PARAMETER;
  if (namesLength == nullptr || names == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (const Result rc = resolveDirectory(config, card, directoryName)) return rc;
  if (const Result rc = card::checkLayout(config)) return rc;

  unsigned tables = 0;
  if (const Result rc = countTables(config, card, tables)) return rc;
  CallerBuffer<char> buffer{session.cardData, names};
  if (!buffer.allocate(tables * config.fileTableRecords * (card::kNameLength + 1) + 1)) return SCARD_E_NO_MEMORY;
  *namesLength = 0;

  card::ByteWriter list{buffer.bytes()};
  if (const Result rc = listNames(config, card, tables, list)) return rc;
  if (list.size() == 0) {
    trace::step("   Dir is empty \n");
    return SCARD_E_FILE_NOT_FOUND;
  }
  if (!list.putU8(0x00)) return SCARD_F_INTERNAL_ERROR;
  *namesLength = static_cast<DWORD>(list.size());
  buffer.release();
  return 0;
}

}  // namespace
}  // namespace vemra::files

extern "C" {

// Lists the files of the directory `pszDirectoryName` (NULL: the root; its
// directories are not listed) in `*pmszFileNames`: a buffer from
// pfnCspAlloc owned by the caller, each name followed by 0x00 and the list by
// one more 0x00; `*pdwcbFileName` is the number of bytes used. `dwFlags` must
// be 0. On a failure after the allocation the buffer has gone back to
// pfnCspFree and `*pmszFileNames` is NULL.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for non-zero flags or a NULL out
// pointer; SCARD_E_DIR_NOT_FOUND; SCARD_E_FILE_NOT_FOUND when the directory
// holds no file; SCARD_E_NO_MEMORY when pfnCspAlloc fails;
// SCARD_E_UNKNOWN_CARD for a card whose file tables have no records;
// SCARD_F_INTERNAL_ERROR for any other unexpected answer; a PC/SC failure
// unchanged; and the prologue's errors.
DWORD WINAPI CardEnumFiles(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR* pmszFileNames, LPDWORD pdwcbFileName,
                           DWORD dwFlags) {
  return vemra::common::runEntryPoint(
      "Function CardEnumFiles called", "\tFunction CardEnumFiles is done", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::files::enumFiles(session, pszDirectoryName, pmszFileNames, pdwcbFileName, dwFlags);
      });
}

}  // extern "C"
