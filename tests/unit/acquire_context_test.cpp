// CardAcquireContext and CardDeleteContext through the exported functions:
// the order of the provider checks, ATR recognition, version capping, the
// dispatch table by version, the configuration read and the release.
#include <cstring>

#include "common/entry_points.h"
#include "support/driver_fixture.h"

namespace vemra::test {
namespace {

class AcquireContextTest : public DriverTest {
 protected:
  void useAtr(std::string_view text) {
    atr = hex(text);
    cardData.pbAtr = atr.data();
    cardData.cbAtr = static_cast<DWORD>(atr.size());
  }
  DWORD acquireRecognised() {
    expectConfigurationRead();
    return CardAcquireContext(&cardData, 0);
  }
};

TEST_F(AcquireContextTest, BindsTheCardAndReadsItsConfiguration) {
  expectConfigurationRead();
  ASSERT_EQ(CardAcquireContext(&cardData, 0), 0u);
  ASSERT_NE(cardData.pvVendorSpecific, nullptr);
  EXPECT_EQ(provider().sizeOf(cardData.pvVendorSpecific), 26u);
  EXPECT_EQ(config().dirTableFid, 0xA000);
  EXPECT_EQ(config().sigKeyFidBase, 0xB100);
  EXPECT_EQ(config().userAccess, 0x7E);
  EXPECT_EQ(config().challengeIssued, 0);
  EXPECT_EQ(traceMessages().front(), "Function CardAcquireContext called");
  EXPECT_TRUE(traced("\tconfig reading...\n"));
  EXPECT_TRUE(traced("\tFunction CardAcquireContext is done"));
  EXPECT_EQ(pcsc().calls(PcscCall::BeginTransaction), 4) << "four commands, four transactions";
}

TEST_F(AcquireContextTest, ProviderChecksComeInTheirOrder) {
  EXPECT_EQ(CardAcquireContext(nullptr, 0), SCARD_E_INVALID_PARAMETER);

  cardData.dwVersion = 3;
  EXPECT_EQ(CardAcquireContext(&cardData, 0), ERROR_REVISION_MISMATCH);
  EXPECT_TRUE(traced("\tpCardData is checked"));

  cardData.dwVersion = 7;
  EXPECT_EQ(CardAcquireContext(&cardData, 1), SCARD_E_UNSUPPORTED_FEATURE);
  cardData.dwVersion = 6;
  EXPECT_EQ(CardAcquireContext(&cardData, 1), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardAcquireContext(&cardData, 2), SCARD_E_INVALID_PARAMETER);

  cardData.cbAtr = 0;
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_INVALID_PARAMETER);
  cardData.cbAtr = static_cast<DWORD>(atr.size());
  cardData.pbAtr = nullptr;
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_INVALID_PARAMETER);

  // A bad ATR is refused before the card name is looked at.
  useAtr("3B 0A 56 65 6D 72 61 4D 69 6E 69 44");
  cardData.pwszCardName = nullptr;
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_UNKNOWN_CARD);
  useAtr(profile::kAtr);
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_INVALID_PARAMETER);
  cardData.pwszCardName = cardName.data();

  cardData.pfnCspReAlloc = nullptr;
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_INVALID_PARAMETER);
  cardData.pfnCspReAlloc = ProviderDouble::reAlloc;

  cardData.hScard = 0;
  cardData.hSCardCtx = 0;
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_INVALID_HANDLE);
  cardData.hScard = 0xCA;
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_INVALID_HANDLE) << "version 6 needs hSCardCtx";
  cardData.dwVersion = 5;
  EXPECT_EQ(acquireRecognised(), 0u) << "version 5 does without hSCardCtx";

  EXPECT_TRUE(pcsc().commands().size() == 4u) << "only the accepted call talked to the card";
}

TEST_F(AcquireContextTest, RecognisesSignatureOne) {
  useAtr("3B 0B 56 65 6D 72 61 4D 69 6E 69 44 72");
  EXPECT_EQ(acquireRecognised(), 0u);
}

TEST_F(AcquireContextTest, FollowsTheInterfaceByteChain) {
  // T0 = 8B: TD1 = 00 follows, so the historical bytes start at position 3.
  useAtr("3B 8B 00 56 65 6D 72 61 4D 69 6E 69 44 72");
  EXPECT_EQ(acquireRecognised(), 0u);
  ASSERT_EQ(CardDeleteContext(&cardData), 0u);
  // TA1 TB1 TC1, then TD1 = 81 (TD2 follows) and TD2 = 11 (TA3 follows).
  useAtr("3B FB 13 00 00 81 11 FE 56 65 6D 72 61 4D 69 6E 69 44 72");
  EXPECT_EQ(acquireRecognised(), 0u);
}

TEST_F(AcquireContextTest, RefusesAtrsThatDoNotEndWithTheSignature) {
  for (const char* refused : {
           "3B 0B 56 65 6D 72 61 4D 69 6E 69 44 72 00",     // a TCK after the historical bytes
           "3B 0B 56 65 6D 72 61 4D 69 6E 69 44 73",        // one byte off
           "3B 0B 76 65 6D 72 61 4D 69 6E 69 44 72",        // letter case counts
           "3B 0C 56 65 6D 72 61 4D 69 6E 69 44 72 00",     // K = 12
           "3B 00 56 65 6D 72 61 4D 69 6E 69 44 72",        // K = 0
           "3B 0A 56 65 6D 72 61 4D 69 6E 69",              // ten bytes
           "3B 8B 80 80 80 80 80 80 80 80 80 80 80 80",     // the TD chain runs off the end
           "3B 8B 00 56 65 6D 72 61 4D 69 6E 69 44",        // historical bytes cut short
       }) {
    useAtr(refused);
    EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_UNKNOWN_CARD) << refused;
  }
  EXPECT_TRUE(pcsc().commands().empty());
  EXPECT_EQ(provider().allocations(), 0);
}

TEST_F(AcquireContextTest, RecognisesSignatureTwoThroughItsMask) {
  // Position 6 masked with 30, 7 free, 8 needs bit 01.
  useAtr("3B 0E 80 31 C0 65 4D 47 CF AB 03 72 F7 41 81 07");
  EXPECT_EQ(acquireRecognised(), 0u);
  ASSERT_EQ(CardDeleteContext(&cardData), 0u);
  for (const char* refused : {"3B 0E 80 31 C0 65 4D 47 10 00 01 72 F7 41 81 07",
                              "3B 0E 80 31 C0 65 4D 47 20 00 01 72 F7 41 81 07",
                              "3B 0E 80 31 C0 65 4D 47 00 00 00 72 F7 41 81 07",
                              "3B 0E 80 31 C0 65 4D 47 00 00 01 72 F7 41 81 06",
                              "3B 0E 80 31 C0 65 4D 47 00 00 01 72 F7 41 81 07 00"}) {
    useAtr(refused);
    EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_UNKNOWN_CARD) << refused;
  }
}

// Every slot after pvVendorSpecific, as an array of pointers.
constexpr std::size_t kFirstSlot = offsetof(CARD_DATA, pfnCardDeleteContext);
constexpr std::size_t kSlots = (sizeof(CARD_DATA) - kFirstSlot) / sizeof(void*);
void* slot(const CARD_DATA& data, std::size_t index) {
  void* value = nullptr;
  std::memcpy(&value, reinterpret_cast<const char*>(&data) + kFirstSlot + index * sizeof(void*), sizeof value);
  return value;
}
std::size_t slotIndex(std::size_t offset) { return (offset - kFirstSlot) / sizeof(void*); }

class DispatchTest : public AcquireContextTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(DispatchTest, FillsTheSlotsOfTheVersionAndNoOthers) {
  const DWORD version = GetParam();
  void* const sentinel = reinterpret_cast<void*>(0x5E5E);
  for (std::size_t i = 0; i < kSlots; ++i) {
    std::memcpy(reinterpret_cast<char*>(&cardData) + kFirstSlot + i * sizeof(void*), &sentinel, sizeof sentinel);
  }
  cardData.pfnCspUnpadData = ProviderDouble::unpad;
  cardData.dwVersion = version;
  ASSERT_EQ(acquireRecognised(), 0u);
  EXPECT_EQ(cardData.dwVersion, version < 7 ? version : 7u);

  const std::size_t v5 = slotIndex(offsetof(CARD_DATA, pfnCardDeriveKey));
  const std::size_t v6 = slotIndex(offsetof(CARD_DATA, pfnCardGetChallengeEx));
  const std::size_t unpad = slotIndex(offsetof(CARD_DATA, pfnCspUnpadData));
  const std::size_t unused3 = slotIndex(offsetof(CARD_DATA, pvUnused3));
  const std::size_t dh = slotIndex(offsetof(CARD_DATA, pfnCardConstructDHAgreement));
  for (std::size_t i = 0; i < kSlots; ++i) {
    const std::size_t needed = i < v5 ? 4 : i < v6 ? 5 : i < unpad ? 6 : 7;
    if (i == unused3 || i == unused3 + 1) {
      EXPECT_EQ(slot(cardData, i), sentinel) << "reserved pointers are the provider's";
    } else if (i == unpad) {
      EXPECT_EQ(slot(cardData, i), reinterpret_cast<void*>(ProviderDouble::unpad));
    } else if (version < needed) {
      EXPECT_EQ(slot(cardData, i), sentinel) << "slot " << i << " is beyond version " << version;
    } else if (i == dh || (i >= v5 && i < v6)) {
      EXPECT_EQ(slot(cardData, i), nullptr) << "Diffie-Hellman slot " << i;
    } else {
      EXPECT_NE(slot(cardData, i), nullptr) << "slot " << i;
      EXPECT_NE(slot(cardData, i), sentinel) << "slot " << i;
    }
  }
  EXPECT_EQ(cardData.pfnCardReadFile, CardReadFile);
  if (version >= 6) {
    EXPECT_EQ(cardData.pfnCardAuthenticateEx, CardAuthenticateEx);
  }
  if (version >= 7) {
    EXPECT_EQ(cardData.pfnCardCreateContainerEx, CardCreateContainerEx);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, DispatchTest, ::testing::Values(4u, 5u, 6u, 7u, 9u));

TEST_F(AcquireContextTest, AllocationFailureIsNoMemory) {
  provider().failAllocation(1);
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_NO_MEMORY);
  EXPECT_EQ(cardData.pvVendorSpecific, nullptr);
  EXPECT_TRUE(pcsc().commands().empty());
}

TEST_F(AcquireContextTest, FailedConfigurationReadReleasesTheRecord) {
  card.expect(profile::kSelectApplication, "6A 82");
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_UNKNOWN_CARD);
  EXPECT_EQ(cardData.pvVendorSpecific, nullptr);
  EXPECT_EQ(provider().live(), 0u);
  // A provider that cleans up with CardDeleteContext frees nothing twice.
  EXPECT_EQ(CardDeleteContext(&cardData), 0u);
  EXPECT_EQ(provider().badFrees(), 0);

  pcsc().failCall(PcscCall::Transmit, 2, 0x80100069);
  card.expect(profile::kSelectApplication, "90 00");
  EXPECT_EQ(CardAcquireContext(&cardData, 0), 0x80100069u) << "PC/SC failures pass through unchanged";
  EXPECT_EQ(cardData.pvVendorSpecific, nullptr);
}

TEST_F(AcquireContextTest, DeleteContextReleasesOnce) {
  EXPECT_EQ(CardDeleteContext(nullptr), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardDeleteContext(&cardData), 0u) << "nothing to release";
  EXPECT_EQ(provider().frees(), 0);
  ASSERT_EQ(acquireRecognised(), 0u);
  clearTrace();
  EXPECT_EQ(CardDeleteContext(&cardData), 0u);
  EXPECT_EQ(traceMessages(), (std::vector<std::string>{"Function CardDeleteContext called",
                                                       "\tFunction CardDeleteContext is done"}));
  EXPECT_EQ(provider().live(), 0u);
  EXPECT_EQ(CardDeleteContext(&cardData), 0u);
  EXPECT_EQ(provider().badFrees(), 0);
  EXPECT_EQ(pcsc().commands().size(), 4u) << "deleting the context sends nothing";
}

}  // namespace
}  // namespace vemra::test
