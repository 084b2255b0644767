// The card's cryptography, through OpenSSL 3.
#ifndef VEMRA_CARDSIM_CRYPTO_H
#define VEMRA_CARDSIM_CRYPTO_H

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vemra::cardsim::crypto {

// Fills `out` from the OpenSSL random generator; throws if it fails.
void randomFill(std::span<uint8_t> out);

// One block of two-key triple-DES (EDE, ECB) encryption with K1 || K2 || K1.
std::array<uint8_t, 8> tdesEncrypt(std::span<const uint8_t, 16> key, std::span<const uint8_t, 8> block);

// input ^ exponent mod modulus, as many big-endian bytes as the modulus has.
// Empty when the input is not smaller than the modulus. With `secret` the
// exponentiation runs in constant time.
std::optional<std::vector<uint8_t>> modExp(std::span<const uint8_t> input, std::span<const uint8_t> exponent,
                                           std::span<const uint8_t> modulus, bool secret);

}  // namespace vemra::cardsim::crypto

#endif  // VEMRA_CARDSIM_CRYPTO_H
