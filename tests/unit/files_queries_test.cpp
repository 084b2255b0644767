// CardGetFileInfo, CardEnumFiles and CardQueryFreeSpace on a scripted card
// (four records per file table, two container slots).
#include <cstring>

#include "files_script.h"

namespace vemra::test::files {
namespace {

using QueriesTest = FilesTest;

const std::string kSelectApplication(profile::kSelectApplication);

// CardGetFileInfo(NULL, "data") of entry 0 with registered length 5, whose EF
// has read byte `read` and write byte `write`, and the read check's answer.
void expectInfo(ScriptedCard& card, unsigned read, unsigned write, const std::string& readCheck = "00 90 00") {
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), fileRecord("data", 5) + kOk)
      .expect(selectWithParameters(0x1000), efParameters(read, write) + kOk)
      .expect("00 B0 00 00 01", readCheck);
}

struct Decoding {
  unsigned read, write;
  CARD_FILE_ACCESS_CONDITION condition;
};

TEST_F(QueriesTest, FileInfoDecodesTheReadAndWriteBytes) {
  bindSmall();
  char name[] = "Data";
  const Decoding cases[] = {
      {0x00, 0x7E, EveryoneReadUserWriteAc},
      {0x00, 0x03, EveryoneReadAdminWriteAc},
      {0x00, 0x55, InvalidAc},
      {0xFF, 0x7E, UserWriteExecuteAc},
      {0x7E, 0x7E, UserReadWriteAc},
      {0x03, 0x03, AdminReadWriteAc},
      {0xFF, 0xFF, UnknownAc},
      {0x7E, 0x03, UnknownAc},
  };
  for (const Decoding& c : cases) {
    expectInfo(card, c.read, c.write);
    CARD_FILE_INFO info{0, 99, InvalidAc};
    ASSERT_EQ(CardGetFileInfo(&cardData, nullptr, name, &info), 0u);
    EXPECT_EQ(info.AccessCondition, c.condition) << c.read << "/" << c.write;
    EXPECT_EQ(info.dwVersion, 1u);
    EXPECT_EQ(info.cbFileSize, 5u);
  }
}

TEST_F(QueriesTest, FileInfoWhenUserAccessEqualsTheAdministratorReference) {
  cardData.dwVersion = 7;
  expectConfigurationRead(profile::kB1, "04 02 04", "10 20 01 03 03 00");
  ASSERT_EQ(CardAcquireContext(&cardData, 0), 0u);
  char name[] = "data";
  // Everyone reads and 03 writes: the administrator's; 03 reads and writes: the user's.
  for (const Decoding& c : {Decoding{0x00, 0x03, EveryoneReadAdminWriteAc}, Decoding{0x03, 0x03, UserReadWriteAc}}) {
    expectInfo(card, c.read, c.write);
    CARD_FILE_INFO info{1, 0, InvalidAc};
    ASSERT_EQ(CardGetFileInfo(&cardData, nullptr, name, &info), 0u);
    EXPECT_EQ(info.AccessCondition, c.condition);
  }
}

TEST_F(QueriesTest, FileInfoRefusalsLeaveTheRecordAlone) {
  bindSmall();
  char name[] = "data";
  CARD_FILE_INFO info{1, 77, AdminReadWriteAc};
  expectInfo(card, 0xFF, 0x7E, "69 82");
  EXPECT_EQ(CardGetFileInfo(&cardData, nullptr, name, &info), SCARD_W_SECURITY_VIOLATION);
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), fileRecord("data", 5) + kOk)
      .expect(selectWithParameters(0x1000), "62 0A 86 06 FF FF 7E 00" + kOk);  // attribute 5 missing
  EXPECT_EQ(CardGetFileInfo(&cardData, nullptr, name, &info), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(info.cbFileSize, 77u);
  EXPECT_EQ(info.AccessCondition, AdminReadWriteAc);

  info.dwVersion = 2;
  expectSelectApplication();
  EXPECT_EQ(CardGetFileInfo(&cardData, nullptr, name, &info), ERROR_REVISION_MISMATCH);
  expectSelectApplication();
  EXPECT_EQ(CardGetFileInfo(&cardData, nullptr, name, nullptr), SCARD_E_INVALID_PARAMETER);
}

// CardEnumFiles("docs") of directory 0 with two file tables.
void expectListing(ScriptedCard& card, const std::vector<std::string>& table0, const std::vector<std::string>& table1) {
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), directoryRecord("docs") + kOk)
      .expect(selectDf(0xD000), "90 00")
      .expect(selectEf(0xF101), "90 00")
      .expect(selectEf(0xF102), "6A 82")
      .expect(selectEf(0xF100), "90 00");
  for (std::size_t r = 0; r < table0.size(); ++r) card.expect(readRecord(r + 1, 11), table0[r] + kOk);
  card.expect(selectEf(0xF101), "90 00");
  for (std::size_t r = 0; r < table1.size(); ++r) card.expect(readRecord(r + 1, 11), table1[r] + kOk);
}

TEST_F(QueriesTest, EnumerationListsNamesInEntryOrder) {
  bindSmall();
  char docs[] = "docs";
  expectListing(card, {fileRecord("a", 1), kFreeFile, fileRecord("hidden", 1, 2), fileRecord("seven77", 3)},
                {fileRecord("eightchr", 0), kFreeFile, kFreeFile, kFreeFile});
  LPSTR names = nullptr;
  DWORD size = 0;
  ASSERT_EQ(CardEnumFiles(&cardData, docs, &names, &size, 0), 0u);
  const char expected[] = "a\0seven77\0eightchr\0";  // and the array's own terminator
  ASSERT_EQ(size, sizeof expected);
  EXPECT_EQ(std::memcmp(names, expected, sizeof expected), 0);
  EXPECT_EQ(provider().sizeOf(names), 2u * 4 * 9 + 1);
  ProviderDouble::free(names);
}

TEST_F(QueriesTest, AFailedEnumerationGivesTheBufferBack) {
  bindSmall();
  char docs[] = "docs";
  const std::vector<std::string> empty(4, kFreeFile);
  expectListing(card, empty, empty);
  LPSTR names = reinterpret_cast<LPSTR>(this);
  DWORD size = 5;
  EXPECT_EQ(CardEnumFiles(&cardData, docs, &names, &size, 0), SCARD_E_FILE_NOT_FOUND);
  EXPECT_EQ(names, nullptr);
  EXPECT_TRUE(traced("   Dir is empty \n"));

  // A record answered with ten bytes of eleven, after one name was listed.
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), directoryRecord("docs") + kOk)
      .expect(selectDf(0xD000), "90 00")
      .expect(selectEf(0xF101), "6A 82")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), fileRecord("a", 1) + kOk)
      .expect(readRecord(2, 11), fileRecord("b", 1).substr(0, 29) + kOk);
  names = reinterpret_cast<LPSTR>(this);
  EXPECT_EQ(CardEnumFiles(&cardData, docs, &names, &size, 0), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(names, nullptr);

  expectSelectApplication();
  EXPECT_EQ(CardEnumFiles(&cardData, docs, &names, &size, 1), SCARD_E_INVALID_PARAMETER);
}

TEST_F(QueriesTest, EnumerationCountsAtMost255Tables) {
  bindSmall();
  // A card that answers every selection: the count stops at the tables a
  // lookup visits instead of walking the FIDs for ever.
  expectSelectApplication();
  for (unsigned k = 1; k < 255; ++k) card.expect(selectEf(0xF100 + k), "90 00");
  for (unsigned k = 0; k < 255; ++k) {
    card.expect(selectEf(0xF100 + k), "90 00");
    for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 11), kFreeFile + kOk);
  }
  LPSTR names = nullptr;
  DWORD size = 0;
  EXPECT_EQ(CardEnumFiles(&cardData, nullptr, &names, &size, 0), SCARD_E_FILE_NOT_FOUND);
}

const std::string kSelectApplicationParameters = "00 A4 04 04 0C 56 45 4D 52 41 5F 4D 49 4E 49 44 52";

TEST_F(QueriesTest, FreeSpaceFromTheApplicationAndTheKeyFiles) {
  bindSmall();
  card.expect(kSelectApplication, "90 00")
      .expect(kSelectApplicationParameters, "62 14 82 02 99 99 84 0C 56 45 A5 06 82 01 38 82 02 12 34" + kOk)
      .expect(selectEf(0xB000), "6A 82")
      .expect(selectEf(0xB100), "90 00")  // only the signature key: used
      .expect(selectEf(0xB001), "6A 82")
      .expect(selectEf(0xB101), "6A 82");  // neither: free
  CARD_FREE_SPACE_INFO info{0, 0, 0, 0};
  ASSERT_EQ(CardQueryFreeSpace(&cardData, 0, &info), 0u);
  EXPECT_EQ(info.dwVersion, 1u);
  EXPECT_EQ(info.dwBytesAvailable, 0x1234u);
  EXPECT_EQ(info.dwKeyContainersAvailable, 1u);
  EXPECT_EQ(info.dwMaxKeyContainers, 2u);

  // No slots: nothing probed.
  config().maxContainers = 0;
  card.expect(kSelectApplication, "90 00").expect(kSelectApplicationParameters, "62 A5 82 02 00 10" + kOk);
  ASSERT_EQ(CardQueryFreeSpace(&cardData, 0, &info), 0u);
  EXPECT_EQ(info.dwBytesAvailable, 0x10u);
  EXPECT_EQ(info.dwKeyContainersAvailable, 0u);
}

TEST_F(QueriesTest, FreeSpaceRefusals) {
  bindSmall();
  for (const char* parameters :
       {"62 10 82 02 12 34", "A5 62 82 02 12 34", "62 A5 82 02 12", "62 A5 82 02", "62 A5 82"}) {
    card.expect(kSelectApplication, "90 00").expect(kSelectApplicationParameters, parameters + kOk);
    CARD_FREE_SPACE_INFO info{};
    EXPECT_EQ(CardQueryFreeSpace(&cardData, 0, &info), SCARD_F_INTERNAL_ERROR) << parameters;
  }
  // A failure while the slots are counted leaves the first two fields written.
  card.expect(kSelectApplication, "90 00")
      .expect(kSelectApplicationParameters, "62 A5 82 02 01 00" + kOk)
      .expect(selectEf(0xB000), "6A 83");
  CARD_FREE_SPACE_INFO info{0, 0, 77, 0};
  EXPECT_EQ(CardQueryFreeSpace(&cardData, 0, &info), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(info.dwBytesAvailable, 0x100u);
  EXPECT_EQ(info.dwMaxKeyContainers, 2u);
  EXPECT_EQ(info.dwKeyContainersAvailable, 77u);
  EXPECT_EQ(info.dwVersion, 0u);

  info.dwVersion = 2;
  expectSelectApplication();
  EXPECT_EQ(CardQueryFreeSpace(&cardData, 0, &info), ERROR_REVISION_MISMATCH);
  expectSelectApplication();
  EXPECT_EQ(CardQueryFreeSpace(&cardData, 1, &info), SCARD_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vemra::test::files

namespace vemra::test::files {
namespace {

TEST_F(QueriesTest, CardsWithoutTableRecordsAreRefusedByEveryFileOperation) {
  bindSmall();
  config().fileTableRecords = 0;
  char name[] = "f";
  PBYTE data = nullptr;
  DWORD size = 0;
  LPSTR names = nullptr;
  CARD_FILE_INFO info{};
  const std::function<DWORD()> calls[] = {
      [&] { return CardCreateFile(&cardData, nullptr, name, 1, EveryoneReadUserWriteAc); },
      [&] { return CardDeleteFile(&cardData, nullptr, name, 0); },
      [&] { return CardReadFile(&cardData, nullptr, name, 0, &data, &size); },
      [&] { return CardWriteFile(&cardData, nullptr, name, 0, reinterpret_cast<PBYTE>(name), 1); },
      [&] { return CardGetFileInfo(&cardData, nullptr, name, &info); },
      [&] { return CardEnumFiles(&cardData, nullptr, &names, &size, 0); },
      [&] { return CardCreateDirectory(&cardData, name, UserCreateDeleteDirAc); },
  };
  for (const auto& call : calls) {
    expectSelectApplication();
    EXPECT_EQ(call(), SCARD_E_UNKNOWN_CARD);
  }
  EXPECT_EQ(provider().allocations(), 1) << "only the configuration";
  EXPECT_EQ(sentCommands().size(), std::size(calls)) << "nothing after the prologue";
}

}  // namespace
}  // namespace vemra::test::files
