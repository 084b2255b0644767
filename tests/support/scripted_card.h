// A card that answers from a script: the test lists the exact command bytes it
// expects, in order, and the answer to give to each. Any other command fails
// the test and is answered 6F 00.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "support/pcsc_double.h"

namespace vemra::test {

// "00 A4 04 0C" → {0x00, 0xA4, 0x04, 0x0C}; spaces are ignored.
std::vector<std::uint8_t> hex(std::string_view text);
std::string toHex(std::span<const std::uint8_t> bytes);

class ScriptedCard : public CardBackend {
 public:
  ScriptedCard& expect(std::vector<std::uint8_t> command, std::vector<std::uint8_t> answer);
  ScriptedCard& expect(std::string_view command, std::string_view answer) {
    return expect(hex(command), hex(answer));
  }

  std::vector<std::uint8_t> transmit(std::span<const std::uint8_t> command) override;

  // Commands still expected; empty when the script was played to the end.
  std::string pending() const;
  bool finished() const { return script_.empty(); }
  void clear() { script_.clear(); }

 private:
  struct Step {
    std::vector<std::uint8_t> command;
    std::vector<std::uint8_t> answer;
  };
  std::deque<Step> script_;
};

}  // namespace vemra::test
