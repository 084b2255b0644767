// The on-card tables: names, the directory and file lookups, table creation,
// registration, the templates' bytes and the key-size lookup.
#include "card/tables.h"

#include "card/names.h"
#include "files_script.h"

namespace vemra::test::files {
namespace {

using card::LogicalName;

TEST(NamesTest, AreLowerCasedAndPaddedToEightBytes) {
  const struct {
    const char* text;
    const char* stored;
  } cases[] = {
      {"a", "61 00 00 00 00 00 00 00"},
      {"ABC", "61 62 63 00 00 00 00 00"},
      {"MiXeD123", "6D 69 78 65 64 31 32 33"},
      {"\xC4\x7F", "C4 7F 00 00 00 00 00 00"},  // only A-Z change
  };
  for (const auto& c : cases) {
    const auto name = LogicalName::from(c.text);
    ASSERT_TRUE(name) << c.text;
    EXPECT_EQ(toHex(name->padded()), c.stored) << c.text;
  }
  EXPECT_FALSE(LogicalName::from(nullptr));
  EXPECT_FALSE(LogicalName::from(""));
  EXPECT_FALSE(LogicalName::from("ninechars"));
}

TEST(NamesTest, RefuseControlBytesAndTheNineReservedCharacters) {
  for (const char* bad : {"a\x1F", "\x01", "a\"", "a*", "a/", "a:", "a<", "a>", "a?", "a\\", "a|"})
    EXPECT_FALSE(LogicalName::from(bad)->allowed()) << bad;
  for (const char* good : {"a\x7F", "\x80\xFF", "a b.c-d_", "~!@#$%^&"})
    EXPECT_TRUE(LogicalName::from(good)->allowed()) << good;
}

class TablesTest : public FilesTest {
 protected:
  card::Handle handle() const { return static_cast<card::Handle>(cardData.hScard); }
  static LogicalName name(const char* text) { return *LogicalName::from(text); }
};

TEST_F(TablesTest, DirectoryLookupReportsTheNumberAndTheFirstFreeRecord) {
  bindSmall();
  expectDirectoryTable({kFreeDirectory, kFreeDirectory, directoryRecord("abc")});
  std::uint8_t number = 0xEE;
  std::uint8_t freeRecord = 0xEE;
  EXPECT_EQ(card::findDirectory(config(), handle(), name("ABC"), number, &freeRecord), 0u);
  EXPECT_EQ(number, 2);
  EXPECT_EQ(freeRecord, 0);

  // The only free record lies after the match: the lookup reads on to it. A
  // record in use with any state but 0x00 is found.
  expectDirectoryTable({"02 " + padded("abc"), directoryRecord("x"), kFreeDirectory});
  EXPECT_EQ(card::findDirectory(config(), handle(), name("abc"), number, &freeRecord), 0u);
  EXPECT_EQ(number, 0);
  EXPECT_EQ(freeRecord, 2);

  // Without a free request the lookup stops at the match.
  expectDirectoryTable({directoryRecord("abc")});
  EXPECT_EQ(card::findDirectory(config(), handle(), name("abc"), number, nullptr), 0u);
}

TEST_F(TablesTest, DirectoryLookupFailures) {
  bindSmall();
  std::uint8_t number = 0;
  std::uint8_t freeRecord = 0;
  expectDirectoryTable({directoryRecord("a"), kFreeDirectory, directoryRecord("b"), directoryRecord("c")});
  EXPECT_EQ(card::findDirectory(config(), handle(), name("z"), number, &freeRecord), SCARD_E_DIR_NOT_FOUND);
  EXPECT_EQ(freeRecord, 1);

  card.expect(selectEf(0xA000), "6A 82");
  EXPECT_EQ(card::findDirectory(config(), handle(), name("z"), number, &freeRecord), SCARD_E_INVALID_TARGET);

  // A record answered 0x9000 with a byte too few or too many is no record.
  card.expect(selectEf(0xA000), "90 00").expect(readRecord(1, 9), "01 61 00 00 00 00 00 00" + kOk);
  EXPECT_EQ(card::findDirectory(config(), handle(), name("a"), number, nullptr), SCARD_F_INTERNAL_ERROR);
  card.expect(selectEf(0xA000), "90 00").expect(readRecord(1, 9), directoryRecord("a") + " 00" + kOk);
  EXPECT_EQ(card::findDirectory(config(), handle(), name("a"), number, nullptr), SCARD_F_INTERNAL_ERROR);
  card.expect(selectEf(0xA000), "90 00").expect(readRecord(1, 9), "6A 83");
  EXPECT_EQ(card::findDirectory(config(), handle(), name("a"), number, nullptr), SCARD_F_INTERNAL_ERROR);
}

TEST_F(TablesTest, FileLookupAcrossTablesWithTheFreeSearchAfterAMatch) {
  bind();  // eight records per table
  std::vector<std::string> full(8, fileRecord("x", 1));
  std::vector<std::string> table1(8, fileRecord("y", 1));
  table1[2] = fileRecord("found", 0x0123);
  card.expect(selectEf(0xF100), "90 00");
  expectFileRecords(full);
  card.expect(selectEf(0xF101), "90 00");
  expectFileRecords({table1.begin(), table1.begin() + 3});
  // Only the state bytes of the rest of table 1, then table 2.
  for (unsigned r = 4; r <= 8; ++r) card.expect(readRecord(r, 1), "01" + kOk);
  card.expect(selectEf(0xF102), "90 00").expect(readRecord(1, 1), "00" + kOk);

  std::uint16_t entry = 0;
  std::uint16_t length = 0;
  std::uint16_t freeEntry = 0;
  EXPECT_EQ(card::findFile(config(), handle(), name("FOUND"), entry, &length, &freeEntry), 0u);
  EXPECT_EQ(entry, 10);
  EXPECT_EQ(length, 0x0123);
  EXPECT_EQ(freeEntry, 16);
}

TEST_F(TablesTest, FileLookupWhenTheNameIsAbsent) {
  bindSmall();
  std::uint16_t entry = 0;
  std::uint16_t freeEntry = 0;
  // Table 0 full, table 1 missing: the free entry is table 1's first. A
  // record with state 0x02 is neither found nor free.
  card.expect(selectEf(0xF100), "90 00");
  expectFileRecords({fileRecord("a", 1), fileRecord("b", 1), fileRecord("x", 5, 2), fileRecord("c", 1)});
  card.expect(selectEf(0xF101), "6A 82");
  EXPECT_EQ(card::findFile(config(), handle(), name("x"), entry, nullptr, &freeEntry), SCARD_E_FILE_NOT_FOUND);
  EXPECT_EQ(freeEntry, 4);

  card.expect(selectEf(0xF100), "90 00").expect(readRecord(1, 11), "69 82");
  EXPECT_EQ(card::findFile(config(), handle(), name("x"), entry, nullptr, &freeEntry), SCARD_E_NO_ACCESS);
  card.expect(selectEf(0xF100), "6A 82");
  EXPECT_EQ(card::findFile(config(), handle(), name("x"), entry, nullptr, &freeEntry), SCARD_F_INTERNAL_ERROR);
  card.expect(selectEf(0xF100), "90 00").expect(readRecord(1, 11), "01 00" + kOk);
  EXPECT_EQ(card::findFile(config(), handle(), name("x"), entry, nullptr, &freeEntry), SCARD_F_INTERNAL_ERROR);
}

TEST_F(TablesTest, FileLookupVisitsAtMost255Tables) {
  bindSmall();
  // A card that answers every selection and every record "in use": the
  // lookup ends after table 254 instead of walking the FIDs for ever.
  card.expect(selectEf(0xF100), "90 00");
  for (unsigned table = 0; table < 255; ++table) {
    if (table > 0) card.expect(selectEf(0xF100 + table), "90 00");
    expectFileRecords(std::vector<std::string>(4, fileRecord("x", 1)));
  }
  std::uint16_t entry = 0;
  std::uint16_t freeEntry = 0;
  EXPECT_EQ(card::findFile(config(), handle(), name("y"), entry, nullptr, &freeEntry), SCARD_E_FILE_NOT_FOUND);
  EXPECT_EQ(freeEntry, card::kNoEntry);
}

TEST_F(TablesTest, CardsWithoutTableRecordsAreRefusedBeforeAnyCommand) {
  bindSmall();
  std::uint16_t entry = 0;
  std::uint8_t number = 0;
  config().fileTableRecords = 0;
  EXPECT_EQ(card::findFile(config(), handle(), name("a"), entry, nullptr, nullptr), SCARD_E_UNKNOWN_CARD);
  EXPECT_EQ(card::registerFile(config(), handle(), name("a"), 0, 0), SCARD_E_UNKNOWN_CARD);
  EXPECT_EQ(card::createFileTable(config(), handle(), 1, 0, 0), SCARD_E_UNKNOWN_CARD);
  config().fileTableRecords = 4;
  config().dirTableRecords = 0;
  EXPECT_EQ(card::findDirectory(config(), handle(), name("a"), number, nullptr), SCARD_E_UNKNOWN_CARD);
  EXPECT_TRUE(sentCommands().empty());
}

TEST_F(TablesTest, DataFileTemplateAndItsStatusWords) {
  bind();
  card.expect("00 E0 00 00 18 62 16 80 02 01 2C 82 01 01 83 02 10 07 86 06 FF FF 7E 00 7E FF 8A 01 05", "90 00");
  EXPECT_EQ(card::createDataFile(handle(), 0x1007, 300, 0x00, 0x7E), 0u);
  const struct {
    const char* sw;
    std::uint32_t result;
  } cases[] = {{"69 82", SCARD_W_SECURITY_VIOLATION},
               {"6A 84", SCARD_E_INVALID_PARAMETER},
               {"91 08", SCARD_E_INVALID_PARAMETER},
               {"6A 89", SCARD_F_INTERNAL_ERROR}};
  for (const auto& c : cases) {
    card.expect("00 E0 00 00 18 62 16 80 02 00 0A 82 01 01 83 02 10 00 86 06 FF FF 03 03 03 FF 8A 01 05", c.sw);
    EXPECT_EQ(card::createDataFile(handle(), 0x1000, 10, 0x03, 0x03), c.result) << c.sw;
  }
}

TEST_F(TablesTest, RegisteringTheFirstEntryOfAMissingTableCreatesItWithTable0sRights) {
  bind();  // eight records per table
  card.expect(selectWithParameters(0xF103), "6A 82")
      .expect(selectWithParameters(0xF100),
              "62 15 80 02 00 58 82 03 02 C1 0B 83 02 F1 00 86 06 FF FF FF 00 7E FF 90 00")
      .expect("00 E0 00 00 17 62 15 80 02 00 58 82 03 02 C1 0B 83 02 F1 03 86 06 FF FF FF 00 7E FF", "90 00");
  for (int r = 0; r < 8; ++r) card.expect("00 E2 00 00 0B " + kFreeFile, "90 00");
  card.expect("00 44 00 00 00", "90 00").expect("00 DC 01 04 0B " + fileRecord("new", 0x8000), "90 00");
  EXPECT_EQ(card::registerFile(config(), handle(), name("NEW"), 24, 0x8000), 0u);

  // A later entry of a missing table is refused: tables begin at their first.
  card.expect(selectWithParameters(0xF103), "6A 82");
  EXPECT_EQ(card::registerFile(config(), handle(), name("new"), 25, 1), SCARD_F_INTERNAL_ERROR);

  // Table 0's 86 06 cut short: the write byte would lie past the answer.
  card.expect(selectWithParameters(0xF101), "6A 82")
      .expect(selectWithParameters(0xF100), "62 06 86 06 FF FF FF 00 90 00");
  EXPECT_EQ(card::registerFile(config(), handle(), name("new"), 8, 1), SCARD_F_INTERNAL_ERROR);
}

TEST_F(TablesTest, FileTableCreationStatusWords) {
  bindSmall();
  const std::string create = "00 E0 00 00 17 62 15 80 02 00 2C 82 03 02 C1 0B 83 02 F1 00 86 06 FF FF FF 00 03 FF";
  card.expect(create, "69 82");
  EXPECT_EQ(card::createFileTable(config(), handle(), 0, 0x00, 0x03), SCARD_E_NO_ACCESS);
  card.expect(create, "6A 84");
  EXPECT_EQ(card::createFileTable(config(), handle(), 0, 0x00, 0x03), SCARD_E_NO_MEMORY);
  card.expect(create, "90 00")
      .expect("00 E2 00 00 0B " + kFreeFile, "90 00")
      .expect("00 E2 00 00 0B " + kFreeFile, "6A 84");
  EXPECT_EQ(card::createFileTable(config(), handle(), 0, 0x00, 0x03), SCARD_F_INTERNAL_ERROR);
}

TEST_F(TablesTest, KeySizeFromTheKeyTypeCode) {
  bind();
  const struct {
    const char* parameters;
    std::uint32_t result;
    std::uint16_t bytes;
  } cases[] = {
      {"62 10 82 01 11 8A 01 05 A5 03 85 01 22", 0, 128},
      {"62 10 82 01 11 8A 01 05 A5 03 85 01 24", 0, 256},
      {"62 10 82 01 11 8A 01 05 A5 03 85 01 23", SCARD_F_INTERNAL_ERROR, 0},
      {"62 10 85 01 24 8A 01 05 A5 03 85 01", SCARD_F_INTERNAL_ERROR, 0},  // pair at the very end
      {"62 10 85 01 24 A5 03 8A 01 05", SCARD_F_INTERNAL_ERROR, 0},        // A5 before 8A
  };
  for (const auto& c : cases) {
    card.expect("00 A4 02 04 02 B0 01", std::string(c.parameters) + kOk);
    std::uint16_t bytes = 0;
    EXPECT_EQ(card::keyModulusBytes(handle(), 0xB001, bytes), c.result) << c.parameters;
    EXPECT_EQ(bytes, c.bytes) << c.parameters;
  }
  card.expect("00 A4 02 04 02 B0 01", "6A 82");
  std::uint16_t bytes = 0;
  EXPECT_EQ(card::keyModulusBytes(handle(), 0xB001, bytes), SCARD_E_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace vemra::test::files
