// Binding the driver to the simulated card, in process.
#include "card/config.h"
#include "support/simulated_card.h"

namespace vemra::test {
namespace {

using ContextOnSimulatedCard = SimulatedDriverTest;

TEST_F(ContextOnSimulatedCard, ReadsTheCardsConfiguration) {
  bind();
  const auto& config = *static_cast<const card::CardConfig*>(cardData.pvVendorSpecific);
  const cardsim::CardConfig& personalised = card().config();
  EXPECT_EQ(config.dirTableFid, personalised.dirTableFid);
  EXPECT_EQ(config.fileFidBase, personalised.fileFidBase);
  EXPECT_EQ(config.sigKeyFidBase, personalised.sigKeyFidBase);
  EXPECT_EQ(config.fileTableRecords, personalised.fileTableRecords);
  EXPECT_EQ(config.userPinRef, personalised.userPinRef);
  EXPECT_EQ(config.adminPinRef, personalised.adminPinRef);
  EXPECT_EQ(config.userAccess, personalised.userAccess);
  EXPECT_EQ(cardData.dwVersion, 7u);
}

class ContextOnCardOfAnotherKind : public SimulatedDriverTest {
  cardsim::CardConfig makeCardConfig() override {
    cardsim::CardConfig config;
    config.withApplication = false;
    return config;
  }
};

TEST_F(ContextOnCardOfAnotherKind, IsRefusedAsUnknown) {
  cardData.dwVersion = 7;
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_UNKNOWN_CARD);
  EXPECT_EQ(cardData.pvVendorSpecific, nullptr);
}

}  // namespace
}  // namespace vemra::test
