// PIN change and unblock against a scripted card: CardUnblockPin,
// CardChangeAuthenticator and CardChangeAuthenticatorEx, each sequence in one
// outer transaction.
#include <string>
#include <vector>

#include "common/entry_points.h"
#include "support/driver_fixture.h"

namespace vemra::test {
namespace {

constexpr DWORD kUntouched = 0xDEADBEEF;
constexpr std::string_view kOtherReferences = "10 20 02 04 7E 00";  // userPinRef 02, adminPinRef 04
constexpr std::string_view kResponse = "11 22 33 44 55 66 77 88";
constexpr std::string_view kCallersResponse = "00 82 00 03 08 11 22 33 44 55 66 77 88";
constexpr std::string_view kZeroResponse = "00 82 00 03 08 00 00 00 00 00 00 00 00";
// A 24-byte two-key triple-DES key: K1 K2 K1.
constexpr std::string_view kNewKey = "01 23 45 67 89 AB CD EF FE DC BA 98 76 54 32 10 01 23 45 67 89 AB CD EF";

// A card's answer to the authenticating command and what the caller gets.
struct Outcome {
  std::string_view answer;
  DWORD result;
  DWORD attempts;     // what pcAttemptsRemaining holds afterwards
  const char* trace;  // a message that must have been traced, if any
};

class ChangeTest : public DriverTest {
 protected:
  void expectOutcome(const Outcome& o, DWORD result, DWORD attempts) {
    EXPECT_EQ(result, o.result) << o.answer;
    EXPECT_EQ(attempts, o.attempts) << o.answer;
    EXPECT_TRUE(o.trace == nullptr || traced(o.trace)) << o.answer;
  }
  void getChallenge() {
    expectSelectApplication();
    card.expect("00 84 00 00 08", "C1 C2 C3 C4 C5 C6 C7 C8 90 00");
    BYTE* challenge = nullptr;
    DWORD length = 0;
    ASSERT_EQ(CardGetChallenge(&cardData, &challenge, &length), 0u);
    ProviderDouble::free(challenge);
  }
  DWORD unblock(std::string_view newPin = "35 36 37 38 39") {
    std::vector<BYTE> pin = hex(newPin);
    return CardUnblockPin(&cardData, user, response.data(), 8, pin.data(), static_cast<DWORD>(pin.size()), 0,
                          CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE);
  }
  DWORD change(LPWSTR userId, std::string_view current, std::string_view fresh, DWORD mode, PDWORD attempts = nullptr) {
    std::vector<BYTE> a = hex(current), b = hex(fresh);
    return CardChangeAuthenticator(&cardData, userId, a.data(), static_cast<DWORD>(a.size()), b.data(),
                                   static_cast<DWORD>(b.size()), 0, mode, attempts);
  }
  DWORD changeEx(DWORD flags, PIN_ID authenticating, std::string_view data, PIN_ID target, std::string_view fresh,
                 PDWORD attempts = nullptr) {
    std::vector<BYTE> a = hex(data), b = hex(fresh);
    return CardChangeAuthenticatorEx(&cardData, flags, authenticating, a.data(), static_cast<DWORD>(a.size()), target,
                                     b.data(), static_cast<DWORD>(b.size()), 0, attempts);
  }
  // The depths of the commands sent since bind(), from the n-th on.
  std::vector<int> depthsFrom(std::size_t n) const {
    std::vector<int> depths;
    const auto& all = PcscDouble::instance().commands();
    for (std::size_t i = commandsBeforeTest + n; i < all.size(); ++i) depths.push_back(all[i].depth);
    return depths;
  }

  std::vector<BYTE> response = hex(kResponse);
  char16_t user[5] = u"user";
  char16_t admin[6] = u"admin";
};

TEST_F(ChangeTest, UnblockSendsItsFourCommandsInOneTransaction) {
  bind();
  getChallenge();
  expectSelectApplication();
  card.expect(kCallersResponse, "90 00");
  card.expect("00 2C 03 01 00", "90 00");
  card.expect("00 24 01 01 08 35 36 37 38 39 00 00 00", "90 00");
  card.expect("80 40 03 00 00", "90 00");
  EXPECT_EQ(unblock(), 0u);
  EXPECT_EQ(depthsFrom(3), (std::vector<int>{2, 2, 2, 2}));
  EXPECT_TRUE(traced("\tFunction CardUnblockPinCommon is done"));
}

TEST_F(ChangeTest, UnblockUsesTheCardsReferencesAndTheZeroBlockWithoutChallenge) {
  bind(7, kOtherReferences);
  expectSelectApplication();
  card.expect("00 82 00 04 08 00 00 00 00 00 00 00 00", "90 00");
  card.expect("00 2C 03 02 00", "90 00");
  card.expect("00 24 01 02 08 31 32 33 34 35 36 37 38", "90 00");
  card.expect("80 40 04 00 00", "90 00");
  EXPECT_EQ(unblock("31 32 33 34 35 36 37 38"), 0u);
}

TEST_F(ChangeTest, UnblockRefusesArgumentsBeforeAnyCommand) {
  bind();
  std::vector<BYTE> pin = hex("35 36 37 38 39");
  struct Case {
    const char* what;
    LPWSTR userId;
    PBYTE auth;
    DWORD cbAuth;
    PBYTE pin;
    DWORD cbPin;
    DWORD retries;
    DWORD flags;
  } cases[] = {
      {"admin", admin, response.data(), 8, pin.data(), 5, 0, 1},
      {"NULL user", nullptr, response.data(), 8, pin.data(), 5, 0, 1},
      {"3-byte PIN", user, response.data(), 8, pin.data(), 3, 0, 1},
      {"9-byte PIN", user, response.data(), 8, pin.data(), 9, 0, 1},
      {"NULL PIN", user, response.data(), 8, nullptr, 5, 0, 1},
      {"NULL response", user, nullptr, 8, pin.data(), 5, 0, 1},
      {"PIN mode", user, response.data(), 8, pin.data(), 5, 0, CARD_AUTHENTICATE_PIN_PIN},
      {"7-byte response", user, response.data(), 7, pin.data(), 5, 0, 1},
      {"retry count 3", user, response.data(), 8, pin.data(), 5, 3, 1},
  };
  for (const Case& c : cases) {
    expectSelectApplication();
    EXPECT_EQ(CardUnblockPin(&cardData, c.userId, c.auth, c.cbAuth, c.pin, c.cbPin, c.retries, c.flags),
              SCARD_E_INVALID_PARAMETER)
        << c.what;
  }
  EXPECT_EQ(sentCommands().size(), std::size(cases)) << "the selections only";
  EXPECT_EQ(pcsc().maxDepth(), 1) << "no outer transaction";
}

// Every refusal of the response but 0x6983 counts as a wrong response in the
// unblock; the retry count comes out through CardChangeAuthenticatorEx.
TEST_F(ChangeTest, UnblockRefusedResponsesAreWrongOrBlocked) {
  const Outcome cases[] = {
      {"63 C2", SCARD_W_WRONG_CHV, 2, "\tWRONG KEY\n"},
      {"63 C0", SCARD_W_WRONG_CHV, 0, "\tWRONG KEY\n"},
      {"6A 82", SCARD_W_WRONG_CHV, 0, "\tWRONG KEY\n"},
      {"6A 91", SCARD_W_WRONG_CHV, 0, "\tWRONG KEY\n"},
      {"69 83", SCARD_W_CHV_BLOCKED, kUntouched, "\tKEY BLOCKED\n"},
  };
  bind();
  for (const Outcome& c : cases) {
    clearTrace();
    getChallenge();
    expectSelectApplication();  // CardChangeAuthenticatorEx
    expectSelectApplication();  // the unblock it hands the call to
    card.expect(kCallersResponse, c.answer);
    DWORD attempts = kUntouched;
    const DWORD rc = changeEx(PIN_CHANGE_FLAG_UNBLOCK, ROLE_ADMIN, kResponse, ROLE_USER, "35 36 37 38", &attempts);
    expectOutcome(c, rc, attempts);
    EXPECT_TRUE(traced("\tFunction CardChangeAuthenticator is done")) << c.answer;
    EXPECT_EQ(pcsc().commands().back().depth, 2) << c.answer;
  }
  // And through CardUnblockPin, which has no retry count to report.
  getChallenge();
  expectSelectApplication();
  card.expect(kCallersResponse, "6A 82");
  EXPECT_EQ(unblock(), SCARD_W_WRONG_CHV);
}

TEST_F(ChangeTest, UnblockStopsAtTheFirstRefusedStep) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> script;
  } cases[] = {
      {{{"00 2C 03 01 00", "6A 88"}}},
      {{{"00 2C 03 01 00", "90 00"}, {"00 24 01 01 08 35 36 37 38 39 00 00 00", "6A 80"}}},
      {{{"00 2C 03 01 00", "90 00"}, {"00 24 01 01 08 35 36 37 38 39 00 00 00", "90 00"}, {"80 40 03 00 00", "6D 00"}}},
  };
  bind();
  for (const Case& c : cases) {
    getChallenge();
    expectSelectApplication();
    card.expect(kCallersResponse, "90 00");
    for (const auto& [command, answer] : c.script) card.expect(command, answer);
    EXPECT_EQ(unblock(), SCARD_F_INTERNAL_ERROR);
    ASSERT_TRUE(card.finished());
    EXPECT_EQ(pcsc().depth(0xCA), 0) << "the transaction was ended";
  }
}

TEST_F(ChangeTest, UnblockTransactionFailures) {
  bind();
  // The outer begin is the second begin of the call, after the selection's.
  expectSelectApplication();
  pcsc().failCall(PcscCall::BeginTransaction, 2, 0x8010000B);
  EXPECT_EQ(unblock(), 0x8010000Bu);
  EXPECT_EQ(sentCommands().size(), 1u);

  // Ending the outer transaction fails after every step succeeded: ends of
  // the selection, the four commands, then the outer one.
  expectSelectApplication();
  card.expect(kZeroResponse, "90 00");
  card.expect("00 2C 03 01 00", "90 00");
  card.expect("00 24 01 01 08 35 36 37 38 39 00 00 00", "90 00");
  card.expect("80 40 03 00 00", "90 00");
  pcsc().failCall(PcscCall::EndTransaction, 6, 0x80100011);
  EXPECT_EQ(unblock(), 0x80100011u);
}

TEST_F(ChangeTest, AdministratorModeSetsTheUserPinWithThePinSetCommand) {
  bind(7, kOtherReferences);
  getChallenge();
  expectSelectApplication();
  card.expect("00 82 00 04 08 11 22 33 44 55 66 77 88", "90 00");
  card.expect("80 72 02 02 08 39 39 39 39 00 00 00 00", "90 00");
  EXPECT_EQ(change(user, kResponse, "39 39 39 39", CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE), 0u);
  EXPECT_EQ(depthsFrom(3), (std::vector<int>{2, 2}));
  EXPECT_TRUE(traced("\tFunction CardChangeAuthenticator is done"));
}

TEST_F(ChangeTest, AdministratorModeSendsTheFirstSixteenBytesOfANewKey) {
  bind();
  getChallenge();
  expectSelectApplication();
  card.expect(kCallersResponse, "90 00");
  card.expect("00 24 01 03 10 01 23 45 67 89 AB CD EF FE DC BA 98 76 54 32 10", "90 00");
  EXPECT_EQ(change(admin, kResponse, kNewKey, CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE), 0u);
  EXPECT_EQ(depthsFrom(3), (std::vector<int>{2, 2}));
}

TEST_F(ChangeTest, PinModeVerifiesTheCurrentPinAndSetsTheNewOne) {
  bind(7, kOtherReferences);
  expectSelectApplication();
  card.expect("00 20 00 02 08 31 32 33 34 00 00 00 00", "90 00");
  card.expect("80 72 02 02 08 35 36 37 38 39 30 31 32", "90 00");
  expectSelectApplication();
  card.expect("00 20 00 04 08 61 64 6D 69 6E 00 00 00", "90 00");
  card.expect("80 72 02 04 08 41 44 4D 49 4E 00 00 00", "90 00");
  EXPECT_EQ(change(user, "31 32 33 34", "35 36 37 38 39 30 31 32", CARD_AUTHENTICATE_PIN_PIN), 0u);
  EXPECT_EQ(change(admin, "61 64 6D 69 6E", "41 44 4D 49 4E", CARD_AUTHENTICATE_PIN_PIN), 0u);
  EXPECT_EQ(depthsFrom(1), (std::vector<int>{2, 2, 1, 2, 2}));
}

// In CardChangeAuthenticator only 0x63Cx is a wrong response; other refusals
// are internal errors (unlike the unblock).
TEST_F(ChangeTest, AdministratorModeRefusedResponses) {
  const Outcome cases[] = {
      {"63 C1", SCARD_W_WRONG_CHV, 1, "\tWRONG KEY\n"},
      {"69 83", SCARD_W_CHV_BLOCKED, kUntouched, "\tKEY BLOCKED\n"},
      {"6A 82", SCARD_F_INTERNAL_ERROR, kUntouched, nullptr},
  };
  bind();
  for (const Outcome& c : cases) {
    clearTrace();
    getChallenge();
    expectSelectApplication();
    card.expect(kCallersResponse, c.answer);
    DWORD attempts = kUntouched;
    const DWORD rc = change(user, kResponse, "39 39 39 39", CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE, &attempts);
    expectOutcome(c, rc, attempts);
    EXPECT_FALSE(traced("\tFunction CardChangeAuthenticator is done")) << c.answer;
  }
}

TEST_F(ChangeTest, PinModeRefusedCurrentPin) {
  const Outcome cases[] = {
      {"63 C0", SCARD_W_WRONG_CHV, 0, "\tWRONG PIN\n"},
      {"69 83", SCARD_W_CHV_BLOCKED, kUntouched, "\tPIN BLOCKED\n"},
      {"6A 82", SCARD_F_INTERNAL_ERROR, kUntouched, nullptr},
      {"00 90 00", SCARD_F_INTERNAL_ERROR, kUntouched, nullptr},  // VERIFY answered with data
  };
  bind();
  for (const Outcome& c : cases) {
    clearTrace();
    expectSelectApplication();
    card.expect("00 20 00 01 08 31 32 33 34 00 00 00 00", c.answer);
    DWORD attempts = kUntouched;
    const DWORD rc = change(user, "31 32 33 34", "35 36 37 38", CARD_AUTHENTICATE_PIN_PIN, &attempts);
    expectOutcome(c, rc, attempts);
  }
  EXPECT_EQ(pcsc().depth(0xCA), 0);
}

TEST_F(ChangeTest, RefusedPinSetIsAnInternalError) {
  bind();
  expectSelectApplication();
  card.expect("00 20 00 01 08 31 32 33 34 00 00 00 00", "90 00");
  card.expect("80 72 02 01 08 35 36 37 38 00 00 00 00", "69 85");
  EXPECT_EQ(change(user, "31 32 33 34", "35 36 37 38", CARD_AUTHENTICATE_PIN_PIN), SCARD_F_INTERNAL_ERROR);
}

TEST_F(ChangeTest, ChangeAuthenticatorRefusesArgumentsBeforeAnyCommand) {
  bind();
  std::vector<BYTE> a = hex("31 32 33 34 35 36 37 38 39");
  std::vector<BYTE> key = hex(kNewKey);
  std::vector<BYTE> badKey = key;
  badKey[23] ^= 0x01;
  char16_t upper[] = u"Admin";
  constexpr DWORD kCr = CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE;
  constexpr DWORD kPin = CARD_AUTHENTICATE_PIN_PIN;
  struct Case {
    const char* what;
    LPWSTR userId;
    PBYTE current;
    DWORD cbCurrent;
    PBYTE fresh;
    DWORD cbFresh;
    DWORD retries;
    DWORD flags;
    bool flagsTrace;
  } cases[] = {
      {"NULL user", nullptr, a.data(), 8, a.data(), 4, 0, kCr, false},
      {"\"Admin\"", upper, a.data(), 8, a.data(), 4, 0, kCr, false},
      {"NULL current", user, nullptr, 8, a.data(), 4, 0, kCr, false},
      {"NULL new", user, a.data(), 8, nullptr, 4, 0, kCr, false},
      {"flags 0", user, a.data(), 8, a.data(), 4, 0, 0, true},
      {"flags 3", user, a.data(), 8, a.data(), 4, 0, 3, true},
      {"7-byte response", user, a.data(), 7, a.data(), 4, 0, kCr, false},
      {"new user PIN of 3", user, a.data(), 8, a.data(), 3, 0, kCr, false},
      {"new user PIN of 9", user, a.data(), 8, a.data(), 9, 0, kCr, false},
      {"16-byte key", admin, a.data(), 8, key.data(), 16, 0, kCr, false},
      {"key whose last 8 bytes differ", admin, a.data(), 8, badKey.data(), 24, 0, kCr, false},
      {"retry count, administrator mode", user, a.data(), 8, a.data(), 4, 1, kCr, false},
      {"current PIN of 3", user, a.data(), 3, a.data(), 4, 0, kPin, false},
      {"current PIN of 9", user, a.data(), 9, a.data(), 4, 0, kPin, false},
      {"new PIN of 9", admin, a.data(), 4, a.data(), 9, 0, kPin, false},
      {"new PIN of 24", admin, a.data(), 4, key.data(), 24, 0, kPin, false},
      {"retry count, PIN mode", user, a.data(), 4, a.data(), 4, 5, kPin, false},
  };
  for (const Case& c : cases) {
    clearTrace();
    expectSelectApplication();
    EXPECT_EQ(CardChangeAuthenticator(&cardData, c.userId, c.current, c.cbCurrent, c.fresh, c.cbFresh, c.retries,
                                      c.flags, nullptr),
              SCARD_E_INVALID_PARAMETER)
        << c.what;
    EXPECT_EQ(traced("\tdwFlags isn't checked"), c.flagsTrace) << c.what;
  }
  EXPECT_EQ(sentCommands().size(), std::size(cases)) << "the selections only";
  EXPECT_EQ(pcsc().maxDepth(), 1) << "no outer transaction";
}

TEST_F(ChangeTest, ChangeAuthenticatorExUnblocksWithThePrecedingChallenge) {
  bind();
  getChallenge();
  expectSelectApplication();
  expectSelectApplication();
  card.expect(kCallersResponse, "90 00");
  card.expect("00 2C 03 01 00", "90 00");
  card.expect("00 24 01 01 08 35 36 37 38 00 00 00 00", "90 00");
  card.expect("80 40 03 00 00", "90 00");
  EXPECT_EQ(changeEx(PIN_CHANGE_FLAG_UNBLOCK, ROLE_ADMIN, kResponse, ROLE_USER, "35 36 37 38"), 0u);
  EXPECT_TRUE(traced("\tFunction CardChangeAuthenticator is done"));

  // With a completed prologue in between, the zero block goes to the card.
  getChallenge();
  expectSelectApplication();
  EXPECT_EQ(CardDeauthenticate(&cardData, user, 1), SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  expectSelectApplication();
  card.expect(kZeroResponse, "63 C4");
  EXPECT_EQ(changeEx(PIN_CHANGE_FLAG_UNBLOCK, ROLE_ADMIN, kResponse, ROLE_USER, "35 36 37 38"), SCARD_W_WRONG_CHV);
}

TEST_F(ChangeTest, ChangeAuthenticatorExChoosesTheModeFromTheAuthenticatingRole) {
  bind(7, kOtherReferences);
  // The user's current PIN changes the user PIN: PIN mode on userPinRef 02.
  expectSelectApplication();
  expectSelectApplication();
  card.expect("00 20 00 02 08 31 32 33 34 00 00 00 00", "90 00");
  card.expect("80 72 02 02 08 35 36 37 38 00 00 00 00", "90 00");
  EXPECT_EQ(changeEx(PIN_CHANGE_FLAG_CHANGEPIN, ROLE_USER, "31 32 33 34", ROLE_USER, "35 36 37 38"), 0u);

  // The administrator changes the user PIN: administrator mode.
  getChallenge();
  expectSelectApplication();
  expectSelectApplication();
  card.expect("00 82 00 04 08 11 22 33 44 55 66 77 88", "90 00");
  card.expect("80 72 02 02 08 35 36 37 38 00 00 00 00", "90 00");
  EXPECT_EQ(changeEx(PIN_CHANGE_FLAG_CHANGEPIN, ROLE_ADMIN, kResponse, ROLE_USER, "35 36 37 38"), 0u);

  // The administrator replaces its key.
  getChallenge();
  expectSelectApplication();
  expectSelectApplication();
  card.expect("00 82 00 04 08 11 22 33 44 55 66 77 88", "90 00");
  card.expect("00 24 01 04 10 01 23 45 67 89 AB CD EF FE DC BA 98 76 54 32 10", "90 00");
  EXPECT_EQ(changeEx(PIN_CHANGE_FLAG_CHANGEPIN, ROLE_ADMIN, kResponse, ROLE_ADMIN, kNewKey), 0u);
}

TEST_F(ChangeTest, ChangeAuthenticatorExRefusals) {
  constexpr DWORD kUnblock = PIN_CHANGE_FLAG_UNBLOCK;
  constexpr DWORD kChange = PIN_CHANGE_FLAG_CHANGEPIN;
  struct Case {
    const char* what;
    DWORD flags;
    PIN_ID authenticating;
    std::string_view data;
    PIN_ID target;
    DWORD result;
    const char* trace;
  } cases[] = {
      {"authenticating 0", kUnblock, ROLE_EVERYONE, kResponse, ROLE_USER, SCARD_E_INVALID_PARAMETER, nullptr},
      {"target 3", kUnblock, ROLE_ADMIN, kResponse, 3, SCARD_E_INVALID_PARAMETER, nullptr},
      {"unblock by itself", kUnblock, ROLE_USER, kResponse, ROLE_USER, SCARD_E_INVALID_PARAMETER, nullptr},
      {"unblock with 16 bytes", kUnblock, ROLE_ADMIN, "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", ROLE_USER,
       SCARD_W_WRONG_CHV, nullptr},
      {"unblock the administrator", kUnblock, ROLE_USER, kResponse, ROLE_ADMIN, SCARD_E_INVALID_PARAMETER,
       "\tPIN_CHANGE_FLAG_UNBLOCK for ADMIN forbidden"},
      {"change with a 7-byte response", kChange, ROLE_ADMIN, "00 01 02 03 04 05 06", ROLE_USER, SCARD_W_WRONG_CHV,
       nullptr},
      {"flags 3", 3, ROLE_ADMIN, kResponse, ROLE_USER, SCARD_E_INVALID_PARAMETER, "\tdwFlags isn't checked"},
      {"flags 0", 0, ROLE_USER, "31 32 33 34", ROLE_USER, SCARD_E_INVALID_PARAMETER, "\tdwFlags isn't checked"},
  };
  bind();
  for (const Case& c : cases) {
    clearTrace();
    expectSelectApplication();
    EXPECT_EQ(changeEx(c.flags, c.authenticating, c.data, c.target, "35 36 37 38"), c.result) << c.what;
    EXPECT_TRUE(c.trace == nullptr || traced(c.trace)) << c.what;
    EXPECT_FALSE(traced("\tFunction CardChangeAuthenticator is done")) << c.what;
  }
  std::vector<BYTE> data = hex(kResponse);
  expectSelectApplication();
  EXPECT_EQ(
      CardChangeAuthenticatorEx(&cardData, kUnblock, ROLE_ADMIN, nullptr, 8, ROLE_USER, data.data(), 4, 0, nullptr),
      SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  EXPECT_EQ(
      CardChangeAuthenticatorEx(&cardData, kUnblock, ROLE_ADMIN, data.data(), 8, ROLE_USER, nullptr, 4, 0, nullptr),
      SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  EXPECT_EQ(
      CardChangeAuthenticatorEx(&cardData, kUnblock, ROLE_ADMIN, data.data(), 8, ROLE_USER, data.data(), 4, 1, nullptr),
      SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(sentCommands().size(), std::size(cases) + 3) << "the selections only";
}

TEST_F(ChangeTest, ChangeAuthenticatorExRefusalKeepsThePrecedingChallenge) {
  bind();
  getChallenge();
  expectSelectApplication();
  EXPECT_EQ(changeEx(3, ROLE_ADMIN, kResponse, ROLE_USER, "35 36 37 38"), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(config().challengeIssued, 1);
}

}  // namespace
}  // namespace vemra::test
