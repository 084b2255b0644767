// Writing through the module: key import into the next free container,
// certificates beside their keys, and their removal.
#include <openssl/bn.h>
#include <openssl/core_names.h>

#include "key_template.h"
#include "p11_fixture.h"
#include "writing.h"

namespace vemra::p11::test {
namespace {

// A key's number, big-endian, padded on the left to a fixed-width field (as
// the key blob holds it).
Bytes fixedWidth(EVP_PKEY* key, const char* name, std::size_t width) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(key, name, &bn);
  Bytes out(width);
  const int written = BN_bn2binpad(bn, out.data(), static_cast<int>(out.size()));
  BN_free(bn);
  if (written < 0) out.clear();
  return out;
}

Bytes reversed(Bytes b) { return Bytes(b.rbegin(), b.rend()); }

TEST_F(P11Test, ImportedKeyGoesToTheNextFreeContainerAndIntoTheMap) {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  KeyTemplate t(key);
  char label[] = "gamma";
  t.add(CKA_LABEL, label, 5);
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  CK_OBJECT_HANDLE handle = 0;
  ASSERT_EQ(f->C_CreateObject(s, t.attributes.data(), t.attributes.size(), &handle), CKR_OK);

  ASSERT_EQ(fakeCard().imports.size(), 1u);
  const ImportCall& call = fakeCard().imports[0];
  EXPECT_EQ(call.container, 2) << "containers 0 and 1 are taken";
  EXPECT_EQ(call.keySpec, DWORD{AT_KEYEXCHANGE}) << "a key that may decrypt";
  EXPECT_EQ(call.bits, 2048u);
  const Bytes& blob = call.blob;
  ASSERT_EQ(blob.size(), 20u + 256 * 2 + 128 * 5);
  EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 20),
            (Bytes{0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '2', 0x00, 0x08, 0x00, 0x00, 0x01,
                   0x00, 0x01, 0x00}));
  EXPECT_EQ(Bytes(blob.begin() + 20, blob.begin() + 276), reversed(fixedWidth(key, OSSL_PKEY_PARAM_RSA_N, 256))) << "modulus";
  EXPECT_EQ(Bytes(blob.end() - 256, blob.end()), reversed(fixedWidth(key, OSSL_PKEY_PARAM_RSA_D, 256)))
      << "private exponent last, a fixed-width field";

  const std::vector<ContainerRecord> map = parseContainerMap(fakeCard().files["mscp/cmapfile"]);
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map[2].name, u"gamma");
  EXPECT_EQ(map[2].flags, kContainerValid) << "container 0 stays the default";
  EXPECT_EQ(map[2].keyExchangeBits, 2048);
  EXPECT_EQ(fakeCard().files["cardcf"], (Bytes{0, 0, 1, 0, 0, 0})) << "the containers' counter";

  EXPECT_EQ(attribute(s, handle, CKA_MODULUS), t.numbers[0]);
  EXPECT_EQ(attribute(s, handle, CKA_ID), (Bytes{2, AT_KEYEXCHANGE}));
  EXPECT_EQ(attribute(s, handle, CKA_LABEL), (Bytes{'g', 'a', 'm', 'm', 'a'}));

  // Its certificate goes to the key's certificate file, and both go again.
  Bytes der = makeCertificate();
  EVP_PKEY* certKey = nullptr;
  der = makeCertificate(&certKey);
  KeyTemplate t2(certKey);
  CK_BBOOL no = CK_FALSE;
  t2.add(CKA_DECRYPT, &no, sizeof no);
  CK_OBJECT_HANDLE signatureKey = 0;
  ASSERT_EQ(f->C_CreateObject(s, t2.attributes.data(), t2.attributes.size(), &signatureKey), CKR_OK);
  EXPECT_EQ(fakeCard().imports.back().container, 3);
  EXPECT_EQ(fakeCard().imports.back().keySpec, DWORD{AT_SIGNATURE});
  CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  CK_BBOOL yes = CK_TRUE;
  std::vector<CK_ATTRIBUTE> cert = {{CKA_CLASS, &certClass, sizeof certClass},
                                    {CKA_TOKEN, &yes, sizeof yes},
                                    {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                                    {CKA_VALUE, der.data(), der.size()}};
  CK_OBJECT_HANDLE certHandle = 0;
  ASSERT_EQ(f->C_CreateObject(s, cert.data(), cert.size(), &certHandle), CKR_OK);
  EXPECT_EQ(fakeCard().files["mscp/ksc03"], der);
  EXPECT_EQ(attribute(s, certHandle, CKA_ID), (Bytes{3, AT_SIGNATURE}));
  EXPECT_EQ(fakeCard().files["cardcf"], (Bytes{0, 0, 2, 0, 1, 0})) << "the files' counter";

  EXPECT_EQ(f->C_DestroyObject(s, certHandle), CKR_OK);
  EXPECT_EQ(fakeCard().files.count("mscp/ksc03"), 0u);
  EXPECT_EQ(f->C_DestroyObject(s, objectHandle(3, AT_SIGNATURE, CKO_PUBLIC_KEY)), CKR_ACTION_PROHIBITED);
  EXPECT_EQ(f->C_DestroyObject(s, signatureKey), CKR_OK);
  EXPECT_EQ(fakeCard().containers.count(3), 0u);
  EXPECT_FALSE(parseContainerMap(fakeCard().files["mscp/cmapfile"])[3].valid());
  EXPECT_EQ(f->C_DestroyObject(s, signatureKey), CKR_OBJECT_HANDLE_INVALID);
  EVP_PKEY_free(certKey);
  EVP_PKEY_free(key);
}

TEST_F(P11Test, WritingRefusals) {
  EVP_PKEY* key = EVP_RSA_gen(1024);
  KeyTemplate full(key);
  KeyTemplate incomplete(key);
  incomplete.attributes.pop_back();  // no coefficient
  KeyTemplate sessionObject(key);
  CK_BBOOL no = CK_FALSE;
  for (CK_ATTRIBUTE& a : sessionObject.attributes) {
    if (a.type == CKA_TOKEN) a.pValue = &no;
  }
  const Bytes foreignCertificate = makeCertificate();
  CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
  std::vector<CK_ATTRIBUTE> cert = {{CKA_CLASS, &certClass, sizeof certClass},
                                    {CKA_VALUE, const_cast<uint8_t*>(foreignCertificate.data()),
                                     foreignCertificate.size()}};
  CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
  std::vector<CK_ATTRIBUTE> secretKey = {{CKA_CLASS, &secret, sizeof secret}};
  struct Case {
    const char* what;
    bool readWrite;
    bool loggedIn;
    std::vector<CK_ATTRIBUTE> tmpl;
    CK_RV expected;
  };
  const Case cases[] = {
      {"read-only session", false, true, full.attributes, CKR_SESSION_READ_ONLY},
      {"nobody logged in", true, false, full.attributes, CKR_USER_NOT_LOGGED_IN},
      {"a number missing", true, true, incomplete.attributes, CKR_TEMPLATE_INCOMPLETE},
      {"a session object", true, true, sessionObject.attributes, CKR_TEMPLATE_INCONSISTENT},
      {"a certificate of no key on the card", true, true, cert, CKR_TEMPLATE_INCONSISTENT},
      {"a secret key", true, true, secretKey, CKR_ATTRIBUTE_VALUE_INVALID},
      {"no class", true, true, {}, CKR_TEMPLATE_INCOMPLETE},
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    const CK_SESSION_HANDLE s = open(c.readWrite);
    if (c.loggedIn) {
      ASSERT_EQ(login(s), CKR_OK);
    }
    CK_OBJECT_HANDLE handle = 0;
    EXPECT_EQ(f->C_CreateObject(s, const_cast<CK_ATTRIBUTE*>(c.tmpl.data()), c.tmpl.size(), &handle), c.expected)
        << c.what;
    EXPECT_TRUE(fakeCard().imports.empty()) << c.what;
  }
  // A full card.
  TearDown();
  SetUp();
  fakeCard().maxContainers = 2;
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  CK_OBJECT_HANDLE handle = 0;
  EXPECT_EQ(f->C_CreateObject(s, full.attributes.data(), full.attributes.size(), &handle), CKR_DEVICE_MEMORY);
  EVP_PKEY_free(key);
}

TEST(ContainerMap, FreeContainerAndNames) {
  std::vector<ContainerRecord> records(3);
  records[0] = {u"a", kContainerValid | kContainerDefault, 0, 1024};
  records[2] = {u"c", kContainerValid, 1024, 0};
  struct Free {
    DWORD max;
    std::optional<BYTE> expected;
  };
  for (const Free& c : {Free{8, 1}, Free{1, std::nullopt}, Free{2, 1}}) {
    EXPECT_EQ(freeContainer(records, c.max), c.expected) << c.max;
  }
  records[1] = {u"b", kContainerValid, 0, 1024};
  EXPECT_EQ(freeContainer(records, 8), 3);

  struct Name {
    std::string label;
    bool usedAsIs;
  };
  const Name names[] = {{"fresh", true}, {"a", false}, {"", false}, {std::string(40, 'x'), false},
                        {std::string(39, 'x'), true}};
  for (const Name& n : names) {
    std::vector<ContainerRecord> map = records;
    recordContainer(map, 5, AT_SIGNATURE, 2048, n.label);
    ASSERT_EQ(map.size(), 6u);
    EXPECT_EQ(map[5].name == widen(n.label), n.usedAsIs) << n.label;
    if (!n.usedAsIs) {
      EXPECT_EQ(map[5].name.size(), 38u) << "a GUID in braces";
    }
    EXPECT_EQ(map[5].signatureBits, 2048);
    EXPECT_EQ(map[5].flags, kContainerValid);
    EXPECT_EQ(map[4].flags, 0) << "the records between stay free";
  }
  std::vector<ContainerRecord> empty;
  recordContainer(empty, 0, AT_KEYEXCHANGE, 1024, "");
  EXPECT_EQ(empty[0].flags, kContainerValid | kContainerDefault) << "the first container is the default";
  // The map's bytes survive a round trip.
  EXPECT_EQ(encodeContainerMap(parseContainerMap(encodeContainerMap(records))), encodeContainerMap(records));
}

}  // namespace
}  // namespace vemra::p11::test
