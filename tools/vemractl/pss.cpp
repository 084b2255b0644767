// RSA-PSS for the tool's signatures: the block the card's raw operation
// signs, encoded by OpenSSL, and the check of the signature.
#define OPENSSL_SUPPRESS_DEPRECATED  // the PSS encoding on its own has no EVP form
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include "error.h"
#include "keys.h"

namespace vemra::ctl {

using host::Error;

namespace {

const EVP_MD* pssDigest(const HashAlgorithm& hash) {
  const std::string name = hash.name;
  if (name != "sha1" && name != "sha256" && name != "sha384" && name != "sha512") {
    throw Error("PSS takes sha1, sha256, sha384 or sha512, not " + name);
  }
  return EVP_get_digestbyname(hash.name);
}

}  // namespace

Bytes pssBlock(EVP_PKEY* key, const HashAlgorithm& hash, const Bytes& digestValue) {
  const EVP_MD* md = pssDigest(hash);
  RSA* rsa = EVP_PKEY_get1_RSA(key);
  if (rsa == nullptr) throw Error("OpenSSL cannot use the card's public key");
  Bytes block(static_cast<std::size_t>(RSA_size(rsa)));
  const bool ok = static_cast<std::size_t>(EVP_MD_get_size(md)) == digestValue.size() &&
                  RSA_padding_add_PKCS1_PSS_mgf1(rsa, block.data(), digestValue.data(), md, md,
                                                 RSA_PSS_SALTLEN_DIGEST) == 1;
  RSA_free(rsa);
  if (!ok) throw Error("OpenSSL cannot encode the hash for PSS");
  return block;
}

bool verifyPssSignature(EVP_PKEY* key, const HashAlgorithm& hash, const Bytes& digestValue, const Bytes& signature) {
  const EVP_MD* md = pssDigest(hash);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  const bool ok = ctx != nullptr && EVP_PKEY_verify_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_signature_md(ctx, md) == 1 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) == 1 &&
                  EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) == 1 &&
                  EVP_PKEY_verify(ctx, signature.data(), signature.size(), digestValue.data(), digestValue.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

}  // namespace vemra::ctl
