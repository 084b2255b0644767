#include "card/tables.h"

#include "card/bytes.h"
#include "card/commands.h"
#include "card/status.h"
#include "vemradrv/minidriver.h"

namespace vemra::card {
namespace {

// A file-table record in the free state: eleven 0x00.
constexpr std::array<std::uint8_t, kFileRecordSize> kFreeFileRecord{};

// SELECT of an EF under the current DF with P2 0x0C; only the status counts.
[[nodiscard]] Result selectStatus(Handle card, std::uint16_t fid, std::uint16_t& sw) {
  return transmit(card, command::selectByFid(command::Target::ChildEf, command::Answer::Nothing, fid), sw);
}

// The name that ends a record: eight bytes, and nothing after them.
bool readName(ByteReader& reader, std::array<std::uint8_t, kNameLength>& name) {
  return reader.readBytes(name) && reader.empty();
}

// The free search that follows a match in table `table` at record index
// `index`: reads only the state byte of the remaining records, then of the
// following tables. Leaves kNoEntry in `freeEntry` when none is free.
[[nodiscard]] Result findFreeAfterMatch(const CardConfig& config, Handle card, unsigned table, unsigned index,
                                        std::uint16_t& freeEntry) {
  const unsigned records = config.fileTableRecords;
  for (unsigned j = index + 1;; ++j) {
    std::uint16_t sw = 0;
    if (j == records) {
      j = 0;
      if (++table == kMaxFileTables) return 0;
      if (const Result rc = selectStatus(card, fidPlus(config.fileTableFidBase, table), sw)) return rc;
      if (sw == sw::kFileNotFound) {
        freeEntry = static_cast<std::uint16_t>(table * records);
        return 0;
      }
      if (sw != sw::kSuccess) return SCARD_F_INTERNAL_ERROR;
    }
    std::uint8_t state = 0;
    if (const Result rc = readRecordState(card, static_cast<std::uint8_t>(j + 1), state, sw)) return rc;
    if (sw != sw::kSuccess) return SCARD_F_INTERNAL_ERROR;
    if (state == kRecordFree) {
      freeEntry = static_cast<std::uint16_t>(table * records + j);
      return 0;
    }
  }
}

}  // namespace

bool parseRecord(std::span<const std::uint8_t> bytes, FileRecord& out) {
  ByteReader reader{bytes};
  return reader.readU8(out.state) && reader.readU16(out.length) && readName(reader, out.name);
}

bool parseRecord(std::span<const std::uint8_t> bytes, DirectoryRecord& out) {
  ByteReader reader{bytes};
  return reader.readU8(out.state) && readName(reader, out.name);
}

Result readRecord(Handle card, std::uint8_t record, std::span<std::uint8_t> out, std::uint16_t& sw) {
  std::uint16_t length = static_cast<std::uint16_t>(out.size());
  if (const Result rc = transmit(card, command::readRecord(record), out, length, sw)) return rc;
  if (sw == sw::kSuccess && length != out.size()) return SCARD_F_INTERNAL_ERROR;
  return 0;
}

Result readRecordState(Handle card, std::uint8_t record, std::uint8_t& state, std::uint16_t& sw) {
  std::array<std::uint8_t, 1> answer{};
  if (const Result rc = readRecord(card, record, answer, sw)) return rc;
  ByteReader reader{answer};
  return reader.readU8(state) ? 0 : SCARD_F_INTERNAL_ERROR;
}

Result checkLayout(const CardConfig& config) {
  return (config.dirTableRecords == 0 || config.fileTableRecords == 0) ? SCARD_E_UNKNOWN_CARD : 0;
}

Result selectKeepingParameters(Handle card, const Apdu& select, ControlParameters& out, std::uint16_t& sw) {
  std::uint16_t length = 0;
  out.size = 0;
  if (const Result rc = transmit(card, select, out.buffer, length, sw)) return rc;
  // The exchange stores at most the buffer's size; scan only what was stored.
  out.size = length < out.buffer.size() ? length : out.buffer.size();
  return 0;
}

bool securityAttributes(const ControlParameters& parameters, std::uint8_t count, std::size_t first,
                        std::span<std::uint8_t> out) {
  if (first == 0 || first - 1 + out.size() > count) return false;
  // Attribute a stands a - 1 bytes after the 86 count pair.
  ByteReader reader{parameters.bytes()};
  return seekPairAfter(reader, {}, 0x86, count) && reader.skip(first - 1) && reader.readBytes(out);
}

Result findDirectory(const CardConfig& config, Handle card, const LogicalName& name, std::uint8_t& number,
                     std::uint8_t* freeRecord) {
  if (freeRecord != nullptr) *freeRecord = kNoDirectory;
  if (const Result rc = checkLayout(config)) return rc;

  std::uint16_t sw = 0;
  if (const Result rc = selectStatus(card, config.dirTableFid, sw)) return rc;
  if (sw != sw::kSuccess) return SCARD_E_INVALID_TARGET;

  bool found = false;
  for (unsigned r = 0; r < config.dirTableRecords; ++r) {
    std::array<std::uint8_t, kDirectoryRecordSize> bytes{};
    if (const Result rc = readRecord(card, static_cast<std::uint8_t>(r + 1), bytes, sw)) return rc;
    DirectoryRecord record{};
    if (sw != sw::kSuccess || !parseRecord(bytes, record)) return SCARD_F_INTERNAL_ERROR;

    if (record.state == kRecordFree) {
      if (freeRecord != nullptr && *freeRecord == kNoDirectory) {
        *freeRecord = static_cast<std::uint8_t>(r);
        if (found) return 0;
      }
      continue;
    }
    if (found) continue;  // reading on only for the free record
    if (record.name == name.padded()) {
      number = static_cast<std::uint8_t>(r);
      found = true;
      if (freeRecord == nullptr || *freeRecord != kNoDirectory) return 0;
    }
  }
  return found ? 0 : SCARD_E_DIR_NOT_FOUND;
}

Result findFile(const CardConfig& config, Handle card, const LogicalName& name, std::uint16_t& entry,
                std::uint16_t* length, std::uint16_t* freeEntry) {
  if (freeEntry != nullptr) *freeEntry = kNoEntry;
  if (const Result rc = checkLayout(config)) return rc;
  const unsigned records = config.fileTableRecords;

  std::uint16_t sw = 0;
  if (const Result rc = selectStatus(card, config.fileTableFidBase, sw)) return rc;
  if (sw != sw::kSuccess) return SCARD_F_INTERNAL_ERROR;

  for (unsigned table = 0;;) {
    for (unsigned j = 0; j < records; ++j) {
      std::array<std::uint8_t, kFileRecordSize> bytes{};
      if (const Result rc = readRecord(card, static_cast<std::uint8_t>(j + 1), bytes, sw)) return rc;
      if (const Result rc = mapStatus(sw, {{sw::kSecurityNotSatisfied, SCARD_E_NO_ACCESS}}, SCARD_F_INTERNAL_ERROR))
        return rc;
      FileRecord record{};
      if (!parseRecord(bytes, record)) return SCARD_F_INTERNAL_ERROR;

      const auto index = static_cast<std::uint16_t>(table * records + j);
      if (record.state == kRecordFree) {
        if (freeEntry != nullptr && *freeEntry == kNoEntry) *freeEntry = index;
        continue;
      }
      if (record.state != kRecordInUse || record.name != name.padded()) continue;
      entry = index;
      if (length != nullptr) *length = record.length;
      if (freeEntry == nullptr || *freeEntry != kNoEntry) return 0;
      return findFreeAfterMatch(config, card, table, j, *freeEntry);
    }

    if (++table == kMaxFileTables) return SCARD_E_FILE_NOT_FOUND;
    if (const Result rc = selectStatus(card, fidPlus(config.fileTableFidBase, table), sw)) return rc;
    if (sw == sw::kFileNotFound) {
      if (freeEntry != nullptr && *freeEntry == kNoEntry) *freeEntry = static_cast<std::uint16_t>(table * records);
      return SCARD_E_FILE_NOT_FOUND;
    }
    if (sw != sw::kSuccess) return SCARD_F_INTERNAL_ERROR;
  }
}

std::array<std::uint8_t, kDirectoryFcpSize> directoryFcp(std::uint16_t fid, std::uint8_t accessByte) {
  std::array<std::uint8_t, kDirectoryFcpSize> fcp{};
  ByteWriter writer{fcp};
  // The pieces add up to the template's size exactly: every one fits.
  (void)(writer.putBytes({0x62, 0x16, 0x80, 0x01, 0x00, 0x82, 0x01, 0x38, 0x83, 0x02}) &&  // DF, size 0, FID
         writer.putU16(fid) &&
         writer.putBytes({0x86, 0x05, 0xFF, 0xFF, accessByte, 0xFF, accessByte}) &&  // security attributes 1-5
         writer.putBytes({0xA5, 0x03, 0x8A, 0x01, 0xFF}));                          // proprietary: life-cycle status
  return fcp;
}

Result createDataFile(Handle card, std::uint16_t fid, std::uint16_t size, std::uint8_t read, std::uint8_t write) {
  // A transparent working EF, activated at creation; the write byte is also
  // security attribute 3 (deletion).
  std::array<std::uint8_t, 24> fcp{};
  ByteWriter writer{fcp};
  const bool built = writer.putBytes({0x62, 0x16, 0x80, 0x02}) && writer.putU16(size) &&  // FCP, number of data bytes
                     writer.putBytes({0x82, 0x01, 0x01, 0x83, 0x02}) && writer.putU16(fid) &&  // working EF, FID
                     writer.putBytes({0x86, 0x06, 0xFF, 0xFF, write, read, write, 0xFF}) &&  // security attributes 1-6
                     writer.putBytes({0x8A, 0x01, 0x05});                                    // operational, activated
  if (!built) return SCARD_F_INTERNAL_ERROR;
  return sendExpectingSuccess(card, command::createFile(writer.written()),
                              {{sw::kSecurityNotSatisfied, SCARD_W_SECURITY_VIOLATION},
                               {sw::kNotEnoughMemory, SCARD_E_INVALID_PARAMETER},
                               {sw::kCardMemoryFull, SCARD_E_INVALID_PARAMETER}});
}

Result createFileTable(const CardConfig& config, Handle card, unsigned table, std::uint8_t read, std::uint8_t write) {
  if (const Result rc = checkLayout(config)) return rc;
  // A linear EF of fixed 11-byte records, activated once filled.
  std::array<std::uint8_t, 23> fcp{};
  ByteWriter writer{fcp};
  const bool built =
      writer.putBytes({0x62, 0x15, 0x80, 0x02}) &&  // FCP, number of data bytes
      writer.putU16(static_cast<std::uint16_t>(config.fileTableRecords * kFileRecordSize)) &&
      writer.putBytes({0x82, 0x03, 0x02, 0xC1, kFileRecordSize, 0x83, 0x02}) &&  // linear fixed records, FID
      writer.putU16(fidPlus(config.fileTableFidBase, table)) &&
      writer.putBytes({0x86, 0x06, 0xFF, 0xFF, 0xFF, read, write, 0xFF});  // security attributes 1-6
  if (!built) return SCARD_F_INTERNAL_ERROR;
  if (const Result rc = sendExpectingSuccess(
          card, command::createFile(writer.written()),
          {{sw::kSecurityNotSatisfied, SCARD_E_NO_ACCESS}, {sw::kNotEnoughMemory, SCARD_E_NO_MEMORY}}))
    return rc;
  for (unsigned r = 0; r < config.fileTableRecords; ++r) {
    if (const Result rc = sendExpectingSuccess(card, command::appendRecord(kFreeFileRecord))) return rc;
  }
  return sendExpectingSuccess(card, command::activateCurrentFile());
}

Result registerFile(const CardConfig& config, Handle card, const LogicalName& name, std::uint16_t entry,
                    std::uint16_t length) {
  if (const Result rc = checkLayout(config)) return rc;
  const unsigned table = tableOfEntry(config, entry);
  using command::Answer;
  using command::Target;

  std::uint16_t sw = 0;
  const std::uint16_t tableFid = fidPlus(config.fileTableFidBase, table);
  if (const Result rc = transmit(card, command::selectByFid(Target::ChildEf, Answer::Fci, tableFid), sw)) return rc;
  if (sw == sw::kFileNotFound) {
    // A new table is only begun at its first entry, with table 0's rights.
    if (entry % config.fileTableRecords != 0) return SCARD_F_INTERNAL_ERROR;
    ControlParameters parameters;
    const Apdu selectFirst = command::selectByFid(Target::ChildEf, Answer::Fci, config.fileTableFidBase);
    if (const Result rc = selectKeepingParameters(card, selectFirst, parameters, sw)) return rc;
    if (sw != sw::kSuccess) return SCARD_F_INTERNAL_ERROR;
    std::array<std::uint8_t, 2> readWrite{};
    if (!securityAttributes(parameters, 0x06, 4, readWrite)) return SCARD_F_INTERNAL_ERROR;
    if (const Result rc = createFileTable(config, card, table, readWrite[0], readWrite[1])) return rc;
  } else if (sw != sw::kSuccess) {
    return SCARD_F_INTERNAL_ERROR;
  }

  std::array<std::uint8_t, kFileRecordSize> record{};
  ByteWriter writer{record};
  if (!writer.putU8(kRecordInUse) || !writer.putU16(length) || !writer.putBytes(name.padded()))
    return SCARD_F_INTERNAL_ERROR;
  return sendExpectingSuccess(card, command::updateRecord(recordOfEntry(config, entry), record));
}

Result clearFileEntry(const CardConfig& config, Handle card, std::uint16_t entry, Result refused) {
  if (const Result rc = checkLayout(config)) return rc;
  if (const Result rc = selectFile(card, fidPlus(config.fileTableFidBase, tableOfEntry(config, entry)))) return rc;
  return sendExpectingSuccess(card, command::updateRecord(recordOfEntry(config, entry), kFreeFileRecord),
                              {{sw::kSecurityNotSatisfied, refused}});
}

Result selectFile(Handle card, std::uint16_t fid) {
  std::uint16_t sw = 0;
  if (const Result rc = selectStatus(card, fid, sw)) return rc;
  return mapStatus(sw, {{sw::kFileNotFound, SCARD_E_FILE_NOT_FOUND}}, SCARD_F_INTERNAL_ERROR);
}

Result selectDirectory(Handle card, std::uint16_t fid) {
  return sendExpectingSuccess(card, command::selectByFid(command::Target::ChildDf, command::Answer::Fci, fid));
}

Result keyModulusBytes(Handle card, std::uint16_t fid, std::uint16_t& bytes) {
  ControlParameters parameters;
  std::uint16_t sw = 0;
  const Apdu select = command::selectByFid(command::Target::ChildEf, command::Answer::Fcp, fid);
  if (const Result rc = selectKeepingParameters(card, select, parameters, sw)) return rc;
  if (const Result rc = mapStatus(sw, {{sw::kFileNotFound, SCARD_E_FILE_NOT_FOUND}}, SCARD_F_INTERNAL_ERROR)) return rc;

  // The key-type code: the byte after the first 85 01 that follows 62, 8A and A5.
  ByteReader reader{parameters.bytes()};
  std::uint8_t keyType = 0;
  if (!seekPairAfter(reader, {0x62, 0x8A, 0xA5}, 0x85, 0x01) || !reader.readU8(keyType)) return SCARD_F_INTERNAL_ERROR;
  switch (keyType) {
    case 0x24:
      bytes = 256;
      return 0;
    case 0x22:
      bytes = 128;
      return 0;
    default:
      return SCARD_F_INTERNAL_ERROR;
  }
}

}  // namespace vemra::card
