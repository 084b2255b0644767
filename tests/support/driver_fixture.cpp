#include "support/driver_fixture.h"

namespace vemra::test {

void DriverTest::SetUp() {
  pcsc().reset();
  pcsc().setBackend(&card);
  provider().reset();
  clearTrace();
  atr = hex(profile::kAtr);
  cardData = providerCardData(atr, cardName, 0xCA);
}

void DriverTest::TearDown() {
  EXPECT_TRUE(card.finished()) << "commands the card still expected:\n" << card.pending();
  EXPECT_TRUE(pcsc().balanced()) << "a transaction was left open or not ended with SCARD_LEAVE_CARD";
  expectProviderClean(cardData);
  pcsc().setBackend(nullptr);
}

void DriverTest::expectConfigurationRead(std::string_view b1, std::string_view b2, std::string_view b3) {
  card.expect(profile::kSelectApplication, "90 00");
  card.expect("00 CA 00 B1 00", std::string(b1) + " 90 00");
  card.expect("00 CA 00 B2 00", std::string(b2) + " 90 00");
  card.expect("00 CA 00 B3 00", std::string(b3) + " 90 00");
}

void DriverTest::expectSelectApplication(std::string_view answer) {
  card.expect(profile::kSelectApplication, answer);
}

void DriverTest::bind(DWORD version, std::string_view b3) {
  cardData.dwVersion = version;
  expectConfigurationRead(profile::kB1, profile::kB2, b3);
  ASSERT_EQ(CardAcquireContext(&cardData, 0), 0u);
  commandsBeforeTest = pcsc().commands().size();
  clearTrace();
}

std::vector<std::string> DriverTest::sentCommands() const {
  std::vector<std::string> sent;
  const auto& all = PcscDouble::instance().commands();
  for (std::size_t i = commandsBeforeTest; i < all.size(); ++i) sent.push_back(toHex(all[i].bytes));
  return sent;
}

}  // namespace vemra::test
