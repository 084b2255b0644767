#include "mechanisms.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>

namespace vemra::p11 {

namespace {

constexpr std::array<Mechanism, 12> kMechanisms{{
    {CKM_RSA_PKCS, CKF_HW | CKF_SIGN | CKF_DECRYPT, nullptr, 0, Scheme::Pkcs1},
    {CKM_RSA_X_509, CKF_HW | CKF_SIGN | CKF_DECRYPT, nullptr, 0, Scheme::Raw},
    {CKM_RSA_PKCS_OAEP, CKF_HW | CKF_DECRYPT, nullptr, 0, Scheme::Oaep},
    {CKM_RSA_PKCS_PSS, CKF_HW | CKF_SIGN, nullptr, 0, Scheme::Pss},
    {CKM_SHA1_RSA_PKCS, CKF_HW | CKF_SIGN, "SHA1", CALG_SHA1, Scheme::Pkcs1},
    {CKM_SHA256_RSA_PKCS, CKF_HW | CKF_SIGN, "SHA256", CALG_SHA_256, Scheme::Pkcs1},
    {CKM_SHA384_RSA_PKCS, CKF_HW | CKF_SIGN, "SHA384", CALG_SHA_384, Scheme::Pkcs1},
    {CKM_SHA512_RSA_PKCS, CKF_HW | CKF_SIGN, "SHA512", CALG_SHA_512, Scheme::Pkcs1},
    {CKM_SHA1_RSA_PKCS_PSS, CKF_HW | CKF_SIGN, "SHA1", 0, Scheme::Pss},
    {CKM_SHA256_RSA_PKCS_PSS, CKF_HW | CKF_SIGN, "SHA256", 0, Scheme::Pss},
    {CKM_SHA384_RSA_PKCS_PSS, CKF_HW | CKF_SIGN, "SHA384", 0, Scheme::Pss},
    {CKM_SHA512_RSA_PKCS_PSS, CKF_HW | CKF_SIGN, "SHA512", 0, Scheme::Pss},
}};

struct OaepHash {
  CK_MECHANISM_TYPE hash;
  CK_RSA_PKCS_MGF_TYPE mgf;
  const char16_t* name;
};

constexpr std::array<OaepHash, 4> kOaepHashes{{
    {CKM_SHA_1, CKG_MGF1_SHA1, u"SHA1"},
    {CKM_SHA256, CKG_MGF1_SHA256, u"SHA256"},
    {CKM_SHA384, CKG_MGF1_SHA384, u"SHA384"},
    {CKM_SHA512, CKG_MGF1_SHA512, u"SHA512"},
}};

int hexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const Mechanism* findMechanism(CK_MECHANISM_TYPE type) {
  for (const Mechanism& m : kMechanisms) {
    if (m.type == type) return &m;
  }
  return nullptr;
}

const Mechanism* mechanisms(std::size_t& count) {
  count = kMechanisms.size();
  return kMechanisms.data();
}

CK_RV oaepParams(const CK_MECHANISM& mechanism, OaepParams& out) {
  if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(CK_RSA_PKCS_OAEP_PARAMS)) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  const auto* p = static_cast<const CK_RSA_PKCS_OAEP_PARAMS*>(mechanism.pParameter);
  // The unpad callback uses one hash for the label and the mask, so the
  // mask generation must name the same hash.
  const OaepHash* hash = nullptr;
  for (const OaepHash& h : kOaepHashes) {
    if (h.hash == p->hashAlg && h.mgf == p->mgf) hash = &h;
  }
  if (hash == nullptr) return CKR_MECHANISM_PARAM_INVALID;
  if (p->source != 0 && p->source != CKZ_DATA_SPECIFIED) return CKR_MECHANISM_PARAM_INVALID;
  if (p->ulSourceDataLen != 0 && p->pSourceData == nullptr) return CKR_MECHANISM_PARAM_INVALID;
  out.hash = hash->name;
  const auto* label = static_cast<const uint8_t*>(p->pSourceData);
  out.label.assign(label, label + (label == nullptr ? 0 : p->ulSourceDataLen));
  return CKR_OK;
}

std::optional<Bytes> adminKeyFromHex(const unsigned char* text, CK_ULONG length) {
  if (text == nullptr || length != 48) return std::nullopt;
  Bytes key(24);
  for (std::size_t i = 0; i < 24; ++i) {
    const int high = hexDigit(text[2 * i]);
    const int low = hexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) {
      wipe(key);
      return std::nullopt;
    }
    key[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return key;
}

std::optional<Bytes> challengeResponse(const Bytes& key24, const Bytes& challenge) {
  if (key24.size() != 24 || challenge.size() != 8) return std::nullopt;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(16);
  int written = 0;
  int last = 0;
  const bool ok = ctx != nullptr && EVP_EncryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, key24.data(), nullptr) == 1 &&
                  EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                  EVP_EncryptUpdate(ctx, out.data(), &written, challenge.data(), 8) == 1 &&
                  EVP_EncryptFinal_ex(ctx, out.data() + written, &last) == 1 && written + last == 8;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) {
    wipe(out);
    return std::nullopt;
  }
  out.resize(8);
  return out;
}

void wipe(Bytes& bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  bytes.clear();
}

}  // namespace vemra::p11
