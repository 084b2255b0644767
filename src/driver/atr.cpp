#include "driver/atr.h"

#include <array>
#include <cstddef>

#include "card/bytes.h"

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

}  // namespace

bool isSupportedAtr(std::span<const std::uint8_t> atr) {
  if (atr.size() < 11) return false;
  // TS, T0, then the interface bytes: TA1 to TC1 as T0 announces them, and
  // for each TDi in the chain TDi itself and the bytes it announces.
  card::ByteReader reader{atr};
  std::uint8_t format = 0;
  if (!reader.skip(1) || !reader.readU8(format)) return false;
  const std::size_t k = format & 0x0F;
  bool more = reader.skip(interfaceBytes(format));
  for (bool chained = (format & 0x80) != 0; more && chained; chained = (format & 0x80) != 0) {
    more = reader.readU8(format) && reader.skip(interfaceBytes(format));
  }
  // The ATR ends exactly with its historical bytes: no TCK, nothing else.
  std::span<const std::uint8_t> historical;
  if (!more || k == 0 || reader.remaining() != k || !reader.readView(k, historical)) return false;
  if (k == 11) return matches(historical, Signature{kPattern1, kMask1});
  if (k == 14) return matches(historical, Signature{kPattern2, kMask2});
  return false;
}

}  // namespace vemra::driver
