// The administrator's challenge–response against a scripted card:
// CardGetChallenge, CardGetChallengeEx, CardAuthenticateChallenge, the
// administrator path of CardAuthenticateEx, and the life of the challenge flag.
#include <functional>
#include <string>
#include <vector>

#include "common/entry_points.h"
#include "support/driver_fixture.h"

namespace vemra::test {
namespace {

constexpr DWORD kUntouched = 0xDEADBEEF;
constexpr std::string_view kChallenge = "C1 C2 C3 C4 C5 C6 C7 C8";
constexpr std::string_view kResponse = "11 22 33 44 55 66 77 88";
constexpr std::string_view kCallersResponse = "00 82 00 03 08 11 22 33 44 55 66 77 88";
constexpr std::string_view kZeroResponse = "00 82 00 03 08 00 00 00 00 00 00 00 00";

class ChallengeTest : public DriverTest {
 protected:
  // Scripts and runs a successful CardGetChallenge; releases the buffer.
  void getChallenge() {
    expectSelectApplication();
    card.expect("00 84 00 00 08", std::string(kChallenge) + " 90 00");
    BYTE* challenge = nullptr;
    DWORD length = 0;
    ASSERT_EQ(CardGetChallenge(&cardData, &challenge, &length), 0u);
    ProviderDouble::free(challenge);
  }
  DWORD authenticateChallenge(PDWORD attempts = nullptr) {
    return CardAuthenticateChallenge(&cardData, response.data(), static_cast<DWORD>(response.size()), attempts);
  }
  std::vector<BYTE> response = hex(kResponse);
};

TEST_F(ChallengeTest, GetChallengeHandsBackTheCardsEightBytes) {
  bind();
  expectSelectApplication();
  card.expect("00 84 00 00 08", "C1 C2 C3 C4 C5 C6 C7 C8 90 00");
  BYTE* challenge = nullptr;
  DWORD length = 0;
  ASSERT_EQ(CardGetChallenge(&cardData, &challenge, &length), 0u);
  ASSERT_NE(challenge, nullptr);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(provider().sizeOf(challenge), 8u);
  EXPECT_EQ(toHex({challenge, 8}), kChallenge);
  EXPECT_EQ(config().challengeIssued, 1);
  ProviderDouble::free(challenge);
}

TEST_F(ChallengeTest, GetChallengeFailuresLeaveNoBufferAndNoChallenge) {
  std::string longAnswer;
  for (int i = 0; i < 264; ++i) longAnswer += "AB ";  // 264 bytes: the low byte of the length is 8
  struct Case {
    const char* what;
    std::string answer;
    DWORD result;
  } cases[] = {
      {"refused", "6A 81", SCARD_F_INTERNAL_ERROR},
      {"no data", "90 00", SCARD_F_INTERNAL_ERROR},
      {"7 bytes", "C1 C2 C3 C4 C5 C6 C7 90 00", SCARD_F_INTERNAL_ERROR},
      {"9 bytes", "C1 C2 C3 C4 C5 C6 C7 C8 C9 90 00", SCARD_F_INTERNAL_ERROR},
      {"264 bytes", longAnswer + "90 00", SCARD_F_INTERNAL_ERROR},
      {"8 bytes with a warning", "C1 C2 C3 C4 C5 C6 C7 C8 62 83", SCARD_F_INTERNAL_ERROR},
  };
  bind();
  for (const Case& c : cases) {
    config().challengeIssued = 1;
    expectSelectApplication();
    card.expect("00 84 00 00 08", c.answer);
    BYTE* challenge = reinterpret_cast<BYTE*>(&cardData);
    DWORD length = 0;
    EXPECT_EQ(CardGetChallenge(&cardData, &challenge, &length), c.result) << c.what;
    EXPECT_EQ(challenge, nullptr) << c.what;
    EXPECT_EQ(config().challengeIssued, 0) << c.what;
    EXPECT_EQ(provider().live(), 1u) << c.what << ": the challenge buffer went back to the provider";
  }
}

TEST_F(ChallengeTest, GetChallengePcscFailurePassesThroughAndReleasesTheBuffer) {
  bind();
  expectSelectApplication();
  pcsc().failCall(PcscCall::Transmit, 2, 0x80100067);
  BYTE* challenge = reinterpret_cast<BYTE*>(&cardData);
  DWORD length = 0;
  EXPECT_EQ(CardGetChallenge(&cardData, &challenge, &length), 0x80100067u);
  EXPECT_EQ(challenge, nullptr);
  EXPECT_EQ(provider().live(), 1u);
}

TEST_F(ChallengeTest, GetChallengeAllocationFailureSendsNothing) {
  bind();
  expectSelectApplication();
  provider().failAllocation(1);
  BYTE* challenge = reinterpret_cast<BYTE*>(&cardData);
  DWORD length = 0;
  EXPECT_EQ(CardGetChallenge(&cardData, &challenge, &length), SCARD_E_NO_MEMORY);
  EXPECT_EQ(challenge, nullptr);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(sentCommands().size(), 1u);
}

TEST_F(ChallengeTest, GetChallengeRefusesMissingOutputsAndAllocator) {
  bind();
  BYTE* challenge = nullptr;
  DWORD length = 0;
  expectSelectApplication();
  EXPECT_EQ(CardGetChallenge(&cardData, nullptr, &length), SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  EXPECT_EQ(CardGetChallenge(&cardData, &challenge, nullptr), SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  cardData.pfnCspAlloc = nullptr;
  EXPECT_EQ(CardGetChallenge(&cardData, &challenge, &length), SCARD_E_INVALID_PARAMETER);
  cardData.pfnCspAlloc = ProviderDouble::alloc;
  EXPECT_EQ(sentCommands().size(), 3u);
}

TEST_F(ChallengeTest, GetChallengeExAcceptsOnlyTheAdministratorAndNoFlags) {
  bind();
  BYTE* challenge = nullptr;
  DWORD length = 0;
  EXPECT_EQ(CardGetChallengeEx(nullptr, ROLE_ADMIN, &challenge, &length, 1), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardGetChallengeEx(&cardData, ROLE_USER, &challenge, &length, 0), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardGetChallengeEx(&cardData, ROLE_EVERYONE, &challenge, &length, 0), SCARD_E_INVALID_PARAMETER);
  EXPECT_TRUE(sentCommands().empty());

  expectSelectApplication();
  card.expect("00 84 00 00 08", std::string(kChallenge) + " 90 00");
  ASSERT_EQ(CardGetChallengeEx(&cardData, ROLE_ADMIN, &challenge, &length, 0), 0u);
  EXPECT_EQ(toHex({challenge, 8}), kChallenge);
  EXPECT_EQ(config().challengeIssued, 1);
  ProviderDouble::free(challenge);
}

TEST_F(ChallengeTest, AuthenticateChallengeRightAfterGetChallengeSendsTheCallersResponse) {
  bind();
  getChallenge();
  expectSelectApplication();
  card.expect(kCallersResponse, "90 00");
  EXPECT_EQ(authenticateChallenge(), 0u);
  EXPECT_EQ(config().challengeIssued, 0);
  EXPECT_EQ(pcsc().commands().back().depth, 1) << "a transaction of its own";
}

TEST_F(ChallengeTest, AuthenticateChallengeUsesTheCardsAdministratorReference) {
  bind(7, "10 20 02 04 7E 00");
  getChallenge();
  expectSelectApplication();
  card.expect("00 82 00 04 08 11 22 33 44 55 66 77 88", "90 00");
  EXPECT_EQ(authenticateChallenge(), 0u);
}

TEST_F(ChallengeTest, WithoutAChallengeEightZeroBytesAreSent) {
  bind();
  expectSelectApplication();
  card.expect(kZeroResponse, "63 C4");
  EXPECT_EQ(authenticateChallenge(), SCARD_W_WRONG_CHV);
}

// Calls that get through their prologue between the challenge and its answer:
// each spends the challenge, whatever it returns.
TEST_F(ChallengeTest, AnyCompletedPrologueInBetweenSpendsTheChallenge) {
  char16_t user[] = u"user";
  std::vector<BYTE> shortResponse = hex("11 22 33 44 55 66 77");
  struct Between {
    const char* what;
    std::function<DWORD(PCARD_DATA)> call;
    std::vector<std::pair<std::string, std::string>> commands;  // after its selection
  } calls[] = {
      {"CardDeauthenticate refusing its flags", [&](PCARD_DATA d) { return CardDeauthenticate(d, user, 1); }, {}},
      {"CardDeauthenticate",
       [&](PCARD_DATA d) { return CardDeauthenticate(d, user, 0); },
       {{"80 40 01 00 00", "90 00"}}},
      {"CardAuthenticateChallenge refusing 7 bytes",
       [&](PCARD_DATA d) { return CardAuthenticateChallenge(d, shortResponse.data(), 7, nullptr); },
       {}},
      {"CardAuthenticateEx for the user refusing a NULL PIN",
       [&](PCARD_DATA d) { return CardAuthenticateEx(d, ROLE_USER, 0, nullptr, 4, nullptr, nullptr, nullptr); },
       {}},
      {"CardAuthenticateEx for the administrator generating a session PIN",
       [&](PCARD_DATA d) {
         return CardAuthenticateEx(d, ROLE_ADMIN, CARD_AUTHENTICATE_GENERATE_SESSION_PIN, response.data(), 8, nullptr,
                                   nullptr, nullptr);
       },
       {}},
      {"CardReadFile", [&](PCARD_DATA d) { return CardReadFile(d, nullptr, nullptr, 0, nullptr, nullptr); }, {}},
  };
  bind();
  for (const Between& between : calls) {
    getChallenge();
    expectSelectApplication();
    for (const auto& [command, answer] : between.commands) card.expect(command, answer);
    (void)between.call(&cardData);
    expectSelectApplication();
    card.expect(kZeroResponse, "63 C2");
    EXPECT_EQ(authenticateChallenge(), SCARD_W_WRONG_CHV) << between.what;
    ASSERT_TRUE(card.finished()) << between.what;
  }
}

// Calls that stop before a prologue clears the flag leave the challenge
// answerable.
TEST_F(ChallengeTest, CallsStoppingBeforeTheirPrologueLeaveTheChallenge) {
  BYTE* challenge = nullptr;
  DWORD length = 0;
  struct Between {
    const char* what;
    std::function<DWORD(PCARD_DATA)> call;
    bool selects;  // the prologue's selection is sent (and refused)
  } calls[] = {
      {"CardGetChallengeEx refusing dwFlags",
       [&](PCARD_DATA d) { return CardGetChallengeEx(d, ROLE_ADMIN, &challenge, &length, 1); }, false},
      {"CardGetChallengeEx refusing PinId",
       [&](PCARD_DATA d) { return CardGetChallengeEx(d, ROLE_USER, &challenge, &length, 0); }, false},
      {"a prologue that fails", [&](PCARD_DATA d) { return CardDeauthenticateEx(d, 0x02, 0); }, true},
      {"an unsupported entry point", [&](PCARD_DATA d) { return CardDestroyKey(d, 0); }, false},
  };
  bind();
  for (const Between& between : calls) {
    getChallenge();
    if (between.selects) expectSelectApplication("6A 82");
    EXPECT_NE(between.call(&cardData), 0u) << between.what;
    expectSelectApplication();
    card.expect(kCallersResponse, "90 00");
    EXPECT_EQ(authenticateChallenge(), 0u) << between.what;
  }
}

TEST_F(ChallengeTest, SecondChallengeReplacesTheFirst) {
  bind();
  getChallenge();
  getChallenge();
  EXPECT_EQ(config().challengeIssued, 1);
  expectSelectApplication();
  card.expect(kCallersResponse, "90 00");
  EXPECT_EQ(authenticateChallenge(), 0u);
}

TEST_F(ChallengeTest, AuthenticateChallengeAnswersMapToErrors) {
  struct Case {
    std::string_view answer;
    DWORD result;
    DWORD attempts;
    const char* trace;
  } cases[] = {
      {"63 C3", SCARD_W_WRONG_CHV, 3, "\tWRONG PIN\n"},
      {"63 C0", SCARD_W_WRONG_CHV, 0, "\tWRONG PIN\n"},
      {"69 83", SCARD_W_CHV_BLOCKED, kUntouched, "\tPIN BLOCKED\n"},
      {"6A 91", SCARD_W_WRONG_CHV, kUntouched, "Wrong crypto parameters \n"},
      {"69 82", SCARD_F_INTERNAL_ERROR, kUntouched, nullptr},
      {"01 02 90 00", 0, kUntouched, "\tFunction CardAuthenticateChallenge is done"},  // data not examined
  };
  bind();
  for (const Case& c : cases) {
    clearTrace();
    getChallenge();
    expectSelectApplication();
    card.expect(kCallersResponse, c.answer);
    DWORD attempts = kUntouched;
    EXPECT_EQ(authenticateChallenge(&attempts), c.result) << c.answer;
    EXPECT_EQ(attempts, c.attempts) << c.answer;
    EXPECT_TRUE(c.trace == nullptr || traced(c.trace)) << c.answer;
  }
}

TEST_F(ChallengeTest, AuthenticateChallengeRefusesResponsesOfOtherLengthsAndSpendsTheFlag) {
  bind();
  std::vector<BYTE> sixteen(16, 0x11);
  for (DWORD length : {0u, 7u, 9u, 16u}) {
    getChallenge();
    expectSelectApplication();
    EXPECT_EQ(CardAuthenticateChallenge(&cardData, sixteen.data(), length, nullptr), SCARD_E_INVALID_PARAMETER)
        << length;
    EXPECT_EQ(config().challengeIssued, 0) << length;
  }
  getChallenge();
  expectSelectApplication();
  EXPECT_EQ(CardAuthenticateChallenge(&cardData, nullptr, 8, nullptr), SCARD_E_INVALID_PARAMETER);
}

TEST_F(ChallengeTest, AuthenticateExForTheAdministratorAnswersThePrecedingChallenge) {
  bind();
  getChallenge();
  expectSelectApplication();  // CardAuthenticateEx
  expectSelectApplication();  // CardAuthenticateChallenge, which it calls
  card.expect(kCallersResponse, "90 00");
  EXPECT_EQ(CardAuthenticateEx(&cardData, ROLE_ADMIN, 0, response.data(), 8, nullptr, nullptr, nullptr), 0u);
  EXPECT_TRUE(traced("Function CardAuthenticateEx is done"));

  // The same call again, with no challenge before it.
  expectSelectApplication();
  expectSelectApplication();
  card.expect(kZeroResponse, "63 C1");
  DWORD attempts = kUntouched;
  EXPECT_EQ(CardAuthenticateEx(&cardData, ROLE_ADMIN, CARD_AUTHENTICATE_SESSION_PIN, response.data(), 8, nullptr,
                               nullptr, &attempts),
            SCARD_W_WRONG_CHV);
  EXPECT_EQ(attempts, 1u);
}

TEST_F(ChallengeTest, AuthenticateExRefusingTheResponseLengthLeavesTheChallenge) {
  bind();
  getChallenge();
  expectSelectApplication();
  EXPECT_EQ(CardAuthenticateEx(&cardData, ROLE_ADMIN, 0, response.data(), 7, nullptr, nullptr, nullptr),
            SCARD_W_WRONG_CHV);
  EXPECT_EQ(config().challengeIssued, 1);
}

}  // namespace
}  // namespace vemra::test
