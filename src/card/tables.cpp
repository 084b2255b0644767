#include "card/tables.h"

#include <algorithm>

#include "card/bytes.h"
#include "card/status.h"
#include "vemradrv/minidriver.h"

namespace vemra::card {
namespace {

constexpr std::uint8_t kStateFree = 0x00;
constexpr std::uint8_t kStateInUse = 0x01;

// Data-file EF: transparent working EF, activated at creation.
constexpr std::array<std::uint8_t, 24> kDataFileTemplate = {
    0x62, 0x16,                                      // FCP template, 22 bytes
    0x80, 0x02, 0x00, 0x0A,                          // number of data bytes
    0x82, 0x01, 0x01,                                // working EF, transparent
    0x83, 0x02, 0xFF, 0xFF,                          // FID
    0x86, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // security attributes 1-6
    0x8A, 0x01, 0x05,                                // operational, activated
};
constexpr std::size_t kDataFileSize = 4;
constexpr std::size_t kDataFileFid = 11;
constexpr std::size_t kDataFileAttribute3 = 17;
constexpr std::size_t kDataFileRead = 18;
constexpr std::size_t kDataFileWrite = 19;

// File table: linear EF of fixed 11-byte records, activated once filled.
constexpr std::array<std::uint8_t, 23> kFileTableTemplate = {
    0x62, 0x15,                                      // FCP template, 21 bytes
    0x80, 0x02, 0x00, 0x58,                          // number of data bytes
    0x82, 0x03, 0x02, 0xC1, 0x0B,                    // linear fixed records, coding C1, 11 bytes
    0x83, 0x02, 0xF1, 0x00,                          // FID
    0x86, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // security attributes 1-6
};
constexpr std::size_t kFileTableSize = 4;
constexpr std::size_t kFileTableFid = 13;
constexpr std::size_t kFileTableRead = 20;
constexpr std::size_t kFileTableWrite = 21;

void putU16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = highByte(value);
  bytes[at + 1] = lowByte(value);
}

std::array<std::uint8_t, 2> fidBytes(std::uint16_t fid) { return {highByte(fid), lowByte(fid)}; }

// Reads exactly out.size() bytes of record `record` of the current EF. Returns
// the exchange's failure, or SCARD_F_INTERNAL_ERROR when the card answered
// 0x9000 with another number of bytes; otherwise 0 with the status in `sw`
// (the data is complete only for 0x9000).
Result readRecord(Handle card, std::uint8_t record, std::span<std::uint8_t> out, std::uint16_t& sw) {
  std::uint16_t length = static_cast<std::uint16_t>(out.size());
  if (const Result rc = transmit(card, Apdu{0x00, 0xB2, record, 0x04}, out, length, sw)) return rc;
  if (sw == kSwSuccess && length != out.size()) return SCARD_F_INTERNAL_ERROR;
  return 0;
}

// SELECT of an EF under the current DF with P2 0x0C; only the status counts.
Result selectStatus(Handle card, std::uint16_t fid, std::uint16_t& sw) {
  const auto data = fidBytes(fid);
  return transmit(card, Apdu{0x00, 0xA4, 0x02, 0x0C, data}, sw);
}

// The free search that follows a match in table `table` at record index
// `index`: reads only the state byte of the remaining records, then of the
// following tables. Leaves kNoEntry in `freeEntry` when none is free.
Result findFreeAfterMatch(const CardConfig& config, Handle card, unsigned table, unsigned index,
                          std::uint16_t& freeEntry) {
  const unsigned records = config.fileTableRecords;
  for (unsigned j = index + 1;; ++j) {
    if (j == records) {
      j = 0;
      if (++table == kMaxFileTables) return 0;
      std::uint16_t sw = 0;
      if (const Result rc = selectStatus(card, fidPlus(config.fileTableFidBase, table), sw)) return rc;
      if (sw == 0x6A82) {
        freeEntry = static_cast<std::uint16_t>(table * records);
        return 0;
      }
      if (sw != kSwSuccess) return SCARD_F_INTERNAL_ERROR;
    }
    std::array<std::uint8_t, 1> state{};
    std::uint16_t sw = 0;
    if (const Result rc = readRecord(card, static_cast<std::uint8_t>(j + 1), state, sw)) return rc;
    if (sw != kSwSuccess) return SCARD_F_INTERNAL_ERROR;
    if (state[0] == kStateFree) {
      freeEntry = static_cast<std::uint16_t>(table * records + j);
      return 0;
    }
  }
}

}  // namespace

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
  // Attribute a stands a + 1 bytes after the 0x86.
  return bytesAt(parameters.bytes(), findPair(parameters.bytes(), 0x86, count), first + 1, out);
}

Result findDirectory(const CardConfig& config, Handle card, const LogicalName& name, std::uint8_t& number,
                     std::uint8_t* freeRecord) {
  if (freeRecord != nullptr) *freeRecord = kNoDirectory;
  if (const Result rc = checkLayout(config)) return rc;

  std::uint16_t sw = 0;
  if (const Result rc = selectStatus(card, config.dirTableFid, sw)) return rc;
  if (sw != kSwSuccess) return SCARD_E_INVALID_TARGET;

  bool found = false;
  for (unsigned r = 0; r < config.dirTableRecords; ++r) {
    std::array<std::uint8_t, kDirectoryRecordSize> record{};
    if (const Result rc = readRecord(card, static_cast<std::uint8_t>(r + 1), record, sw)) return rc;
    if (sw != kSwSuccess) return SCARD_F_INTERNAL_ERROR;

    if (record[0] == kStateFree) {
      if (freeRecord != nullptr && *freeRecord == kNoDirectory) {
        *freeRecord = static_cast<std::uint8_t>(r);
        if (found) return 0;
      }
      continue;
    }
    if (found) continue;  // reading on only for the free record
    if (std::equal(name.padded().begin(), name.padded().end(), record.begin() + 1)) {
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
  if (sw != kSwSuccess) return SCARD_F_INTERNAL_ERROR;

  for (unsigned table = 0;;) {
    for (unsigned j = 0; j < records; ++j) {
      std::array<std::uint8_t, kFileRecordSize> record{};
      if (const Result rc = readRecord(card, static_cast<std::uint8_t>(j + 1), record, sw)) return rc;
      if (const Result rc = mapStatus(sw, {{0x6982, SCARD_E_NO_ACCESS}}, SCARD_F_INTERNAL_ERROR)) return rc;

      const auto index = static_cast<std::uint16_t>(table * records + j);
      if (record[0] == kStateFree) {
        if (freeEntry != nullptr && *freeEntry == kNoEntry) *freeEntry = index;
        continue;
      }
      if (record[0] != kStateInUse || !std::equal(name.padded().begin(), name.padded().end(), record.begin() + 3))
        continue;
      entry = index;
      if (length != nullptr) *length = bigEndian16(record[1], record[2]);
      if (freeEntry == nullptr || *freeEntry != kNoEntry) return 0;
      return findFreeAfterMatch(config, card, table, j, *freeEntry);
    }

    if (++table == kMaxFileTables) return SCARD_E_FILE_NOT_FOUND;
    if (const Result rc = selectStatus(card, fidPlus(config.fileTableFidBase, table), sw)) return rc;
    if (sw == 0x6A82) {
      if (freeEntry != nullptr && *freeEntry == kNoEntry) *freeEntry = static_cast<std::uint16_t>(table * records);
      return SCARD_E_FILE_NOT_FOUND;
    }
    if (sw != kSwSuccess) return SCARD_F_INTERNAL_ERROR;
  }
}

Result createDataFile(Handle card, std::uint16_t fid, std::uint16_t size, std::uint8_t read, std::uint8_t write) {
  std::array<std::uint8_t, kDataFileTemplate.size()> fcp = kDataFileTemplate;
  putU16(fcp, kDataFileSize, size);
  putU16(fcp, kDataFileFid, fid);
  fcp[kDataFileAttribute3] = write;
  fcp[kDataFileRead] = read;
  fcp[kDataFileWrite] = write;

  std::uint16_t sw = 0;
  if (const Result rc = transmit(card, Apdu{0x00, 0xE0, 0x00, 0x00, fcp}, sw)) return rc;
  return mapStatus(
      sw,
      {{0x6982, SCARD_W_SECURITY_VIOLATION}, {0x6A84, SCARD_E_INVALID_PARAMETER}, {0x9108, SCARD_E_INVALID_PARAMETER}},
      SCARD_F_INTERNAL_ERROR);
}

Result createFileTable(const CardConfig& config, Handle card, unsigned table, std::uint8_t read, std::uint8_t write) {
  if (const Result rc = checkLayout(config)) return rc;
  std::array<std::uint8_t, kFileTableTemplate.size()> fcp = kFileTableTemplate;
  putU16(fcp, kFileTableSize, static_cast<std::uint16_t>(config.fileTableRecords * kFileRecordSize));
  putU16(fcp, kFileTableFid, fidPlus(config.fileTableFidBase, table));
  fcp[kFileTableRead] = read;
  fcp[kFileTableWrite] = write;

  std::uint16_t sw = 0;
  if (const Result rc = transmit(card, Apdu{0x00, 0xE0, 0x00, 0x00, fcp}, sw)) return rc;
  if (const Result rc =
          mapStatus(sw, {{0x6982, SCARD_E_NO_ACCESS}, {0x6A84, SCARD_E_NO_MEMORY}}, SCARD_F_INTERNAL_ERROR))
    return rc;

  constexpr std::array<std::uint8_t, kFileRecordSize> kFreeRecord{};
  for (unsigned r = 0; r < config.fileTableRecords; ++r) {
    if (const Result rc = transmit(card, Apdu{0x00, 0xE2, 0x00, 0x00, kFreeRecord}, sw)) return rc;
    if (sw != kSwSuccess) return SCARD_F_INTERNAL_ERROR;
  }
  if (const Result rc = transmit(card, Apdu{0x00, 0x44, 0x00, 0x00}, sw)) return rc;
  return sw == kSwSuccess ? 0 : SCARD_F_INTERNAL_ERROR;
}

Result registerFile(const CardConfig& config, Handle card, const LogicalName& name, std::uint16_t entry,
                    std::uint16_t length) {
  if (const Result rc = checkLayout(config)) return rc;
  const unsigned table = tableOfEntry(config, entry);

  std::uint16_t sw = 0;
  const auto tableFid = fidBytes(fidPlus(config.fileTableFidBase, table));
  if (const Result rc = transmit(card, Apdu{0x00, 0xA4, 0x02, 0x00, tableFid}, sw)) return rc;
  if (sw == 0x6A82) {
    // A new table is only begun at its first entry, with table 0's rights.
    if (entry % config.fileTableRecords != 0) return SCARD_F_INTERNAL_ERROR;
    ControlParameters parameters;
    const auto firstFid = fidBytes(config.fileTableFidBase);
    if (const Result rc = selectKeepingParameters(card, Apdu{0x00, 0xA4, 0x02, 0x00, firstFid}, parameters, sw))
      return rc;
    if (sw != kSwSuccess) return SCARD_F_INTERNAL_ERROR;
    std::array<std::uint8_t, 2> readWrite{};
    if (!securityAttributes(parameters, 0x06, 4, readWrite)) return SCARD_F_INTERNAL_ERROR;
    if (const Result rc = createFileTable(config, card, table, readWrite[0], readWrite[1])) return rc;
  } else if (sw != kSwSuccess) {
    return SCARD_F_INTERNAL_ERROR;
  }

  std::array<std::uint8_t, kFileRecordSize> record{};
  ByteWriter writer{record};
  if (!writer.putU8(kStateInUse) || !writer.putU16(length) || !writer.putBytes(name.padded()))
    return SCARD_F_INTERNAL_ERROR;
  if (const Result rc = transmit(card, Apdu{0x00, 0xDC, recordOfEntry(config, entry), 0x04, record}, sw)) return rc;
  return sw == kSwSuccess ? 0 : SCARD_F_INTERNAL_ERROR;
}

Result clearFileEntry(const CardConfig& config, Handle card, std::uint16_t entry, Result refused) {
  if (const Result rc = checkLayout(config)) return rc;
  if (const Result rc = selectFile(card, fidPlus(config.fileTableFidBase, tableOfEntry(config, entry)))) return rc;
  constexpr std::array<std::uint8_t, kFileRecordSize> kFreeRecord{};
  std::uint16_t sw = 0;
  if (const Result rc = transmit(card, Apdu{0x00, 0xDC, recordOfEntry(config, entry), 0x04, kFreeRecord}, sw))
    return rc;
  return mapStatus(sw, {{0x6982, refused}}, SCARD_F_INTERNAL_ERROR);
}

Result selectFile(Handle card, std::uint16_t fid) {
  std::uint16_t sw = 0;
  if (const Result rc = selectStatus(card, fid, sw)) return rc;
  return mapStatus(sw, {{0x6A82, SCARD_E_FILE_NOT_FOUND}}, SCARD_F_INTERNAL_ERROR);
}

Result selectDirectory(Handle card, std::uint16_t fid) {
  std::uint16_t sw = 0;
  const auto data = fidBytes(fid);
  if (const Result rc = transmit(card, Apdu{0x00, 0xA4, 0x01, 0x00, data}, sw)) return rc;
  return sw == kSwSuccess ? 0 : SCARD_F_INTERNAL_ERROR;
}

Result keyModulusBytes(Handle card, std::uint16_t fid, std::uint16_t& bytes) {
  ControlParameters parameters;
  std::uint16_t sw = 0;
  const auto data = fidBytes(fid);
  if (const Result rc = selectKeepingParameters(card, Apdu{0x00, 0xA4, 0x02, 0x04, data}, parameters, sw)) return rc;
  if (const Result rc = mapStatus(sw, {{0x6A82, SCARD_E_FILE_NOT_FOUND}}, SCARD_F_INTERNAL_ERROR)) return rc;

  std::array<std::uint8_t, 1> keyType{};
  const auto at = findPairAfter(parameters.bytes(), {0x62, 0x8A, 0xA5}, 0x85, 0x01);
  if (!bytesAt(parameters.bytes(), at, 2, keyType)) return SCARD_F_INTERNAL_ERROR;
  switch (keyType[0]) {
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
