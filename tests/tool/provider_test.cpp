// The provider host's side of CARD_DATA, seen from a stand-in for the
// driver's CardAcquireContext: the record it receives, the callbacks in it,
// and CardDeleteContext called exactly once whether the driver took the card
// or refused it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "error.h"
#include "provider.h"

namespace vemra::host {
namespace {

// What the stand-in saw and does.
struct Driver {
  DWORD answer = 0;
  int acquires = 0;
  int deletes = 0;
  DWORD flags = 0xFFFF;
  CARD_DATA seen{};
  std::vector<uint8_t> atrSeen;
  std::u16string nameSeen;
  CARD_DATA* deletedRecord = nullptr;
};
Driver driver;

DWORD WINAPI deleteContext(PCARD_DATA cardData) {
  ++driver.deletes;
  driver.deletedRecord = cardData;
  return 0;
}

DWORD WINAPI acquireContext(PCARD_DATA cardData, DWORD flags) {
  ++driver.acquires;
  driver.flags = flags;
  driver.seen = *cardData;
  driver.atrSeen.assign(cardData->pbAtr, cardData->pbAtr + cardData->cbAtr);
  driver.nameSeen = reinterpret_cast<const char16_t*>(cardData->pwszCardName);
  cardData->pfnCardDeleteContext = deleteContext;
  return driver.answer;
}

const std::vector<uint8_t> kAtr = {0x3B, 0x0B, 'V', 'e', 'm', 'r', 'a', 'M', 'i', 'n', 'i', 'D', 'r'};

TEST(ProviderRecord, TheDriverReceivesAVersion7RecordWithTheHostsCallbacks) {
  driver = Driver{};
  {
    DriverContext context(acquireContext, kAtr, 0x5C, 0x77, "Virtual reader 0");
    EXPECT_EQ(driver.acquires, 1);
    EXPECT_EQ(driver.flags, 0u);
    EXPECT_EQ(driver.seen.dwVersion, 7u);
    EXPECT_EQ(driver.atrSeen, kAtr);
    EXPECT_EQ(driver.nameSeen, u"VEMRA_MINIDR");
    EXPECT_EQ(driver.seen.hSCardCtx, 0x5Cu);
    EXPECT_EQ(driver.seen.hScard, 0x77u);
    EXPECT_EQ(driver.seen.pfnCspAlloc, &providerAlloc);
    EXPECT_EQ(driver.seen.pfnCspReAlloc, &providerReAlloc);
    EXPECT_EQ(driver.seen.pfnCspFree, &providerFree);
    EXPECT_EQ(driver.seen.pfnCspUnpadData, &unpadWithOpenssl);
    EXPECT_EQ(driver.seen.pvVendorSpecific, nullptr);
    EXPECT_EQ(driver.seen.pfnCardSignData, nullptr) << "the slots are the driver's to fill";
    EXPECT_EQ(context->pfnCardDeleteContext, &deleteContext);
    EXPECT_EQ(driver.deletes, 0);
  }
  EXPECT_EQ(driver.deletes, 1) << "the context goes with the object";
}

TEST(ProviderRecord, ARefusedCardIsReleasedOnceAndReportedWithTheDriversCode) {
  driver = Driver{};
  driver.answer = SCARD_E_UNKNOWN_CARD;
  try {
    DriverContext context(acquireContext, kAtr, 1, 2, "Other reader");
    ADD_FAILURE() << "a refused card made a context";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), SCARD_E_UNKNOWN_CARD);
    EXPECT_NE(std::string(e.what()).find("the driver refuses the card in \"Other reader\""), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(driver.deletes, 1) << "what the driver allocated before refusing is released";
}

TEST(ProviderRecord, AllocatorGivesZeroedBlocksAndABlockForZeroBytes) {
  for (SIZE_T size : {SIZE_T{0}, SIZE_T{1}, SIZE_T{300}}) {
    auto* block = static_cast<uint8_t*>(providerAlloc(size));
    ASSERT_NE(block, nullptr) << size;
    EXPECT_EQ(std::vector<uint8_t>(block, block + size), std::vector<uint8_t>(size, 0)) << size;
    providerFree(block);
  }
  auto* grown = static_cast<uint8_t*>(providerAlloc(4));
  ASSERT_NE(grown, nullptr);
  std::memcpy(grown, "abcd", 4);
  grown = static_cast<uint8_t*>(providerReAlloc(grown, 64));
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(grown), 4), "abcd");
  providerFree(grown);
}

}  // namespace
}  // namespace vemra::host
