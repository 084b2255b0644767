// The configuration read of CardAcquireContext: field order, exact lengths,
// status checks, the length procedure, and the role of a PIN reference.
#include "card/config.h"
#include "support/driver_fixture.h"

namespace vemra::test {
namespace {

using ConfigTest = DriverTest;

TEST_F(ConfigTest, FieldsComeMostSignificantByteFirstInTableOrder) {
  expectConfigurationRead("12 34 56 78 9A BC DE F0 01 02 03 04 05 06 07 08", "09 0A 0B", "11 12 13 14 15 16");
  ASSERT_EQ(CardAcquireContext(&cardData, 0), 0u);
  const card::CardConfig& c = config();
  EXPECT_EQ(c.dirTableFid, 0x1234);
  EXPECT_EQ(c.dirFidBase, 0x5678);
  EXPECT_EQ(c.fileTableFidBase, 0x9ABC);
  EXPECT_EQ(c.fileFidBase, 0xDEF0);
  EXPECT_EQ(c.kxKeyFidBase, 0x0102);
  EXPECT_EQ(c.sigKeyFidBase, 0x0304);
  EXPECT_EQ(c.reservedWord1, 0x0506);
  EXPECT_EQ(c.reservedWord2, 0x0708);
  EXPECT_EQ(c.dirTableRecords, 0x09);
  EXPECT_EQ(c.maxContainers, 0x0A);
  EXPECT_EQ(c.fileTableRecords, 0x0B);
  EXPECT_EQ(c.kxKeyRefBase, 0x11);
  EXPECT_EQ(c.sigKeyRefBase, 0x12);
  EXPECT_EQ(c.userPinRef, 0x13);
  EXPECT_EQ(c.adminPinRef, 0x14);
  EXPECT_EQ(c.userAccess, 0x15);
  EXPECT_EQ(c.reservedByte, 0x16);
  // The record's bytes as the provider's allocator holds them.
  const auto* raw = static_cast<const std::uint8_t*>(cardData.pvVendorSpecific);
  EXPECT_EQ(raw[17], 0x0A) << "maxContainers is byte 17";
  EXPECT_EQ(raw[22], 0x14) << "adminPinRef is byte 22";
  EXPECT_EQ(raw[23], 0x15) << "userAccess is byte 23";
  EXPECT_EQ(raw[25], 0x00) << "challengeIssued is byte 25, cleared";
}

TEST_F(ConfigTest, AcceptsObjectsSentAfterTheLengthProcedure) {
  card.expect(profile::kSelectApplication, "90 00")
      .expect("00 CA 00 B1 00", "6C 10")
      .expect("00 CA 00 B1 10", std::string(profile::kB1) + " 90 00")
      .expect("00 CA 00 B2 00", "6C 03")
      .expect("00 CA 00 B2 03", std::string(profile::kB2) + " 90 00")
      .expect("00 CA 00 B3 00", "61 06")
      .expect("00 C0 00 00 06", std::string(profile::kB3) + " 90 00");
  EXPECT_EQ(CardAcquireContext(&cardData, 0), 0u);
}

struct BadObject {
  const char* b1;
  const char* b2;
  const char* b3;
  const char* why;
  friend void PrintTo(const BadObject& bad, std::ostream* out) { *out << bad.why; }
};

class ConfigRefusalTest : public DriverTest, public ::testing::WithParamInterface<BadObject> {};

TEST_P(ConfigRefusalTest, RefusesObjectsOfTheWrongLengthOrStatus) {
  const BadObject& bad = GetParam();
  card.expect(profile::kSelectApplication, "90 00");
  card.expect("00 CA 00 B1 00", bad.b1);
  if (bad.b2 != nullptr) card.expect("00 CA 00 B2 00", bad.b2);
  if (bad.b3 != nullptr) card.expect("00 CA 00 B3 00", bad.b3);
  EXPECT_EQ(CardAcquireContext(&cardData, 0), SCARD_E_UNKNOWN_CARD) << bad.why;
  EXPECT_EQ(cardData.pvVendorSpecific, nullptr);
}

const std::string kB1Ok = std::string(profile::kB1) + " 90 00";
const std::string kB2Ok = std::string(profile::kB2) + " 90 00";
// 272 bytes, the first 16 a good B1: the low byte of the length is 16.
const std::string kB1Of272 = [] {
  std::string answer(profile::kB1);
  for (int i = 0; i < 256; ++i) answer += " 00";
  return answer + " 90 00";
}();

INSTANTIATE_TEST_SUITE_P(
    Objects, ConfigRefusalTest,
    ::testing::Values(BadObject{"A0 00 D0 00 F1 00 10 00 B0 00 B1 00 00 00 00 90 00", nullptr, nullptr, "B1 of 15"},
                      BadObject{"A0 00 D0 00 F1 00 10 00 B0 00 B1 00 00 00 00 00 00 90 00", nullptr, nullptr,
                                "B1 of 17"},
                      BadObject{kB1Of272.c_str(), nullptr, nullptr, "B1 of 272"},
                      BadObject{"90 00", nullptr, nullptr, "B1 without data"},
                      BadObject{"A0 00 D0 00 F1 00 10 00 B0 00 B1 00 00 00 00 00 62 83", nullptr, nullptr,
                                "B1 with a warning"},
                      BadObject{"6A 88", nullptr, nullptr, "B1 missing"},
                      BadObject{kB1Ok.c_str(), "10 08 90 00", nullptr, "B2 of 2"},
                      BadObject{kB1Ok.c_str(), kB2Ok.c_str(), "10 20 01 03 7E 00 00 90 00", "B3 of 7"},
                      BadObject{kB1Ok.c_str(), kB2Ok.c_str(), "6A 88", "B3 missing"}));

TEST_F(ConfigTest, PcscFailureOfAGetDataPassesThrough) {
  card.expect(profile::kSelectApplication, "90 00").expect("00 CA 00 B1 00", std::string(profile::kB1) + " 90 00");
  pcsc().failCall(PcscCall::Transmit, 3, 0x80100017);
  EXPECT_EQ(CardAcquireContext(&cardData, 0), 0x80100017u);
}

TEST_F(ConfigTest, RoleOfAPinReference) {
  bind(7, "10 20 01 03 7E 00");
  EXPECT_EQ(card::roleOfPinRef(config(), 0x01), static_cast<std::uint32_t>(ROLE_USER));
  EXPECT_EQ(card::roleOfPinRef(config(), 0x03), static_cast<std::uint32_t>(ROLE_ADMIN));
  EXPECT_EQ(card::roleOfPinRef(config(), 0x7E), static_cast<std::uint32_t>(ROLE_EVERYONE));
  config().adminPinRef = 0x01;
  EXPECT_EQ(card::roleOfPinRef(config(), 0x01), static_cast<std::uint32_t>(ROLE_USER)) << "the user comes first";
}

}  // namespace
}  // namespace vemra::test
