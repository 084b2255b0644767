// Two connections on one simulated card, as two programs share a card through
// the PC/SC service. The double runs the other connection's commands at every
// command boundary of the first while the first holds nothing, and makes them
// wait while it holds the card. Each sequence of driver calls is run twice:
// inside the host library's card transaction, where it must come out right,
// and bare, where the other connection's commands land in the middle and the
// fault the transaction prevents must show (which proves the commands really
// were interleaved).
#include <algorithm>
#include <functional>
#include <optional>

#include "common/entry_points.h"
#include "support/key_blobs.h"
#include "support/simulated_card.h"
#include "transaction.h"

namespace vemra::test {
namespace {

constexpr SCARDHANDLE kFirst = 0x51;
constexpr SCARDHANDLE kOther = 0x52;

class SharedCardTest : public SimulatedDriverTest {
 protected:
  void SetUp() override {
    SimulatedDriverTest::SetUp();
    bind();
    otherAtr = atr;
    other = providerCardData(otherAtr, otherName, kOther);
    ASSERT_EQ(CardAcquireContext(&other, 0), 0u);
  }
  void TearDown() override {
    pcsc().interleave(0, {});
    EXPECT_EQ(CardDeleteContext(&other), 0u);
    other.pvVendorSpecific = nullptr;
    SimulatedDriverTest::TearDown();
  }

  // Runs `sequence` on the first connection with the other connection's
  // `commands` interleaved; inside a card transaction when `held`.
  void interleaved(bool held, const std::function<void()>& commands, const std::function<void()>& sequence) {
    pcsc().interleave(kFirst, commands);
    {
      std::optional<host::CardTransaction> transaction;
      if (held) {
        transaction.emplace(kFirst);
        ASSERT_TRUE(transaction->held());
      }
      sequence();
    }
    pcsc().interleave(0, {});
  }

  static std::vector<std::uint8_t> sign(CARD_DATA& data, BYTE container, const std::vector<std::uint8_t>& hash,
                                        DWORD& rc) {
    std::vector<std::uint8_t> copy = hash;
    CARD_SIGNING_INFO info{};
    info.dwVersion = 1;
    info.bContainerIndex = container;
    info.dwKeySpec = AT_KEYEXCHANGE;
    info.aiHashAlg = CALG_SHA_256;
    info.pbData = copy.data();
    info.cbData = static_cast<DWORD>(copy.size());
    rc = CardSignData(&data, &info);
    std::vector<std::uint8_t> signature;
    if (rc == 0) signature.assign(info.pbSignedData, info.pbSignedData + info.cbSignedData);
    ProviderDouble::free(info.pbSignedData);
    return signature;
  }

  DWORD import(BYTE container, const RsaKeyPair& key) {
    auto blob = key.privateKeyBlob(CALG_RSA_KEYX);
    return CardCreateContainerEx(&cardData, container, CARD_CREATE_CONTAINER_KEY_IMPORT, AT_KEYEXCHANGE, 0,
                                 blob.data(), ROLE_USER);
  }

  // The administrator's challenge and response on `data`; the response is
  // computed from the card's key.
  DWORD challengeAndResponse(CARD_DATA& data) {
    PBYTE challenge = nullptr;
    DWORD length = 0;
    if (const DWORD rc = CardGetChallenge(&data, &challenge, &length)) return rc;
    const std::vector<std::uint8_t> key(card().config().adminKey.begin(), card().config().adminKey.end());
    auto response = adminResponse({challenge, length}, key);
    ProviderDouble::free(challenge);
    DWORD attempts = 0;
    return CardAuthenticateChallenge(&data, response.data(), static_cast<DWORD>(response.size()), &attempts);
  }

  CARD_DATA other{};
  std::vector<BYTE> otherAtr;
  std::u16string otherName = u"Vemra simulated card";
};

// Another program's signature between this one's MSE SET and PSO re-points
// the security environment: bare, the card signs with the other key.
TEST_F(SharedCardTest, ASignatureIsMadeWithItsOwnKeyOnlyWhenTheCardIsHeld) {
  ASSERT_EQ(loginUser(), 0u);
  const RsaKeyPair mine = RsaKeyPair::generate(1024);
  const RsaKeyPair theirs = RsaKeyPair::generate(1024);
  ASSERT_EQ(import(0, mine), 0u);
  ASSERT_EQ(import(1, theirs), 0u);
  const std::vector<std::uint8_t> hash(32, 0x5C);
  const auto theirSignature = [&] {
    DWORD rc = 0;
    (void)sign(other, 1, hash, rc);
  };
  for (bool held : {true, false}) {
    SCOPED_TRACE(held ? "held" : "bare");
    DWORD rc = 0;
    std::vector<std::uint8_t> signature;
    interleaved(held, theirSignature, [&] { signature = sign(cardData, 0, hash, rc); });
    EXPECT_GE(pcsc().interleavings(), 1);
    const bool right = rc == 0 && mine.verifies(EVP_sha256(), hash, signature);
    EXPECT_EQ(right, held) << "rc " << rc;
  }
}

// Another program's GET CHALLENGE between this one's challenge and response:
// bare, the response answers a stale challenge and spends a try.
TEST_F(SharedCardTest, TheAdministratorsResponseAnswersItsOwnChallengeOnlyWhenTheCardIsHeld) {
  const auto theirChallenge = [&] {
    PBYTE challenge = nullptr;
    DWORD length = 0;
    (void)CardGetChallenge(&other, &challenge, &length);
    ProviderDouble::free(challenge);
  };
  for (bool held : {true, false}) {
    SCOPED_TRACE(held ? "held" : "bare");
    DWORD rc = 0;
    interleaved(held, theirChallenge, [&] { rc = challengeAndResponse(cardData); });
    EXPECT_EQ(rc, held ? 0u : DWORD{SCARD_W_WRONG_CHV});
    (void)CardDeauthenticateEx(&cardData, PIN_SET_ALL_ROLES, 0);
  }
}

// Another program writing a file in the middle of this one's read of it:
// bare, the read returns a mixture of the old and the new content, or fails
// when the other's selection lands between this one's SELECT and READ.
TEST_F(SharedCardTest, AFileIsReadWholeOnlyWhenTheCardIsHeld) {
  ASSERT_EQ(loginUser(), 0u);
  char name[] = "cmapfile";
  constexpr std::size_t kSize = 600;  // several READ BINARY commands
  ASSERT_EQ(CardCreateFile(&cardData, nullptr, name, kSize, EveryoneReadUserWriteAc), 0u);
  std::vector<std::uint8_t> content(kSize, 0x00);
  ASSERT_EQ(CardWriteFile(&cardData, nullptr, name, 0, content.data(), kSize), 0u);
  std::uint8_t fill = 0;
  const auto theirWrite = [&] {
    std::vector<std::uint8_t> theirs(kSize, ++fill);
    (void)CardWriteFile(&other, nullptr, name, 0, theirs.data(), kSize);
  };
  for (bool held : {true, false}) {
    SCOPED_TRACE(held ? "held" : "bare");
    PBYTE data = nullptr;
    DWORD length = 0;
    DWORD rc = 0;
    interleaved(held, theirWrite, [&] { rc = CardReadFile(&cardData, nullptr, name, 0, &data, &length); });
    const std::vector<std::uint8_t> read(data, data + (rc == 0 ? length : 0));
    ProviderDouble::free(data);
    // Bare, the read fails or mixes contents.
    const bool whole = rc == 0 && read.size() == kSize &&
                       std::all_of(read.begin(), read.end(), [&](std::uint8_t b) { return b == read.front(); });
    EXPECT_EQ(whole, held) << "rc " << rc;
  }
}

}  // namespace
}  // namespace vemra::test
