// A C_CreateObject template of an RSA private key made from an OpenSSL key.
#ifndef VEMRA_P11_TEST_KEY_TEMPLATE_H
#define VEMRA_P11_TEST_KEY_TEMPLATE_H

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <vector>

#include "card_port.h"
#include "p11-kit/pkcs11.h"

namespace vemra::p11::test {

inline Bytes keyNumber(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(key, name, &bn);
  Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, out.data());
  BN_free(bn);
  return out;
}

// The class, the key type, CKA_TOKEN and the key's eight numbers.
struct KeyTemplate {
  explicit KeyTemplate(EVP_PKEY* key) {
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
                           OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    const CK_ATTRIBUTE_TYPE types[] = {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                       CKA_PRIME_2, CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};
    for (int i = 0; i < 8; ++i) numbers.push_back(keyNumber(key, names[i]));
    attributes = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type}, {CKA_TOKEN, &yes, sizeof yes}};
    for (int i = 0; i < 8; ++i) attributes.push_back({types[i], numbers[i].data(), numbers[i].size()});
  }
  void add(CK_ATTRIBUTE_TYPE t, void* value, CK_ULONG length) { attributes.push_back({t, value, length}); }

  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_KEY_TYPE type = CKK_RSA;
  CK_BBOOL yes = CK_TRUE;
  std::vector<Bytes> numbers;
  std::vector<CK_ATTRIBUTE> attributes;
};

}  // namespace vemra::p11::test

#endif  // VEMRA_P11_TEST_KEY_TEMPLATE_H
