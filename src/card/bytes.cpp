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

std::optional<std::size_t> findPairAfter(std::span<const std::uint8_t> bytes,
                                         std::initializer_list<std::uint8_t> leaders, std::uint8_t first,
                                         std::uint8_t second) {
  const std::uint8_t* leader = leaders.begin();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (leader != leaders.end()) {
      if (bytes[i] == *leader) ++leader;
      continue;
    }
    if (bytes[i] == first && i + 1 < bytes.size() && bytes[i + 1] == second) return i;
  }
  return std::nullopt;
}

bool bytesAt(std::span<const std::uint8_t> bytes, std::optional<std::size_t> at, std::size_t offset,
             std::span<std::uint8_t> out) {
  if (!at || *at > bytes.size() || offset > bytes.size() - *at) return false;
  const std::size_t start = *at + offset;
  if (out.size() > bytes.size() - start) return false;
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = bytes[start + i];
  return true;
}

}  // namespace vemra::card
