#include "crypto.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace vemra::cardsim::crypto {

namespace {

struct BnFree {
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct BnCtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn toBn(std::span<const uint8_t> bytes) {
  Bn bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
  if (!bn) throw std::runtime_error("BN_bin2bn failed");
  return bn;
}

}  // namespace

void randomFill(std::span<uint8_t> out) {
  if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) throw std::runtime_error("RAND_bytes failed");
}

std::array<uint8_t, 8> tdesEncrypt(std::span<const uint8_t, 16> key, std::span<const uint8_t, 8> block) {
  std::array<uint8_t, 24> k3{};
  std::copy(key.begin(), key.end(), k3.begin());
  std::copy(key.begin(), key.begin() + 8, k3.begin() + 16);
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  std::array<uint8_t, 16> out{};
  int n = 0;
  int tail = 0;
  const bool good = ctx && EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, k3.data(), nullptr) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
                    EVP_EncryptUpdate(ctx.get(), out.data(), &n, block.data(), 8) == 1 &&
                    EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &tail) == 1 && n + tail == 8;
  OPENSSL_cleanse(k3.data(), k3.size());
  if (!good) throw std::runtime_error("triple-DES encryption failed");
  std::array<uint8_t, 8> result{};
  std::copy(out.begin(), out.begin() + 8, result.begin());
  return result;
}

std::optional<std::vector<uint8_t>> modExp(std::span<const uint8_t> input, std::span<const uint8_t> exponent,
                                           std::span<const uint8_t> modulus, bool secret) {
  std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
  if (!ctx) throw std::runtime_error("BN_CTX_new failed");
  Bn x = toBn(input);
  Bn e = toBn(exponent);
  Bn n = toBn(modulus);
  if (BN_is_zero(n.get()) || BN_cmp(x.get(), n.get()) >= 0) return std::nullopt;
  Bn r(BN_new());
  if (!r) throw std::runtime_error("BN_new failed");
  int ok = 0;
  if (secret && BN_is_odd(n.get())) {
    BN_set_flags(e.get(), BN_FLG_CONSTTIME);
    ok = BN_mod_exp_mont_consttime(r.get(), x.get(), e.get(), n.get(), ctx.get(), nullptr);
  } else {
    ok = BN_mod_exp(r.get(), x.get(), e.get(), n.get(), ctx.get());
  }
  if (ok != 1) throw std::runtime_error("modular exponentiation failed");
  std::vector<uint8_t> out(modulus.size());
  if (BN_bn2binpad(r.get(), out.data(), static_cast<int>(out.size())) < 0) {
    throw std::runtime_error("BN_bn2binpad failed");
  }
  return out;
}

}  // namespace vemra::cardsim::crypto
