// The card link's vocabulary: each command builder gives exactly its bytes,
// and the bounded reader parses table records and control parameters without
// reading past them.
#include <array>
#include <string>
#include <vector>

#include "card/commands.h"
#include "card/tables.h"
#include <gtest/gtest.h>

#include "support/scripted_card.h"

namespace vemra::test {
namespace {

namespace command = card::command;
using command::Answer;
using command::Target;

// CLA INS P1 P2 and the command data, as the builder made them (P3 is the
// exchange's).
std::vector<std::uint8_t> bytesOf(const card::Apdu& apdu) {
  std::vector<std::uint8_t> bytes{apdu.cla, apdu.ins, apdu.p1, apdu.p2};
  bytes.insert(bytes.end(), apdu.data().begin(), apdu.data().end());
  return bytes;
}

TEST(CommandBuilders, EachGivesExactlyItsBytes) {
  const auto block = hex("31 32 33 34 00 00 00 00");
  const auto data = hex("AA BB");
  const struct {
    const char* name;
    card::Apdu apdu;
    const char* bytes;
  } cases[] = {
      {"SELECT EF, no answer", command::selectByFid(Target::ChildEf, Answer::Nothing, 0x1234), "00 A4 02 0C 12 34"},
      {"SELECT any file, FCI", command::selectByFid(Target::AnyFile, Answer::Fci, 0x3F00), "00 A4 00 00 3F 00"},
      {"SELECT DF, FCI", command::selectByFid(Target::ChildDf, Answer::Fci, 0x1001), "00 A4 01 00 10 01"},
      {"SELECT EF, FCP", command::selectByFid(Target::ChildEf, Answer::Fcp, 0xB001), "00 A4 02 04 B0 01"},
      {"SELECT application", command::selectApplication(Answer::Nothing),
       "00 A4 04 0C 56 45 4D 52 41 5F 4D 49 4E 49 44 52"},
      {"SELECT application, FCP", command::selectApplication(Answer::Fcp),
       "00 A4 04 04 56 45 4D 52 41 5F 4D 49 4E 49 44 52"},
      {"READ RECORD", command::readRecord(3), "00 B2 03 04"},
      {"UPDATE RECORD", command::updateRecord(2, data), "00 DC 02 04 AA BB"},
      {"APPEND RECORD", command::appendRecord(data), "00 E2 00 00 AA BB"},
      {"READ BINARY", command::readBinary(0x01F0), "00 B0 01 F0"},
      {"UPDATE BINARY", command::updateBinary(0x00F8, data), "00 D6 00 F8 AA BB"},
      {"CREATE FILE", command::createFile(data), "00 E0 00 00 AA BB"},
      {"DELETE FILE, current", command::deleteCurrentFile(), "00 E4 00 00"},
      {"DELETE FILE, P1 P2", command::deleteFile(0x02, 0x00, 0x2005), "00 E4 02 00 20 05"},
      {"DELETE FILE, DF", command::deleteFile(Target::ChildDf, Answer::Fci, 0x1001), "00 E4 01 00 10 01"},
      {"DELETE FILE, EF", command::deleteFile(Target::ChildEf, Answer::Nothing, 0x2000), "00 E4 02 0C 20 00"},
      {"ACTIVATE FILE, current", command::activateCurrentFile(), "00 44 00 00"},
      {"ACTIVATE FILE", command::activateFile(0x1001), "00 44 00 00 10 01"},
      {"GET DATA", command::getData(0xB1), "00 CA 00 B1"},
      {"GET RESPONSE", command::getResponse(), "00 C0 00 00"},
      {"VERIFY", command::verify(0x01, block), "00 20 00 01 31 32 33 34 00 00 00 00"},
      {"VERIFY probe", command::verifyProbe(0x02), "00 20 00 02"},
      {"CHANGE REFERENCE DATA", command::changeReferenceData(0x01, block), "00 24 01 01 31 32 33 34 00 00 00 00"},
      {"RESET RETRY COUNTER", command::resetRetryCounter(0x01), "00 2C 03 01"},
      {"GET CHALLENGE", command::getChallenge(), "00 84 00 00"},
      {"EXTERNAL AUTHENTICATE", command::externalAuthenticate(0x02, block), "00 82 00 02 31 32 33 34 00 00 00 00"},
      {"deauthenticate", command::deauthenticate(0x02), "80 40 02 00"},
      {"session-PIN VERIFY", command::sessionPin(0x01, 0x01, block), "80 74 01 01 31 32 33 34 00 00 00 00"},
      {"PIN set", command::setPin(0x01, block), "80 72 02 01 31 32 33 34 00 00 00 00"},
      {"key load, chained", command::loadKey(false, data), "90 72 01 00 AA BB"},
      {"key load, last", command::loadKey(true, data), "80 72 01 00 AA BB"},
      {"public exponent", command::readPublicKey(command::PublicKeyPart::Exponent), "80 46 01 00"},
      {"public modulus", command::readPublicKey(command::PublicKeyPart::Modulus), "80 46 02 00"},
      {"MSE RESTORE", command::mseRestore(), "00 22 F3 00"},
      {"MSE SET", command::mseSetKey(0x81), "00 22 F1 B6 84 01 81"},
      {"compute signature", command::computeSignature(data), "00 2A 9E 9A AA BB"},
      {"decryption, chained", command::decryptPiece(false, data), "90 2A 9E 9A AA BB"},
      {"decryption, last", command::decryptPiece(true, data), "80 2A 9E 9A AA BB"},
      {"serial number", command::serialNumber(), "80 FE 06 00"},
  };
  for (const auto& c : cases) EXPECT_EQ(bytesOf(c.apdu), hex(c.bytes)) << c.name;
}

TEST(CommandBuilders, ACopiedCommandCarriesItsOwnData) {
  card::Apdu copy = command::activateFile(0x0102);
  {
    const card::Apdu original = command::selectByFid(Target::ChildEf, Answer::Nothing, 0xABCD);
    copy = original;
  }
  EXPECT_EQ(bytesOf(copy), hex("00 A4 02 0C AB CD"));
}

TEST(TableRecords, ParseOnlyAtTheirExactLength) {
  const auto file = hex("01 01 2C 61 62 00 00 00 00 00 00");
  card::FileRecord record{};
  ASSERT_TRUE(card::parseRecord(file, record));
  EXPECT_EQ(record.state, card::kRecordInUse);
  EXPECT_EQ(record.length, 0x012C);
  EXPECT_EQ(std::vector<std::uint8_t>(record.name.begin(), record.name.end()), hex("61 62 00 00 00 00 00 00"));
  EXPECT_FALSE(card::parseRecord(std::span(file).first(10), record)) << "a short record";
  EXPECT_FALSE(card::parseRecord(hex("01 01 2C 61 62 00 00 00 00 00 00 00"), record)) << "an overlong record";
  EXPECT_FALSE(card::parseRecord({}, record));

  card::DirectoryRecord directory{};
  ASSERT_TRUE(card::parseRecord(hex("01 64 69 72 00 00 00 00 00"), directory));
  EXPECT_EQ(directory.state, card::kRecordInUse);
  EXPECT_EQ(std::vector<std::uint8_t>(directory.name.begin(), directory.name.end()), hex("64 69 72 00 00 00 00 00"));
  EXPECT_FALSE(card::parseRecord(hex("00 64 69 72 00 00 00 00"), directory)) << "a short record";
  EXPECT_FALSE(card::parseRecord(file, directory)) << "a file record is too long for a directory";
}

TEST(ByteReader, ChecksBeforeItAdvances) {
  const auto bytes = hex("62 08 A5 06 82 02 7F 00");
  card::ByteReader reader{bytes};
  ASSERT_TRUE(card::seekPairAfter(reader, {0x62, 0xA5}, 0x82, 0x02));
  std::uint16_t memory = 0;
  ASSERT_TRUE(reader.readU16(memory));
  EXPECT_EQ(memory, 0x7F00);
  std::uint8_t byte = 0;
  EXPECT_FALSE(reader.peekU8(byte));
  EXPECT_FALSE(reader.readU8(byte));

  card::ByteReader shortRead{bytes};
  std::span<const std::uint8_t> view;
  EXPECT_FALSE(shortRead.readView(9, view)) << "more than there is";
  EXPECT_EQ(shortRead.remaining(), 8u) << "a failed read leaves the reader where it was";
  ASSERT_TRUE(shortRead.readView(2, view));
  EXPECT_EQ(std::vector<std::uint8_t>(view.begin(), view.end()), hex("62 08"));
  ASSERT_TRUE(shortRead.peekU8(byte));
  EXPECT_EQ(byte, 0xA5);
  EXPECT_EQ(shortRead.remaining(), 6u) << "peeking does not advance";

  const auto cutBytes = hex("62 05 86 06");
  card::ByteReader cut{cutBytes};
  EXPECT_FALSE(card::seekPairAfter(cut, {}, 0x06, 0xFF)) << "a first byte at the very end";
  EXPECT_TRUE(cut.empty());
}

TEST(ByteWriter, ListsOfBytesFitOrAreNotWritten) {
  std::array<std::uint8_t, 4> buffer{};
  card::ByteWriter writer{buffer};
  ASSERT_TRUE(writer.putBytes({0x62, 0x16, 0x80}));
  EXPECT_FALSE(writer.putBytes({0x02, 0x00}));
  EXPECT_EQ(writer.size(), 3u);
  EXPECT_EQ(buffer[3], 0x00);
  EXPECT_FALSE(writer.ok());
}

}  // namespace
}  // namespace vemra::test
