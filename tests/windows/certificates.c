/*
 * The certificate a Linux provider (vemractl) wrote to the card, read by a
 * Windows provider: the file as providers store it (01 00, the length, a
 * zlib stream), inflated, decoded by CryptoAPI, its public key imported and
 * verifying a signature the card makes through the driver.
 */
#include <windows.h>
#include <wincrypt.h>
#include <string.h>
#include <zlib.h>

#include "scenario.h"

static BYTE der[8192];
static DWORD derLength;

/* The DER certificate of a certificate file, plain or compressed, in `der`. */
static BOOL certificateOfFile(const BYTE *file, DWORD length, BOOL compressed) {
  uLongf inflated = sizeof der;
  if (!compressed) {
    EXPECT_TRUE(length > 0 && file[0] == 0x30 && length <= sizeof der);
    memcpy(der, file, length);
    derLength = length;
    return TRUE;
  }
  EXPECT_TRUE(length > 4 && file[0] == 0x01 && file[1] == 0x00);
  derLength = (DWORD)file[2] | (DWORD)file[3] << 8;
  EXPECT_TRUE(derLength > 0 && derLength <= sizeof der);
  if (uncompress(der, &inflated, file + 4, length - 4) != Z_OK || inflated != derLength)
    return fail("the zlib stream does not inflate to the %lu bytes announced", (unsigned long)derLength);
  return TRUE;
}

/* Reads mscp/kxc00 and decodes it; the context in `*certificate`. */
static BOOL readCertificate(BOOL compressed, PCCERT_CONTEXT *certificate) {
  static char directory[] = "mscp";
  static char name[] = "kxc00";
  PBYTE file = NULL;
  DWORD length = 0;
  BOOL ok;
  char subject[128];
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardReadFile(&cardData, directory, name, 0, &file, &length));
  ok = certificateOfFile(file, length, compressed);
  providerFree(file);
  if (!ok) return FALSE;
  *certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der, derLength);
  if (*certificate == NULL) return fail("CertCreateCertificateContext refused the certificate (%lu)", GetLastError());
  CertGetNameStringA(*certificate, CERT_NAME_ATTR_TYPE, 0, szOID_COMMON_NAME, subject, sizeof subject);
  if (strcmp(subject, "vemradrv demo") != 0) return fail("the certificate's common name is \"%s\"", subject);
  return TRUE;
}

/* The card signs a SHA-256 hash with container 0's key-exchange key; the
 * certificate's public key verifies it, and refuses it for another hash. */
static BOOL verifiesCardSignature(PCCERT_CONTEXT certificate) {
  static const BYTE message[] = "signed on the card, verified with the certificate's key";
  HCRYPTPROV provider = 0;
  HCRYPTKEY key = 0;
  HCRYPTHASH hash = 0;
  HCRYPTHASH other = 0;
  BYTE digest[32];
  DWORD digestLength = sizeof digest;
  CARD_SIGNING_INFO signing;
  BOOL verified;
  BOOL otherVerified;
  if (!CryptAcquireContextA(&provider, NULL, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
    return fail("CryptoAPI: no provider (%lu)", GetLastError());
  if (!CryptImportPublicKeyInfo(provider, X509_ASN_ENCODING, &certificate->pCertInfo->SubjectPublicKeyInfo, &key))
    return fail("CryptImportPublicKeyInfo refused the certificate's key (%lu)", GetLastError());
  if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) || !CryptHashData(hash, message, sizeof message - 1, 0) ||
      !CryptGetHashParam(hash, HP_HASHVAL, digest, &digestLength, 0) || digestLength != sizeof digest)
    return fail("CryptoAPI: hashing failed (%lu)", GetLastError());
  memset(&signing, 0, sizeof signing);
  signing.dwVersion = 1;
  signing.bContainerIndex = 0;
  signing.dwKeySpec = AT_KEYEXCHANGE;
  signing.aiHashAlg = CALG_SHA_256;
  signing.pbData = digest;
  signing.cbData = sizeof digest;
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardSignData(&cardData, &signing));
  verified = CryptVerifySignatureA(hash, signing.pbSignedData, signing.cbSignedData, key, NULL, 0);
  digest[0] ^= 1;
  otherVerified = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &other) &&
                  CryptSetHashParam(other, HP_HASHVAL, digest, 0) &&
                  CryptVerifySignatureA(other, signing.pbSignedData, signing.cbSignedData, key, NULL, 0);
  providerFree(signing.pbSignedData);
  if (other != 0) CryptDestroyHash(other);
  CryptDestroyHash(hash);
  CryptDestroyKey(key);
  CryptReleaseContext(provider, 0);
  if (!verified) return fail("the certificate's key does not verify the card's signature (%lu)", GetLastError());
  EXPECT_TRUE(!otherVerified);
  return TRUE;
}

BOOL certificateFromLinux(void) {
  static char directory[] = "mscp";
  static char name[] = "kxc00";
  static BYTE written[sizeof der];
  PCCERT_CONTEXT certificate = NULL;
  PCCERT_CONTEXT again = NULL;
  BOOL same;
  const long held = allocations - releases;
  if (!readCertificate(TRUE, &certificate) || !verifiesCardSignature(certificate)) {
    if (certificate != NULL) CertFreeCertificateContext(certificate);
    return FALSE;
  }
  /* The same certificate written as it is, the way a provider that does not
   * compress stores it, reads back as well. */
  memcpy(written, der, derLength);
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardWriteFile(&cardData, directory, name, 0, written, derLength));
  if (!readCertificate(FALSE, &again)) {
    CertFreeCertificateContext(certificate);
    return FALSE;
  }
  same = CertCompareCertificate(X509_ASN_ENCODING, certificate->pCertInfo, again->pCertInfo);
  CertFreeCertificateContext(again);
  CertFreeCertificateContext(certificate);
  EXPECT_TRUE(same);
  if (allocations - releases != held)
    return fail("%ld buffers from the provider's allocator not given back", allocations - releases - held);
  return TRUE;
}
