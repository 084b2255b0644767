#include "certificate_file.h"

#include <zlib.h>

#include <cstdio>

namespace vemra::host {

namespace {
constexpr uint32_t kSignatureKey = 2;  // AT_SIGNATURE
}

std::string certificateFileName(uint8_t container, uint32_t keySpec) {
  char name[8];
  std::snprintf(name, sizeof name, "%s%02x", keySpec == kSignatureKey ? "ksc" : "kxc", container);
  return name;
}

std::optional<std::vector<uint8_t>> certificateFromFile(const std::vector<uint8_t>& file) {
  if (file.empty()) return std::nullopt;
  if (file[0] == 0x30) return file;
  if (file.size() <= 4 || file[0] != 0x01 || file[1] != 0x00) return std::nullopt;
  const uLongf expected = static_cast<uLongf>(file[2] | file[3] << 8);
  if (expected == 0) return std::nullopt;
  // The output never grows past the announced length: zlib stops there.
  std::vector<uint8_t> out(expected);
  uLongf length = expected;
  if (::uncompress(out.data(), &length, file.data() + 4, static_cast<uLong>(file.size() - 4)) != Z_OK ||
      length != expected) {
    return std::nullopt;
  }
  return out;
}

std::optional<std::vector<uint8_t>> compressCertificate(const std::vector<uint8_t>& der) {
  if (der.empty() || der.size() > kMaxCompressedCertificate) return std::nullopt;
  uLongf length = ::compressBound(static_cast<uLong>(der.size()));
  std::vector<uint8_t> out(4 + length);
  out[0] = 0x01;
  out[1] = 0x00;
  out[2] = static_cast<uint8_t>(der.size());
  out[3] = static_cast<uint8_t>(der.size() >> 8);
  if (::compress2(out.data() + 4, &length, der.data(), static_cast<uLong>(der.size()), Z_BEST_COMPRESSION) != Z_OK) {
    return std::nullopt;
  }
  out.resize(4 + length);
  return out;
}

}  // namespace vemra::host
