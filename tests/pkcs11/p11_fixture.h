// The module initialised over the in-memory card, with a card that carries
// the standard layout: container 0 with a key-exchange key ("alpha") and
// its certificate stored compressed, container 1 with a signature key
// ("beta").
#ifndef VEMRA_P11_TEST_FIXTURE_H
#define VEMRA_P11_TEST_FIXTURE_H

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_card.h"
#include "key_template.h"
#include "objects.h"

namespace vemra::p11::test {

constexpr const char* kAdminHex = "111111111111111111111111111111111111111111111111";

// A self-signed certificate of a fresh 1024-bit key, DER.
inline Bytes makeCertificate(EVP_PKEY** keyOut = nullptr) {
  EVP_PKEY* key = EVP_RSA_gen(1024);
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("alpha"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  Bytes der(static_cast<std::size_t>(i2d_X509(cert, nullptr)));
  unsigned char* p = der.data();
  i2d_X509(cert, &p);
  X509_free(cert);
  if (keyOut != nullptr) {
    *keyOut = key;
  } else {
    EVP_PKEY_free(key);
  }
  return der;
}

inline Bytes compressedCertificateFile(const Bytes& der) {
  uLongf length = compressBound(static_cast<uLong>(der.size()));
  Bytes out(4 + length);
  out[0] = 0x01;
  out[1] = 0x00;
  out[2] = static_cast<uint8_t>(der.size());
  out[3] = static_cast<uint8_t>(der.size() >> 8);
  compress(out.data() + 4, &length, der.data(), static_cast<uLong>(der.size()));
  out.resize(4 + length);
  return out;
}

class P11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeCard() = FakeCard{};
    FakeCard& card = fakeCard();
    card.files["cardid"] = Bytes{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18, 9, 9, 9, 9, 9, 9, 9, 9};
    card.files["cardcf"] = Bytes(6, 0);
    std::vector<ContainerRecord> map(2);
    map[0] = {u"alpha", kContainerValid | kContainerDefault, 0, 2048};
    map[1] = {u"beta", kContainerValid, 2048, 0};
    card.files["mscp/cmapfile"] = encodeContainerMap(map);
    card.containers[0].keyExchange = fakeKey(0xC0);
    card.containers[1].signature = fakeKey(0xC1);
    certificate = makeCertificate();
    card.files["mscp/kxc00"] = compressedCertificateFile(certificate);
    setBackendFactory(makeFakeBackend);
    ASSERT_EQ(C_GetFunctionList(&f), CKR_OK);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  }
  void TearDown() override {
    f->C_Finalize(nullptr);
    setBackendFactory(nullptr);
  }

  CK_SESSION_HANDLE open(bool rw = true) {
    CK_SESSION_HANDLE s = 0;
    EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0), nullptr, nullptr, &s), CKR_OK);
    return s;
  }
  CK_RV login(CK_SESSION_HANDLE s, const std::string& pin = "1234", CK_USER_TYPE who = CKU_USER) {
    return f->C_Login(s, who, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())), pin.size());
  }
  std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, std::vector<CK_ATTRIBUTE> tmpl) {
    EXPECT_EQ(f->C_FindObjectsInit(s, tmpl.data(), tmpl.size()), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> out(32);
    CK_ULONG n = 0;
    EXPECT_EQ(f->C_FindObjects(s, out.data(), out.size(), &n), CKR_OK);
    EXPECT_EQ(f->C_FindObjectsFinal(s), CKR_OK);
    out.resize(n);
    return out;
  }
  CK_OBJECT_HANDLE findOne(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls, uint8_t container) {
    CK_BYTE id[2] = {container, static_cast<CK_BYTE>(container == 0 ? AT_KEYEXCHANGE : AT_SIGNATURE)};
    auto found = find(s, {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id, sizeof id}});
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? 0 : found[0];
  }
  Bytes attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (f->C_GetAttributeValue(s, o, &a, 1) != CKR_OK) return Bytes{0xEE};
    Bytes out(a.ulValueLen);
    a.pValue = out.data();
    EXPECT_EQ(f->C_GetAttributeValue(s, o, &a, 1), CKR_OK);
    return out;
  }

  CK_FUNCTION_LIST_PTR f = nullptr;
  Bytes certificate;
};

}  // namespace vemra::p11::test

#endif  // VEMRA_P11_TEST_FIXTURE_H
