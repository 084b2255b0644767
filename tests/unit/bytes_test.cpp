// The byte scans over control parameters never read past the answer.
#include <array>
#include <cstddef>
#include <new>
#include <vector>

#include "card/bytes.h"
#include "card/secret_bytes.h"
#include <gtest/gtest.h>

#include "support/scripted_card.h"

namespace vemra::test {
namespace {

using card::bytesAt;
using card::findPair;
using card::findPairAfter;

TEST(ByteScan, FindsThePairAndTheBytesAfterIt) {
  const auto fcp = hex("62 14 80 02 00 0A 82 01 01 83 02 10 00 86 06 FF FF 7E 00 7E FF 8A 01 05");
  const auto at = findPair(fcp, 0x86, 0x06);
  ASSERT_TRUE(at.has_value());
  EXPECT_EQ(*at, 13u);
  std::array<std::uint8_t, 2> readWrite{};
  ASSERT_TRUE(bytesAt(fcp, at, 5, readWrite)) << "attributes 4 and 5 stand 5 and 6 places after the tag";
  EXPECT_EQ(readWrite[0], 0x00);
  EXPECT_EQ(readWrite[1], 0x7E);
}

TEST(ByteScan, APairAtTheVeryEndIsNotFound) {
  std::array<std::uint8_t, 1> attribute{};
  const auto cut = hex("62 05 83 02 10 00 86 06");
  EXPECT_FALSE(bytesAt(cut, findPair(cut, 0x86, 0x06), 4, attribute));
  const auto lone = hex("62 05 83 02 10 00 86");
  EXPECT_FALSE(findPair(lone, 0x86, 0x06).has_value()) << "a tag without its length byte";
  // Security attribute 3 stands 4 places after the tag: here it is missing.
  const auto shortTail = hex("86 06 FF FF");
  EXPECT_FALSE(bytesAt(shortTail, findPair(shortTail, 0x86, 0x06), 4, attribute));
  EXPECT_TRUE(bytesAt(shortTail, findPair(shortTail, 0x86, 0x06), 3, attribute));
}

TEST(ByteScan, LeadersMustComeInOrder) {
  const auto keyFile = hex("62 27 82 01 11 83 02 B0 00 86 0A FF FF 7E 01 01 FF FF 00 01 FF 8A 01 05 A5 0F 85 01 24");
  std::array<std::uint8_t, 1> keyType{};
  ASSERT_TRUE(bytesAt(keyFile, findPairAfter(keyFile, {0x62, 0x8A, 0xA5}, 0x85, 0x01), 2, keyType));
  EXPECT_EQ(keyType[0], 0x24);
  const auto noLifeCycle = hex("62 0A A5 05 85 01 24 8A 01 05");
  EXPECT_FALSE(findPairAfter(noLifeCycle, {0x62, 0x8A, 0xA5}, 0x85, 0x01).has_value())
      << "A5 before 8A does not count";
  const auto freeMemory = hex("62 08 A5 06 82 02 7F 00");
  std::array<std::uint8_t, 2> memory{};
  ASSERT_TRUE(bytesAt(freeMemory, findPairAfter(freeMemory, {0x62, 0xA5}, 0x82, 0x02), 2, memory));
  EXPECT_EQ(card::bigEndian16(memory[0], memory[1]), 0x7F00);
}

TEST(ByteOrder, ReversalAndSwaps) {
  std::array<std::uint8_t, 3> reversed{};
  const std::array<std::uint8_t, 3> source{0x01, 0x02, 0x03};
  ASSERT_TRUE(card::reverseBytes(reversed, source));
  EXPECT_EQ(reversed, (std::array<std::uint8_t, 3>{0x03, 0x02, 0x01}));
  std::array<std::uint8_t, 2> small{};
  EXPECT_FALSE(card::reverseBytes(small, source));
  EXPECT_EQ(card::swap16(0x1234), 0x3412);
  EXPECT_EQ(card::bigEndian16(0x12, 0x34), 0x1234);
}

TEST(ByteWriter, FailsInsteadOfOverflowing) {
  std::array<std::uint8_t, 3> buffer{};
  card::ByteWriter writer{buffer};
  EXPECT_TRUE(writer.putU16(0xA1B2));
  EXPECT_FALSE(writer.putU16(0xC3D4));
  EXPECT_FALSE(writer.ok());
  EXPECT_EQ(writer.size(), 2u);
  EXPECT_EQ(buffer[2], 0x00);
}

// The wipe zeroes every byte of the span it is given and nothing around it:
// the exchange wipes only the part of its buffers a command or answer used.
TEST(Wipe, ZeroesExactlyTheGivenBytes) {
  struct Case {
    std::size_t offset;
    std::size_t length;
  };
  const Case cases[] = {{0, 0}, {0, 1}, {3, 7}, {0, 8}, {1, 31}, {0, 260}, {5, 512}, {17, 4000}};
  for (const Case c : cases) {
    std::vector<std::uint8_t> buffer(c.offset + c.length + 16, 0xA5);
    card::wipe(std::span(buffer).subspan(c.offset, c.length));
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      const bool wiped = i >= c.offset && i < c.offset + c.length;
      ASSERT_EQ(buffer[i], wiped ? 0x00 : 0xA5) << "byte " << i << " of a wipe of " << c.length << " bytes at "
                                                << c.offset;
    }
  }
}

// A secret leaves only zeros in the memory it occupied.
TEST(Wipe, SecretBytesLeaveZerosBehind) {
  alignas(card::SecretBytes<40>) std::array<std::uint8_t, sizeof(card::SecretBytes<40>)> storage{};
  auto* secret = new (storage.data()) card::SecretBytes<40>;
  for (std::uint8_t& b : secret->bytes()) b = 0x5A;
  ASSERT_EQ(storage[39], 0x5A);
  secret->~SecretBytes();
  EXPECT_EQ(storage, (std::array<std::uint8_t, sizeof(card::SecretBytes<40>)>{}));
}

}  // namespace
}  // namespace vemra::test
