// PIN login and logout against a scripted card: CardAuthenticatePin,
// CardAuthenticateEx (user paths), CardDeauthenticate, CardDeauthenticateEx.
#include <string>
#include <vector>

#include "common/entry_points.h"
#include "support/driver_fixture.h"

namespace vemra::test {
namespace {

constexpr DWORD kUntouched = 0xDEADBEEF;
// userPinRef 02, adminPinRef 04: a card whose references are not the usual ones.
constexpr std::string_view kOtherReferences = "10 20 02 04 7E 00";

class LoginTest : public DriverTest {
 protected:
  DWORD authenticatePin(const char16_t* userId, std::string_view pin, PDWORD attempts = nullptr) {
    std::u16string id = userId == nullptr ? u"" : userId;
    std::vector<BYTE> bytes = hex(pin);
    return CardAuthenticatePin(&cardData, userId == nullptr ? nullptr : id.data(), bytes.data(),
                               static_cast<DWORD>(bytes.size()), attempts);
  }
  DWORD authenticateUser(DWORD flags, std::vector<BYTE> pin, PDWORD attempts = nullptr) {
    return CardAuthenticateEx(&cardData, ROLE_USER, flags, pin.data(), static_cast<DWORD>(pin.size()), nullptr, nullptr,
                              attempts);
  }
  char16_t user[5] = u"user";
  char16_t admin[6] = u"admin";
};

TEST_F(LoginTest, VerifySendsThePinPaddedToEightBytesUnderTheRoleReference) {
  struct Case {
    const char16_t* userId;
    std::string_view pin;
    std::string_view command;
  } cases[] = {
      {u"user", "31 32 33 34", "00 20 00 01 08 31 32 33 34 00 00 00 00"},
      {u"user", "31 32 33 34 35 36 37 38", "00 20 00 01 08 31 32 33 34 35 36 37 38"},
      {u"user", "00 FF 7F 80 C3", "00 20 00 01 08 00 FF 7F 80 C3 00 00 00"},  // bytes unchanged
      {u"admin", "61 62 63 64 65 66", "00 20 00 03 08 61 62 63 64 65 66 00 00"},
  };
  bind();
  for (const Case& c : cases) {
    expectSelectApplication();
    card.expect(c.command, "90 00");
    EXPECT_EQ(authenticatePin(c.userId, c.pin), 0u) << c.command;
  }
  EXPECT_TRUE(traced("\tFunction CardAuthenticatePin is done"));
}

TEST_F(LoginTest, VerifyUsesTheCardsOwnReferences) {
  bind(7, kOtherReferences);
  expectSelectApplication();
  card.expect("00 20 00 02 08 31 32 33 34 00 00 00 00", "90 00");
  expectSelectApplication();
  card.expect("00 20 00 04 08 31 32 33 34 00 00 00 00", "90 00");
  EXPECT_EQ(authenticatePin(u"user", "31 32 33 34"), 0u);
  EXPECT_EQ(authenticatePin(u"admin", "31 32 33 34"), 0u);
}

// The answers to VERIFY, for CardAuthenticatePin and for the session-PIN
// VERIFY of CardAuthenticateEx alike.
struct VerifyOutcome {
  std::string_view answer;
  DWORD result;
  DWORD attempts;  // what pcAttemptsRemaining holds afterwards
  const char* trace;
};
const VerifyOutcome kVerifyOutcomes[] = {
    {"63 C2", SCARD_W_WRONG_CHV, 2, "\tWRONG PIN\n"},
    {"63 CF", SCARD_W_WRONG_CHV, 15, "\tWRONG PIN\n"},
    {"63 C0", SCARD_W_WRONG_CHV, 0, "\tWRONG PIN\n"},  // no tries left is still a wrong PIN
    {"69 83", SCARD_W_CHV_BLOCKED, kUntouched, "\tPIN BLOCKED\n"},
    {"6A 88", SCARD_F_INTERNAL_ERROR, kUntouched, nullptr},
    {"69 82", SCARD_F_INTERNAL_ERROR, kUntouched, nullptr},
};

TEST_F(LoginTest, VerifyAnswersMapToErrorsAndTheRetryCount) {
  bind();
  for (const bool sessionPinVerify : {false, true}) {
    for (const VerifyOutcome& o : kVerifyOutcomes) {
      clearTrace();
      expectSelectApplication();
      card.expect(
          sessionPinVerify ? "80 74 00 01 08 31 32 33 34 00 00 00 00" : "00 20 00 01 08 31 32 33 34 00 00 00 00",
          o.answer);
      DWORD attempts = kUntouched;
      const DWORD rc = sessionPinVerify ? authenticateUser(0, hex("31 32 33 34"), &attempts)
                                        : authenticatePin(u"user", "31 32 33 34", &attempts);
      EXPECT_EQ(rc, o.result) << o.answer << (sessionPinVerify ? " to 80 74" : " to VERIFY");
      EXPECT_EQ(attempts, o.attempts) << o.answer;
      EXPECT_TRUE(o.trace == nullptr || traced(o.trace)) << o.answer;
      EXPECT_FALSE(
          traced(sessionPinVerify ? "Function CardAuthenticateEx is done" : "\tFunction CardAuthenticatePin is done"))
          << o.answer;
    }
  }
}

TEST_F(LoginTest, WrongPinWithoutAttemptsPointerStillFails) {
  bind();
  expectSelectApplication();
  card.expect("00 20 00 01 08 31 32 33 34 00 00 00 00", "63 C1");
  EXPECT_EQ(authenticatePin(u"user", "31 32 33 34", nullptr), SCARD_W_WRONG_CHV);
}

TEST_F(LoginTest, VerifyAnsweredWithDataIsAnInternalError) {
  std::string full;
  for (int i = 0; i < 256; ++i) full += "01 ";  // 256 bytes: the low byte of the length is 0
  bind();
  const std::pair<const char*, std::string> answers[] = {{"1 byte", "01 90 00"}, {"256 bytes", full + "90 00"}};
  for (const auto& [what, answer] : answers) {
    expectSelectApplication();
    card.expect("00 20 00 01 08 31 32 33 34 00 00 00 00", answer);
    EXPECT_EQ(authenticatePin(u"user", "31 32 33 34"), SCARD_F_INTERNAL_ERROR) << what;
  }
}

TEST_F(LoginTest, PcscFailureOfTheVerifyPassesThrough) {
  bind();
  expectSelectApplication();
  pcsc().failCall(PcscCall::Transmit, 2, 0x80100069);  // the second command, after the selection
  EXPECT_EQ(authenticatePin(u"user", "31 32 33 34"), 0x80100069u);
}

TEST_F(LoginTest, AuthenticatePinRefusesBadArgumentsWithoutSendingVerify) {
  bind();
  std::vector<BYTE> pin = hex("31 32 33 34");
  char16_t upper[] = u"User", longer[] = u"users", shorter[] = u"use", adminX[] = u"admin2", empty[] = u"";
  struct Case {
    const char* what;
    LPWSTR userId;
    PBYTE pin;
    DWORD length;
  } cases[] = {
      {"3-byte PIN", user, pin.data(), 3},  {"9-byte PIN", user, pin.data(), 9},
      {"NULL PIN", user, nullptr, 4},       {"NULL user", nullptr, pin.data(), 4},
      {"\"User\"", upper, pin.data(), 4},   {"\"users\"", longer, pin.data(), 4},
      {"\"use\"", shorter, pin.data(), 4},  {"\"admin2\"", adminX, pin.data(), 4},
      {"empty user", empty, pin.data(), 4},
  };
  for (const Case& c : cases) {
    expectSelectApplication();
    EXPECT_EQ(CardAuthenticatePin(&cardData, c.userId, c.pin, c.length, nullptr), SCARD_E_INVALID_PARAMETER) << c.what;
  }
  EXPECT_EQ(sentCommands().size(), std::size(cases)) << "the selections only";
}

TEST_F(LoginTest, NoTraceMessageCarriesThePin) {
  bind();
  expectSelectApplication();
  card.expect("00 20 00 01 08 39 38 37 36 35 00 00 00", "63 C2");
  expectSelectApplication();
  card.expect("80 74 01 01 08 39 38 37 36 35 00 00 00", "90 00");
  EXPECT_EQ(authenticatePin(u"user", "39 38 37 36 35"), SCARD_W_WRONG_CHV);
  BYTE* session = nullptr;
  DWORD sessionLength = 0;
  std::vector<BYTE> pin = hex("39 38 37 36 35");
  EXPECT_EQ(CardAuthenticateEx(&cardData, ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN, pin.data(), 5, &session,
                               &sessionLength, nullptr),
            SCARD_F_INTERNAL_ERROR);  // no session PIN came back
  ASSERT_FALSE(traceMessages().empty());
  for (const std::string& message : traceMessages()) EXPECT_EQ(message.find("98765"), std::string::npos) << message;
}

TEST_F(LoginTest, AuthenticateExChoosesP1FromTheSessionFlags) {
  struct Case {
    DWORD flags;
    std::string_view pin;
    std::string_view command;
  } cases[] = {
      {0, "31 32 33 34", "80 74 00 01 08 31 32 33 34 00 00 00 00"},
      {CARD_PIN_SILENT_CONTEXT, "31 32 33 34 35 36 37 38", "80 74 00 01 08 31 32 33 34 35 36 37 38"},
      {CARD_AUTHENTICATE_SESSION_PIN, "A1 B2 C3 D4 E5 F6", "80 74 02 01 08 A1 B2 C3 D4 E5 F6 00 00"},
      // A session PIN is taken as it comes, without the 4-byte minimum.
      {CARD_AUTHENTICATE_SESSION_PIN | CARD_PIN_SILENT_CONTEXT, "A1 B2", "80 74 02 01 08 A1 B2 00 00 00 00 00 00"},
  };
  bind();
  for (const Case& c : cases) {
    expectSelectApplication();
    card.expect(c.command, "90 00");
    EXPECT_EQ(authenticateUser(c.flags, hex(c.pin)), 0u) << c.command;
  }
  EXPECT_TRUE(traced("Function CardAuthenticateEx is done"));
}

TEST_F(LoginTest, GeneratedSessionPinIsHandedBackInAProviderBuffer) {
  bind(7, kOtherReferences);
  expectSelectApplication();
  card.expect("80 74 01 02 08 31 32 33 34 00 00 00 00", "5E 55 10 4E 00 FF 90 00");
  std::vector<BYTE> pin = hex("31 32 33 34");
  BYTE* session = nullptr;
  DWORD sessionLength = 0;
  ASSERT_EQ(CardAuthenticateEx(&cardData, ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN, pin.data(), 4, &session,
                               &sessionLength, nullptr),
            0u);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(sessionLength, 6u);
  EXPECT_EQ(provider().sizeOf(session), 6u);
  EXPECT_EQ(toHex({session, sessionLength}), "5E 55 10 4E 00 FF");
  ProviderDouble::free(session);
}

TEST_F(LoginTest, GeneratedSessionPinFailuresLeaveNoBuffer) {
  struct Case {
    const char* what;
    std::string_view answer;
    bool failAllocation;
    DWORD result;
  } cases[] = {
      {"allocation fails", "5E 55 90 00", true, SCARD_E_NO_MEMORY},
      {"no session PIN in the answer", "90 00", false, SCARD_F_INTERNAL_ERROR},
      {"wrong PIN", "63 C1", false, SCARD_W_WRONG_CHV},
  };
  bind();
  std::vector<BYTE> pin = hex("31 32 33 34");
  for (const Case& c : cases) {
    expectSelectApplication();
    card.expect("80 74 01 01 08 31 32 33 34 00 00 00 00", c.answer);
    if (c.failAllocation) provider().failAllocation(1);
    BYTE* session = reinterpret_cast<BYTE*>(&cardData);  // anything but NULL
    DWORD sessionLength = kUntouched;
    EXPECT_EQ(CardAuthenticateEx(&cardData, ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN, pin.data(), 4, &session,
                                 &sessionLength, nullptr),
              c.result)
        << c.what;
    EXPECT_EQ(session, nullptr) << c.what;
    EXPECT_EQ(sessionLength, 0u) << c.what;
    EXPECT_EQ(provider().live(), 1u) << c.what << ": only the configuration record is allocated";
  }
}

TEST_F(LoginTest, AuthenticateExRefusesArgumentsWithoutSendingAnything) {
  std::vector<BYTE> pin = hex("31 32 33 34 35 36 37 38 39");
  BYTE* session = nullptr;
  DWORD sessionLength = 0;
  constexpr DWORD kGenerate = CARD_AUTHENTICATE_GENERATE_SESSION_PIN;
  constexpr DWORD kSession = CARD_AUTHENTICATE_SESSION_PIN;
  struct Case {
    const char* what;
    PIN_ID pinId;
    DWORD flags;
    PBYTE pin;
    DWORD length;
    bool sessionOutputs;
    DWORD result;
    bool flagTrace;
  } cases[] = {
      // Flags are tested before any PIN check: a 3-byte PIN does not decide.
      {"refused flag bit", ROLE_USER, 0x1, pin.data(), 3, true, SCARD_E_INVALID_PARAMETER, true},
      {"highest flag bit", ROLE_USER, 0x80000000, pin.data(), 3, true, SCARD_E_INVALID_PARAMETER, true},
      {"both session flags", ROLE_USER, kGenerate | kSession, pin.data(), 3, true, SCARD_E_INVALID_PARAMETER, true},
      {"generate without outputs", ROLE_USER, kGenerate, pin.data(), 4, false, SCARD_E_INVALID_PARAMETER, false},
      {"silent without PIN", ROLE_USER, CARD_PIN_SILENT_CONTEXT, nullptr, 4, true, SCARD_E_INVALID_PARAMETER, false},
      {"NULL PIN", ROLE_USER, 0, nullptr, 4, true, SCARD_E_INVALID_PARAMETER, false},
      {"3-byte PIN", ROLE_USER, 0, pin.data(), 3, true, SCARD_W_WRONG_CHV, false},
      {"9-byte PIN", ROLE_USER, 0, pin.data(), 9, true, SCARD_W_WRONG_CHV, false},
      {"9-byte session PIN", ROLE_USER, kSession, pin.data(), 9, true, SCARD_W_WRONG_CHV, false},
      {"NULL session PIN with a length", ROLE_USER, kSession, nullptr, 4, true, SCARD_E_INVALID_PARAMETER, false},
      {"PinId 0", ROLE_EVERYONE, 0, pin.data(), 4, true, SCARD_E_INVALID_PARAMETER, false},
      {"PinId 3", 3, 0, pin.data(), 4, true, SCARD_E_INVALID_PARAMETER, false},
      {"administrator generating", ROLE_ADMIN, kGenerate, pin.data(), 8, true, SCARD_E_INVALID_PARAMETER, false},
      {"7-byte response", ROLE_ADMIN, 0, pin.data(), 7, true, SCARD_W_WRONG_CHV, false},
      {"9-byte response", ROLE_ADMIN, kSession, pin.data(), 9, true, SCARD_W_WRONG_CHV, false},
  };
  bind();
  for (const Case& c : cases) {
    clearTrace();
    expectSelectApplication();
    EXPECT_EQ(CardAuthenticateEx(&cardData, c.pinId, c.flags, c.pin, c.length, c.sessionOutputs ? &session : nullptr,
                                 c.sessionOutputs ? &sessionLength : nullptr, nullptr),
              c.result)
        << c.what;
    EXPECT_EQ(traced("CardAuthenticateEx dwFlags SCARD_E_INVALID_PARAMETER"), c.flagTrace) << c.what;
  }
  EXPECT_EQ(sentCommands().size(), std::size(cases)) << "the selections only";
}

TEST_F(LoginTest, DeauthenticateLogsTheNamedRoleOut) {
  bind(7, kOtherReferences);
  expectSelectApplication();
  card.expect("80 40 02 00 00", "90 00");
  expectSelectApplication();
  card.expect("80 40 04 00 00", "90 00");
  expectSelectApplication();
  card.expect("80 40 02 00 00", "6A 88");
  EXPECT_EQ(CardDeauthenticate(&cardData, user, 0), 0u);
  EXPECT_EQ(CardDeauthenticate(&cardData, admin, 0), 0u);
  EXPECT_EQ(CardDeauthenticate(&cardData, user, 0), SCARD_F_INTERNAL_ERROR);
}

TEST_F(LoginTest, DeauthenticateRefusesFlagsBeforeLookingAtTheUser) {
  bind();
  char16_t other[] = u"guest";
  const struct {
    LPWSTR userId;
    DWORD flags;
  } cases[] = {{nullptr, 1}, {user, 1}, {nullptr, 0}, {other, 0}};
  for (const auto& c : cases) {
    expectSelectApplication();
    EXPECT_EQ(CardDeauthenticate(&cardData, c.userId, c.flags), SCARD_E_INVALID_PARAMETER);
  }
  EXPECT_EQ(sentCommands().size(), std::size(cases));
}

TEST_F(LoginTest, DeauthenticateExLogsOutEachRoleOfTheSetInOrder) {
  struct Case {
    PIN_SET mask;
    std::string_view b3;
    std::vector<std::string> references;
  } cases[] = {
      {0x01, profile::kB3, {}},  // ROLE_EVERYONE alone sends nothing
      {0x02, profile::kB3, {"01"}},
      {0x06, profile::kB3, {"01", "03"}},
      {0x07, profile::kB3, {"01", "03"}},
      {0xFF, profile::kB3, {"00"}},  // every reference in one command
      {0x88, profile::kB3, {"05", "0D"}},
      {0x7E, profile::kB3, {"01", "03", "05", "07", "09", "0B"}},
      // The configured references, not 2·i − 1, for the user and the administrator.
      {0x06, kOtherReferences, {"02", "04"}},
      {0x0C, kOtherReferences, {"04", "05"}},
      {0xFF, kOtherReferences, {"00"}},
  };
  for (const Case& c : cases) {
    card.clear();
    bind(7, c.b3);
    expectSelectApplication();
    for (const std::string& r : c.references) card.expect("80 40 " + r + " 00 00", "90 00");
    EXPECT_EQ(CardDeauthenticateEx(&cardData, c.mask, 0), 0u) << c.mask;
    EXPECT_EQ(sentCommands().size(), 1 + c.references.size()) << c.mask;
    EXPECT_EQ(CardDeleteContext(&cardData), 0u);
  }
}

TEST_F(LoginTest, DeauthenticateExStopsAtTheFirstRefusal) {
  bind();
  expectSelectApplication();
  card.expect("80 40 01 00 00", "90 00");
  card.expect("80 40 03 00 00", "6D 00");
  EXPECT_EQ(CardDeauthenticateEx(&cardData, 0x0E, 0), SCARD_F_INTERNAL_ERROR);  // 05 is not sent
}

TEST_F(LoginTest, DeauthenticateExRefusesBadSetsAndFlags) {
  bind();
  const struct {
    PIN_SET mask;
    DWORD flags;
  } cases[] = {{0, 0}, {0x100, 0}, {0x102, 0}, {0x80000002, 0}, {0x02, 1}};
  for (const auto& c : cases) {
    expectSelectApplication();
    EXPECT_EQ(CardDeauthenticateEx(&cardData, c.mask, c.flags), SCARD_E_INVALID_PARAMETER) << c.mask;
  }
  EXPECT_EQ(sentCommands().size(), std::size(cases));
}

}  // namespace
}  // namespace vemra::test
