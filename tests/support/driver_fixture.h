// The common fixture of the driver's unit tests: a provider's CARD_DATA for a
// supported card, a scripted card behind the PC/SC double, and checks after
// every test that the script was played to its end, that every transaction
// was ended with SCARD_LEAVE_CARD, and that the provider got every block back
// exactly once.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "card/config.h"
#include "support/pcsc_double.h"
#include "support/provider_double.h"
#include "support/scripted_card.h"
#include "support/trace_capture.h"
#include "vemradrv/minidriver.h"

namespace vemra::test {

// The card configuration the scripted card answers by default.
namespace profile {
inline constexpr std::string_view kSelectApplication = "00 A4 04 0C 0C 56 45 4D 52 41 5F 4D 49 4E 49 44 52";
// dirTableFid A000, dirFidBase D000, fileTableFidBase F100, fileFidBase 1000,
// kxKeyFidBase B000, sigKeyFidBase B100, two reserved words.
inline constexpr std::string_view kB1 = "A0 00 D0 00 F1 00 10 00 B0 00 B1 00 12 34 56 78";
// dirTableRecords 16, maxContainers 8, fileTableRecords 8.
inline constexpr std::string_view kB2 = "10 08 08";
// kxKeyRefBase 10, sigKeyRefBase 20, userPinRef 01, adminPinRef 03,
// userAccess 7E, reserved 00.
inline constexpr std::string_view kB3 = "10 20 01 03 7E 00";
// TS, T0 = 0x0B (eleven historical bytes, no interface bytes), "VemraMiniDr".
inline constexpr std::string_view kAtr = "3B 0B 56 65 6D 72 61 4D 69 6E 69 44 72";
}  // namespace profile

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  PcscDouble& pcsc() { return PcscDouble::instance(); }
  ProviderDouble& provider() { return ProviderDouble::instance(); }
  card::CardConfig& config() { return *static_cast<card::CardConfig*>(cardData.pvVendorSpecific); }

  // Scripts the four commands of the configuration read with the given
  // objects (answered at once with data and 90 00).
  void expectConfigurationRead(std::string_view b1 = profile::kB1, std::string_view b2 = profile::kB2,
                               std::string_view b3 = profile::kB3);
  // Scripts the prologue's application selection.
  void expectSelectApplication(std::string_view answer = "90 00");
  // Scripts the configuration read and acquires a context of `version`;
  // asserts success and forgets the commands sent so far.
  void bind(DWORD version = 7, std::string_view b3 = profile::kB3);

  // The commands sent since the last bind(), as hex strings.
  std::vector<std::string> sentCommands() const;

  CARD_DATA cardData{};
  ScriptedCard card;
  std::vector<BYTE> atr;
  std::u16string cardName = u"Vemra test card";
  std::size_t commandsBeforeTest = 0;
};

}  // namespace vemra::test
