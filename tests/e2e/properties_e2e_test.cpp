// Card properties end to end on the simulated card: the card identifier
// written and read back through the properties, the serial number, the
// authenticated state as logins and logouts change it, and the free space.
#include <cstring>
#include <vector>

#include "common/entry_points.h"
#include "support/simulated_card.h"

namespace vemra::test {
namespace {

LPCWSTR wide(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

class PropertiesOnSimulatedCard : public SimulatedDriverTest {
 protected:
  void SetUp() override {
    SimulatedDriverTest::SetUp();
    bind();
  }
  // CardGetProperty with `flags` into a 64-byte buffer; the bytes answered.
  std::vector<BYTE> get(const char16_t* name, DWORD& rc, DWORD flags = 0) {
    std::vector<BYTE> data(64, 0);  // a record of dwVersion 0
    DWORD length = 0;
    rc = CardGetProperty(&cardData, wide(name), data.data(), static_cast<DWORD>(data.size()), &length, flags);
    data.resize(rc == 0 ? length : 0);
    return data;
  }
  // The "Authenticated State" PIN_SET; asserts success.
  DWORD authenticatedState() {
    DWORD rc = 0;
    const auto bytes = get(u"Authenticated State", rc);
    EXPECT_EQ(rc, 0u);
    DWORD state = 0xDEAD;
    if (bytes.size() == sizeof state) std::memcpy(&state, bytes.data(), sizeof state);
    return state;
  }
};

TEST_F(PropertiesOnSimulatedCard, CardIdentifierIsSetAndReadBack) {
  std::vector<BYTE> id(16);
  for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<BYTE>(0x30 + i * 11);
  DWORD rc = 0;
  EXPECT_TRUE(get(u"Card Identifier", rc).empty());
  EXPECT_EQ(rc, SCARD_E_FILE_NOT_FOUND) << "a fresh card has no \"cardid\"";
  EXPECT_EQ(CardSetProperty(&cardData, wide(u"Card Identifier"), id.data(), 16, 0), SCARD_E_FILE_NOT_FOUND);

  ASSERT_EQ(loginUser(), 0u);
  char cardid[] = "cardid";
  ASSERT_EQ(CardCreateFile(&cardData, nullptr, cardid, 16, EveryoneReadAdminWriteAc), 0u);
  EXPECT_EQ(CardSetProperty(&cardData, wide(u"Card Identifier"), id.data(), 16, 0), SCARD_W_SECURITY_VIOLATION)
      << "only the administrator writes it";
  ASSERT_EQ(loginAdmin(), 0u);
  ASSERT_EQ(CardSetProperty(&cardData, wide(u"Card Identifier"), id.data(), 16, 0), 0u);
  ASSERT_EQ(CardDeauthenticateEx(&cardData, PIN_SET_ALL_ROLES, 0), 0u);

  EXPECT_EQ(get(u"Card Identifier", rc), id) << "everyone reads it";
  EXPECT_EQ(rc, 0u);
  PBYTE file = nullptr;
  DWORD size = 0;
  ASSERT_EQ(CardReadFile(&cardData, nullptr, cardid, 0, &file, &size), 0u);
  EXPECT_EQ(std::vector<BYTE>(file, file + size), id);
  ProviderDouble::free(file);
}

TEST_F(PropertiesOnSimulatedCard, SerialNumberIsTheFirstSevenBytes) {
  DWORD rc = 0;
  const auto serial = get(u"Card Serial Number", rc);
  EXPECT_EQ(rc, 0u);
  const auto& factory = cardsim::kDefaultSerialNumber;
  EXPECT_EQ(serial, std::vector<BYTE>(factory.begin(), factory.begin() + 7));
}

TEST_F(PropertiesOnSimulatedCard, AuthenticatedStateFollowsLoginsAndLogouts) {
  const DWORD userBit = CREATE_PIN_SET(ROLE_USER), adminBit = CREATE_PIN_SET(ROLE_ADMIN);
  EXPECT_EQ(authenticatedState(), 0u);
  ASSERT_EQ(loginUser(), 0u);
  EXPECT_EQ(authenticatedState(), userBit);
  ASSERT_EQ(loginAdmin(), 0u);
  EXPECT_EQ(authenticatedState(), userBit | adminBit);
  ASSERT_EQ(CardDeauthenticate(&cardData, user.data(), 0), 0u);
  EXPECT_EQ(authenticatedState(), adminBit);
  ASSERT_EQ(CardDeauthenticateEx(&cardData, adminBit, 0), 0u);
  EXPECT_EQ(authenticatedState(), 0u);
  // A wrong PIN does not count as verified.
  std::vector<BYTE> wrong = {'9', '9', '9', '9'};
  EXPECT_EQ(CardAuthenticatePin(&cardData, user.data(), wrong.data(), 4, nullptr), SCARD_W_WRONG_CHV);
  EXPECT_EQ(authenticatedState(), 0u);
}

TEST_F(PropertiesOnSimulatedCard, FreeSpaceIsTheQuerysAnswer) {
  // The property's record next to CardQueryFreeSpace's; the free bytes.
  const auto compare = [&] {
    CARD_FREE_SPACE_INFO queried{};
    EXPECT_EQ(CardQueryFreeSpace(&cardData, 0, &queried), 0u);
    DWORD rc = 0;
    const auto property = get(u"Free Space", rc);
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(property.size(), sizeof queried);
    if (property.size() == sizeof queried) {
      EXPECT_EQ(std::memcmp(property.data(), &queried, sizeof queried), 0);
    }
    return queried.dwBytesAvailable;
  };
  const DWORD before = compare();
  ASSERT_EQ(loginUser(), 0u);
  char name[] = "big";
  ASSERT_EQ(CardCreateFile(&cardData, nullptr, name, 1000, EveryoneReadUserWriteAc), 0u);
  EXPECT_LT(compare(), before) << "the file takes memory";
}

}  // namespace
}  // namespace vemra::test
