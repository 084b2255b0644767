// Authentication end to end on the simulated card: the test computes the
// administrator's responses itself with OpenSSL, as a provider does, and
// checks the card's security state after each step with VERIFY probes.
#include <array>
#include <string>
#include <vector>

#include "common/entry_points.h"
#include "support/simulated_card.h"

namespace vemra::test {
namespace {

constexpr std::uint16_t kVerified = 0x9000;
constexpr std::uint16_t kBlocked = 0x6983;
constexpr DWORD kUntouched = 0xDEADBEEF;

std::vector<BYTE> bytes(std::string_view text) { return {text.begin(), text.end()}; }

class AuthOnSimulatedCard : public SimulatedDriverTest {
 protected:
  void SetUp() override {
    SimulatedDriverTest::SetUp();
    bind();
    userRef = card().config().userPinRef;
    adminRef = card().config().adminPinRef;
  }
  std::uint16_t notVerified(std::uint8_t tries) const { return static_cast<std::uint16_t>(0x63C0 | tries); }

  // CardAuthenticatePin for the user with `pin`, reporting the tries left.
  DWORD login(std::string_view pin, DWORD& attempts) {
    std::vector<BYTE> p = bytes(pin);
    attempts = kUntouched;
    return CardAuthenticatePin(&cardData, user.data(), p.data(), static_cast<DWORD>(p.size()), &attempts);
  }
  // CardGetChallenge and the response to it under `key16` (the card's key by default).
  std::array<std::uint8_t, 8> challengeResponse(std::vector<std::uint8_t> key16 = {}) {
    if (key16.empty()) key16.assign(card().config().adminKey.begin(), card().config().adminKey.end());
    PBYTE challenge = nullptr;
    DWORD length = 0;
    EXPECT_EQ(CardGetChallenge(&cardData, &challenge, &length), 0u);
    EXPECT_EQ(length, 8u);
    std::array<std::uint8_t, 8> response{};
    if (challenge != nullptr) response = adminResponse({challenge, 8}, key16);
    ProviderDouble::free(challenge);
    return response;
  }
  void blockUserPin() {
    DWORD attempts = 0;
    for (DWORD left : {2u, 1u, 0u}) {
      EXPECT_EQ(login("9999", attempts), SCARD_W_WRONG_CHV);
      EXPECT_EQ(attempts, left);
    }
    EXPECT_EQ(probe(userRef), kBlocked);
  }

  std::uint8_t userRef = 0;
  std::uint8_t adminRef = 0;
};

TEST_F(AuthOnSimulatedCard, UserLogsInAndOut) {
  EXPECT_EQ(probe(userRef), notVerified(3));
  EXPECT_EQ(loginUser(), 0u);
  EXPECT_EQ(probe(userRef), kVerified);
  EXPECT_EQ(probe(adminRef), notVerified(3)) << "the administrator is not authenticated by the user's PIN";
  EXPECT_EQ(CardDeauthenticate(&cardData, user.data(), 0), 0u);
  EXPECT_EQ(probe(userRef), notVerified(3));
}

TEST_F(AuthOnSimulatedCard, WrongPinsCountDownToBlocked) {
  blockUserPin();
  DWORD attempts = 0;
  EXPECT_EQ(login("9999", attempts), SCARD_W_CHV_BLOCKED);
  EXPECT_EQ(attempts, kUntouched);
  EXPECT_EQ(login("1234", attempts), SCARD_W_CHV_BLOCKED) << "even the right PIN";
  EXPECT_EQ(probe(userRef), kBlocked);
}

TEST_F(AuthOnSimulatedCard, AdministratorUnblocksAndTheNewPinLogsIn) {
  blockUserPin();
  const auto response = challengeResponse();
  std::vector<BYTE> newPin = bytes("87654321");
  EXPECT_EQ(CardUnblockPin(&cardData, user.data(), const_cast<BYTE*>(response.data()), 8, newPin.data(), 8, 0,
                           CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE),
            0u);
  EXPECT_EQ(probe(adminRef), notVerified(3)) << "the unblock logs the administrator out";
  EXPECT_EQ(probe(userRef), notVerified(3)) << "the counter is reset, the PIN not yet presented";

  DWORD attempts = 0;
  EXPECT_EQ(login("1234", attempts), SCARD_W_WRONG_CHV);
  EXPECT_EQ(attempts, 2u);
  EXPECT_EQ(login("87654321", attempts), 0u);
  EXPECT_EQ(probe(userRef), kVerified);
}

TEST_F(AuthOnSimulatedCard, UnblockWithAStaleChallengeIsAWrongResponse) {
  const auto response = challengeResponse();
  EXPECT_EQ(loginUser(), 0u);  // a call in between spends the challenge
  DWORD attempts = kUntouched;
  std::vector<BYTE> newPin = bytes("4321");
  EXPECT_EQ(CardChangeAuthenticatorEx(&cardData, PIN_CHANGE_FLAG_UNBLOCK, ROLE_ADMIN,
                                      const_cast<BYTE*>(response.data()), 8, ROLE_USER, newPin.data(), 4, 0, &attempts),
            SCARD_W_WRONG_CHV);
  EXPECT_EQ(attempts, 2u);
  EXPECT_EQ(probe(adminRef), notVerified(2));
  EXPECT_EQ(probe(userRef), kVerified) << "nothing was unblocked or changed";
}

TEST_F(AuthOnSimulatedCard, UserChangesItsPinWithTheCurrentOne) {
  std::vector<BYTE> current = bytes("1234"), fresh = bytes("5678");
  EXPECT_EQ(CardChangeAuthenticator(&cardData, user.data(), current.data(), 4, fresh.data(), 4, 0,
                                    CARD_AUTHENTICATE_PIN_PIN, nullptr),
            0u);
  EXPECT_EQ(probe(userRef), kVerified) << "the VERIFY of the change stays in effect";
  EXPECT_EQ(CardDeauthenticateEx(&cardData, CREATE_PIN_SET(ROLE_USER), 0), 0u);
  EXPECT_EQ(probe(userRef), notVerified(3));

  DWORD attempts = 0;
  EXPECT_EQ(login("1234", attempts), SCARD_W_WRONG_CHV);
  EXPECT_EQ(login("5678", attempts), 0u);

  // And once more through CardChangeAuthenticatorEx, with a wrong current PIN first.
  std::vector<BYTE> wrong = bytes("0000"), newer = bytes("13572468");
  attempts = kUntouched;
  EXPECT_EQ(CardChangeAuthenticatorEx(&cardData, PIN_CHANGE_FLAG_CHANGEPIN, ROLE_USER, wrong.data(), 4, ROLE_USER,
                                      newer.data(), 8, 0, &attempts),
            SCARD_W_WRONG_CHV);
  EXPECT_EQ(attempts, 2u);
  EXPECT_EQ(CardChangeAuthenticatorEx(&cardData, PIN_CHANGE_FLAG_CHANGEPIN, ROLE_USER, fresh.data(), 4, ROLE_USER,
                                      newer.data(), 8, 0, nullptr),
            0u);
  EXPECT_EQ(CardDeauthenticateEx(&cardData, PIN_SET_ALL_ROLES, 0), 0u);
  EXPECT_EQ(login("13572468", attempts), 0u);
}

TEST_F(AuthOnSimulatedCard, AdministratorSetsTheUserPin) {
  const auto response = challengeResponse();
  std::vector<BYTE> fresh = bytes("24681357");
  EXPECT_EQ(CardChangeAuthenticator(&cardData, user.data(), const_cast<BYTE*>(response.data()), 8, fresh.data(), 8, 0,
                                    CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE, nullptr),
            0u);
  EXPECT_EQ(probe(adminRef), kVerified) << "the change leaves the administrator authenticated";
  EXPECT_EQ(probe(userRef), notVerified(3));
  DWORD attempts = 0;
  EXPECT_EQ(login("24681357", attempts), 0u);
  EXPECT_EQ(probe(userRef), kVerified);
}

TEST_F(AuthOnSimulatedCard, AdministratorKeyChangeThenLoginWithTheNewKey) {
  const std::vector<std::uint8_t> newKey16 = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                              0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78};
  std::vector<BYTE> newKey24(newKey16.begin(), newKey16.end());
  newKey24.insert(newKey24.end(), newKey16.begin(), newKey16.begin() + 8);

  const auto response = challengeResponse();
  EXPECT_EQ(
      CardChangeAuthenticatorEx(&cardData, PIN_CHANGE_FLAG_CHANGEPIN, ROLE_ADMIN, const_cast<BYTE*>(response.data()), 8,
                                ROLE_ADMIN, newKey24.data(), 24, 0, nullptr),
      0u);
  EXPECT_EQ(CardDeauthenticateEx(&cardData, CREATE_PIN_SET(ROLE_ADMIN), 0), 0u);
  EXPECT_EQ(probe(adminRef), notVerified(3));

  EXPECT_EQ(loginAdmin(), SCARD_W_WRONG_CHV) << "the old key no longer answers";
  EXPECT_EQ(probe(adminRef), notVerified(2));
  EXPECT_EQ(loginAdmin(newKey16), 0u);
  EXPECT_EQ(probe(adminRef), kVerified);
}

TEST_F(AuthOnSimulatedCard, AdministratorLogsInThroughAuthenticateEx) {
  auto response = challengeResponse();
  EXPECT_EQ(CardAuthenticateEx(&cardData, ROLE_ADMIN, 0, response.data(), 8, nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(probe(adminRef), kVerified);
  EXPECT_EQ(CardDeauthenticate(&cardData, admin.data(), 0), 0u);
  EXPECT_EQ(probe(adminRef), notVerified(3));

  // With a completed call in between, the card gets the zero block and counts a wrong response.
  response = challengeResponse();
  EXPECT_EQ(CardDeauthenticate(&cardData, admin.data(), 1), SCARD_E_INVALID_PARAMETER);
  DWORD attempts = kUntouched;
  EXPECT_EQ(CardAuthenticateEx(&cardData, ROLE_ADMIN, 0, response.data(), 8, nullptr, nullptr, &attempts),
            SCARD_W_WRONG_CHV);
  EXPECT_EQ(attempts, 2u);
  EXPECT_EQ(probe(adminRef), notVerified(2));
}

TEST_F(AuthOnSimulatedCard, SessionPinIsGeneratedAndThenUsed) {
  std::vector<BYTE> pin = bytes("1234");
  PBYTE session = nullptr;
  DWORD sessionLength = 0;
  ASSERT_EQ(CardAuthenticateEx(&cardData, ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN, pin.data(), 4, &session,
                               &sessionLength, nullptr),
            0u);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(sessionLength, 8u);
  EXPECT_EQ(probe(userRef), kVerified);
  EXPECT_EQ(CardDeauthenticate(&cardData, user.data(), 0), 0u);
  EXPECT_EQ(probe(userRef), notVerified(3));

  EXPECT_EQ(CardAuthenticateEx(&cardData, ROLE_USER, CARD_AUTHENTICATE_SESSION_PIN, session, sessionLength, nullptr,
                               nullptr, nullptr),
            0u);
  EXPECT_EQ(probe(userRef), kVerified);
  ProviderDouble::free(session);
}

// A card that numbers its PINs 02 (user) and 04 (administrator).
class AuthOnCardWithOtherReferences : public AuthOnSimulatedCard {
  cardsim::CardConfig makeCardConfig() override {
    cardsim::CardConfig config;
    config.userPinRef = 0x02;
    config.adminPinRef = 0x04;
    return config;
  }
};

TEST_F(AuthOnCardWithOtherReferences, LogoutByRoleReachesTheConfiguredReferences) {
  EXPECT_EQ(loginUser(), 0u);
  EXPECT_EQ(loginAdmin(), 0u);
  EXPECT_EQ(probe(0x02), kVerified);
  EXPECT_EQ(probe(0x04), kVerified);
  EXPECT_EQ(CardDeauthenticateEx(&cardData, CREATE_PIN_SET(ROLE_USER), 0), 0u);
  EXPECT_EQ(probe(0x02), notVerified(3));
  EXPECT_EQ(probe(0x04), kVerified);
  EXPECT_EQ(CardDeauthenticateEx(&cardData, CREATE_PIN_SET(ROLE_ADMIN), 0), 0u);
  EXPECT_EQ(probe(0x04), notVerified(3));
}

TEST_F(AuthOnCardWithOtherReferences, ChangeByRoleChangesTheUserPin) {
  std::vector<BYTE> current = bytes("1234"), fresh = bytes("8642");
  EXPECT_EQ(CardChangeAuthenticatorEx(&cardData, PIN_CHANGE_FLAG_CHANGEPIN, ROLE_USER, current.data(), 4, ROLE_USER,
                                      fresh.data(), 4, 0, nullptr),
            0u);
  EXPECT_EQ(CardDeauthenticateEx(&cardData, PIN_SET_ALL_ROLES, 0), 0u);
  DWORD attempts = 0;
  EXPECT_EQ(login("8642", attempts), 0u);
  EXPECT_EQ(probe(0x02), kVerified);
  EXPECT_EQ(loginAdmin(), 0u) << "the administrator key is untouched";
}

}  // namespace
}  // namespace vemra::test
