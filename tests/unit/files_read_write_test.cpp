// CardReadFile and CardWriteFile on a scripted card (four records per file
// table): chunks of 248 bytes, exact answers, in-place writes and moves.
#include "files_script.h"

namespace vemra::test::files {
namespace {

using ReadWriteTest = FilesTest;

const std::string kSelectApplication(profile::kSelectApplication);

// `count` bytes counting up from `first`, as hex and as bytes.
std::vector<std::uint8_t> pattern(std::size_t count, unsigned first = 0) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i * 7);
  return bytes;
}
std::string hexOf(std::span<const std::uint8_t> bytes) { return toHex(bytes); }

// The lookup of root file "data" in record 1 with registered length `length`.
void expectReadLookup(ScriptedCard& card, unsigned length) {
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), fileRecord("data", length) + kOk);
}

// Scripts the chunks of a file of `content.size()` bytes.
void expectChunks(ScriptedCard& card, const std::vector<std::uint8_t>& content) {
  for (std::size_t offset = 0; offset < content.size(); offset += 248) {
    const std::size_t size = std::min<std::size_t>(248, content.size() - offset);
    card.expect("00 B0 " + word(offset) + " " + hex2(size), hexOf({content.data() + offset, size}) + kOk);
  }
}

TEST_F(ReadWriteTest, ReadsTheRegisteredLengthInChunksOf248) {
  bindSmall();
  char name[] = "DATA";
  for (std::size_t length : {1, 10, 248, 249, 0x8000}) {
    const auto content = pattern(length, static_cast<unsigned>(length));
    expectReadLookup(card, static_cast<unsigned>(length));
    card.expect(selectEf(0x1000), "90 00");
    expectChunks(card, content);
    PBYTE data = nullptr;
    DWORD size = 0;
    ASSERT_EQ(CardReadFile(&cardData, nullptr, name, 0, &data, &size), 0u) << length;
    ASSERT_EQ(size, length);
    EXPECT_EQ(provider().sizeOf(data), length);
    EXPECT_EQ(std::vector<std::uint8_t>(data, data + size), content) << length;
    EXPECT_TRUE(traced("\tFunction CardReadFile is done")) << length;
    clearTrace();
    ProviderDouble::free(data);
  }
  // The last chunk of the largest file: 32 bytes at 7FE0, the 133rd READ BINARY.
  EXPECT_EQ(sentCommands().back(), "00 B0 7F E0 20");
}

TEST_F(ReadWriteTest, AnEmptyFileIsAZeroLengthBufferWithoutReading) {
  bindSmall();
  char name[] = "data";
  expectReadLookup(card, 0);
  PBYTE data = nullptr;
  DWORD size = 99;
  ASSERT_EQ(CardReadFile(&cardData, nullptr, name, 0, &data, &size), 0u);
  EXPECT_EQ(size, 0u);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(provider().sizeOf(data), 0u);
  EXPECT_FALSE(traced("\tFunction CardReadFile is done")) << "an empty file returns at once";
  ProviderDouble::free(data);
}

TEST_F(ReadWriteTest, AFailedReadGivesTheBufferBack) {
  bindSmall();
  char name[] = "data";
  const struct {
    const char* answer;
    std::uint32_t result;
  } cases[] = {
      {"00 01 02 03 04 05 06 07 08 09 0A 90 00", SCARD_F_INTERNAL_ERROR},  // one byte more than asked
      {"00 01 02 03 04 05 06 07 08 90 00", SCARD_F_INTERNAL_ERROR},        // one byte short
      {"90 00", SCARD_F_INTERNAL_ERROR},                                   // no data at all
      {"69 82", SCARD_W_SECURITY_VIOLATION},
      {"6A 82", SCARD_E_FILE_NOT_FOUND},
      {"6B 00", SCARD_F_INTERNAL_ERROR},
  };
  for (const auto& c : cases) {
    expectReadLookup(card, 10);
    card.expect(selectEf(0x1000), "90 00").expect("00 B0 00 00 0A", c.answer);
    PBYTE data = reinterpret_cast<PBYTE>(this);
    DWORD size = 0;
    EXPECT_EQ(CardReadFile(&cardData, nullptr, name, 0, &data, &size), c.result) << c.answer;
    EXPECT_EQ(data, nullptr) << c.answer;
    EXPECT_EQ(provider().live(), 1u) << "only the configuration is left: " << c.answer;
  }
  // A missing EF under the entry.
  expectReadLookup(card, 10);
  card.expect(selectEf(0x1000), "6A 82");
  PBYTE data = nullptr;
  DWORD size = 0;
  EXPECT_EQ(CardReadFile(&cardData, nullptr, name, 0, &data, &size), SCARD_E_FILE_NOT_FOUND);
  EXPECT_EQ(data, nullptr);
}

TEST_F(ReadWriteTest, ReadRefusals) {
  bindSmall();
  char name[] = "data";
  PBYTE data = nullptr;
  DWORD size = 0;
  // No memory: the length is already reported.
  expectReadLookup(card, 20);
  provider().failAllocation(1);
  EXPECT_EQ(CardReadFile(&cardData, nullptr, name, 0, &data, &size), SCARD_E_NO_MEMORY);
  EXPECT_EQ(size, 20u);
  EXPECT_TRUE(traced("\tFunction CardReadFile: SCARD_E_NO_MEMORY"));
  // A registered length no file can have would address files by short
  // identifier once the offset reaches 0x8000: refused before allocating.
  expectReadLookup(card, 0x8001);
  EXPECT_EQ(CardReadFile(&cardData, nullptr, name, 0, &data, &size), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(provider().allocations(), 2) << "the configuration and the failed one";
  for (DWORD flags : {1u}) {
    expectSelectApplication();
    EXPECT_EQ(CardReadFile(&cardData, nullptr, name, flags, &data, &size), SCARD_E_INVALID_PARAMETER);
  }
  expectSelectApplication();
  EXPECT_EQ(CardReadFile(&cardData, nullptr, name, 0, nullptr, &size), SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  EXPECT_EQ(CardReadFile(&cardData, nullptr, name, 0, &data, nullptr), SCARD_E_INVALID_PARAMETER);
}

// The lookup of root file "data" in record 1 (registered length `length`)
// with the free search on the state bytes of records 2-4: record `freeRecord`
// is the first free one (0: none in table 0, table 1 missing).
void expectWriteLookup(ScriptedCard& card, unsigned length, unsigned freeRecord) {
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), fileRecord("data", length) + kOk);
  for (unsigned r = 2; r <= 4; ++r) {
    card.expect(readRecord(r, 1), (r == freeRecord ? "00" : "01") + kOk);
    if (r == freeRecord) return;
  }
  card.expect(selectEf(0xF101), "6A 82");
}

std::string updateBinary(std::size_t offset, std::span<const std::uint8_t> bytes) {
  return "00 D6 " + word(offset) + " " + hex2(bytes.size()) + " " + hexOf(bytes);
}

TEST_F(ReadWriteTest, InPlaceWritesRegisterOnlyAChangedLength) {
  bindSmall();
  char name[] = "data";
  const auto content = pattern(16);
  // 16 bytes to a 16-byte file: written at offset 0, the entry untouched.
  expectWriteLookup(card, 16, 2);
  card.expect(selectEf(0x1000), "90 00").expect(updateBinary(0, content), "90 00");
  EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, const_cast<PBYTE>(content.data()), 16), 0u);
  // 5 bytes to a 100-byte file, and 10 to an empty one (its EF has 10).
  for (unsigned registered : {100u, 0u}) {
    const DWORD size = registered == 0 ? 10 : 5;
    expectWriteLookup(card, registered, 3);
    card.expect(selectEf(0x1000), "90 00")
        .expect(updateBinary(0, {content.data(), size}), "90 00")
        .expect(selectWithParameters(0xF100), "90 00")
        .expect("00 DC 01 04 0B " + fileRecord("data", size), "90 00");
    EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, const_cast<PBYTE>(content.data()), size), 0u);
  }
  const auto sent = sentWithDepth();
  EXPECT_EQ(sent[5], "2 " + updateBinary(0, content)) << "data goes inside the outer transaction";
  EXPECT_EQ(sent[4], "1 " + selectEf(0x1000));
}

// Writing 11 bytes to the empty file "data" (entry 0, EF of 10 bytes, read
// byte 00, write byte 7E) moves it to entry 1 of the same table.
Script moveSteps(const std::vector<std::uint8_t>& content) {
  return {{selectWithParameters(0x1000), efParameters(0x00, 0x7E) + kOk},
          {"00 E0 00 00 18 62 16 80 02 00 0B 82 01 01 83 02 10 01 86 06 FF FF 7E 00 7E FF 8A 01 05", "90 00"},
          {selectEf(0x1001), "90 00"},
          {updateBinary(0, content), "90 00"},
          {selectWithParameters(0xF100), "90 00"},
          {"00 DC 02 04 0B " + fileRecord("data", 11), "90 00"},
          {selectEf(0xF100), "90 00"},
          {"00 DC 01 04 0B " + kFreeFile, "90 00"},
          {"00 E4 02 00 02 10 00", "90 00"}};
}

TEST_F(ReadWriteTest, GrowingFileMovesWithItsAccessBytes) {
  bindSmall();
  char name[] = "data";
  const auto content = pattern(11);
  expectWriteLookup(card, 0, 2);
  expectSteps(moveSteps(content));
  EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, const_cast<PBYTE>(content.data()), 11), 0u);
  const auto sent = sentWithDepth();
  ASSERT_EQ(sent.size(), 13u);
  for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i][0], i < 7 ? '1' : '2') << sent[i];
}

TEST_F(ReadWriteTest, AMoveIntoANewTableClearsTheOldEntryInItsOwnTable) {
  bindSmall();
  char name[] = "data";
  const auto content = pattern(249);
  expectWriteLookup(card, 16, 0);  // table 0 full, table 1 missing: entry 4
  card.expect(selectWithParameters(0x1000), efParameters(0x7E, 0x7E) + kOk)
      .expect("00 E0 00 00 18 62 16 80 02 00 F9 82 01 01 83 02 10 04 86 06 FF FF 7E 7E 7E FF 8A 01 05", "90 00")
      .expect(selectEf(0x1004), "90 00")
      .expect(updateBinary(0, {content.data(), 248}), "90 00")
      .expect(updateBinary(248, {content.data() + 248, 1}), "90 00")
      .expect(selectWithParameters(0xF101), "6A 82")
      .expect(selectWithParameters(0xF100), "62 0C 83 02 F1 00 86 06 FF FF FF 00 7E FF" + kOk)
      .expect("00 E0 00 00 17 62 15 80 02 00 2C 82 03 02 C1 0B 83 02 F1 01 86 06 FF FF FF 00 7E FF", "90 00");
  for (int r = 0; r < 4; ++r) card.expect("00 E2 00 00 0B " + kFreeFile, "90 00");
  card.expect("00 44 00 00 00", "90 00")
      .expect("00 DC 01 04 0B " + fileRecord("data", 249), "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect("00 DC 01 04 0B " + kFreeFile, "90 00")
      .expect("00 E4 02 00 02 10 00", "90 00");
  EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, const_cast<PBYTE>(content.data()), 249), 0u);
}

TEST_F(ReadWriteTest, RefusalsDuringAMoveMapPerCommand) {
  bindSmall();
  char name[] = "data";
  auto content = pattern(11);
  const struct {
    std::size_t step;
    const char* answer;
    std::uint32_t result;
  } cases[] = {
      {0, "6A 82", SCARD_F_INTERNAL_ERROR},      // the old EF's parameters
      {1, "69 82", SCARD_W_SECURITY_VIOLATION},  // the new EF
      {1, "6A 84", SCARD_E_WRITE_TOO_MANY},     {1, "91 08", SCARD_E_WRITE_TOO_MANY},
      {2, "6A 82", SCARD_E_FILE_NOT_FOUND},     {3, "69 82", SCARD_W_SECURITY_VIOLATION},  // the content
      {5, "69 82", SCARD_F_INTERNAL_ERROR},                                                // the new entry
      {6, "6A 82", SCARD_E_FILE_NOT_FOUND},                                                // the old entry's table
      {7, "69 82", SCARD_F_INTERNAL_ERROR},  // the old entry: no rights check, no security code
      {8, "69 82", SCARD_F_INTERNAL_ERROR},  // the old EF
  };
  for (const auto& c : cases) {
    expectWriteLookup(card, 0, 2);
    expectSteps(moveSteps(content), c.step, c.answer);
    EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, content.data(), 11), c.result) << c.step << ": " << c.answer;
  }
}

TEST_F(ReadWriteTest, WriteEndsItsTransactionWhateverFails) {
  bindSmall();
  char name[] = "data";
  const auto content = pattern(11);
  injectFailures(
      [&] {
        expectWriteLookup(card, 0, 2);
        expectSteps(moveSteps(content));
      },
      [&] { return CardWriteFile(&cardData, nullptr, name, 0, const_cast<PBYTE>(content.data()), 11); });
}

TEST_F(ReadWriteTest, WriteRefusals) {
  bindSmall();
  char name[] = "data";
  std::vector<std::uint8_t> content = pattern(0x8001);
  PBYTE bytes = content.data();
  for (DWORD size : {0u}) {
    expectSelectApplication();
    EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, bytes, size), SCARD_E_INVALID_PARAMETER);
  }
  expectSelectApplication();
  EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, nullptr, 5), SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 1, bytes, 5), SCARD_E_INVALID_PARAMETER);

  // Too long, after the file is found.
  expectWriteLookup(card, 16, 2);
  EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, bytes, 0x8001), SCARD_E_WRITE_TOO_MANY);
  // No room for the moved EF.
  expectWriteLookup(card, 16, 2);
  card.expect(selectWithParameters(0x1000), efParameters(0x00, 0x7E) + kOk)
      .expect("00 E0 00 00 18 62 16 80 02 80 00 82 01 01 83 02 10 01 86 06 FF FF 7E 00 7E FF 8A 01 05", "6A 84");
  EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, bytes, 0x8000), SCARD_E_WRITE_TOO_MANY);
  // A left-over EF under the free entry's FID.
  expectWriteLookup(card, 16, 2);
  card.expect(selectWithParameters(0x1000), efParameters(0x00, 0x7E) + kOk)
      .expect("00 E0 00 00 18 62 16 80 02 00 11 82 01 01 83 02 10 01 86 06 FF FF 7E 00 7E FF 8A 01 05", "6A 89");
  EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, bytes, 17), SCARD_F_INTERNAL_ERROR);
  // Writing refused by the card, in place: a security violation.
  expectWriteLookup(card, 16, 2);
  card.expect(selectEf(0x1000), "90 00").expect(updateBinary(0, {bytes, 3}), "69 82");
  EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, bytes, 3), SCARD_W_SECURITY_VIOLATION);
  // The file does not exist: nothing is created.
  card.expect(kSelectApplication, "90 00").expect(selectEf(0xF100), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 11), fileRecord("x", 1) + kOk);
  card.expect(selectEf(0xF101), "6A 82");
  EXPECT_EQ(CardWriteFile(&cardData, nullptr, name, 0, bytes, 3), SCARD_E_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace vemra::test::files
