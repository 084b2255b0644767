// Key containers end to end on the simulated card: RSA keys made with
// OpenSSL are put on the card, their public halves read back through
// CardGetContainerInfo and compared with OpenSSL's, a signature the card
// makes is verified by OpenSSL with the key taken from the blob, and
// CardDeleteContainer leaves the slot free again.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/entry_points.h"
#include "support/simulated_card.h"

namespace vemra::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey generateRsa(unsigned bits) {
  return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
}

// A number of the key, most significant byte first, padded to `size` bytes.
Bytes number(const EVP_PKEY* key, const char* name, std::size_t size) {
  BIGNUM* value = nullptr;
  Bytes bytes(size);
  if (EVP_PKEY_get_bn_param(key, name, &value) != 1 ||
      BN_bn2binpad(value, bytes.data(), static_cast<int>(size)) != static_cast<int>(size))
    ADD_FAILURE() << "reading " << name << " from the OpenSSL key";
  BN_free(value);
  return bytes;
}

// The PUBLICKEYBLOB of `key` built from OpenSSL's numbers: BLOBHEADER,
// RSAPUBKEY and the modulus, all least significant byte first.
Bytes publicKeyBlob(const EVP_PKEY* key, DWORD keySpec) {
  const std::size_t k = static_cast<std::size_t>(EVP_PKEY_get_size(key));
  const Bytes n = number(key, OSSL_PKEY_PARAM_RSA_N, k);
  const Bytes e = number(key, OSSL_PKEY_PARAM_RSA_E, 4);
  const DWORD bits = static_cast<DWORD>(k * 8);
  Bytes blob = {0x06, 0x02, 0x00, 0x00};
  const DWORD algorithm = keySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  for (DWORD value : {algorithm, DWORD{0x31415352} /* "RSA1" */, bits})
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  blob.insert(blob.end(), e.rbegin(), e.rend());
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

// Whether OpenSSL accepts `signature` (most significant byte first) as the
// PKCS #1 v1.5 signature of the SHA-256 hash `hash` under `key`.
bool verifies(EVP_PKEY* key, const Bytes& hash, const Bytes& signature) {
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
  const bool ok = context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
                  EVP_PKEY_verify(context, signature.data(), signature.size(), hash.data(), hash.size()) == 1;
  EVP_PKEY_CTX_free(context);
  return ok;
}

class ContainersOnSimulatedCard : public SimulatedDriverTest {
 protected:
  void SetUp() override {
    SimulatedDriverTest::SetUp();
    bind();
  }

  // The card's whole answer to `command`, GET RESPONSE included when the
  // card announces its data with 61xx. The last two bytes are the status.
  Bytes send(Bytes command) {
    Bytes answer = card().transmit(command);
    if (answer.size() == 2 && answer[0] == 0x61) answer = card().transmit(Bytes{0x00, 0xC0, 0x00, 0x00, answer[1]});
    return answer;
  }
  static std::uint16_t status(const Bytes& answer) {
    return answer.size() < 2 ? 0 : static_cast<std::uint16_t>((answer[answer.size() - 2] << 8) | answer.back());
  }
  void selectApplication() {
    Bytes select = {0x00, 0xA4, 0x04, 0x0C, 0x0C};
    for (char c : std::string("VEMRA_MINIDR")) select.push_back(static_cast<std::uint8_t>(c));
    ASSERT_EQ(status(send(select)), 0x9000);
  }

  // Puts `key` on the card as the key `keySpec` of container `index`, with
  // the key file and key load a provider's import makes: the file guarded by
  // PIN reference `pin` and deleted under `access`, then the exponent field
  // and modulus, then the private exponent, in pieces of at most 200 bytes.
  void importKey(const EVP_PKEY* key, BYTE index, DWORD keySpec, std::uint8_t pin, std::uint8_t access) {
    const auto& config = card().config();
    const std::size_t k = static_cast<std::size_t>(EVP_PKEY_get_size(key));
    const std::uint16_t fid =
        static_cast<std::uint16_t>((keySpec == AT_KEYEXCHANGE ? config.kxKeyFidBase : config.sigKeyFidBase) + index);
    const auto reference =
        static_cast<std::uint8_t>((keySpec == AT_KEYEXCHANGE ? config.kxKeyRefBase : config.sigKeyRefBase) + index);
    const auto high = static_cast<std::uint8_t>(fid >> 8);
    const auto low = static_cast<std::uint8_t>(fid);
    const Bytes create = {0x00, 0xE0, 0x00, 0x00, 0x29, 0x62, 0x27, 0x82, 0x01, 0x11, 0x83, 0x02, high, low,
                          0x86, 0x0A, 0xFF, 0xFF, access, pin, pin, 0xFF, 0xFF, 0x00, pin, 0xFF, 0x8A, 0x01,
                          0x05, 0xA5, 0x0F, 0x85, 0x01, static_cast<std::uint8_t>(k == 128 ? 0x22 : 0x24),
                          0x86, 0x01, 0x8F, 0x87, 0x01, reference, 0x88, 0x01, reference, 0x89, 0x01, 0x0F};
    selectApplication();
    ASSERT_EQ(status(send(create)), 0x9000);

    Bytes publicPart = {0, 0, 0, 0};
    const Bytes e = number(key, OSSL_PKEY_PARAM_RSA_E, 4);
    const Bytes n = number(key, OSSL_PKEY_PARAM_RSA_N, k);
    publicPart.insert(publicPart.end(), e.begin(), e.end());
    publicPart.insert(publicPart.end(), n.begin(), n.end());
    Bytes privatePart = number(key, OSSL_PKEY_PARAM_RSA_D, k);
    for (const Bytes* part : {&publicPart, &privatePart}) {
      for (std::size_t at = 0; at < part->size(); at += 200) {
        const std::size_t size = std::min<std::size_t>(200, part->size() - at);
        const bool last = part == &privatePart && at + size == part->size();
        Bytes piece = {static_cast<std::uint8_t>(last ? 0x80 : 0x90), 0x72, 0x01, 0x00,
                       static_cast<std::uint8_t>(size)};
        piece.insert(piece.end(), part->begin() + static_cast<std::ptrdiff_t>(at),
                     part->begin() + static_cast<std::ptrdiff_t>(at + size));
        ASSERT_EQ(status(send(piece)), 0x9000) << "key load piece at " << at;
      }
    }
    std::fill(privatePart.begin(), privatePart.end(), 0);
  }

  // The card's PKCS #1 v1.5 signature of the SHA-256 hash `hash` with the
  // key reference `reference`, most significant byte first; empty when the
  // card refuses.
  Bytes cardSignature(std::uint8_t reference, const Bytes& hash) {
    static const Bytes kSha256Prefix = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    selectApplication();
    if (status(send({0x00, 0x22, 0xF3, 0x00, 0x00})) != 0x9000) return {};
    if (status(send({0x00, 0x22, 0xF1, 0xB6, 0x03, 0x84, 0x01, reference})) != 0x9000) return {};
    Bytes pso = {0x00, 0x2A, 0x9E, 0x9A, static_cast<std::uint8_t>(kSha256Prefix.size() + hash.size())};
    pso.insert(pso.end(), kSha256Prefix.begin(), kSha256Prefix.end());
    pso.insert(pso.end(), hash.begin(), hash.end());
    Bytes answer = send(pso);
    if (status(answer) != 0x9000) return {};
    answer.resize(answer.size() - 2);
    return answer;
  }

  // CardGetContainerInfo; the two blobs (empty for a key not there) and the result.
  DWORD containerInfo(BYTE index, Bytes& keyExchange, Bytes& signature) {
    CONTAINER_INFO info{1, 0, 0, nullptr, 0, nullptr};
    const DWORD rc = CardGetContainerInfo(&cardData, index, 0, &info);
    keyExchange.assign(info.pbKeyExPublicKey, info.pbKeyExPublicKey + (info.pbKeyExPublicKey ? info.cbKeyExPublicKey : 0));
    signature.assign(info.pbSigPublicKey, info.pbSigPublicKey + (info.pbSigPublicKey ? info.cbSigPublicKey : 0));
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
  const std::uint8_t user = card().config().userPinRef;
  const std::uint8_t access = card().config().userAccess;
  struct Case {
    unsigned bits;
    DWORD keySpec;
  };
  BYTE index = 0;
  for (const Case c : {Case{2048, AT_KEYEXCHANGE}, Case{1024, AT_SIGNATURE}}) {
    ++index;
    Pkey key = generateRsa(c.bits);
    ASSERT_NE(key, nullptr);
    importKey(key.get(), index, c.keySpec, user, access);

    Bytes keyExchange;
    Bytes signature;
    ASSERT_EQ(containerInfo(index, keyExchange, signature), 0u) << c.bits;
    const Bytes& blob = c.keySpec == AT_KEYEXCHANGE ? keyExchange : signature;
    EXPECT_TRUE((c.keySpec == AT_KEYEXCHANGE ? signature : keyExchange).empty()) << "one key in the container";
    EXPECT_EQ(blob, publicKeyBlob(key.get(), c.keySpec)) << c.bits;

    Bytes hash(SHA256_DIGEST_LENGTH);
    const char message[] = "signed by the card";
    SHA256(reinterpret_cast<const unsigned char*>(message), sizeof message, hash.data());
    const auto& config = card().config();
    const auto reference =
        static_cast<std::uint8_t>((c.keySpec == AT_KEYEXCHANGE ? config.kxKeyRefBase : config.sigKeyRefBase) + index);
    const Bytes cardMade = cardSignature(reference, hash);
    ASSERT_EQ(cardMade.size(), c.bits / 8);
    Pkey fromBlob = keyFromBlob(blob);
    ASSERT_NE(fromBlob, nullptr);
    EXPECT_TRUE(verifies(fromBlob.get(), hash, cardMade)) << c.bits;
    hash[0] ^= 1;
    EXPECT_FALSE(verifies(fromBlob.get(), hash, cardMade)) << "a check that can fail";

    PIN_ID role = 99;
    EXPECT_EQ(pinIdentifier(index, role), 0u);
    EXPECT_EQ(role, static_cast<PIN_ID>(ROLE_USER));
  }
}

TEST_F(ContainersOnSimulatedCard, DeletionFreesTheContainer) {
  ASSERT_EQ(loginUser(), 0u);
  const auto& config = card().config();
  Pkey exchange = generateRsa(1024);
  Pkey signing = generateRsa(1024);
  ASSERT_NE(exchange, nullptr);
  ASSERT_NE(signing, nullptr);
  const DWORD freeBefore = freeContainers();
  importKey(exchange.get(), 5, AT_KEYEXCHANGE, config.userPinRef, config.userAccess);
  importKey(signing.get(), 5, AT_SIGNATURE, config.userPinRef, config.userAccess);
  EXPECT_EQ(freeContainers(), freeBefore - 1);

  Bytes keyExchange;
  Bytes signature;
  ASSERT_EQ(containerInfo(5, keyExchange, signature), 0u);
  EXPECT_EQ(keyExchange, publicKeyBlob(exchange.get(), AT_KEYEXCHANGE));
  EXPECT_EQ(signature, publicKeyBlob(signing.get(), AT_SIGNATURE));

  // The card refuses the deletion to someone logged out, and keeps both keys.
  static char16_t user[] = u"user";
  ASSERT_EQ(CardDeauthenticate(&cardData, user, 0), 0u);
  EXPECT_EQ(CardDeleteContainer(&cardData, 5, 0), SCARD_W_SECURITY_VIOLATION);
  ASSERT_EQ(containerInfo(5, keyExchange, signature), 0u);
  EXPECT_FALSE(keyExchange.empty() || signature.empty());

  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(CardDeleteContainer(&cardData, 5, 0), 0u);
  EXPECT_EQ(containerInfo(5, keyExchange, signature), SCARD_E_NO_KEY_CONTAINER);
  PIN_ID role = 99;
  EXPECT_EQ(pinIdentifier(5, role), SCARD_E_NO_KEY_CONTAINER);
  EXPECT_EQ(freeContainers(), freeBefore);
  const Bytes hash(32, 0x5A);
  EXPECT_TRUE(cardSignature(static_cast<std::uint8_t>(config.kxKeyRefBase + 5), hash).empty())
      << "the card no longer knows the key";
  // Deleting again finds nothing to delete.
  EXPECT_EQ(CardDeleteContainer(&cardData, 5, 0), 0u);
}

TEST_F(ContainersOnSimulatedCard, PinIdentifierOfAnAdministratorsSignatureKey) {
  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(loginAdmin(), 0u);
  const std::uint8_t admin = card().config().adminPinRef;
  Pkey key = generateRsa(1024);
  ASSERT_NE(key, nullptr);
  importKey(key.get(), 7, AT_SIGNATURE, admin, admin);
  PIN_ID role = 99;
  EXPECT_EQ(pinIdentifier(7, role), 0u);
  EXPECT_EQ(role, static_cast<PIN_ID>(ROLE_ADMIN));
}

}  // namespace
}  // namespace vemra::test
