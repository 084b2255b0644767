// The certificate files of the standard card layout ("mscp/kxcNN" and
// "mscp/kscNN"): either the DER certificate as it is, or, as the platform's
// providers store it, 01 00, the certificate's length (16 bits,
// little-endian) and the certificate compressed into a zlib stream.
#ifndef VEMRA_HOST_CERTIFICATE_FILE_H
#define VEMRA_HOST_CERTIFICATE_FILE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vemra::host {

// The largest certificate the compressed form can announce.
constexpr std::size_t kMaxCompressedCertificate = 0xFFFF;

// "kscNN" for a container's signature key (key type 2), "kxcNN" for its
// key-exchange key; NN the container index in two lower-case hex digits.
std::string certificateFileName(uint8_t container, uint32_t keySpec);

// The DER certificate of a certificate file: the file as it is when it
// starts with a DER SEQUENCE, else the zlib stream after the 4-byte header
// inflated to exactly the announced length. Nothing for a file that is
// neither.
std::optional<std::vector<uint8_t>> certificateFromFile(const std::vector<uint8_t>& file);

// The compressed form of a DER certificate; nothing for one longer than the
// header can announce.
std::optional<std::vector<uint8_t>> compressCertificate(const std::vector<uint8_t>& der);

}  // namespace vemra::host

#endif  // VEMRA_HOST_CERTIFICATE_FILE_H
