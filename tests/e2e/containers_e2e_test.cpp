// Key containers end to end on the simulated card: RSA keys made with
// OpenSSL are imported, their public halves read back through
// CardGetContainerInfo and compared with OpenSSL's, a signature the card
// makes is verified by OpenSSL with the key taken from the blob, and
// CardDeleteContainer leaves the slot free again.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <memory>
#include <vector>

#include "common/entry_points.h"
#include "support/key_blobs.h"
#include "support/simulated_card.h"

namespace vemra::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// The PUBLICKEYBLOB of `key` (public exponent 65537) built from OpenSSL's
// modulus: BLOBHEADER, RSAPUBKEY and the modulus, least significant byte first.
Bytes publicKeyBlob(const RsaKeyPair& key, DWORD keySpec) {
  const Bytes n = key.modulus();
  const DWORD algorithm = keySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  Bytes blob = {0x06, 0x02, 0x00, 0x00};
  for (DWORD value : {algorithm, DWORD{0x31415352} /* "RSA1" */, static_cast<DWORD>(key.bits()), DWORD{65537}})
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  blob.insert(blob.end(), n.rbegin(), n.rend());
  return blob;
}

// The RSA public key that a PUBLICKEYBLOB describes, made by OpenSSL from the
// blob's exponent and modulus.
Pkey keyFromBlob(const Bytes& blob) {
  if (blob.size() < 20) return nullptr;
  const Bytes n(blob.rbegin(), blob.rend() - 20);  // modulus, most significant byte first
  const Bytes e = {blob[19], blob[18], blob[17], blob[16]};
  BIGNUM* modulus = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
  BIGNUM* exponent = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
  OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
  OSSL_PARAM* params = nullptr;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  if (build != nullptr && OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, modulus) == 1 &&
      OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, exponent) == 1 &&
      (params = OSSL_PARAM_BLD_to_param(build)) != nullptr && context != nullptr &&
      EVP_PKEY_fromdata_init(context) == 1) {
    (void)EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params);
  }
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(build);
  BN_free(exponent);
  BN_free(modulus);
  return Pkey(key);
}

// Whether OpenSSL accepts `signature` (least significant byte first, as the
// interface hands it out) as the PKCS #1 v1.5 signature of the SHA-256 hash
// `hash` under `key`.
bool verifies(EVP_PKEY* key, const Bytes& hash, const Bytes& signature) {
  const Bytes bigEndian(signature.rbegin(), signature.rend());
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
  const bool ok = context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
                  EVP_PKEY_verify(context, bigEndian.data(), bigEndian.size(), hash.data(), hash.size()) == 1;
  EVP_PKEY_CTX_free(context);
  return ok;
}

const Bytes kMessage{'s', 'i', 'g', 'n', 'e', 'd', ' ', 'b', 'y', ' ', 't', 'h', 'e', ' ', 'c', 'a', 'r', 'd'};

class ContainersOnSimulatedCard : public SimulatedDriverTest {
 protected:
  void SetUp() override {
    SimulatedDriverTest::SetUp();
    bind();
  }

  DWORD import(BYTE index, DWORD keySpec, const RsaKeyPair& key, PIN_ID role = ROLE_USER) {
    auto blob = key.privateKeyBlob(keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
    return CardCreateContainerEx(&cardData, index, CARD_CREATE_CONTAINER_KEY_IMPORT, keySpec, 0, blob.data(), role);
  }

  // CardSignData of the SHA-256 hash `hash`; the signature (least
  // significant byte first) on success, the code in `rc`.
  Bytes sign(BYTE index, DWORD keySpec, Bytes hash, DWORD& rc) {
    CARD_SIGNING_INFO info{};
    info.dwVersion = 1;
    info.bContainerIndex = index;
    info.dwKeySpec = keySpec;
    info.aiHashAlg = CALG_SHA_256;
    info.pbData = hash.data();
    info.cbData = static_cast<DWORD>(hash.size());
    rc = CardSignData(&cardData, &info);
    Bytes signature;
    if (rc == 0) signature.assign(info.pbSignedData, info.pbSignedData + info.cbSignedData);
    ProviderDouble::free(info.pbSignedData);
    return signature;
  }

  // CardGetContainerInfo; the two blobs (empty for a key not there) and the result.
  DWORD containerInfo(BYTE index, Bytes& keyExchange, Bytes& signature) {
    CONTAINER_INFO info{1, 0, 0, nullptr, 0, nullptr};
    const DWORD rc = CardGetContainerInfo(&cardData, index, 0, &info);
    keyExchange.clear();
    signature.clear();
    if (info.pbKeyExPublicKey != nullptr)
      keyExchange.assign(info.pbKeyExPublicKey, info.pbKeyExPublicKey + info.cbKeyExPublicKey);
    if (info.pbSigPublicKey != nullptr) signature.assign(info.pbSigPublicKey, info.pbSigPublicKey + info.cbSigPublicKey);
    ProviderDouble::free(info.pbKeyExPublicKey);
    ProviderDouble::free(info.pbSigPublicKey);
    return rc;
  }

  DWORD pinIdentifier(BYTE index, PIN_ID& role) {
    static char16_t name[] = u"PIN Identifier";
    DWORD length = 0;
    return CardGetContainerProperty(&cardData, index, name, reinterpret_cast<PBYTE>(&role), sizeof role, &length, 0);
  }

  DWORD freeContainers() {
    CARD_FREE_SPACE_INFO space{1, 0, 0, 0};
    EXPECT_EQ(CardQueryFreeSpace(&cardData, 0, &space), 0u);
    return space.dwKeyContainersAvailable;
  }
};

TEST_F(ContainersOnSimulatedCard, PublicKeysReadBackVerifyTheCardsSignatures) {
  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(loginAdmin(), 0u);
  struct Case {
    int bits;
    DWORD keySpec;
    PIN_ID role;
  };
  BYTE index = 0;
  for (const Case c : {Case{2048, AT_KEYEXCHANGE, ROLE_USER}, Case{1024, AT_SIGNATURE, ROLE_ADMIN}}) {
    ++index;
    const RsaKeyPair key = RsaKeyPair::generate(c.bits);
    ASSERT_EQ(import(index, c.keySpec, key, c.role), 0u) << c.bits;

    Bytes keyExchange;
    Bytes signature;
    ASSERT_EQ(containerInfo(index, keyExchange, signature), 0u) << c.bits;
    const Bytes& blob = c.keySpec == AT_KEYEXCHANGE ? keyExchange : signature;
    EXPECT_TRUE((c.keySpec == AT_KEYEXCHANGE ? signature : keyExchange).empty()) << "one key in the container";
    EXPECT_EQ(blob, publicKeyBlob(key, c.keySpec)) << c.bits;

    Bytes hash = digestOf(EVP_sha256(), kMessage);
    DWORD rc = 0;
    const Bytes cardMade = sign(index, c.keySpec, hash, rc);
    ASSERT_EQ(rc, 0u) << c.bits;
    Pkey fromBlob = keyFromBlob(blob);
    ASSERT_NE(fromBlob, nullptr);
    EXPECT_TRUE(verifies(fromBlob.get(), hash, cardMade)) << c.bits;
    hash[0] ^= 1;
    EXPECT_FALSE(verifies(fromBlob.get(), hash, cardMade)) << "a check that can fail";

    PIN_ID role = 99;
    EXPECT_EQ(pinIdentifier(index, role), 0u);
    EXPECT_EQ(role, c.role);
  }
}

TEST_F(ContainersOnSimulatedCard, DeletionFreesTheContainer) {
  ASSERT_EQ(loginUser(), 0u);
  const RsaKeyPair exchange = RsaKeyPair::generate(1024);
  const RsaKeyPair signing = RsaKeyPair::generate(1024);
  const DWORD freeBefore = freeContainers();
  ASSERT_EQ(import(5, AT_KEYEXCHANGE, exchange), 0u);
  ASSERT_EQ(import(5, AT_SIGNATURE, signing), 0u);
  EXPECT_EQ(freeContainers(), freeBefore - 1);

  Bytes keyExchange;
  Bytes signature;
  ASSERT_EQ(containerInfo(5, keyExchange, signature), 0u);
  EXPECT_EQ(keyExchange, publicKeyBlob(exchange, AT_KEYEXCHANGE));
  EXPECT_EQ(signature, publicKeyBlob(signing, AT_SIGNATURE));

  // The card refuses the deletion to someone logged out, and keeps both keys.
  ASSERT_EQ(CardDeauthenticate(&cardData, user.data(), 0), 0u);
  EXPECT_EQ(CardDeleteContainer(&cardData, 5, 0), SCARD_W_SECURITY_VIOLATION);
  ASSERT_EQ(containerInfo(5, keyExchange, signature), 0u);
  EXPECT_FALSE(keyExchange.empty() || signature.empty());

  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(CardDeleteContainer(&cardData, 5, 0), 0u);
  EXPECT_EQ(containerInfo(5, keyExchange, signature), SCARD_E_NO_KEY_CONTAINER);
  PIN_ID role = 99;
  EXPECT_EQ(pinIdentifier(5, role), SCARD_E_NO_KEY_CONTAINER);
  EXPECT_EQ(freeContainers(), freeBefore);
  for (DWORD keySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    DWORD rc = 0;
    (void)sign(5, keySpec, digestOf(EVP_sha256(), kMessage), rc);
    EXPECT_EQ(rc, SCARD_E_NO_KEY_CONTAINER) << keySpec;
  }
  // Deleting again finds nothing to delete.
  EXPECT_EQ(CardDeleteContainer(&cardData, 5, 0), 0u);
}

}  // namespace
}  // namespace vemra::test
