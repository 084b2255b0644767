// The entry-point prologue on every entry point that has one, and the
// entry points declared unsupported.
#include <functional>
#include <string_view>

#include "common/entry_points.h"
#include "support/driver_fixture.h"

namespace vemra::test {
namespace {

struct EntryPoint {
  const char* name;
  std::function<DWORD(PCARD_DATA)> call;
};

// Each entry point called with arguments that pass every check made before
// its prologue.
std::vector<EntryPoint> entryPointsWithPrologue() {
  static char16_t user[] = u"user";
  static char16_t property[] = u"Free Space";
  static char name[] = "file";
  return {
      {"CardQueryCapabilities", [](PCARD_DATA d) { return CardQueryCapabilities(d, nullptr); }},
      // dwReserved 1 is refused after the prologue; 0 would delete the key files.
      {"CardDeleteContainer", [](PCARD_DATA d) { return CardDeleteContainer(d, 0, 1); }},
      {"CardCreateContainer", [](PCARD_DATA d) { return CardCreateContainer(d, 0, 2, 1, 1024, nullptr); }},
      {"CardCreateContainerEx", [](PCARD_DATA d) { return CardCreateContainerEx(d, 0, 2, 1, 1024, nullptr, 1); }},
      {"CardGetContainerInfo", [](PCARD_DATA d) { return CardGetContainerInfo(d, 0, 0, nullptr); }},
      {"CardAuthenticatePin", [](PCARD_DATA d) { return CardAuthenticatePin(d, user, nullptr, 0, nullptr); }},
      {"CardGetChallenge", [](PCARD_DATA d) { return CardGetChallenge(d, nullptr, nullptr); }},
      {"CardGetChallengeEx", [](PCARD_DATA d) { return CardGetChallengeEx(d, ROLE_ADMIN, nullptr, nullptr, 0); }},
      {"CardAuthenticateChallenge", [](PCARD_DATA d) { return CardAuthenticateChallenge(d, nullptr, 0, nullptr); }},
      {"CardUnblockPin", [](PCARD_DATA d) { return CardUnblockPin(d, user, nullptr, 0, nullptr, 0, 0, 1); }},
      {"CardChangeAuthenticator",
       [](PCARD_DATA d) { return CardChangeAuthenticator(d, user, nullptr, 0, nullptr, 0, 0, 2, nullptr); }},
      {"CardChangeAuthenticatorEx",
       [](PCARD_DATA d) { return CardChangeAuthenticatorEx(d, 2, 1, nullptr, 0, 1, nullptr, 0, 0, nullptr); }},
      // dwFlags 1 is tested after the prologue; with 0 these would log out.
      {"CardDeauthenticate", [](PCARD_DATA d) { return CardDeauthenticate(d, user, 1); }},
      {"CardDeauthenticateEx", [](PCARD_DATA d) { return CardDeauthenticateEx(d, 0x02, 1); }},
      {"CardAuthenticateEx",
       [](PCARD_DATA d) { return CardAuthenticateEx(d, ROLE_USER, 0, nullptr, 0, nullptr, nullptr, nullptr); }},
      // Arguments refused right after the prologue; valid ones would read the tables.
      {"CardCreateDirectory", [](PCARD_DATA d) { return CardCreateDirectory(d, name, InvalidDirAc); }},
      {"CardDeleteDirectory", [](PCARD_DATA d) { return CardDeleteDirectory(d, nullptr); }},
      {"CardCreateFile", [](PCARD_DATA d) { return CardCreateFile(d, nullptr, name, 0, InvalidAc); }},
      {"CardReadFile", [](PCARD_DATA d) { return CardReadFile(d, nullptr, name, 0, nullptr, nullptr); }},
      {"CardWriteFile", [](PCARD_DATA d) { return CardWriteFile(d, nullptr, name, 0, nullptr, 0); }},
      {"CardDeleteFile", [](PCARD_DATA d) { return CardDeleteFile(d, nullptr, name, 1); }},
      {"CardEnumFiles", [](PCARD_DATA d) { return CardEnumFiles(d, nullptr, nullptr, nullptr, 0); }},
      {"CardGetFileInfo", [](PCARD_DATA d) { return CardGetFileInfo(d, nullptr, name, nullptr); }},
      {"CardQueryFreeSpace", [](PCARD_DATA d) { return CardQueryFreeSpace(d, 0, nullptr); }},
      {"CardQueryKeySizes", [](PCARD_DATA d) { return CardQueryKeySizes(d, AT_KEYEXCHANGE, 0, nullptr); }},
      {"CardSignData", [](PCARD_DATA d) { return CardSignData(d, nullptr); }},
      {"CardRSADecrypt", [](PCARD_DATA d) { return CardRSADecrypt(d, nullptr); }},
      {"CardGetContainerProperty",
       [](PCARD_DATA d) { return CardGetContainerProperty(d, 0, property, nullptr, 0, nullptr, 0); }},
      {"CardSetContainerProperty",
       [](PCARD_DATA d) { return CardSetContainerProperty(d, 0, property, nullptr, 0, 0); }},
      {"CardGetProperty", [](PCARD_DATA d) { return CardGetProperty(d, property, nullptr, 0, nullptr, 0); }},
      {"CardSetProperty", [](PCARD_DATA d) { return CardSetProperty(d, property, nullptr, 0, 0); }},
      {"CardGetAlgorithmProperty",
       [](PCARD_DATA d) { return CardGetAlgorithmProperty(d, nullptr, nullptr, nullptr, 0, nullptr, 0); }},
  };
}

using PrologueTest = DriverTest;

TEST_F(PrologueTest, RefusesAMissingRecordOrCardHandleWithoutSendingAnything) {
  bind();
  for (const EntryPoint& entry : entryPointsWithPrologue()) {
    EXPECT_EQ(entry.call(nullptr), SCARD_E_INVALID_PARAMETER) << entry.name;
    cardData.hScard = 0;
    EXPECT_EQ(entry.call(&cardData), SCARD_E_INVALID_PARAMETER) << entry.name;
    cardData.hScard = 0xCA;
  }
  EXPECT_TRUE(sentCommands().empty());
}

TEST_F(PrologueTest, RefusesARecordWhoseConfigurationWasReleased) {
  bind();
  ASSERT_EQ(CardDeleteContext(&cardData), 0u);
  for (const EntryPoint& entry : entryPointsWithPrologue()) {
    EXPECT_EQ(entry.call(&cardData), SCARD_E_INVALID_PARAMETER) << entry.name;
  }
  EXPECT_TRUE(sentCommands().empty());
}

TEST_F(PrologueTest, CardWithoutTheApplicationIsUnknown) {
  bind();
  for (const EntryPoint& entry : entryPointsWithPrologue()) {
    expectSelectApplication("6A 82");
    EXPECT_EQ(entry.call(&cardData), SCARD_E_UNKNOWN_CARD) << entry.name;
  }
  EXPECT_EQ(sentCommands().size(), entryPointsWithPrologue().size()) << "one selection each, nothing more";
}

TEST_F(PrologueTest, PcscFailureOfTheSelectionPassesThrough) {
  bind();
  for (const EntryPoint& entry : entryPointsWithPrologue()) {
    pcsc().failCall(PcscCall::Transmit, 1, 0x80100068);
    EXPECT_EQ(entry.call(&cardData), 0x80100068u) << entry.name;
  }
}

TEST_F(PrologueTest, SelectsTheApplicationAndSpendsTheChallengeFlag) {
  bind();
  for (const EntryPoint& entry : entryPointsWithPrologue()) {
    config().challengeIssued = 1;
    expectSelectApplication();
    clearTrace();
    (void)entry.call(&cardData);
    // CardChangeAuthenticatorEx gives the flag back after its prologue, for the
    // operation it hands the call to.
    const bool givesFlagBack = std::string_view(entry.name) == "CardChangeAuthenticatorEx";
    EXPECT_EQ(config().challengeIssued, givesFlagBack ? 1 : 0) << entry.name;
    EXPECT_TRUE(traced("\tpCardData is checked")) << entry.name;
    EXPECT_TRUE(traced("\tconfig is checked")) << entry.name;
    card.clear();  // whatever the entry point sends after its prologue is not this test's business
  }
}

TEST_F(PrologueTest, UnsupportedEntryPointsAnswerWithoutTouchingAnything) {
  bind();
  config().challengeIssued = 1;
  struct Unsupported {
    const char* trace;
    DWORD result;
  };
  const Unsupported calls[] = {
      {"Function MDImportSessionKey called (UNSUPPORTED)",
       MDImportSessionKey(nullptr, nullptr, nullptr, nullptr, nullptr, 0)},
      {"Function MDEncryptData called (UNSUPPORTED)",
       MDEncryptData(&cardData, 0, nullptr, nullptr, 0, 0, nullptr, nullptr)},
      {"Function CardImportSessionKey called (UNSUPPORTED)",
       CardImportSessionKey(&cardData, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0)},
      {"Function CardGetSharedKeyHandle called (UNSUPPORTED)",
       CardGetSharedKeyHandle(&cardData, nullptr, 0, nullptr, nullptr, nullptr)},
      {"Function CardGetKeyProperty called (UNSUPPORTED)",
       CardGetKeyProperty(&cardData, 0, nullptr, nullptr, 0, nullptr, 0)},
      {"Function CardSetKeyProperty called (UNSUPPORTED)", CardSetKeyProperty(&cardData, 0, nullptr, nullptr, 0, 0)},
      {"Function CardDestroyKey called (UNSUPPORTED)", CardDestroyKey(&cardData, 0)},
      {"Function CardProcessEncryptedData called (UNSUPPORTED)",
       CardProcessEncryptedData(&cardData, 0, nullptr, nullptr, 0, nullptr, 0, nullptr, 0)},
  };
  for (const Unsupported& call : calls) {
    EXPECT_EQ(call.result, SCARD_E_UNSUPPORTED_FEATURE) << call.trace;
    EXPECT_TRUE(traced(call.trace)) << call.trace;
  }
  EXPECT_EQ(config().challengeIssued, 1) << "no prologue ran, so the challenge is not spent";
  EXPECT_TRUE(sentCommands().empty());
}

}  // namespace
}  // namespace vemra::test
