#include "text.h"

#include <algorithm>
#include <cstring>

namespace vemra::host {

std::string hex(std::span<const uint8_t> bytes, HexCase letters) {
  const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0x0F];
  }
  return text;
}

void padField(unsigned char* field, std::size_t size, std::string_view text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}

}  // namespace vemra::host
