// RSA keys made by OpenSSL for the key tests, in the forms the minidriver
// interface uses: the PRIVATEKEYBLOB a provider imports, signatures least
// significant byte first, cipher blocks most significant byte first.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "vemradrv/minidriver.h"

namespace vemra::test {

class RsaKeyPair {
 public:
  // A fresh key of `bits` bits (1024 or 2048) with public exponent 65537.
  static RsaKeyPair generate(int bits);

  int bits() const;
  std::size_t modulusBytes() const { return static_cast<std::size_t>(bits()) / 8; }
  // The PRIVATEKEYBLOB: BLOBHEADER, RSAPUBKEY ("RSA2", bitlen, pubexp), then
  // modulus, prime1, prime2, exponent1, exponent2, coefficient and private
  // exponent, each least significant byte first. `algorithm` goes into the
  // header (CALG_RSA_KEYX or CALG_RSA_SIGN).
  std::vector<std::uint8_t> privateKeyBlob(ALG_ID algorithm = CALG_RSA_KEYX) const;
  // The modulus, most significant byte first.
  std::vector<std::uint8_t> modulus() const;

  // Whether `signature` (least significant byte first, as the interface
  // hands it out) is this key's PKCS #1 v1.5 signature of `hash` made with
  // `digest` (EVP_md5_sha1() for a bare 36-byte SHA-1+MD5 value).
  bool verifies(const EVP_MD* digest, std::span<const std::uint8_t> hash,
                std::span<const std::uint8_t> signature) const;

  // `plain` encrypted with the public key, padded by `padding`
  // (RSA_PKCS1_PADDING or RSA_PKCS1_OAEP_PADDING with SHA-1), most
  // significant byte first.
  std::vector<std::uint8_t> encrypt(std::span<const std::uint8_t> plain, int padding) const;

 private:
  std::shared_ptr<EVP_PKEY> key_;
};

// The message inside a raw decrypted block (most significant byte first):
// the padding named by `dwPaddingType` (CARD_PADDING_PKCS1 or
// CARD_PADDING_OAEP with SHA-1 and no label) checked and stripped. Nothing
// when the padding does not check.
std::optional<std::vector<std::uint8_t>> unpadBlock(std::span<const std::uint8_t> block, DWORD dwPaddingType);

// A hash of `data` with `digest`.
std::vector<std::uint8_t> digestOf(const EVP_MD* digest, std::span<const std::uint8_t> data);

}  // namespace vemra::test
