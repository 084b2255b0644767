#include "driver/atr.h"

#include <array>
#include <cstddef>

namespace vemra::driver {
namespace {

struct Signature {
  std::span<const std::uint8_t> pattern;
  std::span<const std::uint8_t> mask;
};

// Signature 1: the eleven ASCII bytes "VemraMiniDr", compared whole.
constexpr std::array<std::uint8_t, 11> kPattern1 = {'V', 'e', 'm', 'r', 'a', 'M', 'i', 'n', 'i', 'D', 'r'};
constexpr std::array<std::uint8_t, 11> kMask1 = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Signature 2: category indicator 0x80, card service data, five pre-issuing
// bytes of which three are masked, card capabilities and status indicator.
constexpr std::array<std::uint8_t, 14> kPattern2 = {0x80, 0x31, 0xC0, 0x65, 0x4D, 0x47, 0x00,
                                                    0x00, 0x01, 0x72, 0xF7, 0x41, 0x81, 0x07};
constexpr std::array<std::uint8_t, 14> kMask2 = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x30,
                                                 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

bool matches(std::span<const std::uint8_t> historical, const Signature& signature) {
  if (historical.size() != signature.pattern.size()) return false;
  for (std::size_t i = 0; i < historical.size(); ++i) {
    if ((historical[i] & signature.mask[i]) != signature.pattern[i]) return false;
  }
  return true;
}

// Number of interface bytes TAi, TBi, TCi announced by the high bits of a
// format byte (T0 or TDi).
std::size_t interfaceBytes(std::uint8_t format) {
  return ((format & 0x10) ? 1 : 0) + ((format & 0x20) ? 1 : 0) + ((format & 0x40) ? 1 : 0);
}

// Walks T0 and the TDi chain; returns false when the chain runs past the ATR,
// otherwise the position of the first historical byte in `position`.
bool findHistoricalBytes(std::span<const std::uint8_t> atr, std::size_t& position) {
  const std::uint8_t t0 = atr[1];
  std::size_t p = 2 + interfaceBytes(t0);
  if (t0 & 0x80) {
    std::size_t d = p;  // TD1
    if (d >= atr.size()) return false;
    p = d + 1 + interfaceBytes(atr[d]);
    while (atr[d] & 0x80) {
      if (p >= atr.size()) return false;
      d = p;
      p = d + 1 + interfaceBytes(atr[d]);
    }
  }
  position = p;
  return true;
}

}  // namespace

bool isSupportedAtr(std::span<const std::uint8_t> atr) {
  if (atr.size() < 11) return false;
  const std::size_t k = atr[1] & 0x0F;
  std::size_t p = 0;
  if (!findHistoricalBytes(atr, p) || k == 0) return false;
  // The ATR ends exactly with its historical bytes: no TCK, nothing else.
  if (p > atr.size() || atr.size() - p != k) return false;
  const auto historical = atr.subspan(p);
  if (k == 11) return matches(historical, Signature{kPattern1, kMask1});
  if (k == 14) return matches(historical, Signature{kPattern2, kMask2});
  return false;
}

}  // namespace vemra::driver
