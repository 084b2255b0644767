#pragma once

#include <cstdint>
#include <span>

namespace vemra::driver {

// Whether an ATR belongs to a supported card: its historical bytes, which must
// end the ATR exactly, match one of the two signatures of the card family.
[[nodiscard]] bool isSupportedAtr(std::span<const std::uint8_t> atr);

}  // namespace vemra::driver
