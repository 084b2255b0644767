// Small text helpers the provider side shares: bytes in hexadecimal, and the
// blank-padded fixed-size fields of PKCS #11 structures.
#ifndef VEMRA_HOST_TEXT_H
#define VEMRA_HOST_TEXT_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vemra::host {

enum class HexCase { Upper, Lower };

// Two digits per byte, no separator.
std::string hex(std::span<const uint8_t> bytes, HexCase letters = HexCase::Upper);

// Fills a field of `size` bytes with `text`, cut to the field and padded with
// blanks; no terminating zero.
void padField(unsigned char* field, std::size_t size, std::string_view text);

}  // namespace vemra::host

#endif  // VEMRA_HOST_TEXT_H
