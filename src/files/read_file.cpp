// CardReadFile: the whole registered length of a file, read in chunks of 248
// bytes into a buffer from the provider's allocator that the caller owns.
#include "card/tables.h"
#include "common/trace.h"
#include "files/file_system.h"
#include "files/read_write.h"

namespace vemra::files {
namespace {

// Reads `out.size()` bytes of the current EF from `offset` with READ BINARY.
// An answer of another length is refused: the buffer is filled exactly by
// what the card sent, never by what was there before.
[[nodiscard]] Result readChunk(card::Handle card, std::size_t offset, std::span<std::uint8_t> out) {
  std::uint16_t length = static_cast<std::uint16_t>(out.size());
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, command::readBinary(static_cast<std::uint16_t>(offset)), out, length, sw))
    return rc;
  if (const Result rc = card::mapStatus(sw,
                                        {{card::sw::kFileNotFound, SCARD_E_FILE_NOT_FOUND},
                                         {card::sw::kSecurityNotSatisfied, SCARD_W_SECURITY_VIOLATION}},
                                        SCARD_F_INTERNAL_ERROR))
    return rc;
  return length == out.size() ? 0 : SCARD_F_INTERNAL_ERROR;
}

[[nodiscard]] Result readFile(const common::Session& session, const char* directoryName, const char* fileName,
                              DWORD flags, PBYTE* ppbData, PDWORD pcbData) {
  const card::CardConfig& config = session.config;
  const card::Handle card = session.card;

  const auto name = card::LogicalName::from(fileName);
  if (!name) return SCARD_E_INVALID_PARAMETER;
  if (flags != 0) return SCARD_E_INVALID_PARAMETER;
  if (pcbData == nullptr || ppbData == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (const Result rc = resolveDirectory(config, card, directoryName)) return rc;

  std::uint16_t entry = 0;
  std::uint16_t registered = 0;
  if (const Result rc = card::findFile(config, card, *name, entry, &registered, nullptr)) return rc;
  // No file is ever registered longer; a longer length is a damaged entry.
  if (registered > kMaxFileLength) return SCARD_F_INTERNAL_ERROR;

  *pcbData = registered;
  CallerBuffer<BYTE> buffer{session.cardData, ppbData};
  if (!buffer.allocate(registered)) {
    trace::step("\tFunction CardReadFile: SCARD_E_NO_MEMORY");
    return SCARD_E_NO_MEMORY;
  }
  // An empty file: the zero-length buffer at once, nothing read, no end trace.
  if (registered == 0) {
    buffer.release();
    return 0;
  }
  if (const Result rc = card::selectFile(card, card::fidPlus(config.fileFidBase, entry))) return rc;
  const std::span<std::uint8_t> content = buffer.bytes();
  for (std::size_t offset = 0; offset < content.size(); offset += kChunk) {
    const std::size_t size = content.size() - offset < kChunk ? content.size() - offset : kChunk;
    if (const Result rc = readChunk(card, offset, content.subspan(offset, size))) return rc;
  }
  buffer.release();
  trace::function("\tFunction CardReadFile is done");
  return 0;
}

}  // namespace
}  // namespace vemra::files

extern "C" {

// Reads the file `pszFileName` of the directory `pszDirectoryName` (NULL:
// the root). On success `*ppbData` is a buffer from pfnCspAlloc of exactly
// the file's registered length, owned by the caller, and `*pcbData` that
// length (0 gives a zero-length buffer). `dwFlags` must be 0. On a failure
// after the allocation the buffer has gone back to pfnCspFree and `*ppbData`
// is NULL.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL, empty or too long
// name, non-zero flags or a NULL out pointer; SCARD_E_DIR_NOT_FOUND;
// SCARD_E_FILE_NOT_FOUND when the file or its EF is missing;
// SCARD_E_NO_MEMORY when pfnCspAlloc fails; SCARD_W_SECURITY_VIOLATION when
// the card refuses reading; SCARD_E_NO_ACCESS when it refuses reading the
// file tables; SCARD_F_INTERNAL_ERROR for any other unexpected answer
// (including a chunk answered with more or fewer bytes than asked); a PC/SC
// failure unchanged; and the prologue's errors.
DWORD WINAPI CardReadFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                          PBYTE* ppbData, PDWORD pcbData) {
  return vemra::common::runEntryPoint(
      "Function CardReadFile called", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::files::readFile(session, pszDirectoryName, pszFileName, dwFlags, ppbData, pcbData);
      });
}

}  // extern "C"
