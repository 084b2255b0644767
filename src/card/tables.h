// The on-card directory table and file tables, and the objects they name.
//
// The application DF holds the directory table (dirTableRecords records of 9
// bytes: state, name) and, like every directory DF, a chain of file tables
// (fileTableFidBase + k, fileTableRecords records of 11 bytes: state,
// registered length, name). Record j + 1 of table k is the file entry
// i = k * fileTableRecords + j, whose data lives in the EF fileFidBase + i of
// the same DF; directory number n has the DF dirFidBase + n.
//
// Every routine here sends each command as a bracketed exchange of its own,
// works in the current DF, returns 0 or an error code, and passes a PC/SC
// failure through unchanged. Nothing is rolled back on failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "card/config.h"
#include "card/exchange.h"
#include "card/names.h"

namespace vemra::card {

inline constexpr std::uint8_t kNoDirectory = 0xFF;
inline constexpr std::uint16_t kNoEntry = 0xFFFF;
// File tables are numbered 0 to 254.
inline constexpr unsigned kMaxFileTables = 255;
inline constexpr std::size_t kDirectoryRecordSize = 9;
inline constexpr std::size_t kFileRecordSize = 11;

// The file table that holds entry `entry`, and its record number (1-based).
// Only meaningful when the layout is usable.
[[nodiscard]] constexpr unsigned tableOfEntry(const CardConfig& config, std::uint16_t entry) {
  return entry / config.fileTableRecords;
}
[[nodiscard]] constexpr std::uint8_t recordOfEntry(const CardConfig& config, std::uint16_t entry) {
  return static_cast<std::uint8_t>(entry % config.fileTableRecords + 1);
}
[[nodiscard]] constexpr std::uint16_t fidPlus(std::uint16_t base, unsigned offset) {
  return static_cast<std::uint16_t>(base + offset);  // FIDs wrap at 0xFFFF
}

// A file-table record: state, registered length, name.
struct FileRecord {
  std::uint8_t state;
  std::uint16_t length;
  std::array<std::uint8_t, kNameLength> name;
};
// A directory-table record: state, name.
struct DirectoryRecord {
  std::uint8_t state;
  std::array<std::uint8_t, kNameLength> name;
};
inline constexpr std::uint8_t kRecordFree = 0x00;
inline constexpr std::uint8_t kRecordInUse = 0x01;

// Parses a record read from its table; false for fewer or more bytes than a
// record has.
[[nodiscard]] bool parseRecord(std::span<const std::uint8_t> bytes, FileRecord& out);
[[nodiscard]] bool parseRecord(std::span<const std::uint8_t> bytes, DirectoryRecord& out);

// READ RECORD of record `record` (1-based) of the current EF, asking for
// exactly out.size() bytes. Returns the exchange's failure, or
// SCARD_F_INTERNAL_ERROR when the card answered 0x9000 with another number of
// bytes; otherwise 0 with the status in `sw` (the data is complete only for
// 0x9000).
[[nodiscard]] Result readRecord(Handle card, std::uint8_t record, std::span<std::uint8_t> out, std::uint16_t& sw);
// The same for the record's first byte alone, its state.
[[nodiscard]] Result readRecordState(Handle card, std::uint8_t record, std::uint8_t& state, std::uint16_t& sw);

// SCARD_E_UNKNOWN_CARD when the card's configuration gives a directory table
// or file tables without records, which no table routine can work with;
// otherwise 0. Every table routine checks this before it sends anything.
[[nodiscard]] Result checkLayout(const CardConfig& config);

// A SELECT's answer kept for a byte scan: the control parameters as received,
// at most 256 bytes of them.
struct ControlParameters {
  std::array<std::uint8_t, 256> buffer{};
  std::size_t size = 0;
  [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {buffer.data(), size}; }
};

// Sends `select` and keeps its answer data in `out`; `sw` is the card's
// status word. Returns only the exchange's failure.
[[nodiscard]] Result selectKeepingParameters(Handle card, const Apdu& select, ControlParameters& out,
                                             std::uint16_t& sw);

// Copies `out.size()` security attributes, starting at attribute `first`
// (numbered from 1), from the first 86 `count` pair of `parameters`. False
// when there is no such pair or a wanted byte lies beyond the end.
[[nodiscard]] bool securityAttributes(const ControlParameters& parameters, std::uint8_t count, std::size_t first,
                                      std::span<std::uint8_t> out);

// Looks `name` up in the directory table (SELECT, then READ RECORD of every
// record until a match). Gives the directory number in `number`; when
// `freeRecord` is given it receives the first free record (kNoDirectory if
// none), also on SCARD_E_DIR_NOT_FOUND. Errors: SCARD_E_INVALID_TARGET when
// the table cannot be selected, SCARD_F_INTERNAL_ERROR for a refused or short
// record read, SCARD_E_DIR_NOT_FOUND when no record in use holds the name.
[[nodiscard]] Result findDirectory(const CardConfig& config, Handle card, const LogicalName& name, std::uint8_t& number,
                                   std::uint8_t* freeRecord);

// Looks `name` up in the file tables of the current DF. Gives the entry index
// in `entry`, its registered length in `length` when asked, and in
// `freeEntry` when asked the lowest free entry (the first entry of the first
// missing table when all existing ones are full; kNoEntry if none), also on
// SCARD_E_FILE_NOT_FOUND. Errors: SCARD_E_NO_ACCESS when the card refuses a
// record read, SCARD_E_FILE_NOT_FOUND when absent, SCARD_F_INTERNAL_ERROR
// for any other unexpected answer (table 0 missing included).
[[nodiscard]] Result findFile(const CardConfig& config, Handle card, const LogicalName& name, std::uint16_t& entry,
                              std::uint16_t* length, std::uint16_t* freeEntry);

// The FCP template that CREATE FILE sends for a directory's DF under `fid`:
// size 0, DF, security attributes 1 to 5 with `accessByte` as attributes 3
// (deletion) and 5, and the proprietary life-cycle status FF.
inline constexpr std::size_t kDirectoryFcpSize = 24;
[[nodiscard]] std::array<std::uint8_t, kDirectoryFcpSize> directoryFcp(std::uint16_t fid, std::uint8_t accessByte);

// Creates an activated transparent EF of `size` bytes under `fid` with read
// byte `read` and write byte `write`. Errors: SCARD_W_SECURITY_VIOLATION
// (0x6982), SCARD_E_INVALID_PARAMETER (0x6A84 no memory, 0x9108),
// SCARD_F_INTERNAL_ERROR. On success the new EF is the current EF.
[[nodiscard]] Result createDataFile(Handle card, std::uint16_t fid, std::uint16_t size, std::uint8_t read,
                                    std::uint8_t write);

// Creates file table `table` in the current DF: CREATE FILE, one free record
// appended per record of the layout, ACTIVATE. Errors: SCARD_E_NO_ACCESS
// (0x6982) and SCARD_E_NO_MEMORY (0x6A84) from CREATE FILE,
// SCARD_F_INTERNAL_ERROR otherwise. A failure leaves the table as far as it got.
[[nodiscard]] Result createFileTable(const CardConfig& config, Handle card, unsigned table, std::uint8_t read,
                                     std::uint8_t write);

// Writes entry `entry` as in use with `name` and `length`. When the entry's
// table does not exist yet and the entry is its first, the table is created
// with the read and write bytes of table 0. Errors: SCARD_F_INTERNAL_ERROR
// (missing table for a later entry, no 86 06 in table 0's parameters, any
// unexpected status) and those of createFileTable.
[[nodiscard]] Result registerFile(const CardConfig& config, Handle card, const LogicalName& name, std::uint16_t entry,
                                  std::uint16_t length);

// Writes entry `entry` as free (eleven 0x00) in its table. `refused` is the
// result for a 0x6982 answer to the record update. Errors:
// SCARD_E_FILE_NOT_FOUND when the table is missing, `refused`,
// SCARD_F_INTERNAL_ERROR.
[[nodiscard]] Result clearFileEntry(const CardConfig& config, Handle card, std::uint16_t entry, Result refused);

// Selects the EF `fid` under the current DF without answer data. Errors:
// SCARD_E_FILE_NOT_FOUND (0x6A82), SCARD_F_INTERNAL_ERROR.
[[nodiscard]] Result selectFile(Handle card, std::uint16_t fid);

// Selects the DF `fid` under the current DF, which it becomes. Errors:
// SCARD_F_INTERNAL_ERROR for any status other than 0x9000.
[[nodiscard]] Result selectDirectory(Handle card, std::uint16_t fid);

// Reads the modulus length in bytes (128 or 256) of the key file `fid` from
// the key-type code in its control parameters. Errors:
// SCARD_E_FILE_NOT_FOUND (0x6A82), SCARD_F_INTERNAL_ERROR (other status, no
// key-type code, or a code other than 0x22 and 0x24).
[[nodiscard]] Result keyModulusBytes(Handle card, std::uint16_t fid, std::uint16_t& bytes);

}  // namespace vemra::card
