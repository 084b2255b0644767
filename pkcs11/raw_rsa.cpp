#define OPENSSL_SUPPRESS_DEPRECATED  // the PSS encoding on its own has no EVP form
#include "raw_rsa.h"

#include <openssl/bn.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <memory>

namespace vemra::p11 {

namespace {

struct PssHash {
  CK_MECHANISM_TYPE hash;
  CK_RSA_PKCS_MGF_TYPE mgf;
  const EVP_MD* (*md)();
};

constexpr std::array<PssHash, 4> kPssHashes{{
    {CKM_SHA_1, CKG_MGF1_SHA1, EVP_sha1},
    {CKM_SHA256, CKG_MGF1_SHA256, EVP_sha256},
    {CKM_SHA384, CKG_MGF1_SHA384, EVP_sha384},
    {CKM_SHA512, CKG_MGF1_SHA512, EVP_sha512},
}};

struct RsaFree {
  void operator()(RSA* rsa) const { RSA_free(rsa); }
};
using Rsa = std::unique_ptr<RSA, RsaFree>;

const Bytes& attribute(const Object& key, CK_ATTRIBUTE_TYPE type) {
  static const Bytes none;
  auto it = key.attributes.find(type);
  return it == key.attributes.end() ? none : it->second;
}

// The key's public half as OpenSSL's RSA, for the encoding and the check.
Rsa publicRsa(const Object& key) {
  const Bytes& n = attribute(key, CKA_MODULUS);
  const Bytes& e = attribute(key, CKA_PUBLIC_EXPONENT);
  if (n.empty() || e.empty()) return nullptr;
  Rsa rsa(RSA_new());
  BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
  BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
  if (!rsa || bn == nullptr || be == nullptr || RSA_set0_key(rsa.get(), bn, be, nullptr) != 1) {
    BN_free(bn);
    BN_free(be);
    return nullptr;
  }
  return rsa;
}

std::size_t modulusBits(const Object& key) {
  const Bytes& n = attribute(key, CKA_MODULUS);
  if (n.empty()) return 0;
  std::size_t bits = (n.size() - 1) * 8;
  for (uint8_t top = n.front(); top != 0; top >>= 1) ++bits;
  return bits;
}

const EVP_MD* pssHash(CK_MECHANISM_TYPE hash) {
  for (const PssHash& h : kPssHashes) {
    if (h.hash == hash) return h.md();
  }
  return nullptr;
}

const EVP_MD* mgfHash(CK_RSA_PKCS_MGF_TYPE mgf) {
  for (const PssHash& h : kPssHashes) {
    if (h.mgf == mgf) return h.md();
  }
  return nullptr;
}

}  // namespace

CK_RV pssParams(const CK_MECHANISM& mechanism, const Mechanism& entry, const Object& key, PssParams& out) {
  if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(CK_RSA_PKCS_PSS_PARAMS)) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  const auto* p = static_cast<const CK_RSA_PKCS_PSS_PARAMS*>(mechanism.pParameter);
  const EVP_MD* hash = pssHash(p->hashAlg);
  const EVP_MD* mgf = mgfHash(p->mgf);
  if (hash == nullptr || mgf == nullptr) return CKR_MECHANISM_PARAM_INVALID;
  // A mechanism that hashes must be told its own hash.
  if (entry.digest != nullptr && EVP_MD_get_type(hash) != EVP_MD_get_type(EVP_get_digestbyname(entry.digest))) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  // The encoded block has (bits - 1) bits; it holds the hash, the salt, a
  // separator byte and the trailer byte.
  const std::size_t emBytes = (modulusBits(key) + 6) / 8;
  const auto hashBytes = static_cast<std::size_t>(EVP_MD_get_size(hash));
  if (emBytes < hashBytes + 2 || p->sLen > emBytes - hashBytes - 2) return CKR_MECHANISM_PARAM_INVALID;
  out.hash = hash;
  out.mgf = mgf;
  out.saltLength = static_cast<int>(p->sLen);
  return CKR_OK;
}

CK_RV rawSignLength(const Mechanism& entry, const PssParams& pss, const Object& key, std::size_t length) {
  if (entry.scheme == Scheme::Raw) return length <= key.modulusBytes ? CKR_OK : CKR_DATA_LEN_RANGE;
  return length == static_cast<std::size_t>(EVP_MD_get_size(pss.hash)) ? CKR_OK : CKR_DATA_LEN_RANGE;
}

CK_RV rawSignBlock(const Mechanism& entry, const PssParams& pss, const Object& key, const Bytes& data, Bytes& block) {
  if (const CK_RV rv = rawSignLength(entry, pss, key, data.size()); rv != CKR_OK) return rv;
  block.assign(key.modulusBytes, 0);
  if (entry.scheme == Scheme::Raw) {
    std::copy(data.begin(), data.end(), block.end() - static_cast<std::ptrdiff_t>(data.size()));
    return belowModulus(key, block) ? CKR_OK : CKR_DATA_INVALID;
  }
  const Rsa rsa = publicRsa(key);
  if (!rsa || static_cast<std::size_t>(RSA_size(rsa.get())) != block.size()) return CKR_GENERAL_ERROR;
  if (RSA_padding_add_PKCS1_PSS_mgf1(rsa.get(), block.data(), data.data(), pss.hash, pss.mgf, pss.saltLength) != 1) {
    return CKR_GENERAL_ERROR;
  }
  return CKR_OK;
}

bool belowModulus(const Object& key, const Bytes& block) {
  const Bytes& n = attribute(key, CKA_MODULUS);
  return block.size() == n.size() && std::lexicographical_compare(block.begin(), block.end(), n.begin(), n.end());
}

bool opensToBlock(const Object& key, const Bytes& result, const Bytes& block) {
  const Rsa rsa = publicRsa(key);
  if (!rsa || result.size() != block.size() || static_cast<std::size_t>(RSA_size(rsa.get())) != block.size()) {
    return false;
  }
  Bytes opened(block.size());
  const int length =
      RSA_public_encrypt(static_cast<int>(result.size()), result.data(), opened.data(), rsa.get(), RSA_NO_PADDING);
  return length == static_cast<int>(block.size()) && opened == block;
}

DWORD rawOperation(CardPort& port, const Object& key, const Bytes& block, Bytes& out) {
  const DWORD rc = port.privateKeyOperation(key.container, key.keySpec, block, out);
  if (rc == 0 && out.size() != key.modulusBytes) return SCARD_F_INTERNAL_ERROR;
  return rc;
}

}  // namespace vemra::p11
