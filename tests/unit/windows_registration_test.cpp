// The Windows registration (windows/vemradrv.reg, the same values as
// windows/vemradrv.inf, which the Wine check compares) against the driver's
// ATR recognition: every registered ATR is one the driver accepts, the mask
// frees exactly the bits the driver does not look at, and each signature
// the driver accepts has its registration.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "driver/atr.h"

namespace vemra::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Registration {
  Bytes atr;
  Bytes mask;
};

// "ATR"=hex:3b,0b,... -> the bytes.
Bytes hexList(const std::string& text) {
  Bytes out;
  for (std::size_t at = 0; at + 2 <= text.size(); at += 3) out.push_back(std::stoi(text.substr(at, 2), nullptr, 16));
  return out;
}

// The registrations of the .reg file, by key.
std::map<std::string, Registration> readRegistrations() {
  std::ifstream in(VEMRA_WINDOWS_REGISTRATION);
  std::map<std::string, Registration> found;
  std::string line, key;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("[")) key = line;
    if (line.starts_with("\"ATR\"=hex:")) found[key].atr = hexList(line.substr(10));
    if (line.starts_with("\"ATRMask\"=hex:")) found[key].mask = hexList(line.substr(14));
  }
  return found;
}

bool accepted(const Bytes& atr) { return driver::isSupportedAtr(atr); }

TEST(WindowsRegistration, EveryKeyRegistersAnAtrTheDriverAccepts) {
  const auto registrations = readRegistrations();
  ASSERT_EQ(registrations.size(), 4u) << "two card names in two registry views";
  for (const auto& [key, r] : registrations) {
    SCOPED_TRACE(key);
    ASSERT_EQ(r.atr.size(), r.mask.size());
    ASSERT_GE(r.atr.size(), 2u);
    EXPECT_TRUE(accepted(r.atr));
    for (std::size_t i = 0; i < r.atr.size(); ++i) {
      EXPECT_EQ(r.atr[i] & r.mask[i], r.atr[i]) << "the registered ATR is already masked, byte " << i;
    }
  }
}

// Past TS, a bit the mask frees is one the driver ignores, and a bit the mask
// keeps is one the driver refuses to see changed.
TEST(WindowsRegistration, MaskFreesExactlyTheBitsTheDriverIgnores) {
  for (const auto& [key, r] : readRegistrations()) {
    for (std::size_t i = 1; i < r.atr.size(); ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        Bytes changed = r.atr;
        changed[i] ^= static_cast<std::uint8_t>(1u << bit);
        const bool free = (r.mask[i] & (1u << bit)) == 0;
        EXPECT_EQ(accepted(changed), free) << key << ": byte " << i << ", bit " << bit;
      }
    }
  }
}

// TS: the mask admits the two conventions, 3B (direct) and 3F (inverse), and
// the driver accepts both.
TEST(WindowsRegistration, MaskAdmitsBothConventions) {
  for (const auto& [key, r] : readRegistrations()) {
    std::set<int> admitted;
    for (int ts = 0; ts < 256; ++ts) {
      if ((ts & r.mask[0]) == r.atr[0]) admitted.insert(ts);
    }
    EXPECT_EQ(admitted, (std::set<int>{0x3B, 0x3F})) << key;
    for (int ts : admitted) {
      Bytes atr = r.atr;
      atr[0] = static_cast<std::uint8_t>(ts);
      EXPECT_TRUE(accepted(atr)) << key << ": TS " << ts;
    }
  }
}

// The driver accepts 11 historical bytes (the name) and 14 (the compact-TLV
// form): each count has its registration in each view.
TEST(WindowsRegistration, EverySignatureIsRegisteredInBothViews) {
  std::map<std::string, std::set<int>> historicalCounts;
  for (const auto& [key, r] : readRegistrations()) {
    const std::string view = key.find("Wow6432Node") != std::string::npos ? "WOW64" : "native";
    historicalCounts[view].insert(r.atr[1] & 0x0F);
  }
  EXPECT_EQ(historicalCounts["native"], (std::set<int>{11, 14}));
  EXPECT_EQ(historicalCounts["WOW64"], (std::set<int>{11, 14}));
}

}  // namespace
}  // namespace vemra::test
