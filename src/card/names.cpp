#include "card/names.h"

namespace vemra::card {
namespace {

bool forbidden(std::uint8_t byte) {
  if (byte < 0x20) return true;
  switch (byte) {
    case '"':
    case '*':
    case '/':
    case ':':
    case '<':
    case '>':
    case '?':
    case '\\':
    case '|':
      return true;
    default:
      return false;
  }
}

std::uint8_t lower(std::uint8_t byte) {
  return (byte >= 'A' && byte <= 'Z') ? static_cast<std::uint8_t>(byte - 'A' + 'a') : byte;
}

}  // namespace

std::optional<LogicalName> LogicalName::from(const char* text) {
  if (text == nullptr) return std::nullopt;
  LogicalName name;
  std::size_t length = 0;
  while (text[length] != '\0') {
    if (length == kNameLength) return std::nullopt;  // a ninth byte: too long
    name.padded_[length] = lower(static_cast<std::uint8_t>(text[length]));
    ++length;
  }
  if (length == 0) return std::nullopt;
  name.length_ = length;
  return name;
}

bool LogicalName::allowed() const {
  for (std::size_t i = 0; i < length_; ++i) {
    if (forbidden(padded_[i])) return false;
  }
  return true;
}

}  // namespace vemra::card
