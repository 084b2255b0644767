// CardCreateDirectory and CardDeleteDirectory on a scripted card (four
// directory records, four records per file table).
#include "files_script.h"

namespace vemra::test::files {
namespace {

using DirectoriesTest = FilesTest;

const std::string kSelectApplication(profile::kSelectApplication);
const std::string kCreateDf = "00 E0 00 00 18 62 16 80 01 00 82 01 38 83 02 D0 01 86 05 FF FF 7E FF 7E A5 03 8A 01 FF";

// CardCreateDirectory("NewDir", UserCreateDeleteDirAc) up to the begin of its
// transaction: the name is free in the directory table (record 1 free) and
// no root file bears it.
void expectCreationLookups(ScriptedCard& card) {
  card.expect(kSelectApplication, "90 00");
  card.expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), directoryRecord("other") + kOk)
      .expect(readRecord(2, 9), kFreeDirectory + kOk)
      .expect(readRecord(3, 9), directoryRecord("newdi") + kOk)
      .expect(readRecord(4, 9), kFreeDirectory + kOk);
  card.expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), fileRecord("cardid", 16) + kOk)
      .expect(readRecord(2, 11), kFreeFile + kOk)
      .expect(readRecord(3, 11), kFreeFile + kOk)
      .expect(readRecord(4, 11), kFreeFile + kOk)
      .expect(selectEf(0xF101), "6A 82");
}

// The changing steps that follow: the DF (number 1), its table 0, its
// activation, and the directory-table record.
Script creationSteps() {
  Script steps{{kCreateDf, "90 00"},
               {"00 E0 00 00 17 62 15 80 02 00 2C 82 03 02 C1 0B 83 02 F1 00 86 06 FF FF FF 00 7E FF", "90 00"}};
  for (int r = 0; r < 4; ++r) steps.push_back({"00 E2 00 00 0B " + kFreeFile, "90 00"});
  steps.insert(steps.end(), {{"00 44 00 00 00", "90 00"},
                             {"00 44 00 00 02 D0 01", "90 00"},
                             {kSelectApplication, "90 00"},
                             {selectWithParameters(0xA000), "90 00"},
                             {"00 DC 02 04 09 " + directoryRecord("newdir"), "90 00"}});
  return steps;
}

TEST_F(DirectoriesTest, CreationBuildsTheDfAndItsTableInsideOneTransaction) {
  bindSmall();
  char name[] = "NewDir";
  expectCreationLookups(card);
  expectSteps(creationSteps());
  EXPECT_EQ(CardCreateDirectory(&cardData, name, UserCreateDeleteDirAc), 0u);
  const auto sent = sentWithDepth();
  ASSERT_EQ(sent.size(), 23u);
  for (std::size_t i = 0; i < sent.size(); ++i)
    EXPECT_EQ(sent[i][0], i < 12 ? '1' : '2') << "command " << i << ": " << sent[i];
  EXPECT_TRUE(traced("\tFunction CardCreateDirectory is done"));
}

TEST_F(DirectoriesTest, AdministratorDirectoriesCarryTheAdministratorReference) {
  bindSmall();
  char name[] = "NewDir";
  expectCreationLookups(card);
  card.expect("00 E0 00 00 18 62 16 80 01 00 82 01 38 83 02 D0 01 86 05 FF FF 03 FF 03 A5 03 8A 01 FF", "69 82");
  EXPECT_EQ(CardCreateDirectory(&cardData, name, AdminCreateDeleteDirAc), SCARD_W_SECURITY_VIOLATION);
}

TEST_F(DirectoriesTest, ALeftOverDfIsDeletedAndCreatedAgain) {
  bindSmall();
  char name[] = "NewDir";
  expectCreationLookups(card);
  card.expect(kCreateDf, "6A 89").expect("00 E4 01 00 02 D0 01", "6A 82");  // its status is not judged
  expectSteps(creationSteps());
  EXPECT_EQ(CardCreateDirectory(&cardData, name, UserCreateDeleteDirAc), 0u);

  // The second creation refused: no security violation, an internal error.
  expectCreationLookups(card);
  card.expect(kCreateDf, "6A 89").expect("00 E4 01 00 02 D0 01", "90 00").expect(kCreateDf, "69 82");
  EXPECT_EQ(CardCreateDirectory(&cardData, name, UserCreateDeleteDirAc), SCARD_F_INTERNAL_ERROR);
  EXPECT_TRUE(pcsc().balanced());
}

TEST_F(DirectoriesTest, CreationRefusals) {
  bindSmall();
  char good[] = "dir";
  char nine[] = "ninechars";
  char empty[] = "";
  char star[] = "di*r";
  const struct {
    char* name;
    DWORD condition;
  } bad[] = {{good, 0},   {good, 3},  {good, 255}, {good, 0xFFFFFFFF}, {nullptr, 1},
             {nine, 1},   {empty, 1}, {star, 2}};
  for (const auto& c : bad) {
    expectSelectApplication();
    EXPECT_EQ(CardCreateDirectory(&cardData, c.name, static_cast<CARD_DIRECTORY_ACCESS_CONDITION>(c.condition)),
              SCARD_E_INVALID_PARAMETER);
  }
  EXPECT_EQ(sentCommands().size(), 8u) << "nothing after the prologue";

  // The directory exists (in any letter case).
  char upper[] = "OTHER";
  expectSelectApplication();
  expectDirectoryTable({directoryRecord("other"), kFreeDirectory});
  EXPECT_EQ(CardCreateDirectory(&cardData, upper, UserCreateDeleteDirAc), ERROR_FILE_EXISTS);

  // Every record in use.
  expectSelectApplication();
  expectDirectoryTable(std::vector<std::string>(4, directoryRecord("x")));
  EXPECT_EQ(CardCreateDirectory(&cardData, good, UserCreateDeleteDirAc), SCARD_E_NO_MEMORY);

  // A root file of the name.
  char cardid[] = "cardid";
  expectSelectApplication();
  expectDirectoryTable(std::vector<std::string>(4, kFreeDirectory));
  card.expect(selectEf(0xF100), "90 00").expect(readRecord(1, 11), fileRecord("cardid", 16) + kOk);
  EXPECT_EQ(CardCreateDirectory(&cardData, cardid, UserCreateDeleteDirAc), ERROR_FILE_EXISTS);
}

TEST_F(DirectoriesTest, RefusalsInsideTheTransactionMapPerCommand) {
  bindSmall();
  char name[] = "NewDir";
  const struct {
    std::size_t step;
    const char* answer;
    std::uint32_t result;
  } cases[] = {
      {0, "69 82", SCARD_W_SECURITY_VIOLATION},                                        // the DF
      {0, "6A 84", SCARD_F_INTERNAL_ERROR},     {1, "69 82", SCARD_E_NO_ACCESS},       // its file table
      {1, "6A 84", SCARD_E_NO_MEMORY},          {3, "6A 84", SCARD_F_INTERNAL_ERROR},  // a record of the table
      {7, "6A 82", SCARD_F_INTERNAL_ERROR},                                            // the DF's activation
      {8, "6A 82", SCARD_F_INTERNAL_ERROR},  // a lost application is no unknown card here
      {9, "6A 82", SCARD_F_INTERNAL_ERROR},  // the directory table
      {10, "69 82", SCARD_E_NO_ACCESS},      // its record
  };
  for (const auto& c : cases) {
    expectCreationLookups(card);
    expectSteps(creationSteps(), c.step, c.answer);
    EXPECT_EQ(CardCreateDirectory(&cardData, name, UserCreateDeleteDirAc), c.result) << c.step << ": " << c.answer;
    EXPECT_TRUE(pcsc().balanced());
  }
}

TEST_F(DirectoriesTest, CreationEndsItsTransactionWhateverFails) {
  bindSmall();
  char name[] = "NewDir";
  injectFailures(
      [&] {
        expectCreationLookups(card);
        expectSteps(creationSteps());
      },
      [&] { return CardCreateDirectory(&cardData, name, UserCreateDeleteDirAc); });
}

// CardDeleteDirectory("Docs") of directory number 2 (DF D002) up to its
// rights check: the directory table, the DF, two file tables without a
// registered file, the application, the DF's parameters with access byte `a`.
void expectDeletionChecks(ScriptedCard& card, unsigned accessByte) {
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), kFreeDirectory + kOk)
      .expect(readRecord(2, 9), directoryRecord("x") + kOk)
      .expect(readRecord(3, 9), directoryRecord("docs") + kOk)
      .expect(selectDf(0xD002), "90 00")
      .expect(selectEf(0xF100), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 1), "00" + kOk);
  card.expect(selectEf(0xF101), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 1), (r == 2 ? "02" : "00") + kOk);
  card.expect(selectEf(0xF102), "6A 82")
      .expect(kSelectApplication, "90 00")
      .expect(selectAnyWithParameters(0xD002),
              "62 16 82 01 38 83 02 D0 02 86 05 FF FF " + hex2(accessByte) + " FF " + hex2(accessByte) + kOk);
}

const Script kDeletionSteps = {{kSelectApplication, "90 00"},
                               {selectEf(0xA000), "90 00"},
                               {"00 DC 03 04 09 " + kFreeDirectory, "90 00"},
                               {"00 E4 01 00 02 D0 02", "90 00"}};

TEST_F(DirectoriesTest, DeletionChecksEmptinessAndRightsThenClearsTheRecordBeforeTheDf) {
  bindSmall();
  char name[] = "DOCS";
  expectDeletionChecks(card, 0x7E);
  card.expect(verifyProbe(0x01), "63 C3").expect(verifyProbe(0x03), "90 00");  // the administrator suffices
  expectSteps(kDeletionSteps);
  EXPECT_EQ(CardDeleteDirectory(&cardData, name), 0u);
  const auto sent = sentWithDepth();
  ASSERT_EQ(sent.size(), 25u);
  for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i][0], i < 21 ? '1' : '2') << sent[i];
}

TEST_F(DirectoriesTest, DeletionRights) {
  bindSmall();
  char name[] = "docs";
  // An administrator's directory: only the administrator probe counts.
  expectDeletionChecks(card, 0x03);
  card.expect(verifyProbe(0x03), "69 82");
  EXPECT_EQ(CardDeleteDirectory(&cardData, name), SCARD_W_SECURITY_VIOLATION);
  // A user directory with neither role verified.
  expectDeletionChecks(card, 0x7E);
  card.expect(verifyProbe(0x01), "63 C2").expect(verifyProbe(0x03), "69 82");
  EXPECT_EQ(CardDeleteDirectory(&cardData, name), SCARD_W_SECURITY_VIOLATION);
  // A byte naming no reference grants nothing, without a probe.
  expectDeletionChecks(card, 0x55);
  EXPECT_EQ(CardDeleteDirectory(&cardData, name), SCARD_W_SECURITY_VIOLATION);
  // The card's refusals inside the transaction.
  const struct {
    std::size_t step;
    const char* answer;
    std::uint32_t result;
  } cases[] = {{0, "6A 82", SCARD_E_UNKNOWN_CARD},
               {1, "6A 82", SCARD_E_FILE_NOT_FOUND},
               {2, "69 82", SCARD_F_INTERNAL_ERROR},
               {3, "69 82", SCARD_W_SECURITY_VIOLATION},
               {3, "6A 80", SCARD_F_INTERNAL_ERROR}};
  for (const auto& c : cases) {
    expectDeletionChecks(card, 0x01);
    card.expect(verifyProbe(0x01), "90 00");
    expectSteps(kDeletionSteps, c.step, c.answer);
    EXPECT_EQ(CardDeleteDirectory(&cardData, name), c.result) << c.step << ": " << c.answer;
  }
}

TEST_F(DirectoriesTest, DeletionRefusals) {
  bindSmall();
  char name[] = "docs";
  char star[] = "d*cs";
  expectSelectApplication();
  expectDirectoryTable(std::vector<std::string>(4, directoryRecord("x")));
  EXPECT_EQ(CardDeleteDirectory(&cardData, star), SCARD_E_DIR_NOT_FOUND);

  // A registered file in the second table: not empty, before any rights check.
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), directoryRecord("docs") + kOk)
      .expect(selectDf(0xD000), "90 00")
      .expect(selectEf(0xF100), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 1), "00" + kOk);
  card.expect(selectEf(0xF101), "90 00").expect(readRecord(1, 1), "01" + kOk);
  EXPECT_EQ(CardDeleteDirectory(&cardData, name), ERROR_DIR_NOT_EMPTY);

  // The card refuses reading the tables.
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), directoryRecord("docs") + kOk)
      .expect(selectDf(0xD000), "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 1), "69 82");
  EXPECT_EQ(CardDeleteDirectory(&cardData, name), SCARD_E_NO_ACCESS);

  // DF parameters whose 86 05 ends before attribute 3.
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), directoryRecord("docs") + kOk)
      .expect(selectDf(0xD000), "90 00")
      .expect(selectEf(0xF100), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 1), "00" + kOk);
  card.expect(selectEf(0xF101), "6A 82")
      .expect(kSelectApplication, "90 00")
      .expect(selectAnyWithParameters(0xD000), "62 08 82 01 38 86 05 FF FF" + kOk);
  EXPECT_EQ(CardDeleteDirectory(&cardData, name), SCARD_F_INTERNAL_ERROR);
}

TEST_F(DirectoriesTest, EmptinessCheckReadsTablesUpTo255) {
  bindSmall();
  char name[] = "docs";
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xA000), "90 00")
      .expect(readRecord(1, 9), directoryRecord("docs") + kOk)
      .expect(selectDf(0xD000), "90 00");
  for (unsigned table = 0; table <= 255; ++table) {
    card.expect(selectEf(0xF100 + table), "90 00");
    for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 1), (table == 255 && r == 4 ? "01" : "00") + kOk);
  }
  EXPECT_EQ(CardDeleteDirectory(&cardData, name), ERROR_DIR_NOT_EMPTY);
}

TEST_F(DirectoriesTest, DeletionEndsItsTransactionWhateverFails) {
  bindSmall();
  char name[] = "docs";
  injectFailures(
      [&] {
        expectDeletionChecks(card, 0x7E);
        card.expect(verifyProbe(0x01), "90 00").expect(verifyProbe(0x03), "69 82");
        expectSteps(kDeletionSteps);
      },
      [&] { return CardDeleteDirectory(&cardData, name); });
}

}  // namespace
}  // namespace vemra::test::files
