// What reading and writing a file's EF share: the chunk of 248 bytes in which
// file contents travel, and the largest registered length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vemra::files {

inline constexpr std::size_t kChunk = 0xF8;
// Creation and writing refuse more; offsets then stay below 0x8000, so P1
// never has its top bit (which would address a file by short identifier).
inline constexpr std::size_t kMaxFileLength = 0x8000;

}  // namespace vemra::files
