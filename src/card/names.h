// Logical names of directories and files: one to eight bytes, lower-cased,
// kept zero-padded to eight bytes as the card's tables store them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vemra::card {

inline constexpr std::size_t kNameLength = 8;

class LogicalName {
 public:
  // The lower-cased, zero-padded form of `text`, or nothing when `text` is
  // NULL, empty or longer than eight bytes. At most nine bytes of `text` are
  // looked at, so an unterminated caller string is never read past that.
  [[nodiscard]] static std::optional<LogicalName> from(const char* text);

  // False when the name holds a control byte (0x00-0x1F) or one of the nine
  // characters " * / : < > ? \ |; every other byte, 0x7F and 0x80-0xFF
  // included, is allowed.
  [[nodiscard]] bool allowed() const;

  // The eight bytes as stored: the name, then 0x00 up to eight.
  [[nodiscard]] const std::array<std::uint8_t, kNameLength>& padded() const { return padded_; }
  [[nodiscard]] std::size_t length() const { return length_; }

 private:
  LogicalName() = default;
  std::array<std::uint8_t, kNameLength> padded_{};
  std::size_t length_ = 0;
};

}  // namespace vemra::card
