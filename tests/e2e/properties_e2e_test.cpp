// Card properties end to end on the simulated card: the card identifier set
// and read back, the serial number, the authenticated state through logins
// and logouts, and the free space.
#include <vector>

#include "common/entry_points.h"
#include "support/simulated_card.h"

namespace vemra::test {
namespace {

class PropertiesOnSimulatedCard : public SimulatedDriverTest {
 protected:
  void SetUp() override {
    SimulatedDriverTest::SetUp();
    bind();
  }
  // CardGetProperty into a zeroed buffer (a record of dwVersion 0); the
  // bytes answered, none on failure.
  std::vector<BYTE> get(const char16_t* name, DWORD& rc) {
    std::vector<BYTE> data(64, 0);
    DWORD length = 0;
    rc = CardGetProperty(&cardData, reinterpret_cast<LPCWSTR>(name), data.data(), 64, &length, 0);
    data.resize(rc == 0 ? length : 0);
    return data;
  }
  DWORD setCardIdentifier(std::vector<BYTE>& id) {
    return CardSetProperty(&cardData, reinterpret_cast<LPCWSTR>(u"Card Identifier"), id.data(), 16, 0);
  }
};

TEST_F(PropertiesOnSimulatedCard, CardIdentifierIsSetAndReadBack) {
  std::vector<BYTE> id = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA};
  DWORD rc = 0;
  EXPECT_EQ(setCardIdentifier(id), SCARD_E_FILE_NOT_FOUND) << "a fresh card has no \"cardid\"";
  ASSERT_EQ(loginUser(), 0u);
  char cardid[] = "cardid";
  ASSERT_EQ(CardCreateFile(&cardData, nullptr, cardid, 16, EveryoneReadAdminWriteAc), 0u);
  EXPECT_EQ(setCardIdentifier(id), SCARD_W_SECURITY_VIOLATION) << "only the administrator writes it";
  ASSERT_EQ(loginAdmin(), 0u);
  ASSERT_EQ(setCardIdentifier(id), 0u);
  ASSERT_EQ(CardDeauthenticateEx(&cardData, PIN_SET_ALL_ROLES, 0), 0u);
  EXPECT_EQ(get(u"Card Identifier", rc), id) << "everyone reads it";
  EXPECT_EQ(rc, 0u);
}

TEST_F(PropertiesOnSimulatedCard, SerialNumberAndFreeSpace) {
  DWORD rc = 0;
  const auto& factory = cardsim::kDefaultSerialNumber;
  EXPECT_EQ(get(u"Card Serial Number", rc), std::vector<BYTE>(factory.begin(), factory.begin() + 7));
  // "Free Space" is CardQueryFreeSpace's record, also after a file took memory.
  char name[] = "big";
  for (int round = 0; round < 2; ++round) {
    if (round == 1) {
      ASSERT_EQ(loginUser(), 0u);
      ASSERT_EQ(CardCreateFile(&cardData, nullptr, name, 1000, EveryoneReadUserWriteAc), 0u);
    }
    CARD_FREE_SPACE_INFO queried{};
    ASSERT_EQ(CardQueryFreeSpace(&cardData, 0, &queried), 0u);
    const auto* bytes = reinterpret_cast<const BYTE*>(&queried);
    EXPECT_EQ(get(u"Free Space", rc), std::vector<BYTE>(bytes, bytes + sizeof queried)) << round;
  }
}

TEST_F(PropertiesOnSimulatedCard, AuthenticatedStateFollowsLoginsAndLogouts) {
  DWORD rc = 0;
  EXPECT_EQ(get(u"Authenticated State", rc), std::vector<BYTE>({0, 0, 0, 0}));
  ASSERT_EQ(loginUser(), 0u);
  EXPECT_EQ(get(u"Authenticated State", rc), std::vector<BYTE>({0x02, 0, 0, 0}));
  ASSERT_EQ(loginAdmin(), 0u);
  EXPECT_EQ(get(u"Authenticated State", rc), std::vector<BYTE>({0x06, 0, 0, 0}));
  ASSERT_EQ(CardDeauthenticate(&cardData, user.data(), 0), 0u);
  EXPECT_EQ(get(u"Authenticated State", rc), std::vector<BYTE>({0x04, 0, 0, 0}));
  ASSERT_EQ(CardDeauthenticateEx(&cardData, CREATE_PIN_SET(ROLE_ADMIN), 0), 0u);
  EXPECT_EQ(get(u"Authenticated State", rc), std::vector<BYTE>({0, 0, 0, 0}));
}

}  // namespace
}  // namespace vemra::test
