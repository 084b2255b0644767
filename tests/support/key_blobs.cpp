// The padding checks of the unpad helper use OpenSSL's RSA padding routines,
// which OpenSSL 3 keeps but marks deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "support/key_blobs.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <stdexcept>

namespace vemra::test {
namespace {

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// The key parameter `name` as `size` bytes, least significant first.
void putNumber(std::vector<std::uint8_t>& out, const EVP_PKEY* key, const char* name, std::size_t size) {
  BIGNUM* number = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &number) != 1) throw std::runtime_error(name);
  std::vector<std::uint8_t> bytes(size);
  const int written = BN_bn2lebinpad(number, bytes.data(), static_cast<int>(size));
  BN_free(number);
  if (written != static_cast<int>(size)) throw std::runtime_error(name);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

using Context = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

}  // namespace

RsaKeyPair RsaKeyPair::generate(int bits) {
  RsaKeyPair pair;
  pair.key_.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)), EVP_PKEY_free);
  if (!pair.key_) throw std::runtime_error("RSA key generation");
  return pair;
}

int RsaKeyPair::bits() const { return EVP_PKEY_get_bits(key_.get()); }

std::vector<std::uint8_t> RsaKeyPair::privateKeyBlob(ALG_ID algorithm) const {
  const std::size_t k = modulusBytes();
  std::vector<std::uint8_t> blob{0x07, 0x02, 0x00, 0x00};  // PRIVATEKEYBLOB, version 2, reserved
  put32(blob, algorithm);
  put32(blob, 0x32415352);  // "RSA2"
  put32(blob, static_cast<std::uint32_t>(bits()));
  putNumber(blob, key_.get(), OSSL_PKEY_PARAM_RSA_E, 4);
  putNumber(blob, key_.get(), OSSL_PKEY_PARAM_RSA_N, k);
  putNumber(blob, key_.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, k / 2);
  putNumber(blob, key_.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, k / 2);
  putNumber(blob, key_.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, k / 2);
  putNumber(blob, key_.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, k / 2);
  putNumber(blob, key_.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, k / 2);
  putNumber(blob, key_.get(), OSSL_PKEY_PARAM_RSA_D, k);
  return blob;
}

std::vector<std::uint8_t> RsaKeyPair::modulus() const {
  std::vector<std::uint8_t> little;
  putNumber(little, key_.get(), OSSL_PKEY_PARAM_RSA_N, modulusBytes());
  return {little.rbegin(), little.rend()};
}

bool RsaKeyPair::verifies(const EVP_MD* digest, std::span<const std::uint8_t> hash,
                          std::span<const std::uint8_t> signature) const {
  const std::vector<std::uint8_t> bigEndian(signature.rbegin(), signature.rend());
  Context context(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr), EVP_PKEY_CTX_free);
  return context && EVP_PKEY_verify_init(context.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(context.get(), digest) == 1 &&
         EVP_PKEY_verify(context.get(), bigEndian.data(), bigEndian.size(), hash.data(), hash.size()) == 1;
}

std::vector<std::uint8_t> RsaKeyPair::encrypt(std::span<const std::uint8_t> plain, int padding) const {
  Context context(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr), EVP_PKEY_CTX_free);
  std::vector<std::uint8_t> cipher(modulusBytes());
  std::size_t length = cipher.size();
  if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), padding) != 1 ||
      EVP_PKEY_encrypt(context.get(), cipher.data(), &length, plain.data(), plain.size()) != 1 ||
      length != cipher.size())
    throw std::runtime_error("RSA encryption");
  return cipher;
}

std::optional<std::vector<std::uint8_t>> unpadBlock(std::span<const std::uint8_t> block, DWORD dwPaddingType) {
  if (block.size() < 2 || block[0] != 0x00) return std::nullopt;
  std::vector<std::uint8_t> message(block.size());
  const int length = static_cast<int>(block.size());
  int found = -1;
  // Both routines take the block without its leading zero byte.
  if (dwPaddingType == CARD_PADDING_PKCS1)
    found = RSA_padding_check_PKCS1_type_2(message.data(), length, block.data() + 1, length - 1, length);
  else if (dwPaddingType == CARD_PADDING_OAEP)
    found = RSA_padding_check_PKCS1_OAEP(message.data(), length, block.data() + 1, length - 1, length, nullptr, 0);
  if (found < 0) return std::nullopt;
  message.resize(static_cast<std::size_t>(found));
  return message;
}

std::vector<std::uint8_t> digestOf(const EVP_MD* digest, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> hash(static_cast<std::size_t>(EVP_MD_get_size(digest)));
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), hash.data(), &length, digest, nullptr) != 1)
    throw std::runtime_error("digest");
  hash.resize(length);
  return hash;
}

}  // namespace vemra::test
