// The PKCS #11 module's requests as the driver receives them: a stand-in
// driver behind a CARD_DATA records every signing and decryption record and
// answers as the driver would, so the mapping of hashes, padding, OAEP
// parameters and byte order is checked without a card.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver_port.h"
#include "provider.h"

namespace vemra::p11::test {
namespace {

// What the stand-in saw, and how it answers.
struct StandIn {
  DWORD answer = 0;
  CARD_SIGNING_INFO signing{};
  bool paddingInfo = false;      // the signing record pointed at PKCS #1 padding information
  bool paddingAlgorithm = false;  // ... which named a hash
  Bytes signedData;
  CARD_RSA_DECRYPT_INFO decrypting{};
  Bytes block;
  std::u16string oaepHash;
  bool oaepHashNull = false;
  Bytes oaepLabel;
  Bytes unpadded;  // what the decryption leaves at the front of the block
  int createEx = 0;
  int create = 0;
  PIN_ID role = 0;
};
StandIn standIn;

DWORD WINAPI signData(PCARD_DATA, PCARD_SIGNING_INFO info) {
  standIn.signing = *info;
  // The padding information lives only as long as the call.
  standIn.paddingInfo = info->pPaddingInfo != nullptr;
  standIn.paddingAlgorithm =
      standIn.paddingInfo && static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(info->pPaddingInfo)->pszAlgId != nullptr;
  standIn.signing.pPaddingInfo = nullptr;
  standIn.signedData.assign(info->pbData, info->pbData + info->cbData);
  if (standIn.answer != 0) return standIn.answer;
  // A signature of four bytes, least significant first as the driver gives it.
  info->cbSignedData = 4;
  info->pbSignedData = static_cast<PBYTE>(host::providerAlloc(4));
  const BYTE le[] = {0x01, 0x02, 0x03, 0x04};
  std::memcpy(info->pbSignedData, le, 4);
  return 0;
}

DWORD WINAPI rsaDecrypt(PCARD_DATA, PCARD_RSA_DECRYPT_INFO info) {
  standIn.decrypting = *info;
  standIn.block.assign(info->pbData, info->pbData + info->cbData);
  if (info->dwPaddingType == CARD_PADDING_OAEP && info->pPaddingInfo != nullptr) {
    const auto* oaep = static_cast<const host::OaepPaddingInfo*>(info->pPaddingInfo);
    standIn.oaepHashNull = oaep->pszAlgId == nullptr;
    if (oaep->pszAlgId != nullptr) standIn.oaepHash = reinterpret_cast<const char16_t*>(oaep->pszAlgId);
    standIn.oaepLabel.assign(oaep->pbLabel, oaep->pbLabel + (oaep->pbLabel == nullptr ? 0 : oaep->cbLabel));
  }
  if (standIn.answer != 0) return standIn.answer;
  std::memcpy(info->pbData, standIn.unpadded.data(), standIn.unpadded.size());
  info->cbData = static_cast<DWORD>(standIn.unpadded.size());
  return 0;
}

DWORD WINAPI createContainerEx(PCARD_DATA, BYTE, DWORD, DWORD, DWORD, PBYTE, PIN_ID role) {
  ++standIn.createEx;
  standIn.role = role;
  return 0;
}

DWORD WINAPI createContainer(PCARD_DATA, BYTE, DWORD, DWORD, DWORD, PBYTE) {
  ++standIn.create;
  return 0;
}

class StandInPort final : public DriverPort {
 public:
  DWORD beginTransaction() override { return 0; }
  void endTransaction() override {}
  DWORD privateKeyOperation(BYTE, DWORD, const Bytes&, Bytes&) override { return SCARD_E_UNSUPPORTED_FEATURE; }
  StandInPort() {
    record.dwVersion = 7;
    record.pfnCardSignData = signData;
    record.pfnCardRSADecrypt = rsaDecrypt;
    record.pfnCardCreateContainerEx = createContainerEx;
    record.pfnCardCreateContainer = createContainer;
    standIn = StandIn{};
  }
  CARD_DATA record{};

 private:
  CARD_DATA* cd() override { return &record; }
};

TEST(DriverPort, SignRequestsNameTheHashOrSendTheDataBare) {
  const Bytes hash(32, 0x5A);
  const Bytes digestInfo(51, 0x3C);
  struct Case {
    const char* what;
    ALG_ID hashAlg;
    const Bytes& data;
    DWORD flags;
    DWORD paddingType;
  };
  const Case cases[] = {
      {"a SHA-256 hash", CALG_SHA_256, hash, 0, 0},
      {"a DigestInfo built by the caller", 0, digestInfo, CARD_PADDING_INFO_PRESENT, CARD_PADDING_PKCS1},
  };
  for (const Case& c : cases) {
    StandInPort port;
    Bytes signature;
    ASSERT_EQ(port.sign(3, AT_SIGNATURE, c.hashAlg, c.data, signature), 0u) << c.what;
    const CARD_SIGNING_INFO& seen = standIn.signing;
    EXPECT_EQ(seen.dwVersion, 2u) << c.what;
    EXPECT_EQ(seen.bContainerIndex, 3) << c.what;
    EXPECT_EQ(seen.dwKeySpec, DWORD{AT_SIGNATURE}) << c.what;
    EXPECT_EQ(seen.aiHashAlg, c.hashAlg) << c.what;
    EXPECT_EQ(seen.dwSigningFlags, c.flags) << c.what;
    EXPECT_EQ(seen.dwPaddingType, c.paddingType) << c.what;
    EXPECT_EQ(standIn.signedData, c.data) << c.what;
    if (c.flags != 0) {
      ASSERT_TRUE(standIn.paddingInfo) << c.what;
      EXPECT_FALSE(standIn.paddingAlgorithm) << c.what;
    }
    EXPECT_EQ(signature, (Bytes{0x04, 0x03, 0x02, 0x01})) << c.what << ": most significant byte first";
  }
  StandInPort port;
  standIn.answer = SCARD_W_SECURITY_VIOLATION;
  Bytes signature{9};
  EXPECT_EQ(port.sign(0, AT_KEYEXCHANGE, CALG_SHA1, Bytes(20, 1), signature), DWORD{SCARD_W_SECURITY_VIOLATION});
  EXPECT_EQ(signature, Bytes{9}) << "nothing comes back from a refusal";
}

TEST(DriverPort, DecryptRequestsCarryThePaddingAndTheOaepParameters) {
  const Bytes block(128, 0xC3);
  const OaepParams sha256{u"SHA256", {'l', 'a', 'b'}};
  struct Case {
    const char* what;
    DWORD padding;
    const OaepParams* oaep;
    bool paddingInfo;
    std::u16string hash;
    Bytes label;
  };
  const Case cases[] = {
      {"PKCS #1 v1.5", CARD_PADDING_PKCS1, nullptr, false, u"", {}},
      {"OAEP with SHA-256 and a label", CARD_PADDING_OAEP, &sha256, true, u"SHA256", {'l', 'a', 'b'}},
      {"OAEP with its defaults", CARD_PADDING_OAEP, nullptr, true, u"SHA1", {}},
  };
  for (const Case& c : cases) {
    StandInPort port;
    standIn.unpadded = {'o', 'k'};
    Bytes out;
    ASSERT_EQ(port.decrypt(5, AT_KEYEXCHANGE, block, c.padding, c.oaep, out), 0u) << c.what;
    const CARD_RSA_DECRYPT_INFO& seen = standIn.decrypting;
    EXPECT_EQ(seen.dwVersion, 2u) << c.what;
    EXPECT_EQ(seen.bContainerIndex, 5) << c.what;
    EXPECT_EQ(seen.dwKeySpec, DWORD{AT_KEYEXCHANGE}) << c.what;
    EXPECT_EQ(seen.dwPaddingType, c.padding) << c.what;
    EXPECT_EQ(standIn.block, block) << c.what << ": the block as it is";
    EXPECT_EQ(seen.pPaddingInfo != nullptr, c.paddingInfo) << c.what;
    EXPECT_FALSE(standIn.oaepHashNull) << c.what;
    EXPECT_EQ(standIn.oaepHash, c.hash) << c.what;
    EXPECT_EQ(standIn.oaepLabel, c.label) << c.what;
    EXPECT_EQ(out, (Bytes{'o', 'k'})) << c.what << ": the unpadded bytes, cut to their count";
  }
  StandInPort port;
  standIn.answer = 0x80090005;
  Bytes out{7};
  EXPECT_EQ(port.decrypt(0, AT_KEYEXCHANGE, block, CARD_PADDING_PKCS1, nullptr, out), 0x80090005u);
  EXPECT_EQ(out, Bytes{7});
}

TEST(DriverPort, KeysAreImportedForTheUserAndPublicKeysReadFromTheirBlobs) {
  StandInPort port;
  EXPECT_EQ(port.importKey(1, AT_KEYEXCHANGE, Bytes(596, 1), 1024), 0u);
  EXPECT_EQ(standIn.createEx, 1);
  EXPECT_EQ(standIn.role, PIN_ID{ROLE_USER});
  port.record.pfnCardCreateContainerEx = nullptr;  // an older driver
  EXPECT_EQ(port.importKey(1, AT_KEYEXCHANGE, Bytes(596, 1), 1024), 0u);
  EXPECT_EQ(standIn.create, 1);

  // A 16-bit "key" keeps the blobs short: modulus 01 C5 (LE C5 01), e = 3.
  const Bytes good = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '1',
                      0x10, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0xC5, 0x01};
  const auto key = fromBlob(good.data(), static_cast<DWORD>(good.size()));
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(key->modulus, (Bytes{0x01, 0xC5}));
  EXPECT_EQ(key->exponent, Bytes{0x03});
  Bytes magic = good;
  magic[11] = '2';
  Bytes zeroBits = good;
  zeroBits[12] = 0x00;
  const Bytes shorter(good.begin(), good.end() - 1);
  for (const Bytes* bad : std::vector<const Bytes*>{&magic, &zeroBits, &shorter}) {
    EXPECT_FALSE(fromBlob(bad->data(), static_cast<DWORD>(bad->size())).has_value());
  }
  EXPECT_FALSE(fromBlob(nullptr, 0).has_value());
}

}  // namespace
}  // namespace vemra::p11::test
