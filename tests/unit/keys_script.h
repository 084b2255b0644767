// Script builders for the key tests under the default profile: key files
// B000 + n (key exchange) and B100 + n (signature), key references 10 + n and
// 20 + n, user PIN 01, administrator 03, user access 7E.
#pragma once

#include <string>
#include <vector>

#include "files_script.h"

namespace vemra::test::keys {

using files::hex2;
using files::word;

inline const std::string kSelectApplication(profile::kSelectApplication);
inline const std::string kProbeUser = "00 20 00 01 00";
inline const std::string kMseRestore = "00 22 F3 00 00";
inline std::string mseSet(unsigned reference) { return "00 22 F1 B6 03 84 01 " + hex2(reference); }
inline std::string selectKeyParameters(unsigned fid) { return "00 A4 02 04 02 " + word(fid); }

// Control parameters of a key file of `k` bytes as the card answers them.
inline std::string keyFileParameters(unsigned k) {
  return "62 27 82 01 11 83 02 B1 00 86 0A FF FF 7E 01 01 FF FF 00 01 FF 8A 01 05 A5 0F 85 01 " +
         hex2(k == 128 ? 0x22 : 0x24) + " 86 01 8F 87 01 20 88 01 20 89 01 0F";
}

// `count` bytes, each different from its neighbours, starting at `seed`.
inline std::vector<std::uint8_t> pattern(std::size_t count, unsigned seed) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

}  // namespace vemra::test::keys
