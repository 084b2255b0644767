// The module's mapping of the card to PKCS #11, against the in-memory card.
#include <openssl/evp.h>

#include <atomic>
#include <thread>

#include "p11_fixture.h"
#include "vemradrv/version.h"

namespace vemra::p11::test {
namespace {

Bytes ulongBytes(CK_ULONG v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}
const Bytes kTrue{CK_TRUE};
const Bytes kFalse{CK_FALSE};

TEST_F(P11Test, TokenCarriesCardIdentityAndPinCounterFlags) {
  CK_TOKEN_INFO info{};
  ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 32), "VEMRA a1b2c3d4e5f60718          ");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.serialNumber), 16), "01020304050607  ");
  EXPECT_EQ(info.flags, CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED);
  EXPECT_EQ(info.ulMinPinLen, 4u);
  EXPECT_EQ(info.ulMaxPinLen, 48u) << "the security officer's PIN is the 48-digit administrator key";

  // The counter flags follow what the card answered to the last PIN.
  struct Step {
    std::string pin;
    CK_RV rv;
    CK_FLAGS flags;
  };
  const Step steps[] = {
      {"9999", CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW},
      {"9999", CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
      {"1234", CKR_OK, 0},
  };
  const CK_SESSION_HANDLE s = open();
  for (const Step& step : steps) {
    EXPECT_EQ(login(s, step.pin), step.rv) << step.pin;
    ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED), step.flags)
        << step.pin;
  }
}

TEST_F(P11Test, CardWithoutLayoutIsAnUninitialisedTokenWithoutObjects) {
  fakeCard().files.clear();
  CK_TOKEN_INFO info{};
  ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
  EXPECT_EQ(info.flags & CKF_TOKEN_INITIALIZED, 0u);
  EXPECT_TRUE(find(open(), {}).empty());
}

TEST_F(P11Test, LoginStatesAndTheirErrors) {
  struct Case {
    const char* what;
    bool readOnlySession;
    CK_USER_TYPE who;
    std::string pin;
    DWORD triesBefore;
    CK_RV expected;
    bool cardAsked;
  };
  const Case cases[] = {
      {"user PIN", false, CKU_USER, "1234", 3, CKR_OK, true},
      {"wrong PIN", false, CKU_USER, "4321", 3, CKR_PIN_INCORRECT, true},
      {"blocked PIN", false, CKU_USER, "1234", 0, CKR_PIN_LOCKED, true},
      {"PIN too short for the card", false, CKU_USER, "123", 3, CKR_PIN_INCORRECT, false},
      {"PIN too long for the card", false, CKU_USER, "123456789", 3, CKR_PIN_INCORRECT, false},
      {"administrator key", false, CKU_SO, kAdminHex, 3, CKR_OK, true},
      {"wrong administrator key", false, CKU_SO, std::string(48, '2'), 3, CKR_PIN_INCORRECT, true},
      {"administrator key not hex", false, CKU_SO, std::string(48, 'x'), 3, CKR_PIN_INCORRECT, false},
      {"administrator key too short", false, CKU_SO, std::string(46, '1'), 3, CKR_PIN_INCORRECT, false},
      {"security officer beside a read-only session", true, CKU_SO, kAdminHex, 3, CKR_SESSION_READ_ONLY_EXISTS,
       false},
      {"unknown user type", false, 7, "1234", 3, CKR_USER_TYPE_INVALID, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    fakeCard().pinTries = c.triesBefore;
    const CK_SESSION_HANDLE s = open(!c.readOnlySession);
    const int callsBefore = fakeCard().cardCalls;
    EXPECT_EQ(login(s, c.pin, c.who), c.expected);
    EXPECT_EQ(fakeCard().cardCalls > callsBefore, c.cardAsked);
    CK_SESSION_INFO info{};
    ASSERT_EQ(f->C_GetSessionInfo(s, &info), CKR_OK);
    const CK_STATE loggedIn = c.who == CKU_SO ? CKS_RW_SO_FUNCTIONS : CKS_RW_USER_FUNCTIONS;
    const CK_STATE anonymous = c.readOnlySession ? CKS_RO_PUBLIC_SESSION : CKS_RW_PUBLIC_SESSION;
    EXPECT_EQ(info.state, c.expected == CKR_OK ? loggedIn : anonymous);
  }
}

TEST_F(P11Test, LoginTwiceLogoutAndClosingTheLastSessionEndTheLogin) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  EXPECT_EQ(login(s), CKR_USER_ALREADY_LOGGED_IN);
  EXPECT_EQ(login(s, kAdminHex, CKU_SO), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
  EXPECT_EQ(f->C_Logout(s), CKR_OK);
  EXPECT_FALSE(fakeCard().userIn) << "logout deauthenticates on the card";
  EXPECT_EQ(f->C_Logout(s), CKR_USER_NOT_LOGGED_IN);
  ASSERT_EQ(login(s), CKR_OK);
  ASSERT_EQ(f->C_CloseSession(s), CKR_OK);
  EXPECT_FALSE(fakeCard().userIn);
  CK_SESSION_INFO info{};
  const CK_SESSION_HANDLE again = open(false);
  ASSERT_EQ(f->C_GetSessionInfo(again, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
}

TEST_F(P11Test, PinChangeAndUnblockReachTheCard) {
  CK_SESSION_HANDLE s = open();
  CK_UTF8CHAR oldPin[] = "1234";
  CK_UTF8CHAR newPin[] = "5678";
  CK_UTF8CHAR tooShort[] = "12";
  EXPECT_EQ(f->C_SetPIN(s, oldPin, 4, tooShort, 2), CKR_PIN_LEN_RANGE);
  EXPECT_EQ(f->C_SetPIN(s, newPin, 4, oldPin, 4), CKR_PIN_INCORRECT);
  EXPECT_EQ(f->C_SetPIN(s, oldPin, 4, newPin, 4), CKR_OK);
  EXPECT_EQ(fakeCard().pin, "5678");
  EXPECT_EQ(f->C_InitPIN(s, oldPin, 4), CKR_USER_NOT_LOGGED_IN);
  ASSERT_EQ(login(s, kAdminHex, CKU_SO), CKR_OK);
  fakeCard().pinTries = 0;
  EXPECT_EQ(f->C_InitPIN(s, oldPin, 4), CKR_OK);
  EXPECT_EQ(fakeCard().pin, "1234");
  EXPECT_EQ(fakeCard().pinTries, 3u);
  // The security officer changes the administrator key, both in hex.
  const std::string next(48, 'A');
  EXPECT_EQ(f->C_SetPIN(s, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kAdminHex)), 48,
                        reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(next.data())), 48),
            CKR_OK);
  EXPECT_EQ(fakeCard().adminKey, Bytes(24, 0xAA));
}

TEST_F(P11Test, ObjectsOfTheContainersAndTheirAttributes) {
  const CK_SESSION_HANDLE s = open();
  EXPECT_EQ(find(s, {}).size(), 3u) << "without login: two public keys and a certificate";
  ASSERT_EQ(login(s), CKR_OK);
  EXPECT_EQ(find(s, {}).size(), 5u);

  const CK_OBJECT_HANDLE kxPrivate = findOne(s, CKO_PRIVATE_KEY, 0);
  const CK_OBJECT_HANDLE sigPrivate = findOne(s, CKO_PRIVATE_KEY, 1);
  const CK_OBJECT_HANDLE kxPublic = findOne(s, CKO_PUBLIC_KEY, 0);
  const CK_OBJECT_HANDLE cert = findOne(s, CKO_CERTIFICATE, 0);
  struct Expect {
    CK_OBJECT_HANDLE object;
    CK_ATTRIBUTE_TYPE type;
    Bytes value;
  };
  const Expect expects[] = {
      {kxPrivate, CKA_KEY_TYPE, ulongBytes(CKK_RSA)},
      {kxPrivate, CKA_MODULUS, Bytes(256, 0xC0)},
      {kxPrivate, CKA_PUBLIC_EXPONENT, Bytes{1, 0, 1}},
      {kxPrivate, CKA_ID, Bytes{0, AT_KEYEXCHANGE}},
      {kxPrivate, CKA_LABEL, Bytes{'a', 'l', 'p', 'h', 'a'}},
      {kxPrivate, CKA_SIGN, kTrue},
      {kxPrivate, CKA_DECRYPT, kTrue},
      {kxPrivate, CKA_SENSITIVE, kTrue},
      {kxPrivate, CKA_EXTRACTABLE, kFalse},
      {kxPrivate, CKA_PRIVATE, kTrue},
      {kxPrivate, CKA_TOKEN, kTrue},
      {sigPrivate, CKA_SIGN, kTrue},
      {sigPrivate, CKA_DECRYPT, kFalse},
      {sigPrivate, CKA_ID, Bytes{1, AT_SIGNATURE}},
      {kxPublic, CKA_CLASS, ulongBytes(CKO_PUBLIC_KEY)},
      {kxPublic, CKA_MODULUS_BITS, ulongBytes(2048)},
      {kxPublic, CKA_PRIVATE, kFalse},
      {kxPublic, CKA_ENCRYPT, kTrue},
      {kxPublic, CKA_ID, Bytes{0, AT_KEYEXCHANGE}},
      {cert, CKA_CERTIFICATE_TYPE, ulongBytes(CKC_X_509)},
      {cert, CKA_VALUE, certificate},
      {cert, CKA_ID, Bytes{0, AT_KEYEXCHANGE}},
      {cert, CKA_SERIAL_NUMBER, Bytes{0x02, 0x01, 0x07}},
  };
  for (const Expect& e : expects) {
    EXPECT_EQ(attribute(s, e.object, e.type), e.value) << "object " << e.object << " attribute 0x" << std::hex << e.type;
  }
}

TEST_F(P11Test, AttributeErrorsAreReportedPerAttribute) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  const CK_OBJECT_HANDLE key = findOne(s, CKO_PRIVATE_KEY, 0);
  CK_BYTE small[4];
  CK_ULONG keyType = 0;
  CK_ATTRIBUTE a[] = {
      {CKA_PRIVATE_EXPONENT, nullptr, 0},
      {CKA_KEY_TYPE, &keyType, sizeof keyType},
      {CKA_MODULUS, small, sizeof small},
      {CKA_VALUE_LEN, nullptr, 0},
  };
  EXPECT_EQ(f->C_GetAttributeValue(s, key, a, 4), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(a[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(keyType, CKK_RSA) << "the other attributes are still filled";
  EXPECT_EQ(a[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(a[3].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(f->C_GetAttributeValue(s, 999, a, 1), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(f->C_GetAttributeValue(999, key, a, 1), CKR_SESSION_HANDLE_INVALID);
  ASSERT_EQ(f->C_Logout(s), CKR_OK);
  EXPECT_EQ(f->C_GetAttributeValue(s, key, a + 1, 1), CKR_OBJECT_HANDLE_INVALID) << "private objects hide after logout";
}

TEST_F(P11Test, FindTemplates) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  CK_OBJECT_CLASS priv = CKO_PRIVATE_KEY;
  CK_OBJECT_CLASS pub = CKO_PUBLIC_KEY;
  CK_BBOOL yes = CK_TRUE;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_KEY_TYPE ec = CKK_EC;
  char alpha[] = "alpha";
  CK_BYTE sigId[] = {1, AT_SIGNATURE};
  CK_BYTE shortId[] = {1};
  struct Case {
    const char* what;
    std::vector<CK_ATTRIBUTE> tmpl;
    std::size_t found;
  };
  const Case cases[] = {
      {"everything", {}, 5},
      {"private keys", {{CKA_CLASS, &priv, sizeof priv}}, 2},
      {"keys that decrypt", {{CKA_CLASS, &priv, sizeof priv}, {CKA_DECRYPT, &yes, sizeof yes}}, 1},
      {"RSA public keys", {{CKA_CLASS, &pub, sizeof pub}, {CKA_KEY_TYPE, &rsa, sizeof rsa}}, 2},
      {"EC keys", {{CKA_KEY_TYPE, &ec, sizeof ec}}, 0},
      {"by label", {{CKA_LABEL, alpha, 5}}, 3},
      {"by label prefix", {{CKA_LABEL, alpha, 4}}, 0},
      {"by id", {{CKA_ID, sigId, sizeof sigId}}, 2},
      {"by a shorter id", {{CKA_ID, shortId, sizeof shortId}}, 0},
      {"an attribute no object has", {{CKA_VALUE_LEN, &rsa, sizeof rsa}}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(find(s, c.tmpl).size(), c.found) << c.what;

  // In batches, and an operation at a time.
  ASSERT_EQ(f->C_FindObjectsInit(s, nullptr, 0), CKR_OK);
  EXPECT_EQ(f->C_FindObjectsInit(s, nullptr, 0), CKR_OPERATION_ACTIVE);
  CK_OBJECT_HANDLE batch[2];
  CK_ULONG n = 0;
  std::size_t total = 0;
  do {
    ASSERT_EQ(f->C_FindObjects(s, batch, 2, &n), CKR_OK);
    total += n;
  } while (n == 2);
  EXPECT_EQ(total, 5u);
  EXPECT_EQ(f->C_FindObjectsFinal(s), CKR_OK);
  EXPECT_EQ(f->C_FindObjects(s, batch, 2, &n), CKR_OPERATION_NOT_INITIALIZED);
}

class SignTest : public P11Test {
 protected:
  Bytes digestOf(const char* name, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_get_digestbyname(name), nullptr);
    out.resize(n);
    return out;
  }
};

TEST_F(SignTest, EachMechanismHandsTheCardWhatItSigns) {
  const Bytes message(1000, 'm');
  struct Case {
    CK_MECHANISM_TYPE mechanism;
    ALG_ID hashAlg;
    const char* digest;  // nullptr: the data as it is
  };
  const Case cases[] = {
      {CKM_RSA_PKCS, 0, nullptr},
      {CKM_SHA1_RSA_PKCS, CALG_SHA1, "SHA1"},
      {CKM_SHA256_RSA_PKCS, CALG_SHA_256, "SHA256"},
      {CKM_SHA384_RSA_PKCS, CALG_SHA_384, "SHA384"},
      {CKM_SHA512_RSA_PKCS, CALG_SHA_512, "SHA512"},
  };
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  const CK_OBJECT_HANDLE key = findOne(s, CKO_PRIVATE_KEY, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mechanism);
    const Bytes data = c.digest != nullptr ? message : Bytes(51, 'd');
    const Bytes sent = c.digest != nullptr ? digestOf(c.digest, message) : data;
    for (bool multiPart : {false, true}) {
      if (c.digest == nullptr && multiPart) continue;
      fakeCard().signs.clear();
      CK_MECHANISM m{c.mechanism, nullptr, 0};
      ASSERT_EQ(f->C_SignInit(s, &m, key), CKR_OK);
      CK_ULONG length = 0;
      Bytes signature(256);
      if (multiPart) {
        ASSERT_EQ(f->C_SignUpdate(s, const_cast<uint8_t*>(data.data()), 300), CKR_OK);
        ASSERT_EQ(f->C_SignUpdate(s, const_cast<uint8_t*>(data.data()) + 300, data.size() - 300), CKR_OK);
        ASSERT_EQ(f->C_SignFinal(s, nullptr, &length), CKR_OK);
        EXPECT_EQ(length, 256u);
        length = 100;
        ASSERT_EQ(f->C_SignFinal(s, signature.data(), &length), CKR_BUFFER_TOO_SMALL);
        ASSERT_EQ(f->C_SignFinal(s, signature.data(), &length), CKR_OK);
      } else {
        ASSERT_EQ(f->C_Sign(s, const_cast<uint8_t*>(data.data()), data.size(), nullptr, &length), CKR_OK);
        EXPECT_EQ(length, 256u);
        ASSERT_EQ(f->C_Sign(s, const_cast<uint8_t*>(data.data()), data.size(), signature.data(), &length), CKR_OK);
      }
      EXPECT_EQ(length, 256u);
      EXPECT_EQ(signature.front(), 0x01) << "the card's signature, most significant byte first";
      ASSERT_EQ(fakeCard().signs.size(), 1u) << "one signature per operation, whatever the length queries";
      EXPECT_EQ(fakeCard().signs[0].container, 1);
      EXPECT_EQ(fakeCard().signs[0].keySpec, DWORD{AT_SIGNATURE});
      EXPECT_EQ(fakeCard().signs[0].hashAlg, c.hashAlg);
      EXPECT_EQ(fakeCard().signs[0].data, sent);
      EXPECT_EQ(f->C_SignFinal(s, signature.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
    }
  }
}

TEST_F(SignTest, OperationsRefusedBeforeTheCardIsAsked) {
  const CK_SESSION_HANDLE s = open();
  CK_MECHANISM pkcs{CKM_RSA_PKCS, nullptr, 0};
  const CK_OBJECT_HANDLE sigPublic = findOne(s, CKO_PUBLIC_KEY, 1);
  EXPECT_EQ(f->C_SignInit(s, &pkcs, objectHandle(1, AT_SIGNATURE, CKO_PRIVATE_KEY)), CKR_USER_NOT_LOGGED_IN);
  ASSERT_EQ(login(s), CKR_OK);
  const CK_OBJECT_HANDLE sigKey = findOne(s, CKO_PRIVATE_KEY, 1);
  const CK_OBJECT_HANDLE kxKey = findOne(s, CKO_PRIVATE_KEY, 0);
  CK_BYTE parameter[4] = {};
  CK_MECHANISM withParameter{CKM_SHA256_RSA_PKCS, parameter, sizeof parameter};
  CK_MECHANISM oaep{CKM_RSA_PKCS_OAEP, nullptr, 0};
  CK_MECHANISM unknown{CKM_MD5_RSA_PKCS, nullptr, 0};
  struct Case {
    const char* what;
    bool decrypt;
    CK_MECHANISM* mechanism;
    CK_OBJECT_HANDLE key;
    CK_RV expected;
  };
  const Case cases[] = {
      {"unknown key", false, &pkcs, 4242, CKR_KEY_HANDLE_INVALID},
      {"public key", false, &pkcs, sigPublic, CKR_KEY_HANDLE_INVALID},
      {"mechanism the card lacks", false, &unknown, sigKey, CKR_MECHANISM_INVALID},
      {"OAEP to sign", false, &oaep, kxKey, CKR_MECHANISM_INVALID},
      {"hash mechanism with a parameter", false, &withParameter, sigKey, CKR_MECHANISM_PARAM_INVALID},
      {"decrypt with a signature key", true, &pkcs, sigKey, CKR_KEY_FUNCTION_NOT_PERMITTED},
      {"OAEP without parameters", true, &oaep, kxKey, CKR_MECHANISM_PARAM_INVALID},
      {"hash mechanism to decrypt", true, &withParameter, kxKey, CKR_MECHANISM_INVALID},
  };
  for (const Case& c : cases) {
    const CK_RV rv = c.decrypt ? f->C_DecryptInit(s, c.mechanism, c.key) : f->C_SignInit(s, c.mechanism, c.key);
    EXPECT_EQ(rv, c.expected) << c.what;
  }
  // Data signed as it is must leave room for the padding.
  ASSERT_EQ(f->C_SignInit(s, &pkcs, sigKey), CKR_OK);
  Bytes data(246, 1);
  Bytes signature(256);
  CK_ULONG length = signature.size();
  EXPECT_EQ(f->C_Sign(s, data.data(), data.size(), signature.data(), &length), CKR_DATA_LEN_RANGE);
  EXPECT_TRUE(fakeCard().signs.empty());
}

TEST_F(SignTest, DecryptionPaddingsAndOaepParameters) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  const CK_OBJECT_HANDLE key = findOne(s, CKO_PRIVATE_KEY, 0);
  CK_BYTE label[] = {'l', 'b'};
  struct Case {
    const char* what;
    CK_MECHANISM_TYPE mechanism;
    CK_RSA_PKCS_OAEP_PARAMS params;
    CK_RV init;
    DWORD padding;
    std::u16string hash;
    Bytes label;
  };
  const Case cases[] = {
      {"PKCS #1", CKM_RSA_PKCS, {}, CKR_OK, CARD_PADDING_PKCS1, u"", {}},
      {"OAEP SHA-1", CKM_RSA_PKCS_OAEP, {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0}, CKR_OK,
       CARD_PADDING_OAEP, u"SHA1", {}},
      {"OAEP SHA-256 with label", CKM_RSA_PKCS_OAEP, {CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label, 2},
       CKR_OK, CARD_PADDING_OAEP, u"SHA256", {'l', 'b'}},
      {"OAEP SHA-512", CKM_RSA_PKCS_OAEP, {CKM_SHA512, CKG_MGF1_SHA512, 0, nullptr, 0}, CKR_OK, CARD_PADDING_OAEP,
       u"SHA512", {}},
      {"OAEP mask hash not the label hash", CKM_RSA_PKCS_OAEP, {CKM_SHA256, CKG_MGF1_SHA1, 0, nullptr, 0},
       CKR_MECHANISM_PARAM_INVALID, 0, u"", {}},
      {"OAEP MD5", CKM_RSA_PKCS_OAEP, {CKM_MD5, CKG_MGF1_SHA1, 0, nullptr, 0}, CKR_MECHANISM_PARAM_INVALID, 0, u"",
       {}},
      {"OAEP label length without label", CKM_RSA_PKCS_OAEP, {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 4},
       CKR_MECHANISM_PARAM_INVALID, 0, u"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fakeCard().decrypts.clear();
    CK_RSA_PKCS_OAEP_PARAMS params = c.params;
    CK_MECHANISM m{c.mechanism, c.mechanism == CKM_RSA_PKCS_OAEP ? &params : nullptr,
                   c.mechanism == CKM_RSA_PKCS_OAEP ? sizeof params : 0};
    ASSERT_EQ(f->C_DecryptInit(s, &m, key), c.init);
    if (c.init != CKR_OK) continue;
    Bytes block(256, 0x33);
    Bytes plain(256);
    CK_ULONG length = 0;
    ASSERT_EQ(f->C_Decrypt(s, block.data(), block.size(), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 256u) << "before the card decrypts, the key's size bounds the result";
    length = 3;
    ASSERT_EQ(f->C_Decrypt(s, block.data(), block.size(), plain.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 6u);
    ASSERT_EQ(f->C_Decrypt(s, block.data(), block.size(), plain.data(), &length), CKR_OK);
    plain.resize(length);
    EXPECT_EQ(plain, fakeCard().plain);
    ASSERT_EQ(fakeCard().decrypts.size(), 1u);
    EXPECT_EQ(fakeCard().decrypts[0].padding, c.padding);
    EXPECT_EQ(fakeCard().decrypts[0].oaepHash, c.hash);
    EXPECT_EQ(fakeCard().decrypts[0].oaepLabel, c.label);
  }

  CK_MECHANISM pkcs{CKM_RSA_PKCS, nullptr, 0};
  Bytes block(255, 0x33);
  Bytes plain(256);
  CK_ULONG length = plain.size();
  ASSERT_EQ(f->C_DecryptInit(s, &pkcs, key), CKR_OK);
  EXPECT_EQ(f->C_Decrypt(s, block.data(), block.size(), plain.data(), &length), CKR_ENCRYPTED_DATA_LEN_RANGE);
  block.resize(256);
  fakeCard().decryptFailure = SCARD_E_INVALID_PARAMETER;  // the unpad callback found no valid padding
  ASSERT_EQ(f->C_DecryptInit(s, &pkcs, key), CKR_OK);
  EXPECT_EQ(f->C_Decrypt(s, block.data(), block.size(), plain.data(), &length), CKR_ENCRYPTED_DATA_INVALID);
}

TEST_F(P11Test, CardRemovedClosesTheTokensSessions) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  const CK_OBJECT_HANDLE key = findOne(s, CKO_PRIVATE_KEY, 1);
  CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(f->C_SignInit(s, &m, key), CKR_OK);
  fakeCard().removed = true;
  Bytes data{1, 2, 3};
  Bytes signature(256);
  CK_ULONG length = signature.size();
  EXPECT_EQ(f->C_Sign(s, data.data(), data.size(), signature.data(), &length), CKR_DEVICE_REMOVED);
  CK_SESSION_INFO info{};
  EXPECT_EQ(f->C_GetSessionInfo(s, &info), CKR_SESSION_HANDLE_INVALID);

  // Out of the reader: no token; back in: a fresh token, nobody logged in.
  fakeCard().removed = false;
  fakeCard().present = false;
  CK_ULONG count = 0;
  ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 0u);
  CK_SESSION_HANDLE none = 0;
  EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &none), CKR_TOKEN_NOT_PRESENT);
  fakeCard().present = true;
  const CK_SESSION_HANDLE again = open();
  ASSERT_EQ(f->C_GetSessionInfo(again, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
}

TEST_F(P11Test, GeneralErrorCodes) {
  CK_SESSION_HANDLE s = 0;
  EXPECT_EQ(f->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  EXPECT_EQ(f->C_OpenSession(0, 0, nullptr, nullptr, &s), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  EXPECT_EQ(f->C_OpenSession(7, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_SLOT_ID_INVALID);
  EXPECT_EQ(f->C_CloseSession(12345), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(f->C_WaitForSlotEvent(0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(f->C_GenerateKeyPair(0, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
  CK_MECHANISM_INFO info{};
  ASSERT_EQ(f->C_GetMechanismInfo(0, CKM_RSA_PKCS_OAEP, &info), CKR_OK);
  EXPECT_EQ(info.flags, CKF_HW | CKF_DECRYPT);
  EXPECT_EQ(info.ulMinKeySize, 1024u);
  EXPECT_EQ(info.ulMaxKeySize, 2048u);
  EXPECT_EQ(f->C_GetMechanismInfo(0, CKM_MD5_RSA_PKCS, &info), CKR_MECHANISM_INVALID);
  // A caller that offers its own locks but forbids the system's cannot be served.
  ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
  CK_C_INITIALIZE_ARGS args{};
  args.CreateMutex = [](void**) -> CK_RV { return CKR_OK; };
  args.DestroyMutex = [](void*) -> CK_RV { return CKR_OK; };
  args.LockMutex = [](void*) -> CK_RV { return CKR_OK; };
  args.UnlockMutex = [](void*) -> CK_RV { return CKR_OK; };
  EXPECT_EQ(f->C_Initialize(&args), CKR_CANT_LOCK);
  args.flags = CKF_OS_LOCKING_OK;
  EXPECT_EQ(f->C_Initialize(&args), CKR_OK);
}

TEST(CertificateFile, StoredFormsAndDamagedFiles) {
  const Bytes der = makeCertificate();
  Bytes truncated = compressedCertificateFile(der);
  truncated.resize(truncated.size() - 5);
  Bytes wrongLength = compressedCertificateFile(der);
  wrongLength[2] = static_cast<uint8_t>(wrongLength[2] + 1);
  struct Case {
    const char* what;
    Bytes file;
    std::optional<Bytes> expected;
  };
  const Case cases[] = {
      {"DER as it is", der, der},
      {"compressed", compressedCertificateFile(der), der},
      {"compressed stream cut short", truncated, std::nullopt},
      {"length not the inflated length", wrongLength, std::nullopt},
      {"unknown first byte", Bytes{0x02, 0x00, 0x10, 0x00, 0x00}, std::nullopt},
      {"empty file", Bytes{}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(certificateFromFile(c.file), c.expected) << c.what;
}

}  // namespace
}  // namespace vemra::p11::test

namespace vemra::p11::test {
namespace {

TEST_F(P11Test, FinalizeEndsTheLoginOnTheCard) {
  ASSERT_EQ(login(open()), CKR_OK);
  ASSERT_TRUE(fakeCard().userIn);
  ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
  EXPECT_FALSE(fakeCard().userIn);
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
}

TEST_F(P11Test, SessionsOfSeveralThreadsShareTheTokenSafely) {
  ASSERT_EQ(login(open()), CKR_OK);
  constexpr int kThreads = 4;
  constexpr int kSignatures = 25;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      CK_SESSION_HANDLE s = 0;
      if (f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) ++failures;
      CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
      const CK_OBJECT_HANDLE key = objectHandle(1, AT_SIGNATURE, CKO_PRIVATE_KEY);
      for (int n = 0; n < kSignatures; ++n) {
        CK_BYTE data[] = {1, 2, 3};
        CK_BYTE signature[256];
        CK_ULONG length = sizeof signature;
        if (f->C_SignInit(s, &m, key) != CKR_OK || f->C_Sign(s, data, sizeof data, signature, &length) != CKR_OK) {
          ++failures;
        }
      }
      if (f->C_CloseSession(s) != CKR_OK) ++failures;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(fakeCard().signs.size(), std::size_t{kThreads * kSignatures});
}

// A search for keys leaves the certificates unread; a certificate's handle
// from an earlier search still answers after one.
TEST_F(P11Test, CertificatesAreReadOnlyForSearchesThatMayFindThem) {
  const CK_SESSION_HANDLE s = open();
  CK_OBJECT_CLASS pub = CKO_PUBLIC_KEY;
  EXPECT_EQ(find(s, {{CKA_CLASS, &pub, sizeof pub}}).size(), 2u);
  const int before = fakeCard().cardCalls;
  EXPECT_EQ(find(s, {}).size(), 3u) << "two public keys and the certificate";
  EXPECT_GT(fakeCard().cardCalls - before, 1) << "more than the freshness check: the certificate files";

  const CK_OBJECT_HANDLE cert = findOne(s, CKO_CERTIFICATE, 0);
  ASSERT_NE(cert, 0u);
  EXPECT_EQ(find(s, {{CKA_CLASS, &pub, sizeof pub}}).size(), 2u);
  EXPECT_EQ(attribute(s, cert, CKA_VALUE), certificate);
}

// The library version a PKCS #11 application sees is the project's version.
TEST_F(P11Test, ModuleInfoCarriesTheProjectVersion) {
  CK_INFO info{};
  ASSERT_EQ(f->C_GetInfo(&info), CKR_OK);
  EXPECT_EQ(info.libraryVersion.major, VEMRA_VERSION_MAJOR);
  EXPECT_EQ(info.libraryVersion.minor, VEMRA_VERSION_MINOR);
  EXPECT_EQ(info.cryptokiVersion.major, 2);
  EXPECT_EQ(info.cryptokiVersion.minor, 40);
}

}  // namespace
}  // namespace vemra::p11::test
