// Secret bytes on the driver's stack (PIN blocks, administrator responses,
// key material, the commands that carry them): zero on construction and
// overwritten with zeros when the object goes out of scope, on every path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "card/bytes.h"

namespace vemra::card {

template <std::size_t N>
class SecretBytes {
 public:
  SecretBytes() = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(bytes_); }

  [[nodiscard]] std::span<std::uint8_t, N> bytes() { return bytes_; }
  [[nodiscard]] std::span<const std::uint8_t, N> view() const { return bytes_; }

 private:
  std::array<std::uint8_t, N> bytes_{};
};

}  // namespace vemra::card
