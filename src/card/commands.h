// The commands the driver sends, one builder each. Operation code names the
// command it sends instead of spelling out its bytes; every instruction byte
// of the card's command set is written here and nowhere else.
//
// Builders that take a span refer to the caller's bytes (the command must not
// outlive them); FIDs and key references are carried inside the command.
#pragma once

#include <cstdint>
#include <span>

#include "card/apdu.h"
#include "card/bytes.h"

namespace vemra::card::command {

// Class bytes: ISO/IEC 7816-4 commands, the card's proprietary commands, and
// every piece but the last of a chained proprietary command.
inline constexpr std::uint8_t kIso = 0x00;
inline constexpr std::uint8_t kProprietary = 0x80;
inline constexpr std::uint8_t kProprietaryChained = 0x90;

namespace ins {
inline constexpr std::uint8_t kVerify = 0x20;
inline constexpr std::uint8_t kManageSecurityEnvironment = 0x22;
inline constexpr std::uint8_t kChangeReferenceData = 0x24;
inline constexpr std::uint8_t kPerformSecurityOperation = 0x2A;
inline constexpr std::uint8_t kResetRetryCounter = 0x2C;
inline constexpr std::uint8_t kDeauthenticate = 0x40;  // proprietary
inline constexpr std::uint8_t kActivateFile = 0x44;
inline constexpr std::uint8_t kReadPublicKey = 0x46;  // proprietary
inline constexpr std::uint8_t kLoadKeyOrSetPin = 0x72;  // proprietary: P1 01 key load, P1 02 PIN set
inline constexpr std::uint8_t kSessionPin = 0x74;       // proprietary
inline constexpr std::uint8_t kExternalAuthenticate = 0x82;
inline constexpr std::uint8_t kGetChallenge = 0x84;
inline constexpr std::uint8_t kSelect = 0xA4;
inline constexpr std::uint8_t kReadBinary = 0xB0;
inline constexpr std::uint8_t kReadRecord = 0xB2;
inline constexpr std::uint8_t kGetResponse = 0xC0;
inline constexpr std::uint8_t kGetData = 0xCA;
inline constexpr std::uint8_t kUpdateBinary = 0xD6;
inline constexpr std::uint8_t kUpdateRecord = 0xDC;
inline constexpr std::uint8_t kCreateFile = 0xE0;
inline constexpr std::uint8_t kAppendRecord = 0xE2;
inline constexpr std::uint8_t kDeleteFile = 0xE4;
inline constexpr std::uint8_t kSerialNumber = 0xFE;  // proprietary
}  // namespace ins

// SELECT P1: what the FID names. P2: what the card answers.
enum class Target : std::uint8_t { AnyFile = 0x00, ChildDf = 0x01, ChildEf = 0x02, DfName = 0x04 };
enum class Answer : std::uint8_t { Fci = 0x00, Fcp = 0x04, Nothing = 0x0C };

// The card application's DF name, selected by name only.
inline constexpr std::uint8_t kApplicationName[12] = {'V', 'E', 'M', 'R', 'A', '_', 'M', 'I', 'N', 'I', 'D', 'R'};

// SELECT by FID: 00 A4 P1 P2 02 FID-high FID-low.
[[nodiscard]] constexpr Apdu selectByFid(Target target, Answer answer, std::uint16_t fid) {
  return Apdu::withBytes(kIso, ins::kSelect, static_cast<std::uint8_t>(target), static_cast<std::uint8_t>(answer),
                         {highByte(fid), lowByte(fid)});
}
// SELECT of the card application by its DF name: 00 A4 04 P2 0C "VEMRA_MINIDR".
[[nodiscard]] constexpr Apdu selectApplication(Answer answer) {
  return Apdu{kIso, ins::kSelect, static_cast<std::uint8_t>(Target::DfName), static_cast<std::uint8_t>(answer),
              kApplicationName};
}

// READ RECORD of record `record` (1-based) of the current EF: 00 B2 rr 04.
[[nodiscard]] constexpr Apdu readRecord(std::uint8_t record) { return Apdu{kIso, ins::kReadRecord, record, 0x04}; }
// UPDATE RECORD of record `record` of the current EF: 00 DC rr 04 Lc data.
[[nodiscard]] constexpr Apdu updateRecord(std::uint8_t record, std::span<const std::uint8_t> data) {
  return Apdu{kIso, ins::kUpdateRecord, record, 0x04, data};
}
// APPEND RECORD to the current EF: 00 E2 00 00 Lc data.
[[nodiscard]] constexpr Apdu appendRecord(std::span<const std::uint8_t> data) {
  return Apdu{kIso, ins::kAppendRecord, 0x00, 0x00, data};
}

// READ BINARY of the current EF from `offset` (below 0x8000): 00 B0 off-high off-low.
[[nodiscard]] constexpr Apdu readBinary(std::uint16_t offset) {
  return Apdu{kIso, ins::kReadBinary, highByte(offset), lowByte(offset)};
}
// UPDATE BINARY of the current EF at `offset`: 00 D6 off-high off-low Lc data.
[[nodiscard]] constexpr Apdu updateBinary(std::uint16_t offset, std::span<const std::uint8_t> data) {
  return Apdu{kIso, ins::kUpdateBinary, highByte(offset), lowByte(offset), data};
}

// CREATE FILE with an FCP template: 00 E0 00 00 Lc template.
[[nodiscard]] constexpr Apdu createFile(std::span<const std::uint8_t> fcp) {
  return Apdu{kIso, ins::kCreateFile, 0x00, 0x00, fcp};
}
// DELETE FILE of the current EF, without data: 00 E4 00 00.
[[nodiscard]] constexpr Apdu deleteCurrentFile() { return Apdu{kIso, ins::kDeleteFile, 0x00, 0x00}; }
// DELETE FILE naming the file by FID: 00 E4 P1 P2 02 FID.
[[nodiscard]] constexpr Apdu deleteFile(std::uint8_t p1, std::uint8_t p2, std::uint16_t fid) {
  return Apdu::withBytes(kIso, ins::kDeleteFile, p1, p2, {highByte(fid), lowByte(fid)});
}
// DELETE FILE of the file `fid` names as `target` would for SELECT: 00 E4 P1 P2 02 FID.
[[nodiscard]] constexpr Apdu deleteFile(Target target, Answer answer, std::uint16_t fid) {
  return deleteFile(static_cast<std::uint8_t>(target), static_cast<std::uint8_t>(answer), fid);
}
// ACTIVATE FILE of the current file: 00 44 00 00.
[[nodiscard]] constexpr Apdu activateCurrentFile() { return Apdu{kIso, ins::kActivateFile, 0x00, 0x00}; }
// ACTIVATE FILE naming the file by FID: 00 44 00 00 02 FID.
[[nodiscard]] constexpr Apdu activateFile(std::uint16_t fid) {
  return Apdu::withBytes(kIso, ins::kActivateFile, 0x00, 0x00, {highByte(fid), lowByte(fid)});
}

// GET DATA of the object 00 `tag`: 00 CA 00 tag.
[[nodiscard]] constexpr Apdu getData(std::uint8_t tag) { return Apdu{kIso, ins::kGetData, 0x00, tag}; }
// GET RESPONSE: 00 C0 00 00 (P3 is the length the card named).
[[nodiscard]] constexpr Apdu getResponse() { return Apdu{kIso, ins::kGetResponse, 0x00, 0x00}; }

// VERIFY of `reference` with an 8-byte block: 00 20 00 ref 08 block.
[[nodiscard]] constexpr Apdu verify(std::uint8_t reference, std::span<const std::uint8_t> block) {
  return Apdu{kIso, ins::kVerify, 0x00, reference, block};
}
// VERIFY without data, which asks whether `reference` is verified: 00 20 00 ref.
[[nodiscard]] constexpr Apdu verifyProbe(std::uint8_t reference) {
  return Apdu{kIso, ins::kVerify, 0x00, reference};
}
// CHANGE REFERENCE DATA (P1 01: new value only): 00 24 01 ref Lc data.
[[nodiscard]] constexpr Apdu changeReferenceData(std::uint8_t reference, std::span<const std::uint8_t> data) {
  return Apdu{kIso, ins::kChangeReferenceData, 0x01, reference, data};
}
// RESET RETRY COUNTER (P1 03: no data): 00 2C 03 ref.
[[nodiscard]] constexpr Apdu resetRetryCounter(std::uint8_t reference) {
  return Apdu{kIso, ins::kResetRetryCounter, 0x03, reference};
}
// GET CHALLENGE: 00 84 00 00.
[[nodiscard]] constexpr Apdu getChallenge() { return Apdu{kIso, ins::kGetChallenge, 0x00, 0x00}; }
// EXTERNAL AUTHENTICATE of `reference` with an 8-byte response: 00 82 00 ref 08 response.
[[nodiscard]] constexpr Apdu externalAuthenticate(std::uint8_t reference, std::span<const std::uint8_t> response) {
  return Apdu{kIso, ins::kExternalAuthenticate, 0x00, reference, response};
}
// The card's deauthenticate command for `reference`: 80 40 ref 00.
[[nodiscard]] constexpr Apdu deauthenticate(std::uint8_t reference) {
  return Apdu{kProprietary, ins::kDeauthenticate, reference, 0x00};
}
// The card's session-PIN command: 80 74 P1 ref [data].
[[nodiscard]] constexpr Apdu sessionPin(std::uint8_t p1, std::uint8_t reference, std::span<const std::uint8_t> data) {
  return Apdu{kProprietary, ins::kSessionPin, p1, reference, data};
}
// The card's PIN-set command: 80 72 02 ref 08 block.
[[nodiscard]] constexpr Apdu setPin(std::uint8_t reference, std::span<const std::uint8_t> block) {
  return Apdu{kProprietary, ins::kLoadKeyOrSetPin, 0x02, reference, block};
}

// One piece of the chained key load into the current key file: 90 72 01 00
// Lc piece, or 80 72 01 00 for the last piece.
[[nodiscard]] constexpr Apdu loadKey(bool last, std::span<const std::uint8_t> piece) {
  return Apdu{last ? kProprietary : kProprietaryChained, ins::kLoadKeyOrSetPin, 0x01, 0x00, piece};
}
// The public-key read of the current key file: 80 46 01 00 (exponent field)
// or 80 46 02 00 (modulus).
enum class PublicKeyPart : std::uint8_t { Exponent = 0x01, Modulus = 0x02 };
[[nodiscard]] constexpr Apdu readPublicKey(PublicKeyPart part) {
  return Apdu{kProprietary, ins::kReadPublicKey, static_cast<std::uint8_t>(part), 0x00};
}
// MSE RESTORE of security environment 0: 00 22 F3 00.
[[nodiscard]] constexpr Apdu mseRestore() { return Apdu{kIso, ins::kManageSecurityEnvironment, 0xF3, 0x00}; }
// MSE SET of the key for the next operation (digital signature template B6,
// key reference under tag 84): 00 22 F1 B6 03 84 01 ref.
[[nodiscard]] constexpr Apdu mseSetKey(std::uint8_t keyReference) {
  return Apdu::withBytes(kIso, ins::kManageSecurityEnvironment, 0xF1, 0xB6, {0x84, 0x01, keyReference});
}
// PERFORM SECURITY OPERATION, compute digital signature: 00 2A 9E 9A Lc data.
[[nodiscard]] constexpr Apdu computeSignature(std::span<const std::uint8_t> data) {
  return Apdu{kIso, ins::kPerformSecurityOperation, 0x9E, 0x9A, data};
}
// One piece of the chained private-key decryption: 90 2A 9E 9A Lc piece, or
// 80 2A 9E 9A for the last piece.
[[nodiscard]] constexpr Apdu decryptPiece(bool last, std::span<const std::uint8_t> piece) {
  return Apdu{last ? kProprietary : kProprietaryChained, ins::kPerformSecurityOperation, 0x9E, 0x9A, piece};
}
// The card's serial-number command: 80 FE 06 00.
[[nodiscard]] constexpr Apdu serialNumber() { return Apdu{kProprietary, ins::kSerialNumber, 0x06, 0x00}; }

}  // namespace vemra::card::command
