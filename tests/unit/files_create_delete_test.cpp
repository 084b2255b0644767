// CardCreateFile and CardDeleteFile on a scripted card (four directory
// records, four records per file table).
#include "files_script.h"

namespace vemra::test::files {
namespace {

using CreateDeleteTest = FilesTest;

const std::string kSelectApplication(profile::kSelectApplication);

std::string createEf(unsigned fid, unsigned size, unsigned read, unsigned write) {
  return "00 E0 00 00 18 62 16 80 02 " + word(size) + " 82 01 01 83 02 " + word(fid) + " 86 06 FF FF " + hex2(write) +
         " " + hex2(read) + " " + hex2(write) + " FF 8A 01 05";
}

// CardCreateFile(NULL, "Notes", ...) up to its transaction: entry 1 is the
// first free one, no directory bears the name, no EF is left under 1001.
void expectRootCreationLookups(ScriptedCard& card) {
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), fileRecord("cardid", 16) + kOk)
      .expect(readRecord(2, 11), kFreeFile + kOk)
      .expect(readRecord(3, 11), fileRecord("x", 1) + kOk)
      .expect(readRecord(4, 11), kFreeFile + kOk)
      .expect(selectEf(0xF101), "6A 82")
      .expect(selectEf(0xA000), "90 00");
  for (unsigned r = 1; r <= 4; ++r)
    card.expect(readRecord(r, 9), (r == 1 ? directoryRecord("docs") : kFreeDirectory) + kOk);
  card.expect(selectEf(0x1001), "6A 82");
}

void expectRootCreationSteps(ScriptedCard& card) {
  card.expect(createEf(0x1001, 10, 0x00, 0x7E), "90 00")
      .expect(selectWithParameters(0xF100), "62 03 83 01 00 90 00")
      .expect("00 DC 02 04 0B " + fileRecord("notes", 5), "90 00");
}

TEST_F(CreateDeleteTest, RootFileTakesTheFirstFreeEntryInsideOneTransaction) {
  bindSmall();
  char name[] = "Notes";
  expectRootCreationLookups(card);
  expectRootCreationSteps(card);
  EXPECT_EQ(CardCreateFile(&cardData, nullptr, name, 5, EveryoneReadUserWriteAc), 0u);
  const auto sent = sentWithDepth();
  ASSERT_EQ(sent.size(), 16u);
  for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i][0], i < 13 ? '1' : '2') << sent[i];
  EXPECT_TRUE(traced("\tFunction CardCreateFile is done"));
}

TEST_F(CreateDeleteTest, CreationEndsItsTransactionWhateverFails) {
  bindSmall();
  char name[] = "Notes";
  injectFailures(
      [&] {
        expectRootCreationLookups(card);
        expectRootCreationSteps(card);
      },
      [&] { return CardCreateFile(&cardData, nullptr, name, 5, EveryoneReadUserWriteAc); });
}

// Lookups of CardCreateFile("docs", name, ...) up to the creation of EF 1000:
// directory 0, an empty file table 0, and the left-over check of EF 1000
// answered `leftOver` (6A 82: nothing left there).
void expectDirectoryCreationLookups(ScriptedCard& card, std::string_view leftOver = "6A 82") {
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), directoryRecord("docs") + kOk)
      .expect(selectDf(0xD000), "90 00")
      .expect(selectEf(0xF100), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 11), kFreeFile + kOk);
  card.expect(selectEf(0xF101), "6A 82").expect(selectEf(0x1000), leftOver);
}

TEST_F(CreateDeleteTest, AccessConditionsAndSizesGoIntoTheEfTemplate) {
  bindSmall();
  char name[] = "f";
  char docs[] = "docs";
  const struct {
    CARD_FILE_ACCESS_CONDITION condition;
    DWORD size;
    unsigned efSize, read, write;
  } cases[] = {
      {EveryoneReadUserWriteAc, 0, 10, 0x00, 0x7E},   {UserWriteExecuteAc, 9, 10, 0xFF, 0x7E},
      {EveryoneReadAdminWriteAc, 11, 11, 0x00, 0x03}, {UnknownAc, 0x100, 0x100, 0xFF, 0xFF},
      {UserReadWriteAc, 0x8000, 0x8000, 0x7E, 0x7E},  {AdminReadWriteAc, 1, 10, 0x03, 0x03},
  };
  for (const auto& c : cases) {
    expectDirectoryCreationLookups(card);
    card.expect(createEf(0x1000, c.efSize, c.read, c.write), "90 00")
        .expect(selectWithParameters(0xF100), "90 00")
        .expect("00 DC 01 04 0B " + fileRecord("f", c.size), "90 00");
    EXPECT_EQ(CardCreateFile(&cardData, docs, name, c.size, c.condition), 0u) << c.condition;
  }
  // Any caller word outside the conditions, however large.
  for (DWORD condition : {0u, 7u, 255u, 2687230u, 0xFFFFFFFFu}) {
    expectSelectApplication();
    EXPECT_EQ(CardCreateFile(&cardData, docs, name, 1, static_cast<CARD_FILE_ACCESS_CONDITION>(condition)),
              SCARD_E_INVALID_PARAMETER);
  }
}

TEST_F(CreateDeleteTest, ALeftOverEfIsDeletedEvenWhenTheSizeIsThenRefused) {
  bindSmall();
  char name[] = "f";
  char docs[] = "docs";
  expectDirectoryCreationLookups(card, "90 00");
  card.expect("00 E4 02 0C 02 10 00", "90 00");
  EXPECT_EQ(CardCreateFile(&cardData, docs, name, 0x8001, UserReadWriteAc), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(pcsc().calls(PcscCall::BeginTransaction) - pcsc().calls(PcscCall::Transmit), 0)
      << "no outer transaction was begun";
}

TEST_F(CreateDeleteTest, CreationRefusals) {
  bindSmall();
  char name[] = "cardid";
  char docs[] = "docs";
  // A directory of the name, for a root file.
  card.expect(kSelectApplication, "90 00").expect(selectEf(0xF100), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 11), kFreeFile + kOk);
  card.expect(selectEf(0xF101), "6A 82")
      .expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), directoryRecord("cardid") + kOk);
  EXPECT_EQ(CardCreateFile(&cardData, nullptr, name, 16, EveryoneReadUserWriteAc), ERROR_FILE_EXISTS);

  // The file exists in the directory.
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), directoryRecord("docs") + kOk)
      .expect(selectDf(0xD000), "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), kFreeFile + kOk)
      .expect(readRecord(2, 11), fileRecord("cardid", 3) + kOk);
  EXPECT_EQ(CardCreateFile(&cardData, docs, name, 16, EveryoneReadUserWriteAc), ERROR_FILE_EXISTS);

  // A table the card will not let us read: the lookup's own failure, not
  // "no free entry", even though entry 0 was seen free.
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), kFreeFile + kOk)
      .expect(readRecord(2, 11), "69 82");
  EXPECT_EQ(CardCreateFile(&cardData, nullptr, name, 16, EveryoneReadUserWriteAc), SCARD_E_NO_ACCESS);

  // The card refuses deleting a left-over EF.
  expectDirectoryCreationLookups(card, "90 00");
  card.expect("00 E4 02 0C 02 10 00", "69 82");
  EXPECT_EQ(CardCreateFile(&cardData, docs, name, 16, EveryoneReadUserWriteAc), SCARD_W_SECURITY_VIOLATION);

  // No room for the EF.
  expectDirectoryCreationLookups(card);
  card.expect(createEf(0x1000, 16, 0x00, 0x7E), "6A 84");
  EXPECT_EQ(CardCreateFile(&cardData, docs, name, 16, EveryoneReadUserWriteAc), SCARD_E_INVALID_PARAMETER);
}

TEST_F(CreateDeleteTest, AFullTableMakesTheNextOneWithTable0sRights) {
  bindSmall();
  char name[] = "fifth";
  card.expect(kSelectApplication, "90 00").expect(selectEf(0xF100), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 11), fileRecord(std::string("f").append(std::to_string(r)), 1) + kOk);
  card.expect(selectEf(0xF101), "6A 82").expect(selectEf(0xA000), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 9), kFreeDirectory + kOk);
  card.expect(selectEf(0x1004), "6A 82")
      .expect(createEf(0x1004, 10, 0x00, 0x03), "90 00")
      .expect(selectWithParameters(0xF101), "6A 82")
      .expect(selectWithParameters(0xF100), "62 0C 83 02 F1 00 86 06 FF FF FF 00 7E FF" + kOk)
      .expect("00 E0 00 00 17 62 15 80 02 00 2C 82 03 02 C1 0B 83 02 F1 01 86 06 FF FF FF 00 7E FF", "90 00");
  for (int r = 0; r < 4; ++r) card.expect("00 E2 00 00 0B " + kFreeFile, "90 00");
  card.expect("00 44 00 00 00", "90 00").expect("00 DC 01 04 0B " + fileRecord("fifth", 0), "90 00");
  EXPECT_EQ(CardCreateFile(&cardData, nullptr, name, 0, EveryoneReadAdminWriteAc), 0u);
}

// CardDeleteFile(NULL, "Notes") of entry 5 (table 1, record 2) up to its
// rights check, whose EF has write byte `write`.
void expectDeletionLookups(ScriptedCard& card, unsigned write) {
  card.expect(kSelectApplication, "90 00").expect(selectEf(0xF100), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 11), kFreeFile + kOk);
  card.expect(selectEf(0xF101), "90 00")
      .expect(readRecord(1, 11), fileRecord("x", 1) + kOk)
      .expect(readRecord(2, 11), fileRecord("notes", 5) + kOk)
      .expect(selectAnyWithParameters(0x1005), efParameters(0x00, write) + kOk);
}

void expectDeletionSteps(ScriptedCard& card) {
  card.expect(selectEf(0xF101), "90 00")
      .expect("00 DC 02 04 0B " + kFreeFile, "90 00")
      .expect("00 E4 02 00 02 10 05", "90 00");
}

TEST_F(CreateDeleteTest, DeletionClearsTheEntryBeforeTheEf) {
  bindSmall();
  char name[] = "NOTES";
  expectDeletionLookups(card, 0x7E);
  card.expect(verifyProbe(0x01), "90 00").expect(verifyProbe(0x03), "69 82");
  expectDeletionSteps(card);
  EXPECT_EQ(CardDeleteFile(&cardData, nullptr, name, 0), 0u);
  const auto sent = sentWithDepth();
  ASSERT_EQ(sent.size(), 15u);
  for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i][0], i < 12 ? '1' : '2') << sent[i];
}

TEST_F(CreateDeleteTest, DeletionRightsAndRefusals) {
  bindSmall();
  char name[] = "notes";
  // UnknownAc: write byte FF, which no probe can grant.
  expectDeletionLookups(card, 0xFF);
  EXPECT_EQ(CardDeleteFile(&cardData, nullptr, name, 0), SCARD_W_SECURITY_VIOLATION);
  // EveryoneReadAdminWriteAc with only the user verified.
  expectDeletionLookups(card, 0x03);
  card.expect(verifyProbe(0x03), "69 82");
  EXPECT_EQ(CardDeleteFile(&cardData, nullptr, name, 0), SCARD_W_SECURITY_VIOLATION);
  // The card refuses the entry's update: a security violation here.
  expectDeletionLookups(card, 0x01);
  card.expect(verifyProbe(0x01), "90 00")
      .expect(selectEf(0xF101), "90 00")
      .expect("00 DC 02 04 0B " + kFreeFile, "69 82");
  EXPECT_EQ(CardDeleteFile(&cardData, nullptr, name, 0), SCARD_W_SECURITY_VIOLATION);
  // Control parameters without 86 06.
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), fileRecord("notes", 5) + kOk)
      .expect(selectAnyWithParameters(0x1000), "62 05 86 05 FF FF 7E" + kOk);
  EXPECT_EQ(CardDeleteFile(&cardData, nullptr, name, 0), SCARD_F_INTERNAL_ERROR);
  // Flags before anything is looked up.
  expectSelectApplication();
  EXPECT_EQ(CardDeleteFile(&cardData, nullptr, name, 1), SCARD_E_INVALID_PARAMETER);
}

TEST_F(CreateDeleteTest, DeletionEndsItsTransactionWhateverFails) {
  bindSmall();
  char name[] = "notes";
  injectFailures(
      [&] {
        expectDeletionLookups(card, 0x7E);
        card.expect(verifyProbe(0x01), "90 00").expect(verifyProbe(0x03), "90 00");
        expectDeletionSteps(card);
      },
      [&] { return CardDeleteFile(&cardData, nullptr, name, 0); });
}

}  // namespace
}  // namespace vemra::test::files
