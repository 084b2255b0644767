// A command APDU as the driver hands it to the card exchange, and the names of
// the status words the driver tells apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace vemra::card {

// Status words (SW1 SW2 as one value) that the driver reacts to by name.
namespace sw {
inline constexpr std::uint16_t kSuccess = 0x9000;
inline constexpr std::uint16_t kSecurityNotSatisfied = 0x6982;
inline constexpr std::uint16_t kAuthenticationBlocked = 0x6983;
inline constexpr std::uint16_t kFileNotFound = 0x6A82;
inline constexpr std::uint16_t kNotEnoughMemory = 0x6A84;
inline constexpr std::uint16_t kFileExists = 0x6A89;
inline constexpr std::uint16_t kWrongCryptoParameters = 0x6A91;
inline constexpr std::uint16_t kCardMemoryFull = 0x9108;
// 63Cx: verification failed, x tries left.
inline constexpr std::uint16_t kRetryCounterMask = 0xFFF0;
inline constexpr std::uint16_t kRetryCounter = 0x63C0;
// SW1 of the procedures the exchange completes itself: 61xx (xx response
// bytes waiting) and 6Cxx (send again with P3 xx).
inline constexpr std::uint8_t kResponseWaitingSw1 = 0x61;
inline constexpr std::uint8_t kWrongLengthSw1 = 0x6C;
}  // namespace sw

// One command: class, instruction, P1, P2 and at most 255 bytes of command
// data. Data of a few bytes (a FID, a key reference) is carried inside the
// object, so a builder can return a command whose data it computed; longer
// data stays where the caller keeps it and must outlive the command.
class Apdu {
 public:
  static constexpr std::size_t kInlineCapacity = 4;

  constexpr Apdu(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                 std::span<const std::uint8_t> data = {})
      : cla(cla), ins(ins), p1(p1), p2(p2), external_(data) {}

  // A command whose few data bytes are copied into it (at most kInlineCapacity;
  // more are cut, which no builder asks for).
  static constexpr Apdu withBytes(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                                  std::initializer_list<std::uint8_t> bytes) {
    Apdu apdu{cla, ins, p1, p2};
    for (std::uint8_t b : bytes) {
      if (apdu.inlineSize_ == kInlineCapacity) break;
      apdu.inline_[apdu.inlineSize_++] = b;
    }
    return apdu;
  }

  [[nodiscard]] constexpr std::span<const std::uint8_t> data() const {
    if (inlineSize_ != 0) return {inline_.data(), inlineSize_};
    return external_;
  }

  std::uint8_t cla;
  std::uint8_t ins;
  std::uint8_t p1;
  std::uint8_t p2;

 private:
  std::span<const std::uint8_t> external_;
  std::array<std::uint8_t, kInlineCapacity> inline_{};
  std::size_t inlineSize_ = 0;
};

}  // namespace vemra::card
