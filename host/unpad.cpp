// The unpad callback the host places in CARD_DATA: the driver hands it the
// raw block the card decrypted, most significant byte first, and the
// callback removes the encryption padding with OpenSSL.
#define OPENSSL_SUPPRESS_DEPRECATED  // the padding checks have no EVP form
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string>
#include <vector>

#include "provider.h"

namespace vemra::host {

namespace {

const EVP_MD* oaepHash(LPCWSTR name) {
  if (name == nullptr) return EVP_sha1();
  std::string ascii;
  for (const WCHAR* c = name; *c != 0 && ascii.size() < 16; ++c) ascii += static_cast<char>(*c);
  if (ascii == "SHA1") return EVP_sha1();
  if (ascii == "SHA256") return EVP_sha256();
  if (ascii == "SHA384") return EVP_sha384();
  if (ascii == "SHA512") return EVP_sha512();
  return nullptr;
}

}  // namespace

DWORD WINAPI unpadWithOpenssl(PCARD_RSA_DECRYPT_INFO info, DWORD* unpaddedLength, PBYTE* unpadded) {
  if (info == nullptr || unpaddedLength == nullptr || unpadded == nullptr || info->pbData == nullptr ||
      info->cbData == 0 || info->cbData > 1024) {
    return SCARD_E_INVALID_PARAMETER;
  }
  const int size = static_cast<int>(info->cbData);
  std::vector<unsigned char> out(info->cbData);
  int length = -1;
  switch (info->dwPaddingType) {
    case CARD_PADDING_NONE:
      std::memcpy(out.data(), info->pbData, info->cbData);
      length = size;
      break;
    case CARD_PADDING_PKCS1:
      length = RSA_padding_check_PKCS1_type_2(out.data(), size, info->pbData, size, size);
      break;
    case CARD_PADDING_OAEP: {
      const auto* oaep = static_cast<const OaepPaddingInfo*>(info->pPaddingInfo);
      const EVP_MD* md = oaepHash(oaep != nullptr ? oaep->pszAlgId : nullptr);
      if (md == nullptr) return SCARD_E_INVALID_PARAMETER;
      const unsigned char* label = oaep != nullptr ? oaep->pbLabel : nullptr;
      const int labelLength = oaep != nullptr && label != nullptr ? static_cast<int>(oaep->cbLabel) : 0;
      length = RSA_padding_check_PKCS1_OAEP_mgf1(out.data(), size, info->pbData, size, size, label, labelLength,
                                                 md, md);
      break;
    }
    default:
      return SCARD_E_INVALID_PARAMETER;
  }
  if (length < 0) {
    OPENSSL_cleanse(out.data(), out.size());
    return SCARD_E_INVALID_PARAMETER;  // the block carries no valid padding
  }
  auto* result = static_cast<PBYTE>(providerAlloc(static_cast<SIZE_T>(length)));
  if (result == nullptr) {
    OPENSSL_cleanse(out.data(), out.size());
    return SCARD_E_NO_MEMORY;
  }
  std::memcpy(result, out.data(), static_cast<std::size_t>(length));
  OPENSSL_cleanse(out.data(), out.size());
  *unpadded = result;
  *unpaddedLength = static_cast<DWORD>(length);
  return 0;
}

}  // namespace vemra::host
