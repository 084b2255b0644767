// The Source of a fuzz input: every choice and every card answer read in
// order from the input's bytes (zeros once they run out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/session.h"

namespace vemra::fuzz {

class InputSource : public Source {
 public:
  explicit InputSource(std::span<const std::uint8_t> input) : input_(input) {}

  std::uint8_t choice() override { return next(); }

  Answer answer(std::span<const std::uint8_t>, std::size_t) override {
    Answer answer;
    const std::uint8_t kind = next();
    std::size_t length = kind;
    if (kind == kPcscFailure) {
      answer.code = kPcscFailures[next() % std::size(kPcscFailures)];
      return answer;
    }
    if (kind == kLyingAnswer) {
      answer.extraLength = 1u + next();
      length = 0;
    } else if (kind == kLongAnswer) {
      length = next();
      length |= static_cast<std::size_t>(next()) << 8;
    }
    for (std::size_t i = 0; i < length + 2 && !exhausted(); ++i) answer.bytes.push_back(next());
    while (answer.bytes.size() < length + 2) answer.bytes.push_back(0);
    return answer;
  }

 private:
  bool exhausted() const { return position_ >= input_.size(); }
  std::uint8_t next() { return exhausted() ? 0 : input_[position_++]; }

  std::span<const std::uint8_t> input_;
  std::size_t position_ = 0;
};

}  // namespace vemra::fuzz
