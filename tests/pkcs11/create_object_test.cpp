// C_CreateObject: what a template may ask of the card, certificates
// replaced in place, and labels beyond ASCII.
#include "key_template.h"
#include "p11_fixture.h"

namespace vemra::p11::test {
namespace {

// A self-signed certificate of `key` with serial number `serial`, DER.
Bytes certificateOf(EVP_PKEY* key, long serial) {
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("k"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  Bytes der(static_cast<std::size_t>(i2d_X509(cert, nullptr)));
  unsigned char* p = der.data();
  i2d_X509(cert, &p);
  X509_free(cert);
  return der;
}

class CreateObjectTest : public P11Test {
 protected:
  static void SetUpTestSuite() { key_ = EVP_RSA_gen(1024); }
  static void TearDownTestSuite() { EVP_PKEY_free(key_); }

  CK_RV create(std::vector<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE* out = nullptr) {
    CK_OBJECT_HANDLE handle = 0;
    const CK_RV rv = f->C_CreateObject(session_, tmpl.data(), tmpl.size(), &handle);
    if (out != nullptr) *out = handle;
    return rv;
  }
  CK_RV createCertificate(const Bytes& der, std::vector<CK_ATTRIBUTE> extra = {}) {
    std::vector<CK_ATTRIBUTE> tmpl = {{CKA_CLASS, &certClass_, sizeof certClass_},
                                      {CKA_TOKEN, &yes_, sizeof yes_},
                                      {CKA_VALUE, const_cast<uint8_t*>(der.data()), der.size()}};
    tmpl.insert(tmpl.end(), extra.begin(), extra.end());
    return create(tmpl);
  }
  CK_SESSION_HANDLE loggedIn() {
    session_ = open();
    EXPECT_EQ(login(session_), CKR_OK);
    return session_;
  }
  uint16_t filesCounter() {
    const Bytes& cf = fakeCard().files["cardcf"];
    return static_cast<uint16_t>(cf[4] | cf[5] << 8);
  }

  static EVP_PKEY* key_;
  CK_SESSION_HANDLE session_ = 0;
  CK_OBJECT_CLASS certClass_ = CKO_CERTIFICATE;
  CK_BBOOL yes_ = CK_TRUE;
  CK_BBOOL no_ = CK_FALSE;
};

EVP_PKEY* CreateObjectTest::key_ = nullptr;

TEST_F(CreateObjectTest, WhatTheCardCannotHonourIsRefusedBeforeItIsAsked) {
  CK_BYTE shortId[] = {5};
  CK_BYTE takenId[] = {0, AT_KEYEXCHANGE};
  CK_BYTE otherTypeId[] = {5, AT_SIGNATURE};
  CK_BYTE beyondId[] = {8, AT_KEYEXCHANGE};
  char notUtf8[] = "\xC3\x28";
  struct Case {
    const char* what;
    CK_ATTRIBUTE_TYPE type;  // 0: CKA_TOKEN left out
    void* value;
    CK_ULONG length;
    CK_RV expected;
  };
  const Case cases[] = {
      {"no CKA_TOKEN: a session object", 0, nullptr, 0, CKR_TEMPLATE_INCONSISTENT},
      {"a key that may not sign", CKA_SIGN, &no_, 1, CKR_ATTRIBUTE_VALUE_INVALID},
      {"a public private key", CKA_PRIVATE, &no_, 1, CKR_ATTRIBUTE_VALUE_INVALID},
      {"an extractable key", CKA_EXTRACTABLE, &yes_, 1, CKR_ATTRIBUTE_VALUE_INVALID},
      {"a key not sensitive", CKA_SENSITIVE, &no_, 1, CKR_ATTRIBUTE_VALUE_INVALID},
      {"an ID of another form", CKA_ID, shortId, sizeof shortId, CKR_ATTRIBUTE_VALUE_INVALID},
      {"the ID of an occupied container", CKA_ID, takenId, sizeof takenId, CKR_ATTRIBUTE_VALUE_INVALID},
      {"the ID of the other key type", CKA_ID, otherTypeId, sizeof otherTypeId, CKR_ATTRIBUTE_VALUE_INVALID},
      {"the ID of a container the card lacks", CKA_ID, beyondId, sizeof beyondId, CKR_ATTRIBUTE_VALUE_INVALID},
      {"a label that is not UTF-8", CKA_LABEL, notUtf8, 2, CKR_ATTRIBUTE_VALUE_INVALID},
      {"what the card's keys are", CKA_SIGN, &yes_, 1, CKR_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    loggedIn();
    KeyTemplate t(key_);
    if (c.type == 0) {
      std::erase_if(t.attributes, [](const CK_ATTRIBUTE& a) { return a.type == CKA_TOKEN; });
    } else {
      t.add(c.type, c.value, c.length);
    }
    EXPECT_EQ(create(t.attributes), c.expected);
    EXPECT_EQ(fakeCard().imports.size(), c.expected == CKR_OK ? 1u : 0u);
  }
}

TEST_F(CreateObjectTest, ACallersIdPlacesTheKeyAndFindsItAgain) {
  const CK_SESSION_HANDLE s = loggedIn();
  KeyTemplate t(key_);
  CK_BYTE id[] = {5, AT_KEYEXCHANGE};
  t.add(CKA_ID, id, sizeof id);
  CK_OBJECT_HANDLE handle = 0;
  ASSERT_EQ(create(t.attributes, &handle), CKR_OK);
  ASSERT_EQ(fakeCard().imports.size(), 1u);
  EXPECT_EQ(fakeCard().imports[0].container, 5);
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  EXPECT_EQ(find(s, {{CKA_CLASS, &privateClass, sizeof privateClass}, {CKA_ID, id, sizeof id}}),
            std::vector<CK_OBJECT_HANDLE>{handle});

  // A certificate and a public key go with the key their ID names.
  const Bytes der = certificateOf(key_, 1);
  CK_BYTE otherId[] = {1, AT_SIGNATURE};
  EXPECT_EQ(createCertificate(der, {{CKA_ID, otherId, sizeof otherId}}), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(fakeCard().files.count("mscp/kxc05"), 0u);
  EXPECT_EQ(createCertificate(der, {{CKA_ID, id, sizeof id}}), CKR_OK);
  EXPECT_EQ(fakeCard().files["mscp/kxc05"], der);

  CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
  CK_BYTE three[] = {3};
  CK_BYTE unknownModulus[128] = {0x80};
  struct Case {
    const char* what;
    std::vector<CK_ATTRIBUTE> extra;
    CK_RV expected;
  };
  const Case cases[] = {
      {"the key on the card", {{CKA_ID, id, sizeof id}}, CKR_OK},
      {"with another ID", {{CKA_ID, otherId, sizeof otherId}}, CKR_ATTRIBUTE_VALUE_INVALID},
      {"with another exponent", {{CKA_PUBLIC_EXPONENT, three, 1}}, CKR_ATTRIBUTE_VALUE_INVALID},
  };
  for (const Case& c : cases) {
    std::vector<CK_ATTRIBUTE> tmpl = {{CKA_CLASS, &publicClass, sizeof publicClass},
                                      {CKA_TOKEN, &yes_, 1},
                                      t.attributes[3]};  // the modulus
    if (c.extra[0].type != CKA_PUBLIC_EXPONENT) tmpl.push_back(t.attributes[4]);
    tmpl.insert(tmpl.end(), c.extra.begin(), c.extra.end());
    CK_OBJECT_HANDLE found = 0;
    EXPECT_EQ(create(tmpl, &found), c.expected) << c.what;
    if (c.expected == CKR_OK) {
      EXPECT_EQ(found, objectHandle(5, AT_KEYEXCHANGE, CKO_PUBLIC_KEY)) << c.what;
    }
  }
  std::vector<CK_ATTRIBUTE> stranger = {{CKA_CLASS, &publicClass, sizeof publicClass},
                                        {CKA_TOKEN, &yes_, 1},
                                        {CKA_MODULUS, unknownModulus, sizeof unknownModulus},
                                        t.attributes[4]};
  EXPECT_EQ(create(stranger), CKR_TEMPLATE_INCONSISTENT) << "no public key can be stored on its own";
}

TEST_F(CreateObjectTest, ReplacingACertificateOnAFullCardKeepsTheCardConsistent) {
  loggedIn();
  KeyTemplate t(key_);
  ASSERT_EQ(create(t.attributes), CKR_OK);
  const Bytes first = certificateOf(key_, 1);
  const Bytes second = certificateOf(key_, 2);
  const std::string file = "mscp/kxc02";

  // No certificate yet and no room for its file: nothing changes.
  fakeCard().full = true;
  EXPECT_EQ(createCertificate(first), CKR_DEVICE_MEMORY);
  EXPECT_EQ(fakeCard().files.count(file), 0u);
  EXPECT_EQ(filesCounter(), 0u);

  fakeCard().full = false;
  ASSERT_EQ(createCertificate(first), CKR_OK);
  EXPECT_EQ(fakeCard().files[file], first);
  EXPECT_EQ(filesCounter(), 1u);

  // The card is full now: the certificate is replaced where it is.
  fakeCard().full = true;
  EXPECT_EQ(createCertificate(second), CKR_OK);
  EXPECT_EQ(fakeCard().files[file], second);
  EXPECT_EQ(filesCounter(), 2u);
}

TEST_F(CreateObjectTest, LabelsBeyondAsciiTravelAsUtf8) {
  const CK_SESSION_HANDLE s = loggedIn();
  struct Case {
    const char* what;
    std::string label;      // as the caller gives it, UTF-8
    std::u16string stored;  // the container's name on the card
  };
  const std::string twentyUmlauts = [] {
    std::string out;
    for (int i = 0; i < 20; ++i) out += "\xC3\xBC";
    return out;
  }();
  const Case cases[] = {
      {"Latin and Cyrillic", "Schl\xC3\xBCssel \xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87", u"Schl\u00FCssel \u043A\u043B\u044E\u0447"},
      {"beyond the basic plane", "key \xF0\x9F\x94\x91", u"key \U0001F511"},
      {"40 bytes but 20 characters: fits", twentyUmlauts, std::u16string(20, u'\u00FC')},
  };
  BYTE container = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KeyTemplate t(key_);
    t.add(CKA_LABEL, const_cast<char*>(c.label.data()), c.label.size());
    CK_OBJECT_HANDLE handle = 0;
    ASSERT_EQ(create(t.attributes, &handle), CKR_OK);
    const std::vector<ContainerRecord> map = parseContainerMap(fakeCard().files["mscp/cmapfile"]);
    ASSERT_GT(map.size(), container);
    EXPECT_EQ(map[container].name, c.stored);
    EXPECT_EQ(attribute(s, handle, CKA_LABEL), Bytes(c.label.begin(), c.label.end()));
    ++container;
  }
  // A name on the card with a lone surrogate reads as U+FFFD.
  std::vector<ContainerRecord> map = parseContainerMap(fakeCard().files["mscp/cmapfile"]);
  map[1].name = u"b\xD800x";
  fakeCard().files["mscp/cmapfile"] = encodeContainerMap(map);
  ++fakeCard().files["cardcf"][4];  // the writer announces the change, as every provider does
  const CK_OBJECT_HANDLE beta = findOne(s, CKO_PRIVATE_KEY, 1);
  EXPECT_EQ(attribute(s, beta, CKA_LABEL), (Bytes{'b', 0xEF, 0xBF, 0xBD, 'x'}));
}

}  // namespace
}  // namespace vemra::p11::test
