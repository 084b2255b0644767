// End-to-end tests in process: the simulated card behind the PC/SC double.
// The driver's code talks to a faithful model of the card through the same
// SCardTransmit it uses with a real reader, so whole sequences of entry
// points run against a card that keeps its files, keys and PINs. Such tests
// live in tests/e2e/ and build into vemra_e2e_tests.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cardsim/card.h"
#include "support/pcsc_double.h"
#include "support/provider_double.h"
#include "support/trace_capture.h"
#include "vemradrv/minidriver.h"

namespace vemra::test {

// Puts a simulated card behind the PC/SC double.
class SimulatedCard : public CardBackend {
 public:
  explicit SimulatedCard(cardsim::Card& card) : card_(card) {}
  std::vector<std::uint8_t> transmit(std::span<const std::uint8_t> command) override {
    return card_.transmit(command);
  }

 private:
  cardsim::Card& card_;
};

// The response to a challenge that a provider computes with the
// administrator's two-key triple-DES key: the challenge encrypted with
// K1 K2 K1 in ECB mode.
std::array<std::uint8_t, 8> adminResponse(std::span<const std::uint8_t> challenge,
                                          std::span<const std::uint8_t> key16);

// The fixture of end-to-end tests: a fresh simulated card (override
// makeCardConfig() for another personalisation), a provider's CARD_DATA bound
// to it by bind(), and after every test the same checks as the scripted
// tests: transactions balanced and ended with SCARD_LEAVE_CARD, every block
// from pfnCspAlloc given back exactly once, pfnCspReAlloc never called.
class SimulatedDriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual cardsim::CardConfig makeCardConfig() { return {}; }

  PcscDouble& pcsc() { return PcscDouble::instance(); }
  ProviderDouble& provider() { return ProviderDouble::instance(); }
  cardsim::Card& card() { return *card_; }

  // Acquires a context of `version` on the card; asserts success.
  void bind(DWORD version = 7);

  // Logs the user in with CardAuthenticatePin (default: the card's PIN).
  DWORD loginUser(std::string pin = "");
  // Authenticates the administrator: CardGetChallenge, then
  // CardAuthenticateChallenge with the response computed from `key16`
  // (default: the card's administrator key).
  DWORD loginAdmin(std::vector<std::uint8_t> key16 = {});
  // A VERIFY probe sent straight to the card: 0x9000 when `reference` is
  // verified, 0x63Cx with the tries left, 0x6983 when blocked.
  std::uint16_t probe(std::uint8_t reference);

  CARD_DATA cardData{};
  std::vector<BYTE> atr;
  std::u16string cardName = u"Vemra simulated card";
  std::u16string user = u"user";
  std::u16string admin = u"admin";

 private:
  std::unique_ptr<cardsim::Card> card_;
  std::unique_ptr<SimulatedCard> backend_;
};

}  // namespace vemra::test
