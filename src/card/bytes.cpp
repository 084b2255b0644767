#include "card/bytes.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace vemra::card {

bool reverseBytes(std::span<std::uint8_t> destination, std::span<const std::uint8_t> source) {
  if (destination.size() != source.size()) return false;
  const std::size_t length = source.size();
  for (std::size_t t = 0; t < length; ++t) destination[t] = source[length - 1 - t];
  return true;
}

// Zeroing at memory speed through a routine the compiler must keep even when
// the buffer dies right after: glibc's explicit_bzero, Windows'
// SecureZeroMemory, elsewhere memset followed by a barrier that tells the
// compiler the zeros are read.
void wipe(std::span<std::uint8_t> bytes) {
  if (bytes.empty()) return;
#if defined(_WIN32)
  SecureZeroMemory(bytes.data(), bytes.size());
#elif defined(__GLIBC__)
  explicit_bzero(bytes.data(), bytes.size());
#else
  std::memset(bytes.data(), 0, bytes.size());
  __asm__ __volatile__("" : : "r"(bytes.data()) : "memory");
#endif
}

std::optional<std::size_t> findPair(std::span<const std::uint8_t> bytes, std::uint8_t first, std::uint8_t second) {
  return findPairAfter(bytes, {}, first, second);
}

bool seekPairAfter(ByteReader& reader, std::initializer_list<std::uint8_t> leaders, std::uint8_t first,
                   std::uint8_t second) {
  const std::uint8_t* leader = leaders.begin();
  std::uint8_t byte = 0;
  while (reader.readU8(byte)) {
    if (leader != leaders.end()) {
      if (byte == *leader) ++leader;
      continue;
    }
    std::uint8_t next = 0;
    if (byte == first && reader.peekU8(next) && next == second) return reader.skip(1);
  }
  return false;
}

std::optional<std::size_t> findPairAfter(std::span<const std::uint8_t> bytes,
                                         std::initializer_list<std::uint8_t> leaders, std::uint8_t first,
                                         std::uint8_t second) {
  ByteReader reader{bytes};
  if (!seekPairAfter(reader, leaders, first, second)) return std::nullopt;
  return bytes.size() - reader.remaining() - 2;
}

bool bytesAt(std::span<const std::uint8_t> bytes, std::optional<std::size_t> at, std::size_t offset,
             std::span<std::uint8_t> out) {
  ByteReader reader{bytes};
  return at && reader.skip(*at) && reader.skip(offset) && reader.readBytes(out);
}

}  // namespace vemra::card
