// What creating, reading and writing a file's EF share: the chunk of 248
// bytes in which file contents travel, the largest registered length and the
// smallest EF.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vemra::files {

inline constexpr std::size_t kChunk = 0xF8;
// Creation and writing refuse more; offsets then stay below 0x8000, so P1
// never has its top bit (which would address a file by short identifier).
inline constexpr std::size_t kMaxFileLength = 0x8000;
// Every EF has at least this many bytes, however short its registered length.
inline constexpr std::uint16_t kMinEfSize = 10;

}  // namespace vemra::files
