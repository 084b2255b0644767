#include "keys.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <array>
#include <cstdio>

#include "error.h"

namespace vemra::ctl {

using host::Error;

namespace {

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

struct CtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

Bn param(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) throw Error(std::string("the key has no ") + name);
  return Bn(bn);
}

void putLe32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void putNumber(Bytes& out, const BIGNUM* bn, std::size_t length) {
  const std::size_t at = out.size();
  out.resize(at + length);
  if (BN_bn2lebinpad(bn, out.data() + at, static_cast<int>(length)) < 0) {
    throw Error("a key number does not fit its field in the key blob");
  }
}

}  // namespace

Pkey loadPrivateKeyPem(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) throw Error("cannot open " + path);
  EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (key == nullptr) throw Error(path + " holds no PEM private key");
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    EVP_PKEY_free(key);
    throw Error(path + " does not hold an RSA key");
  }
  return Pkey(key);
}

Pkey generateRsaKey(unsigned bits) {
  EVP_PKEY* key = EVP_RSA_gen(bits);
  if (key == nullptr) throw Error("OpenSSL cannot generate an RSA key");
  return Pkey(key);
}

Secret privateKeyBlob(EVP_PKEY* key, DWORD keySpec, DWORD& bits) {
  bits = static_cast<DWORD>(EVP_PKEY_get_bits(key));
  if (bits != 1024 && bits != 2048) {
    throw Error("the card takes RSA keys of 1024 or 2048 bits; this key has " + std::to_string(bits));
  }
  const std::size_t k = bits / 8;
  const Bn n = param(key, OSSL_PKEY_PARAM_RSA_N);
  const Bn e = param(key, OSSL_PKEY_PARAM_RSA_E);
  const Bn d = param(key, OSSL_PKEY_PARAM_RSA_D);
  const Bn p = param(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
  const Bn q = param(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
  const Bn dp = param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1);
  const Bn dq = param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2);
  const Bn qinv = param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
  if (BN_num_bytes(e.get()) > 4) throw Error("the public exponent does not fit in 32 bits");

  // A Secret from the start, so that a throw midway wipes it too; reserved
  // at once, so that growing leaves no copy behind.
  Bytes room;
  room.reserve(20 + k * 2 + 5 * (k / 2));
  Secret secret(std::move(room));
  Bytes& blob = secret.bytes();
  blob.insert(blob.end(), {0x07, 0x02, 0x00, 0x00});  // PRIVATEKEYBLOB, version 2
  putLe32(blob, keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
  blob.insert(blob.end(), {'R', 'S', 'A', '2'});
  putLe32(blob, bits);
  putLe32(blob, static_cast<uint32_t>(BN_get_word(e.get())));
  putNumber(blob, n.get(), k);
  putNumber(blob, p.get(), k / 2);
  putNumber(blob, q.get(), k / 2);
  putNumber(blob, dp.get(), k / 2);
  putNumber(blob, dq.get(), k / 2);
  putNumber(blob, qinv.get(), k / 2);
  putNumber(blob, d.get(), k);
  return secret;
}

Pkey publicKeyFromBlob(const Bytes& blob) {
  if (blob.size() != 148 && blob.size() != 276) {
    throw Error("the driver handed back a public key blob of " + std::to_string(blob.size()) + " bytes");
  }
  if (blob[0] != 0x06 || blob[8] != 'R' || blob[9] != 'S' || blob[10] != 'A' || blob[11] != '1') {
    throw Error("the driver handed back something that is not an RSA public key blob");
  }
  const auto le32 = [&blob](std::size_t at) {
    return static_cast<uint32_t>(blob[at]) | static_cast<uint32_t>(blob[at + 1]) << 8 |
           static_cast<uint32_t>(blob[at + 2]) << 16 | static_cast<uint32_t>(blob[at + 3]) << 24;
  };
  if (le32(12) != 8 * (blob.size() - 20)) {
    throw Error("the driver handed back a public key blob whose bit length is not its modulus's");
  }
  const uint32_t exponent = le32(16);
  Bn n(BN_lebin2bn(blob.data() + 20, static_cast<int>(blob.size() - 20), nullptr));
  Bn e(BN_new());
  if (!n || !e || BN_set_word(e.get(), exponent) != 1) throw Error("OpenSSL: out of memory");
  OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
  OSSL_PARAM* params = nullptr;
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  const bool ok = build != nullptr && ctx != nullptr &&
                  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
                  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e.get()) == 1 &&
                  (params = OSSL_PARAM_BLD_to_param(build)) != nullptr && EVP_PKEY_fromdata_init(ctx) == 1 &&
                  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(build);
  EVP_PKEY_CTX_free(ctx);
  if (!ok) throw Error("OpenSSL does not take the card's public key");
  return Pkey(key);
}

std::string publicKeyPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr || PEM_write_bio_PUBKEY(bio, key) != 1) {
    BIO_free(bio);
    throw Error("OpenSSL cannot write the public key");
  }
  char* text = nullptr;
  const long length = BIO_get_mem_data(bio, &text);
  std::string pem(text, static_cast<std::size_t>(length));
  BIO_free(bio);
  return pem;
}

bool samePublicKey(EVP_PKEY* a, EVP_PKEY* b) { return EVP_PKEY_eq(a, b) == 1; }

HashAlgorithm hashAlgorithm(const std::string& name) {
  static constexpr std::array kHashes{
      HashAlgorithm{"sha1", CALG_SHA1},       HashAlgorithm{"sha256", CALG_SHA_256},
      HashAlgorithm{"sha384", CALG_SHA_384},  HashAlgorithm{"sha512", CALG_SHA_512},
      HashAlgorithm{"md5", CALG_MD5},
  };
  for (const HashAlgorithm& h : kHashes) {
    if (name == h.name) return h;
  }
  throw Error("unknown hash \"" + name + "\" (sha1, sha256, sha384, sha512, md5)");
}

Bytes digest(const HashAlgorithm& hash, const Bytes& data) {
  const EVP_MD* md = EVP_get_digestbyname(hash.name);
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned length = 0;
  if (md == nullptr || EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1) {
    throw Error(std::string("OpenSSL cannot compute ") + hash.name);
  }
  out.resize(length);
  return out;
}

bool verifySignature(EVP_PKEY* key, const HashAlgorithm& hash, const Bytes& digestValue, const Bytes& signature) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_get_digestbyname(hash.name)) == 1 &&
         EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digestValue.data(), digestValue.size()) == 1;
}

Bytes encryptFor(EVP_PKEY* key, const Bytes& message, bool oaep) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  std::size_t length = 0;
  bool ok = ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) == 1;
  if (ok && oaep) {
    ok = EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) == 1 &&
         EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) == 1;
  }
  ok = ok && EVP_PKEY_encrypt(ctx.get(), nullptr, &length, message.data(), message.size()) == 1;
  Bytes out(length);
  ok = ok && EVP_PKEY_encrypt(ctx.get(), out.data(), &length, message.data(), message.size()) == 1;
  if (!ok) throw Error("OpenSSL cannot encrypt the message");
  out.resize(length);
  return out;
}

Bytes reversed(const Bytes& bytes) { return Bytes(bytes.rbegin(), bytes.rend()); }

}  // namespace vemra::ctl
