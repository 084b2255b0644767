// Raw RSA and RSA-PSS through the card's raw private-key operation, against
// the in-memory card holding a real key: every signature is verified with
// OpenSSL, every refusal is made before the card is asked.
#include <openssl/rsa.h>

#include <memory>

#include "p11_fixture.h"

namespace vemra::p11::test {

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// One 2048-bit key for the whole file: generating keys is slow under the
// sanitizers.
std::shared_ptr<EVP_PKEY> sharedKey() {
  static std::shared_ptr<EVP_PKEY> key(EVP_RSA_gen(2048), PkeyFree{});
  return key;
}

Bytes digestOf(const EVP_MD* md, const Bytes& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned n = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
  out.resize(n);
  return out;
}

bool verifyPss(EVP_PKEY* key, const EVP_MD* md, int salt, const Bytes& hash, const Bytes& signature) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  const bool ok = ctx != nullptr && EVP_PKEY_verify_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_signature_md(ctx, md) == 1 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) == 1 &&
                  EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, salt) == 1 &&
                  EVP_PKEY_verify(ctx, signature.data(), signature.size(), hash.data(), hash.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

// The raw public operation (no padding): what a raw signature opens to, or
// a block encrypted for the raw decryption.
Bytes publicRaw(EVP_PKEY* key, const Bytes& block) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  Bytes out(block.size());
  std::size_t length = out.size();
  const bool ok = ctx != nullptr && EVP_PKEY_encrypt_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 &&
                  EVP_PKEY_encrypt(ctx, out.data(), &length, block.data(), block.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) return {};
  out.resize(length);
  return out;
}

class RawRsaTest : public P11Test {
 protected:
  void SetUp() override {
    P11Test::SetUp();
    // Both containers hold the real key; the objects are read on first use.
    fakeCard().containers[0].keyExchange = publicOf(sharedKey().get());
    fakeCard().containers[1].signature = publicOf(sharedKey().get());
    fakeCard().privateKeys[{0, AT_KEYEXCHANGE}] = sharedKey();
    fakeCard().privateKeys[{1, AT_SIGNATURE}] = sharedKey();
    session = open();
    ASSERT_EQ(login(session), CKR_OK);
    kxKey = findOne(session, CKO_PRIVATE_KEY, 0);
    sigKey = findOne(session, CKO_PRIVATE_KEY, 1);
  }

  CK_RV sign(CK_MECHANISM mechanism, CK_OBJECT_HANDLE key, const Bytes& data, Bytes& signature) {
    const CK_RV rv = f->C_SignInit(session, &mechanism, key);
    if (rv != CKR_OK) return rv;
    signature.assign(256, 0);
    CK_ULONG length = signature.size();
    const CK_RV done = f->C_Sign(session, const_cast<uint8_t*>(data.data()), data.size(), signature.data(), &length);
    signature.resize(length);
    return done;
  }

  CK_SESSION_HANDLE session = 0;
  CK_OBJECT_HANDLE kxKey = 0;
  CK_OBJECT_HANDLE sigKey = 0;
};

TEST_F(RawRsaTest, PssSignaturesVerifyWithOpenssl) {
  const Bytes message(700, 'p');
  struct Hash {
    CK_MECHANISM_TYPE hash;
    CK_RSA_PKCS_MGF_TYPE mgf;
    CK_MECHANISM_TYPE hashing;  // the mechanism that hashes itself
    const EVP_MD* md;
  };
  const Hash hashes[] = {
      {CKM_SHA256, CKG_MGF1_SHA256, CKM_SHA256_RSA_PKCS_PSS, EVP_sha256()},
      {CKM_SHA384, CKG_MGF1_SHA384, CKM_SHA384_RSA_PKCS_PSS, EVP_sha384()},
      {CKM_SHA512, CKG_MGF1_SHA512, CKM_SHA512_RSA_PKCS_PSS, EVP_sha512()},
  };
  for (const Hash& h : hashes) {
    const Bytes hash = digestOf(h.md, message);
    for (CK_ULONG salt : {CK_ULONG{0}, CK_ULONG{32}, CK_ULONG{hash.size()}}) {
      for (bool hashing : {false, true}) {
        SCOPED_TRACE(testing::Message() << EVP_MD_get0_name(h.md) << " salt " << salt << (hashing ? " hashing" : ""));
        CK_RSA_PKCS_PSS_PARAMS params{h.hash, h.mgf, salt};
        CK_MECHANISM m{hashing ? h.hashing : CKM_RSA_PKCS_PSS, &params, sizeof params};
        const CK_OBJECT_HANDLE key = hashing ? sigKey : kxKey;
        Bytes signature(256);
        ASSERT_EQ(f->C_SignInit(session, &m, key), CKR_OK);
        CK_ULONG length = signature.size();
        if (hashing) {
          // In three parts, with a length query first.
          ASSERT_EQ(f->C_SignUpdate(session, const_cast<uint8_t*>(message.data()), 1), CKR_OK);
          ASSERT_EQ(f->C_SignUpdate(session, const_cast<uint8_t*>(message.data()) + 1, 400), CKR_OK);
          ASSERT_EQ(f->C_SignUpdate(session, const_cast<uint8_t*>(message.data()) + 401, 299), CKR_OK);
          ASSERT_EQ(f->C_SignFinal(session, nullptr, &length), CKR_OK);
          EXPECT_EQ(length, 256u);
          ASSERT_EQ(f->C_SignFinal(session, signature.data(), &length), CKR_OK);
        } else {
          ASSERT_EQ(f->C_Sign(session, const_cast<uint8_t*>(hash.data()), hash.size(), signature.data(), &length),
                    CKR_OK);
        }
        ASSERT_EQ(length, 256u);
        EXPECT_TRUE(verifyPss(sharedKey().get(), h.md, static_cast<int>(salt), hash, signature));
        // The salt length is the one asked for: OpenSSL refuses another.
        EXPECT_FALSE(verifyPss(sharedKey().get(), h.md, static_cast<int>(salt) + 1, hash, signature));
      }
    }
  }
  EXPECT_EQ(fakeCard().raws.size(), 18u) << "one raw operation per signature";
  EXPECT_TRUE(fakeCard().signs.empty()) << "the card's PKCS #1 signature is not used";
}

TEST_F(RawRsaTest, PssParametersAreCheckedAgainstEachOtherAndTheKey) {
  // A 2048-bit key: the encoded block has 256 bytes, so SHA-512 leaves room
  // for 256 - 64 - 2 = 190 bytes of salt.
  struct Case {
    const char* what;
    CK_MECHANISM_TYPE mechanism;
    CK_RSA_PKCS_PSS_PARAMS params;
    CK_ULONG parameterLength;
    CK_RV expected;
  };
  constexpr CK_ULONG kSize = sizeof(CK_RSA_PKCS_PSS_PARAMS);
  const Case cases[] = {
      {"largest salt", CKM_SHA512_RSA_PKCS_PSS, {CKM_SHA512, CKG_MGF1_SHA512, 190}, kSize, CKR_OK},
      {"salt one byte too long", CKM_SHA512_RSA_PKCS_PSS, {CKM_SHA512, CKG_MGF1_SHA512, 191}, kSize,
       CKR_MECHANISM_PARAM_INVALID},
      {"huge salt", CKM_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, ~CK_ULONG{0}}, kSize, CKR_MECHANISM_PARAM_INVALID},
      {"mask hash differing from the message hash", CKM_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA1, 32}, kSize, CKR_OK},
      {"hash of another mechanism", CKM_SHA256_RSA_PKCS_PSS, {CKM_SHA384, CKG_MGF1_SHA384, 32}, kSize,
       CKR_MECHANISM_PARAM_INVALID},
      {"hash the module lacks", CKM_RSA_PKCS_PSS, {CKM_MD5, CKG_MGF1_SHA256, 16}, kSize, CKR_MECHANISM_PARAM_INVALID},
      {"mask generation the module lacks", CKM_RSA_PKCS_PSS, {CKM_SHA256, 0x99, 32}, kSize,
       CKR_MECHANISM_PARAM_INVALID},
      {"parameter of another size", CKM_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, 32}, kSize - 1,
       CKR_MECHANISM_PARAM_INVALID},
      {"no parameter", CKM_SHA256_RSA_PKCS_PSS, {}, 0, CKR_MECHANISM_PARAM_INVALID},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CK_RSA_PKCS_PSS_PARAMS params = c.params;
    CK_MECHANISM m{c.mechanism, c.parameterLength == 0 ? nullptr : &params, c.parameterLength};
    ASSERT_EQ(f->C_SignInit(session, &m, kxKey), c.expected);
    if (c.expected != CKR_OK) continue;
    const Bytes data(c.mechanism == CKM_RSA_PKCS_PSS ? 32 : 100, 'x');
    Bytes signature(256);
    CK_ULONG length = signature.size();
    EXPECT_EQ(f->C_Sign(session, const_cast<uint8_t*>(data.data()), data.size(), signature.data(), &length), CKR_OK);
  }
  EXPECT_EQ(fakeCard().raws.size(), 2u) << "the card signs only what was accepted";

  // Without hashing, the data is the hash and must have its length.
  CK_RSA_PKCS_PSS_PARAMS params{CKM_SHA256, CKG_MGF1_SHA256, 32};
  Bytes signature;
  EXPECT_EQ(sign({CKM_RSA_PKCS_PSS, &params, sizeof params}, kxKey, Bytes(31, 1), signature), CKR_DATA_LEN_RANGE);
  EXPECT_EQ(sign({CKM_RSA_PKCS_PSS, &params, sizeof params}, kxKey, Bytes(48, 1), signature), CKR_DATA_LEN_RANGE);
  EXPECT_EQ(fakeCard().raws.size(), 2u);
}

TEST_F(RawRsaTest, RawSignatureAndDecryptionUseTheWholeBlock) {
  // A short block is signed with zero bytes before it.
  const Bytes data{0x12, 0x34, 0x56};
  Bytes signature;
  ASSERT_EQ(sign({CKM_RSA_X_509, nullptr, 0}, sigKey, data, signature), CKR_OK);
  ASSERT_EQ(signature.size(), 256u);
  Bytes block(256, 0);
  std::copy(data.begin(), data.end(), block.end() - 3);
  EXPECT_EQ(publicRaw(sharedKey().get(), signature), block);
  ASSERT_EQ(fakeCard().raws.size(), 1u);
  EXPECT_EQ(fakeCard().raws[0].block, block);
  EXPECT_EQ(fakeCard().raws[0].keySpec, DWORD{AT_SIGNATURE});

  // Blocks not below the modulus, and longer than the key, never reach the card.
  const Bytes modulus = publicOf(sharedKey().get()).modulus;
  EXPECT_EQ(sign({CKM_RSA_X_509, nullptr, 0}, sigKey, modulus, signature), CKR_DATA_INVALID);
  EXPECT_EQ(sign({CKM_RSA_X_509, nullptr, 0}, sigKey, Bytes(257, 0), signature), CKR_DATA_LEN_RANGE);
  EXPECT_EQ(fakeCard().raws.size(), 1u);

  // The raw decryption hands back the whole block, leading zeros included.
  Bytes plain(256, 0);
  plain[200] = 0x42;
  Bytes cipher = publicRaw(sharedKey().get(), plain);
  CK_MECHANISM raw{CKM_RSA_X_509, nullptr, 0};
  ASSERT_EQ(f->C_DecryptInit(session, &raw, kxKey), CKR_OK);
  Bytes out(256);
  CK_ULONG length = out.size();
  ASSERT_EQ(f->C_Decrypt(session, cipher.data(), cipher.size(), out.data(), &length), CKR_OK);
  EXPECT_EQ(length, 256u);
  EXPECT_EQ(out, plain);

  Bytes tooLarge = modulus;
  ASSERT_EQ(f->C_DecryptInit(session, &raw, kxKey), CKR_OK);
  EXPECT_EQ(f->C_Decrypt(session, tooLarge.data(), tooLarge.size(), out.data(), &length), CKR_ENCRYPTED_DATA_INVALID);
  EXPECT_EQ(f->C_DecryptInit(session, &raw, sigKey), CKR_KEY_FUNCTION_NOT_PERMITTED);
  EXPECT_EQ(fakeCard().raws.size(), 2u);
}

TEST_F(RawRsaTest, AFaultyResultFromTheCardIsNotHandedOut) {
  fakeCard().corruptRaw = true;
  CK_RSA_PKCS_PSS_PARAMS params{CKM_SHA256, CKG_MGF1_SHA256, 32};
  Bytes signature;
  EXPECT_EQ(sign({CKM_SHA256_RSA_PKCS_PSS, &params, sizeof params}, kxKey, Bytes(10, 'm'), signature),
            CKR_DEVICE_ERROR);
  EXPECT_EQ(sign({CKM_RSA_X_509, nullptr, 0}, kxKey, Bytes(10, 'm'), signature), CKR_DEVICE_ERROR);
  EXPECT_EQ(fakeCard().raws.size(), 2u);
}

TEST_F(P11Test, MechanismInfoOfTheRawAndPssMechanisms) {
  struct Case {
    CK_MECHANISM_TYPE mechanism;
    CK_FLAGS flags;
  };
  const Case cases[] = {
      {CKM_RSA_X_509, CKF_HW | CKF_SIGN | CKF_DECRYPT},
      {CKM_RSA_PKCS_PSS, CKF_HW | CKF_SIGN},
      {CKM_SHA1_RSA_PKCS_PSS, CKF_HW | CKF_SIGN},
      {CKM_SHA256_RSA_PKCS_PSS, CKF_HW | CKF_SIGN},
      {CKM_SHA384_RSA_PKCS_PSS, CKF_HW | CKF_SIGN},
      {CKM_SHA512_RSA_PKCS_PSS, CKF_HW | CKF_SIGN},
  };
  CK_MECHANISM_TYPE list[32];
  CK_ULONG count = 32;
  ASSERT_EQ(f->C_GetMechanismList(0, list, &count), CKR_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mechanism);
    EXPECT_NE(std::find(list, list + count, c.mechanism), list + count);
    CK_MECHANISM_INFO info{};
    ASSERT_EQ(f->C_GetMechanismInfo(0, c.mechanism, &info), CKR_OK);
    EXPECT_EQ(info.flags, c.flags);
    EXPECT_EQ(info.ulMinKeySize, 1024u);
    EXPECT_EQ(info.ulMaxKeySize, 2048u);
  }
}

}  // namespace

}  // namespace vemra::p11::test
