// The file system: personalisation, creation from the driver's templates,
// selection, binary and record access, deletion, activation and memory.
#include "sim_test_util.h"

namespace vemra::cardsim::test {
namespace {

class FileSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(selectApp(card), 0x9000);
    ASSERT_EQ(verifyUser(card), 0x9000);
  }
  Card card;
};

TEST_F(FileSystem, FreshCardHasEmptyDirectoryTableAndRootFileTable) {
  Answer dir = run(card, "00 A4 02 00 02 D0 00");
  ASSERT_EQ(dir.sw, 0x9000);
  EXPECT_EQ(dir.data, h("6F 1E 81 02 00 48 80 02 00 48 82 05 02 C1 00 09 08 83 02 D0 00"
                        " 86 06 FF FF FF 00 10 FF 8A 01 05"));
  for (int r = 1; r <= 8; ++r) {
    Bytes c = h("00 B2 00 04 09");
    c[2] = static_cast<uint8_t>(r);
    EXPECT_EQ(card.transmit(c), h("00 00 00 00 00 00 00 00 00 90 00"));
  }
  EXPECT_EQ(card.transmit(h("00 B2 09 04 09")), h("6A 83"));
  ASSERT_EQ(run(card, "00 A4 02 0C 02 F1 00").sw, 0x9000);
  EXPECT_EQ(card.transmit(h("00 B2 08 04 0B")), h("00 00 00 00 00 00 00 00 00 00 00 90 00"));
  EXPECT_EQ(card.transmit(h("00 B2 01 04 01")), h("00 90 00"));  // Le 01: the state byte only
  EXPECT_EQ(card.transmit(h("00 B2 01 04 00")), h("6C 0B"));
  EXPECT_EQ(card.transmit(h("00 B2 01 04 0C")), h("6C 0B"));
  EXPECT_EQ(card.transmit(h("00 B2 01 0C 0B")), h("6A 86"));
  EXPECT_EQ(run(card, "00 A4 02 0C 02 F1 01").sw, 0x6A82);
}

TEST_F(FileSystem, DataFileFromTheDriversTemplate) {
  const uint16_t before = card.freeMemory();
  ASSERT_EQ(create(card, dataEfTemplate(0xA000, 300, 0x00, 0x10)), 0x9000);
  EXPECT_EQ(card.freeMemory(), before - 32 - 300);
  // The new EF is current: write and read it in chunks.
  Bytes content(300);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(run(card, cmd("00 D6 00 00", Bytes(content.begin(), content.begin() + 248))).sw, 0x9000);
  ASSERT_EQ(run(card, cmd("00 D6 00 F8", Bytes(content.begin() + 248, content.end()))).sw, 0x9000);
  Answer first = run(card, "00 B0 00 00 F8");
  Answer second = run(card, "00 B0 00 F8 34");
  EXPECT_EQ(cat(first.data, second.data), content);
  // Past the end: the bytes that exist with 6282; from outside the file 6B00.
  Bytes tail = card.transmit(h("00 B0 01 28 10"));
  EXPECT_EQ(tail, cat(Bytes(content.end() - 4, content.end()), h("62 82")));
  EXPECT_EQ(card.transmit(h("00 B0 01 2C 01")), h("6B 00"));
  EXPECT_EQ(card.transmit(h("00 D6 01 2B 02 01 02")), h("67 00"));
  EXPECT_EQ(card.transmit(h("00 B0 80 00 01")), h("6A 86"));
  EXPECT_EQ(card.transmit(h("00 B2 01 04 01")), h("69 81"));
  // Control parameters as the driver scans them: 86 06 with W R W.
  Answer fcp = run(card, "00 A4 02 04 02 A0 00");
  EXPECT_EQ(fcp.data, h("62 16 80 02 01 2C 82 01 01 83 02 A0 00 86 06 FF FF 10 00 10 FF 8A 01 05"));
  Answer fci = run(card, "00 A4 00 00 02 A0 00");
  EXPECT_EQ(fci.data, h("6F 1A 81 02 01 2C 80 02 01 2C 82 01 01 83 02 A0 00 86 06 FF FF 10 00 10 FF 8A 01 05"));
  EXPECT_EQ(create(card, dataEfTemplate(0xA000, 10, 0x00, 0x10)), 0x6A89);
}

TEST_F(FileSystem, CreationFailsWhenMemoryRunsOut) {
  CardConfig small;
  small.memoryCapacity = 600;
  Card tiny(small);
  selectApp(tiny);
  verifyUser(tiny);
  ASSERT_EQ(tiny.freeMemory(), 600 - 256);
  EXPECT_EQ(create(tiny, dataEfTemplate(0xA000, 313, 0x00, 0x10)), 0x6A84);
  EXPECT_EQ(create(tiny, dataEfTemplate(0xA000, 312, 0x00, 0x10)), 0x9000);
  EXPECT_EQ(tiny.freeMemory(), 0);
}

// The command sequence with which the driver creates a directory.
TEST_F(FileSystem, DirectoryCreationSequenceAndDeletionTakesChildren) {
  const uint16_t before = card.freeMemory();
  ASSERT_EQ(create(card, dfTemplate(0xD100, 0x10)), 0x9000);
  ASSERT_EQ(create(card, fileTableTemplate(0xF100, 8, 0x00, 0x10)), 0x9000);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(run(card, cmd("00 E2 00 00", Bytes(11, 0))).sw, 0x9000);
  EXPECT_EQ(run(card, cmd("00 E2 00 00", Bytes(11, 0))).sw, 0x6A84);
  ASSERT_EQ(run(card, "00 44 00 00 00").sw, 0x9000);
  ASSERT_EQ(run(card, "00 44 00 00 02 D1 00").sw, 0x9000);  // the DF is itself the current DF
  ASSERT_EQ(selectApp(card), 0x9000);
  ASSERT_EQ(run(card, "00 A4 02 00 02 D0 00").sw, 0x9000);
  ASSERT_EQ(run(card, "00 DC 01 04 09 01 6D 73 63 70 00 00 00 00").sw, 0x9000);
  EXPECT_EQ(card.transmit(h("00 B2 01 04 09")), h("01 6D 73 63 70 00 00 00 00 90 00"));
  Answer fci = run(card, "00 A4 00 00 02 D1 00");
  EXPECT_EQ(fci.data, h("6F 11 82 01 38 83 02 D1 00 86 05 FF FF 10 FF 10 8A 01 05"));
  ASSERT_EQ(run(card, "00 A4 02 0C 02 F1 00").sw, 0x9000);  // the directory's own table 0
  EXPECT_EQ(card.freeMemory(), before - 32 - 32 - 88);
  ASSERT_EQ(selectApp(card), 0x9000);
  EXPECT_EQ(run(card, "00 E4 02 00 02 D1 00").sw, 0x6A82);  // P1 02 names EFs only
  ASSERT_EQ(run(card, "00 E4 01 00 02 D1 00").sw, 0x9000);
  EXPECT_EQ(card.freeMemory(), before);
  EXPECT_EQ(run(card, "00 A4 01 00 02 D1 00").sw, 0x6A82);
  EXPECT_EQ(create(card, dfTemplate(0xD100, 0x10)), 0x9000);  // the FID is free again
}

TEST_F(FileSystem, DeleteFileInEachFormTheDriverSends) {
  for (uint16_t fid : {0xA000, 0xA001, 0xA002, 0xA003}) {
    ASSERT_EQ(create(card, dataEfTemplate(fid, 10, 0x00, 0x10)), 0x9000);
  }
  ASSERT_EQ(run(card, "00 E4 00 00 00").sw, 0x9000);  // the current EF: A003
  EXPECT_EQ(run(card, "00 E4 00 00 00").sw, 0x6986);  // no current EF any more
  EXPECT_EQ(run(card, "00 A4 02 0C 02 A0 03").sw, 0x6A82);
  EXPECT_EQ(run(card, "00 E4 02 0C 02 A0 02").sw, 0x9000);
  EXPECT_EQ(run(card, "00 E4 02 00 02 A0 01").sw, 0x9000);
  EXPECT_EQ(run(card, "00 E4 00 00 02 A0 00").sw, 0x9000);
  EXPECT_EQ(run(card, "00 E4 00 00 02 A0 00").sw, 0x6A82);
  EXPECT_EQ(run(card, "00 E4 00 00 02 3F 00").sw, 0x6982);
  EXPECT_EQ(run(card, "00 E4 00 00 02 D0 00").sw, 0x6982);  // tables have no delete right
}

TEST_F(FileSystem, SelectionRulesAndCurrentFile) {
  ASSERT_EQ(create(card, dfTemplate(0xD100, 0x10)), 0x9000);
  ASSERT_EQ(run(card, "00 44 00 00 00").sw, 0x9000);
  // From inside the directory: the parent's children by P1 00, not by P1 02.
  EXPECT_EQ(run(card, "00 A4 02 0C 02 D0 00").sw, 0x6A82);
  EXPECT_EQ(run(card, "00 A4 00 0C 02 D0 00").sw, 0x9000);
  EXPECT_EQ(card.transmit(h("00 B2 01 04 01")), h("00 90 00"));
  EXPECT_EQ(run(card, "00 A4 01 0C 02 D1 00").sw, 0x9000);
  EXPECT_EQ(run(card, "00 A4 03 0C 00").sw, 0x9000);  // back to the parent
  EXPECT_EQ(run(card, "00 A4 00 0C 00").sw, 0x9000);  // the MF
  EXPECT_EQ(card.transmit(h("00 CA 00 B2 03")), h("6A 88"));
  EXPECT_EQ(run(card, cmd("00 A4 04 0C", h("56 45 4D 52 41"))).sw, 0x6A82);  // no partial names
}

TEST_F(FileSystem, KeyFileControlParametersCarryWhatTheDriverScansFor) {
  ASSERT_EQ(create(card, keyFileTemplate(0xB000, 0x10, 0x01, true, 0x20)), 0x9000);
  Answer fcp = run(card, "00 A4 02 04 02 B0 00");
  EXPECT_EQ(fcp.data, h("62 27 82 01 11 83 02 B0 00 86 0A FF FF 10 01 01 FF FF 00 01 FF 8A 01 05"
                        " A5 0F 85 01 22 86 01 8F 87 01 20 88 01 20 89 01 0F"));
  Answer fci = run(card, "00 A4 00 00 02 B0 00");
  EXPECT_EQ(fci.data, h("6F 2B 81 02 01 08 82 01 11 83 02 B0 00 86 0A FF FF 10 01 01 FF FF 00 01 FF 8A 01 05"
                        " A5 0F 85 01 22 86 01 8F 87 01 20 88 01 20 89 01 0F"));
  Bytes badType = keyFileTemplate(0xB001, 0x10, 0x01, true, 0x21);
  badType[28] = 0x23;
  EXPECT_EQ(create(card, badType), 0x6A80);
}

TEST(FileSystemConfig, OtherReferencesAndEmptyTables) {
  CardConfig c;
  c.userPinRef = 0x02;
  c.adminPinRef = 0x04;
  c.dirTableRecords = 0;
  c.fileTableRecords = 0;
  c.userPin = {'8', '7', '6', '5', '4', '3', '2', '1'};
  Card card(c);
  ASSERT_EQ(selectApp(card), 0x9000);
  EXPECT_EQ(card.transmit(h("00 CA 00 B2 03")), h("00 08 00 90 00"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B3 06")), h("20 60 02 04 10 00 90 00"));
  EXPECT_EQ(verifyUser(card, "87654321", 0x01), 0x6A88);
  EXPECT_EQ(verifyUser(card, "87654321", 0x02), 0x9000);
  EXPECT_EQ(authenticateAdmin(card, defaultAdminKey(), 0x04), 0x9000);
  ASSERT_EQ(run(card, "00 A4 02 0C 02 D0 00").sw, 0x9000);
  EXPECT_EQ(card.transmit(h("00 B2 01 04 09")), h("6A 83"));
  EXPECT_EQ(run(card, cmd("00 E2 00 00", Bytes(9, 0))).sw, 0x6A84);

  CardConfig none;
  none.withApplication = false;
  Card other(none);
  EXPECT_EQ(selectApp(other), 0x6A82);
  EXPECT_THROW((void)Card(CardConfig{.userPin = {'1', '2', '3'}}), std::invalid_argument);
}

TEST(FileSystemState, SaveAndLoadKeepFilesPinsAndCountersButNotSecurityStatus) {
  Card card;
  selectApp(card);
  ASSERT_EQ(verifyUser(card), 0x9000);
  ASSERT_EQ(create(card, dataEfTemplate(0xA000, 10, 0x00, 0x10)), 0x9000);
  ASSERT_EQ(run(card, "00 D6 00 00 03 41 42 43").sw, 0x9000);
  ASSERT_EQ(create(card, keyFileTemplate(0xB000, 0x10, 0x01, true, 0x20)), 0x9000);
  ASSERT_EQ(sendChained(card, "72 01 00", keyStream(rsaKey(1024))), 0x9000);
  ASSERT_EQ(verifyUser(card, "9999"), 0x63C2);
  const std::string path = ::testing::TempDir() + "cardsim-state.json";
  card.saveFile(path);
  Card loaded = Card::loadFile(path);
  EXPECT_EQ(loaded.toJson(), card.toJson());
  EXPECT_EQ(loaded.transmit(h("00 20 00 01 00")), h("63 C2"));
  selectApp(loaded);
  ASSERT_EQ(run(loaded, "00 A4 02 0C 02 A0 00").sw, 0x9000);
  EXPECT_EQ(loaded.transmit(h("00 B0 00 00 03")), h("41 42 43 90 00"));
  ASSERT_EQ(run(loaded, "00 A4 02 0C 02 B0 00").sw, 0x9000);
  EXPECT_EQ(run(loaded, "80 46 02 00 00").data, rsaKey(1024).n);
  EXPECT_THROW(Card::fromJson("{\"format\":\"vemra-cardsim\"}"), std::runtime_error);
  EXPECT_THROW(Card::fromJson("not json"), std::runtime_error);
  std::string tampered = card.toJson();
  tampered.replace(tampered.find("\"triesLeft\": 3"), 14, "\"triesLeft\": 9");
  EXPECT_THROW(Card::fromJson(tampered), std::runtime_error);
}

}  // namespace
}  // namespace vemra::cardsim::test
