// The key blobs vemractl builds for an import and parses from the driver's
// answer, held against OpenSSL's own view of the keys: every number of a
// private-key blob in its place, and public-key blobs that give back the
// same key or are refused.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "error.h"
#include "keys.h"

namespace vemra::ctl {
namespace {

using Bytes = std::vector<uint8_t>;

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn number(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &bn), 1) << name;
  return Bn(bn);
}

// One key of each size for the whole file: generating them is the slow part.
EVP_PKEY* keyOf(unsigned bits) {
  static Pkey k1024 = generateRsaKey(1024);
  static Pkey k2048 = generateRsaKey(2048);
  return bits == 1024 ? k1024.get() : k2048.get();
}

// A PUBLICKEYBLOB as the driver hands it back: BLOBHEADER, RSAPUBKEY
// ("RSA1", bit length, exponent), the modulus least significant byte first.
Bytes publicBlob(EVP_PKEY* key, unsigned bits) {
  const std::size_t k = bits / 8;
  Bytes blob = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '1'};
  for (int i = 0; i < 4; ++i) blob.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  const Bn e = number(key, OSSL_PKEY_PARAM_RSA_E);
  const BN_ULONG exponent = BN_get_word(e.get());
  for (int i = 0; i < 4; ++i) blob.push_back(static_cast<uint8_t>(exponent >> (8 * i)));
  blob.resize(20 + k);
  const Bn n = number(key, OSSL_PKEY_PARAM_RSA_N);
  EXPECT_EQ(BN_bn2lebinpad(n.get(), blob.data() + 20, static_cast<int>(k)), static_cast<int>(k));
  return blob;
}

TEST(KeyBlobs, PrivateKeyBlobHoldsEveryNumberInItsPlace) {
  for (unsigned bits : {1024u, 2048u}) {
    EVP_PKEY* key = keyOf(bits);
    const std::size_t k = bits / 8;
    for (DWORD keySpec : {DWORD{AT_KEYEXCHANGE}, DWORD{AT_SIGNATURE}}) {
      DWORD reported = 0;
      const Secret blob = privateKeyBlob(key, keySpec, reported);
      EXPECT_EQ(reported, bits);
      ASSERT_EQ(blob.size(), 20 + 2 * k + 5 * (k / 2)) << bits;
      const uint8_t algorithm = keySpec == AT_SIGNATURE ? 0x24 : 0xA4;  // CALG_RSA_SIGN, CALG_RSA_KEYX
      const Bytes header = {0x07, 0x02, 0x00, 0x00, 0x00, algorithm, 0x00, 0x00, 'R', 'S', 'A', '2',
                            0x00, static_cast<uint8_t>(bits >> 8), 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
      EXPECT_EQ(Bytes(blob.data(), blob.data() + 20), header) << bits;
      // The numbers in the blob's order, each read back least significant
      // byte first and compared with OpenSSL's.
      const struct {
        const char* name;
        std::size_t length;
      } fields[] = {{OSSL_PKEY_PARAM_RSA_N, k},           {OSSL_PKEY_PARAM_RSA_FACTOR1, k / 2},
                    {OSSL_PKEY_PARAM_RSA_FACTOR2, k / 2}, {OSSL_PKEY_PARAM_RSA_EXPONENT1, k / 2},
                    {OSSL_PKEY_PARAM_RSA_EXPONENT2, k / 2}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, k / 2},
                    {OSSL_PKEY_PARAM_RSA_D, k}};
      std::size_t at = 20;
      for (const auto& field : fields) {
        const Bn inBlob(BN_lebin2bn(blob.data() + at, static_cast<int>(field.length), nullptr));
        EXPECT_EQ(BN_cmp(inBlob.get(), number(key, field.name).get()), 0) << bits << " " << field.name;
        at += field.length;
      }
      EXPECT_EQ(at, blob.size());
    }
  }
}

TEST(KeyBlobs, PublicKeyBlobGivesBackTheSameKey) {
  for (unsigned bits : {1024u, 2048u}) {
    EVP_PKEY* key = keyOf(bits);
    const Pkey parsed = publicKeyFromBlob(publicBlob(key, bits));
    EXPECT_EQ(EVP_PKEY_get_bits(parsed.get()), static_cast<int>(bits));
    EXPECT_EQ(EVP_PKEY_eq(parsed.get(), key), 1) << bits;
    EXPECT_EQ(EVP_PKEY_eq(parsed.get(), keyOf(bits == 1024 ? 2048 : 1024)), 0) << bits;
  }
}

TEST(KeyBlobs, MalformedPublicKeyBlobsAreRefused) {
  const Bytes good = publicBlob(keyOf(1024), 1024);
  struct Case {
    const char* what;
    Bytes blob;
  };
  Bytes privateType = good;
  privateType[0] = 0x07;
  Bytes privateMagic = good;
  privateMagic[11] = '2';
  Bytes longer = good;
  longer.push_back(0x00);
  Bytes wrongBits = good;
  wrongBits[13] = 0x08;  // 2048 bits announced, 128 modulus bytes present
  const Case cases[] = {
      {"empty", {}},
      {"header only", Bytes(good.begin(), good.begin() + 20)},
      {"one modulus byte short", Bytes(good.begin(), good.end() - 1)},
      {"one byte too many", longer},
      {"a private-key blob type", privateType},
      {"RSA2 magic", privateMagic},
      {"bit length not the modulus", wrongBits},
  };
  for (const Case& c : cases) EXPECT_THROW(publicKeyFromBlob(c.blob), host::Error) << c.what;
}

}  // namespace
}  // namespace vemra::ctl
