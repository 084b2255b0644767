#include "support/simulated_card.h"

#include <openssl/evp.h>

#include "common/entry_points.h"

namespace vemra::test {

std::array<std::uint8_t, 8> adminResponse(std::span<const std::uint8_t> challenge,
                                          std::span<const std::uint8_t> key16) {
  std::array<std::uint8_t, 8> response{};
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int written = 0;
  // Two-key triple DES: EVP's des-ede-ecb takes K1 K2 and applies K1 again.
  const bool ok = context != nullptr && challenge.size() == 8 && key16.size() == 16 &&
                  EVP_EncryptInit_ex(context, EVP_des_ede_ecb(), nullptr, key16.data(), nullptr) == 1 &&
                  EVP_CIPHER_CTX_set_padding(context, 0) == 1 &&
                  EVP_EncryptUpdate(context, response.data(), &written, challenge.data(), 8) == 1 && written == 8;
  EVP_CIPHER_CTX_free(context);
  EXPECT_TRUE(ok) << "computing the administrator's response with OpenSSL";
  return response;
}

void SimulatedDriverTest::SetUp() {
  pcsc().reset();
  provider().reset();
  clearTrace();
  card_ = std::make_unique<cardsim::Card>(makeCardConfig());
  backend_ = std::make_unique<SimulatedCard>(*card_);
  pcsc().setBackend(backend_.get());
  atr = card_->atr();
  cardData = providerCardData(atr, cardName, 0x51);
}

void SimulatedDriverTest::TearDown() {
  EXPECT_TRUE(pcsc().balanced()) << "a transaction was left open or not ended with SCARD_LEAVE_CARD";
  expectProviderClean(cardData);
  pcsc().setBackend(nullptr);
}

void SimulatedDriverTest::bind(DWORD version) {
  cardData.dwVersion = version;
  ASSERT_EQ(CardAcquireContext(&cardData, 0), 0u);
}

DWORD SimulatedDriverTest::loginUser(std::string pin) {
  if (pin.empty()) pin.assign(card_->config().userPin.begin(), card_->config().userPin.end());
  return CardAuthenticatePin(&cardData, user.data(), reinterpret_cast<PBYTE>(pin.data()),
                             static_cast<DWORD>(pin.size()), nullptr);
}

DWORD SimulatedDriverTest::loginAdmin(std::vector<std::uint8_t> key16) {
  if (key16.empty()) key16.assign(card_->config().adminKey.begin(), card_->config().adminKey.end());
  PBYTE challenge = nullptr;
  DWORD challengeLength = 0;
  if (const DWORD rc = CardGetChallenge(&cardData, &challenge, &challengeLength)) {
    ProviderDouble::free(challenge);
    return rc;
  }
  auto response = adminResponse({challenge, challengeLength}, key16);
  ProviderDouble::free(challenge);
  return CardAuthenticateChallenge(&cardData, response.data(), static_cast<DWORD>(response.size()), nullptr);
}

std::uint16_t SimulatedDriverTest::probe(std::uint8_t reference) {
  const std::uint8_t verify[] = {0x00, 0x20, 0x00, reference, 0x00};
  const auto answer = card_->transmit(verify);
  if (answer.size() < 2) return 0;
  return static_cast<std::uint16_t>((answer[answer.size() - 2] << 8) | answer.back());
}

}  // namespace vemra::test
