// Keys end to end on the simulated card: key pairs made by OpenSSL imported
// as PRIVATEKEYBLOBs, the card's signatures verified by OpenSSL with the
// original public key, and ciphertexts made by OpenSSL decrypted by the card
// and unpadded by a provider callback that uses OpenSSL.
#include <openssl/rsa.h>

#include <cstring>
#include <map>

#include "common/entry_points.h"
#include "support/key_blobs.h"
#include "support/simulated_card.h"

namespace vemra::test {
namespace {

// A provider's unpad callback: OpenSSL checks and strips the padding named
// in the request; the message goes back in a block from pfnCspAlloc.
DWORD WINAPI unpadWithOpenSsl(PCARD_RSA_DECRYPT_INFO info, DWORD* pcbUnpadded, PBYTE* ppbUnpadded) {
  const auto message = unpadBlock({info->pbData, info->cbData}, info->dwPaddingType);
  if (!message) return 0x80090005;  // NTE_BAD_DATA
  auto* block = static_cast<PBYTE>(ProviderDouble::alloc(message->size()));
  if (block == nullptr) return SCARD_E_NO_MEMORY;
  if (!message->empty()) std::memcpy(block, message->data(), message->size());
  *ppbUnpadded = block;
  *pcbUnpadded = static_cast<DWORD>(message->size());
  return 0;
}

// One key of each size, made once: generating keys is the slow part.
const RsaKeyPair& keyOf(int bits, int which = 0) {
  static std::map<std::pair<int, int>, RsaKeyPair> keys;
  auto it = keys.find({bits, which});
  if (it == keys.end()) it = keys.emplace(std::pair{bits, which}, RsaKeyPair::generate(bits)).first;
  return it->second;
}

class KeysOnSimulatedCard : public SimulatedDriverTest {
 protected:
  void SetUp() override {
    SimulatedDriverTest::SetUp();
    bind();
    cardData.pfnCspUnpadData = unpadWithOpenSsl;
  }

  DWORD import(BYTE container, DWORD keySpec, const RsaKeyPair& key, PIN_ID role = ROLE_USER) {
    auto blob = key.privateKeyBlob(keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
    return CardCreateContainerEx(&cardData, container, CARD_CREATE_CONTAINER_KEY_IMPORT, keySpec, 0, blob.data(),
                                 role);
  }

  // CardSignData over `hash`; the signature (least significant byte first) on
  // success, the code in `rc`.
  std::vector<std::uint8_t> sign(BYTE container, DWORD keySpec, ALG_ID algorithm, std::vector<std::uint8_t> hash,
                                 DWORD& rc) {
    CARD_SIGNING_INFO info{};
    info.dwVersion = 1;
    info.bContainerIndex = container;
    info.dwKeySpec = keySpec;
    info.aiHashAlg = algorithm;
    info.pbData = hash.data();
    info.cbData = static_cast<DWORD>(hash.size());
    rc = CardSignData(&cardData, &info);
    std::vector<std::uint8_t> signature;
    if (rc == 0) signature.assign(info.pbSignedData, info.pbSignedData + info.cbSignedData);
    ProviderDouble::free(info.pbSignedData);  // NULL after a failure
    return signature;
  }

  // CardRSADecrypt of `block` with a record of `version`; what the caller's
  // buffer holds afterwards, cut to cbData.
  std::vector<std::uint8_t> decrypt(BYTE container, DWORD keySpec, std::vector<std::uint8_t> block, DWORD padding,
                                    DWORD& rc, DWORD version = 2) {
    CARD_RSA_DECRYPT_INFO info{version, container, keySpec, block.data(), static_cast<DWORD>(block.size()), nullptr,
                               padding};
    rc = CardRSADecrypt(&cardData, &info);
    block.resize(info.cbData);
    return block;
  }

  std::uint16_t selectOnCard(std::uint16_t fid) {
    const std::uint8_t app[] = {0x00, 0xA4, 0x04, 0x0C, 0x0C, 'V', 'E', 'M', 'R',
                                'A',  '_',  'M',  'I',  'N',  'I', 'D', 'R'};
    (void)card().transmit(app);
    const std::uint8_t ef[] = {0x00, 0xA4, 0x02, 0x0C, 0x02, static_cast<std::uint8_t>(fid >> 8),
                               static_cast<std::uint8_t>(fid)};
    const auto answer = card().transmit(ef);
    return static_cast<std::uint16_t>((answer[answer.size() - 2] << 8) | answer.back());
  }
};

const std::vector<std::uint8_t> kMessage{'t', 'o', ' ', 'b', 'e', ' ', 's', 'i', 'g', 'n', 'e', 'd'};

TEST_F(KeysOnSimulatedCard, ImportedKeysSignEveryHashAndDecryptBothPaddings) {
  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(loginAdmin(), 0u);
  const struct {
    const char* name;
    ALG_ID algorithm;
    const EVP_MD* digest;
  } hashes[] = {
      {"MD5", CALG_MD5, EVP_md5()},          {"SHA-1", CALG_SHA1, EVP_sha1()},
      {"SHA-256", CALG_SHA_256, EVP_sha256()}, {"SHA-384", CALG_SHA_384, EVP_sha384()},
      {"SHA-512", CALG_SHA_512, EVP_sha512()}, {"SHA-1+MD5", CALG_SSL3_SHAMD5, EVP_md5_sha1()},
  };
  BYTE container = 0;
  for (int bits : {1024, 2048}) {
    for (DWORD keySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
      for (PIN_ID role : {ROLE_USER, ROLE_ADMIN}) {
        const RsaKeyPair& key = keyOf(bits);
        const std::string what = std::to_string(bits) + " bits, key type " + std::to_string(keySpec) + ", role " +
                                 std::to_string(role);
        ASSERT_EQ(import(container, keySpec, key, role), 0u) << what;
        for (const auto& h : hashes) {
          const auto hash = digestOf(h.digest, kMessage);
          DWORD rc = 0;
          const auto signature = sign(container, keySpec, h.algorithm, hash, rc);
          ASSERT_EQ(rc, 0u) << what << ", " << h.name;
          EXPECT_EQ(signature.size(), key.modulusBytes());
          EXPECT_TRUE(key.verifies(h.digest, hash, signature)) << what << ", " << h.name;
        }
        const std::vector<std::uint8_t> secret{0x5E, 0xC2, 0xE7, 0x00, 0x01, 0xFF, 0x42};
        for (int padding : {RSA_PKCS1_PADDING, RSA_PKCS1_OAEP_PADDING}) {
          const DWORD type = padding == RSA_PKCS1_PADDING ? CARD_PADDING_PKCS1 : CARD_PADDING_OAEP;
          DWORD rc = 0;
          EXPECT_EQ(decrypt(container, keySpec, key.encrypt(secret, padding), type, rc), secret) << what;
          EXPECT_EQ(rc, 0u) << what;
        }
        // A version-1 record gets the raw block, padding and all.
        DWORD rc = 0;
        const auto raw = decrypt(container, keySpec, key.encrypt(secret, RSA_PKCS1_PADDING), 0, rc, 1);
        EXPECT_EQ(rc, ERROR_REVISION_MISMATCH) << "a version-7 context passes version-2 records";
        cardData.dwVersion = 6;
        const auto raw6 = decrypt(container, keySpec, key.encrypt(secret, RSA_PKCS1_PADDING), 0, rc, 1);
        cardData.dwVersion = 7;
        EXPECT_EQ(rc, 0u);
        ASSERT_EQ(raw6.size(), key.modulusBytes());
        EXPECT_EQ(unpadBlock(raw6, CARD_PADDING_PKCS1), secret);
        ++container;
      }
    }
  }
}

TEST_F(KeysOnSimulatedCard, KeysNeedTheUserPinAndAnExistingKey) {
  const RsaKeyPair& key = keyOf(1024);
  EXPECT_EQ(import(0, AT_SIGNATURE, key), SCARD_W_SECURITY_VIOLATION);
  EXPECT_EQ(selectOnCard(0xB100), 0x6A82) << "nothing was created";
  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(import(0, AT_SIGNATURE, key), 0u);
  // The administrator's key needs the administrator as well: the card
  // refuses to load it and to remove its new key file, which the
  // administrator's next import replaces.
  EXPECT_EQ(import(1, AT_SIGNATURE, key, ROLE_ADMIN), SCARD_F_INTERNAL_ERROR);
  ASSERT_EQ(loginAdmin(), 0u);
  EXPECT_EQ(import(1, AT_SIGNATURE, key, ROLE_ADMIN), 0u);

  const auto hash = digestOf(EVP_sha256(), kMessage);
  DWORD rc = 0;
  (void)sign(0, AT_KEYEXCHANGE, CALG_SHA_256, hash, rc);
  EXPECT_EQ(rc, SCARD_E_INVALID_PARAMETER) << "the container lacks that key";
  (void)sign(2, AT_SIGNATURE, CALG_SHA_256, hash, rc);
  EXPECT_EQ(rc, SCARD_E_NO_KEY_CONTAINER);

  ASSERT_EQ(CardDeauthenticate(&cardData, user.data(), 0), 0u);
  (void)sign(0, AT_SIGNATURE, CALG_SHA_256, hash, rc);
  EXPECT_EQ(rc, SCARD_W_SECURITY_VIOLATION);
  (void)decrypt(0, AT_SIGNATURE, key.encrypt(hash, RSA_PKCS1_PADDING), CARD_PADDING_PKCS1, rc);
  EXPECT_EQ(rc, SCARD_W_SECURITY_VIOLATION);
}

TEST_F(KeysOnSimulatedCard, ImportOverAnExistingKeyReplacesIt) {
  ASSERT_EQ(loginUser(), 0u);
  const RsaKeyPair& first = keyOf(2048);
  const RsaKeyPair& second = keyOf(2048, 1);
  const std::uint16_t memoryBefore = card().freeMemory();
  ASSERT_EQ(import(3, AT_KEYEXCHANGE, first), 0u);
  const std::uint16_t memoryWithOneKey = card().freeMemory();
  EXPECT_LT(memoryWithOneKey, memoryBefore);
  ASSERT_EQ(import(3, AT_KEYEXCHANGE, second), 0u);
  EXPECT_EQ(card().freeMemory(), memoryWithOneKey) << "the old key file is gone, not kept beside the new one";
  EXPECT_EQ(selectOnCard(0xB003), 0x9000);
  EXPECT_EQ(selectOnCard(0xB103), 0x6A82) << "the other key of the container is not touched";

  const auto hash = digestOf(EVP_sha1(), kMessage);
  DWORD rc = 0;
  const auto signature = sign(3, AT_KEYEXCHANGE, CALG_SHA1, hash, rc);
  ASSERT_EQ(rc, 0u);
  EXPECT_TRUE(second.verifies(EVP_sha1(), hash, signature));
  EXPECT_FALSE(first.verifies(EVP_sha1(), hash, signature));
}

}  // namespace
}  // namespace vemra::test
