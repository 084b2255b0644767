#include "support/scripted_card.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

namespace vemra::test {

std::vector<std::uint8_t> hex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
    if (digit < 0 || digit > 15) {
      ADD_FAILURE() << "not a hex digit in \"" << text << "\"";
      return bytes;
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0) ADD_FAILURE() << "odd number of hex digits in \"" << text << "\"";
  return bytes;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
  std::string text;
  char buffer[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buffer, sizeof buffer, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += buffer;
  }
  return text;
}

ScriptedCard& ScriptedCard::expect(std::vector<std::uint8_t> command, std::vector<std::uint8_t> answer) {
  script_.push_back({std::move(command), std::move(answer)});
  return *this;
}

std::vector<std::uint8_t> ScriptedCard::transmit(std::span<const std::uint8_t> command) {
  const std::vector<std::uint8_t> sent(command.begin(), command.end());
  if (script_.empty()) {
    ADD_FAILURE() << "unexpected command " << toHex(sent) << " after the end of the script";
    return {0x6F, 0x00};
  }
  Step step = script_.front();
  script_.pop_front();
  if (step.command != sent) {
    ADD_FAILURE() << "command " << toHex(sent) << "\n   expected " << toHex(step.command);
    return {0x6F, 0x00};
  }
  return step.answer;
}

std::string ScriptedCard::pending() const {
  std::string text;
  for (const Step& step : script_) text += toHex(step.command) + "\n";
  return text;
}

}  // namespace vemra::test
