/*
 * The Windows end-to-end scenario: a provider's view of vemradrv64.dll or
 * vemradrv32.dll, run under Wine against the simulated card.
 *
 *   vemra_wine_scenario DRIVER.dll [certificate]
 *
 * The program loads the driver with LoadLibrary, checks its version
 * resource and its export table as GetProcAddress sees it, connects to the
 * card through winscard.dll (the test reader beside it), fills CARD_DATA as
 * a provider does and drives the card through CardAcquireContext and the
 * CARD_DATA slots. Each step prints "ok - …" or "not ok - …: reason"; the
 * last line is "scenario: N passed, N failed" and the exit code is 0 only
 * when every step passed. With "certificate", on a card kept by vemractl's
 * demo, the steps read the certificate vemractl wrote (certificates.c).
 */
#include <windows.h>
#include <wincrypt.h>
#include <winscard.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "scenario.h"
#include "vemradrv/minidriver.h"
#include "vemradrv/version.h"

/* ------------------------------------------------------------------ */
/* Reporting                                                          */
/* ------------------------------------------------------------------ */
static unsigned passed;
static unsigned failed;
static char failure[512];

BOOL fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(failure, sizeof failure, format, args);
  va_end(args);
  return FALSE;
}

/* ------------------------------------------------------------------ */
/* The provider: allocator callbacks that count                       */
/* ------------------------------------------------------------------ */
long allocations;
long releases;
static long reallocations;

static LPVOID WINAPI providerAlloc(SIZE_T size) {
  ++allocations;
  return HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
}

static LPVOID WINAPI providerReAlloc(LPVOID address, SIZE_T size) {
  ++reallocations;
  return HeapReAlloc(GetProcessHeap(), 0, address, size ? size : 1);
}

void WINAPI providerFree(LPVOID address) {
  if (address == NULL) return;
  ++releases;
  HeapFree(GetProcessHeap(), 0, address);
}

/* The provider's unpad callback for PKCS #1 v1.5 encryption blocks
 * (00 02, at least eight non-zero padding bytes, 00, the message): the
 * message in a block from the provider's allocator. */
static DWORD WINAPI providerUnpad(PCARD_RSA_DECRYPT_INFO info, DWORD *pcbUnpadded, PBYTE *ppbUnpadded) {
  DWORD i = 2;
  if (info->dwPaddingType != CARD_PADDING_PKCS1 || info->cbData < 11 || info->pbData[0] != 0x00 ||
      info->pbData[1] != 0x02)
    return (DWORD)NTE_BAD_DATA;
  while (i < info->cbData && info->pbData[i] != 0x00) ++i;
  if (i < 10 || i == info->cbData) return (DWORD)NTE_BAD_DATA;
  ++i;
  *pcbUnpadded = info->cbData - i;
  *ppbUnpadded = (PBYTE)providerAlloc(*pcbUnpadded);
  if (*ppbUnpadded == NULL) return (DWORD)NTE_NO_MEMORY;
  memcpy(*ppbUnpadded, info->pbData + i, *pcbUnpadded);
  return 0;
}

/* ------------------------------------------------------------------ */
/* The scenario's state                                               */
/* ------------------------------------------------------------------ */
static const char *driverPath;
static HMODULE driver;
static SCARDCONTEXT context;
static SCARDHANDLE card;
static BYTE atr[36];
static DWORD atrLength;
static WCHAR cardName[] = L"Vemra simulated card";
CARD_DATA cardData;
static BOOL bound;

static const char *const kExports[] = {
    "CardAcquireContext",    "CardAuthenticateChallenge", "CardAuthenticatePin", "CardChangeAuthenticator",
    "CardCreateContainer",   "CardCreateDirectory",       "CardCreateFile",      "CardDeauthenticate",
    "CardDeleteContainer",   "CardDeleteContext",         "CardDeleteDirectory", "CardDeleteFile",
    "CardEnumFiles",         "CardGetChallenge",          "CardGetContainerInfo", "CardGetFileInfo",
    "CardQueryCapabilities", "CardQueryFreeSpace",        "CardQueryKeySizes",   "CardRSADecrypt",
    "CardReadFile",          "CardSignData",              "CardUnblockPin",      "CardWriteFile",
};

/* Names a provider must not find: the version-6/7 entry points live only in
 * CARD_DATA slots, and neither DllMain nor a decorated __stdcall name is
 * exported. */
static const char *const kNotExported[] = {
    "CardGetChallengeEx", "CardAuthenticateEx", "CardGetProperty", "CardCreateContainerEx",
    "DllMain",            "_CardAcquireContext@8", "CardAcquireContext@8",
};

/* GetProcAddress, as the neutral function-pointer type that converts to any
 * entry-point type. */
typedef void (*AnyFunction)(void);
static AnyFunction entry(const char *name) { return (AnyFunction)GetProcAddress(driver, name); }

/* Fills CARD_DATA as a provider does before CardAcquireContext. */
static void fillCardData(CARD_DATA *data, DWORD version, BYTE *cardAtr, DWORD cardAtrLength) {
  memset(data, 0, sizeof *data);
  data->dwVersion = version;
  data->pbAtr = cardAtr;
  data->cbAtr = cardAtrLength;
  data->pwszCardName = cardName;
  data->pfnCspAlloc = providerAlloc;
  data->pfnCspReAlloc = providerReAlloc;
  data->pfnCspFree = providerFree;
  data->pfnCspUnpadData = providerUnpad;
  data->hSCardCtx = context;
  data->hScard = card;
}

/* ------------------------------------------------------------------ */
/* Steps                                                              */
/* ------------------------------------------------------------------ */

/* LoadLibrary runs DllMain, which must answer TRUE. */
static BOOL loadDriver(void) {
  driver = LoadLibraryA(driverPath);
  if (driver == NULL) return fail("LoadLibrary(%s) failed with error %lu", driverPath, GetLastError());
  return TRUE;
}

/* The version resource carries the project's version and product name. */
static BOOL versionResource(void) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(driverPath, &ignored);
  static BYTE info[8192];
  VS_FIXEDFILEINFO *fixed = NULL;
  char *product = NULL;
  char *version = NULL;
  UINT length = 0;
  if (size == 0 || size > sizeof info) return fail("no version resource (size %lu)", (unsigned long)size);
  EXPECT_TRUE(GetFileVersionInfoA(driverPath, 0, size, info));
  EXPECT_TRUE(VerQueryValueA(info, "\\", (LPVOID *)&fixed, &length) && length >= sizeof *fixed);
  if (fixed->dwFileVersionMS != MAKELONG(VEMRA_VERSION_MINOR, VEMRA_VERSION_MAJOR) ||
      fixed->dwFileVersionLS != MAKELONG(0, VEMRA_VERSION_PATCH))
    return fail("file version %lu.%lu.%lu, expected %d.%d.%d", (unsigned long)HIWORD(fixed->dwFileVersionMS),
                (unsigned long)LOWORD(fixed->dwFileVersionMS), (unsigned long)HIWORD(fixed->dwFileVersionLS),
                VEMRA_VERSION_MAJOR, VEMRA_VERSION_MINOR, VEMRA_VERSION_PATCH);
  EXPECT_TRUE(fixed->dwFileType == VFT_DLL);
  EXPECT_TRUE(VerQueryValueA(info, "\\StringFileInfo\\040904B0\\ProductName", (LPVOID *)&product, &length));
  if (strcmp(product, "vemradrv") != 0) return fail("product name \"%s\", expected \"vemradrv\"", product);
  EXPECT_TRUE(VerQueryValueA(info, "\\StringFileInfo\\040904B0\\FileVersion", (LPVOID *)&version, &length));
  if (strcmp(version, VEMRA_VERSION_STRING) != 0)
    return fail("file version text \"%s\", expected \"%s\"", version, VEMRA_VERSION_STRING);
  return TRUE;
}

/* Every one of the 24 names resolves; nothing else a provider might try does. */
static BOOL exportsByName(void) {
  size_t i;
  for (i = 0; i < sizeof kExports / sizeof kExports[0]; ++i)
    if (entry(kExports[i]) == NULL) return fail("GetProcAddress(\"%s\") found nothing", kExports[i]);
  for (i = 0; i < sizeof kNotExported / sizeof kNotExported[0]; ++i)
    if (entry(kNotExported[i]) != NULL) return fail("\"%s\" is exported", kNotExported[i]);
  return TRUE;
}

/* The reader: context, connection on T=0 and the card's ATR. */
static BOOL connectReader(void) {
  DWORD protocol = 0;
  DWORD state = 0;
  char reader[64];
  DWORD readerLength = sizeof reader;
  EXPECT_CODE(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &context));
  EXPECT_CODE(SCARD_S_SUCCESS, SCardConnectA(context, "Vemra Virtual Reader 0", SCARD_SHARE_SHARED,
                                             SCARD_PROTOCOL_T0, &card, &protocol));
  EXPECT_TRUE(protocol == SCARD_PROTOCOL_T0);
  atrLength = sizeof atr;
  EXPECT_CODE(SCARD_S_SUCCESS, SCardStatusA(card, reader, &readerLength, &state, &protocol, atr, &atrLength));
  EXPECT_TRUE(atrLength >= 2 && atr[0] == 0x3B);
  return TRUE;
}

/* A card whose ATR carries no signature of the family is refused before any
 * command is sent; on i686 this is also the first __stdcall round trip. */
static BOOL refusesForeignCard(void) {
  PFN_CARD_ACQUIRE_CONTEXT acquire = (PFN_CARD_ACQUIRE_CONTEXT)entry("CardAcquireContext");
  BYTE foreign[] = {0x3B, 0x0B, 'N', 'o', 't', 'O', 'u', 'r', 'C', 'a', 'r', 'd', '!'};
  CARD_DATA data;
  fillCardData(&data, CARD_DATA_VERSION_SEVEN, foreign, sizeof foreign);
  EXPECT_CODE(SCARD_E_UNKNOWN_CARD, acquire(&data, 0));
  EXPECT_TRUE(data.pvVendorSpecific == NULL && allocations == 0);
  fillCardData(&data, 3, atr, atrLength);
  EXPECT_CODE(ERROR_REVISION_MISMATCH, acquire(&data, 0));
  return TRUE;
}

/* CardAcquireContext binds the driver to the card: it selects the
 * application and reads the configuration, and fills every version-7 slot. */
static BOOL acquireContext(void) {
  PFN_CARD_ACQUIRE_CONTEXT acquire = (PFN_CARD_ACQUIRE_CONTEXT)entry("CardAcquireContext");
  fillCardData(&cardData, 9, atr, atrLength); /* a later version is served as 7 */
  EXPECT_CODE(SCARD_S_SUCCESS, acquire(&cardData, 0));
  bound = TRUE;
  EXPECT_TRUE(cardData.dwVersion == CARD_DATA_VERSION_SEVEN);
  EXPECT_TRUE(cardData.pvVendorSpecific != NULL && allocations == 1);
  EXPECT_TRUE(cardData.pfnCardDeleteContext == (PFN_CARD_DELETE_CONTEXT)entry("CardDeleteContext"));
  EXPECT_TRUE(cardData.pfnCardReadFile == (PFN_CARD_READ_FILE)entry("CardReadFile"));
  EXPECT_TRUE(cardData.pfnCardSignData == (PFN_CARD_SIGN_DATA)entry("CardSignData"));
  EXPECT_TRUE(cardData.pfnCardConstructDHAgreement == NULL && cardData.pfnCardDeriveKey == NULL);
  EXPECT_TRUE(cardData.pfnCardGetChallengeEx != NULL && cardData.pfnCardGetProperty != NULL);
  EXPECT_TRUE(cardData.pfnCardCreateContainerEx != NULL);
  return TRUE;
}

/* The user PIN of the simulated card's default personalisation, its
 * reference and its tries. */
static BYTE userPin[] = {'1', '2', '3', '4'};
static BYTE wrongPin[] = {'9', '9', '9', '9'};
static WCHAR user[] = L"user";
enum { kUserPinRef = 0x01, kUserPinTries = 3 };
static const DWORD kUntouched = 0xDEADBEEF;

/* A VERIFY probe sent straight to the card, as the test's own view of the
 * card's security state: 0x9000 when `reference` is verified, 0x63Cx with
 * the tries left otherwise. 0 when the exchange itself failed. */
static WORD probe(BYTE reference) {
  const BYTE command[] = {0x00, 0x20, 0x00, reference, 0x00};
  BYTE answer[258];
  DWORD length = sizeof answer;
  LONG rc;
  if (SCardBeginTransaction(card) != SCARD_S_SUCCESS) return 0;
  rc = SCardTransmit(card, SCARD_PCI_T0, command, sizeof command, NULL, answer, &length);
  if (SCardEndTransaction(card, SCARD_LEAVE_CARD) != SCARD_S_SUCCESS || rc != SCARD_S_SUCCESS || length != 2) return 0;
  return (WORD)((answer[0] << 8) | answer[1]);
}

#define EXPECT_PROBE(expected)                                                                       \
  do {                                                                                               \
    const WORD sw_ = probe(kUserPinRef);                                                             \
    if (sw_ != (WORD)(expected)) return fail("VERIFY probe answered %04X, expected %04X", sw_, (expected)); \
  } while (0)

/* CardAuthenticatePin: a wrong PIN reports the tries left through the
 * caller's pointer, the right one logs the user in and restores them. */
static BOOL pinLogin(void) {
  DWORD attempts = kUntouched;
  EXPECT_PROBE(0x63C0 | kUserPinTries);
  EXPECT_CODE(SCARD_W_WRONG_CHV,
              cardData.pfnCardAuthenticatePin(&cardData, user, wrongPin, sizeof wrongPin, &attempts));
  if (attempts != kUserPinTries - 1) return fail("%lu attempts reported, expected 2", (unsigned long)attempts);
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardAuthenticatePin(&cardData, user, userPin, sizeof userPin, &attempts));
  EXPECT_PROBE(0x9000);
  return TRUE;
}

/* CardDeauthenticate logs the user out on the card. */
static BOOL pinLogout(void) {
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardDeauthenticate(&cardData, user, 0));
  EXPECT_PROBE(0x63C0 | kUserPinTries);
  return TRUE;
}

/* The version-6 slots: a session PIN generated by the card comes back in a
 * buffer from the provider's allocator, logs the user in again after a
 * logout, and CardDeauthenticateEx ends the session. */
static BOOL sessionPin(void) {
  PBYTE session = NULL;
  DWORD sessionLength = 0;
  const long before = allocations - releases;
  EXPECT_CODE(SCARD_S_SUCCESS,
              cardData.pfnCardAuthenticateEx(&cardData, ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN, userPin,
                                             sizeof userPin, &session, &sessionLength, NULL));
  EXPECT_TRUE(session != NULL && sessionLength == 8 && allocations - releases == before + 1);
  EXPECT_PROBE(0x9000);
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardDeauthenticateEx(&cardData, CREATE_PIN_SET(ROLE_USER), 0));
  EXPECT_PROBE(0x63C0 | kUserPinTries);
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardAuthenticateEx(&cardData, ROLE_USER, CARD_AUTHENTICATE_SESSION_PIN,
                                                               session, sessionLength, NULL, NULL, NULL));
  providerFree(session);
  EXPECT_PROBE(0x9000);
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardDeauthenticateEx(&cardData, PIN_SET_ALL_ROLES, 0));
  EXPECT_PROBE(0x63C0 | kUserPinTries);
  return TRUE;
}

/* The administrator's two-key triple-DES key of the simulated card's
 * default personalisation, and its reference. */
static const BYTE kAdminKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                   0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
enum { kAdminRef = 0x03, kAdminTries = 3 };

/* The provider's side of the challenge-response: the challenge encrypted
 * with `key` (K1 K2 K1) in ECB mode, through the platform's CryptoAPI. */
static BOOL adminResponse(const BYTE challenge[8], const BYTE key[16], BYTE response[8]) {
  struct {
    BLOBHEADER header;
    DWORD length;
    BYTE key[16];
  } blob;
  HCRYPTPROV provider = 0;
  HCRYPTKEY handle = 0;
  DWORD mode = CRYPT_MODE_ECB;
  DWORD length = 8;
  BOOL ok;
  blob.header.bType = PLAINTEXTKEYBLOB;
  blob.header.bVersion = CUR_BLOB_VERSION;
  blob.header.reserved = 0;
  blob.header.aiKeyAlg = CALG_3DES_112;
  blob.length = sizeof blob.key;
  memcpy(blob.key, key, sizeof blob.key);
  memcpy(response, challenge, 8);
  ok = CryptAcquireContextA(&provider, NULL, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
       CryptImportKey(provider, (const BYTE *)&blob, sizeof blob, 0, 0, &handle) &&
       CryptSetKeyParam(handle, KP_MODE, (const BYTE *)&mode, 0) &&
       CryptEncrypt(handle, 0, FALSE, 0, response, &length, 8) && length == 8;
  if (handle != 0) CryptDestroyKey(handle);
  if (provider != 0) CryptReleaseContext(provider, 0);
  SecureZeroMemory(&blob, sizeof blob);
  return ok;
}

/* CardGetChallenge hands over eight bytes in a buffer from the provider's
 * allocator; a response under the wrong key counts down the tries, the right
 * one authenticates the administrator, CardDeauthenticateEx ends it. */
static BOOL adminLogin(void) {
  static const BYTE wrongKey[16] = {0};
  PBYTE challenge = NULL;
  DWORD challengeLength = 0;
  BYTE response[8];
  DWORD attempts = kUntouched;
  WORD sw;

  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardGetChallenge(&cardData, &challenge, &challengeLength));
  EXPECT_TRUE(challenge != NULL && challengeLength == 8);
  if (!adminResponse(challenge, wrongKey, response)) return fail("CryptoAPI: triple-DES failed (%lu)", GetLastError());
  providerFree(challenge);
  EXPECT_CODE(SCARD_W_WRONG_CHV, cardData.pfnCardAuthenticateChallenge(&cardData, response, 8, &attempts));
  if (attempts != kAdminTries - 1) return fail("%lu attempts reported, expected 2", (unsigned long)attempts);

  challenge = NULL;
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardGetChallenge(&cardData, &challenge, &challengeLength));
  EXPECT_TRUE(challenge != NULL && challengeLength == 8);
  if (!adminResponse(challenge, kAdminKey, response)) return fail("CryptoAPI: triple-DES failed (%lu)", GetLastError());
  providerFree(challenge);
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardAuthenticateChallenge(&cardData, response, 8, &attempts));
  if ((sw = probe(kAdminRef)) != 0x9000) return fail("administrator probe answered %04X after login", sw);
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardDeauthenticateEx(&cardData, CREATE_PIN_SET(ROLE_ADMIN), 0));
  if ((sw = probe(kAdminRef)) != (0x63C0 | kAdminTries)) return fail("administrator probe answered %04X after logout", sw);
  return TRUE;
}

/* Files, with the user logged in: a directory and a file in it, written
 * in more than one piece and read back byte for byte, its information and
 * the directory's listing, then both deleted. Every buffer the driver hands
 * over comes from the provider's allocator and goes back to it. */
static BOOL files(void) {
  char directory[] = "wine";
  char name[] = "greeting";
  char missing[] = "absent";
  static BYTE content[300];
  PBYTE read = NULL;
  DWORD readLength = 0;
  LPSTR names = NULL;
  DWORD namesLength = 0;
  CARD_FILE_INFO info = {1, 0xDEAD, InvalidAc};
  CARD_FREE_SPACE_INFO space = {1, 0, 0, 0};
  DWORD freeBefore;
  size_t i;
  const long held = allocations - releases;
  for (i = 0; i < sizeof content; ++i) content[i] = (BYTE)(i * 31 + (i >> 8));

  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardQueryFreeSpace(&cardData, 0, &space));
  EXPECT_TRUE(space.dwMaxKeyContainers == 8 && space.dwBytesAvailable > sizeof content);
  freeBefore = space.dwBytesAvailable;
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardCreateDirectory(&cardData, directory, UserCreateDeleteDirAc));
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardCreateFile(&cardData, directory, name, 0, EveryoneReadUserWriteAc));
  EXPECT_CODE(ERROR_FILE_EXISTS, cardData.pfnCardCreateFile(&cardData, directory, name, 0, EveryoneReadUserWriteAc));
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardWriteFile(&cardData, directory, name, 0, content, sizeof content));

  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardReadFile(&cardData, directory, name, 0, &read, &readLength));
  if (readLength != sizeof content || read == NULL || memcmp(read, content, sizeof content) != 0) {
    providerFree(read);
    return fail("read back %lu bytes that differ from the 300 written", (unsigned long)readLength);
  }
  providerFree(read);

  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardGetFileInfo(&cardData, directory, name, &info));
  EXPECT_TRUE(info.cbFileSize == sizeof content && info.AccessCondition == EveryoneReadUserWriteAc);
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardEnumFiles(&cardData, directory, &names, &namesLength, 0));
  if (names == NULL || namesLength != sizeof name + 1 || memcmp(names, "greeting\0", sizeof name + 1) != 0) {
    providerFree(names);
    return fail("the directory lists %lu bytes, expected \"greeting\" alone", (unsigned long)namesLength);
  }
  providerFree(names);
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardQueryFreeSpace(&cardData, 0, &space));
  EXPECT_TRUE(space.dwBytesAvailable < freeBefore - sizeof content);

  EXPECT_CODE(ERROR_DIR_NOT_EMPTY, cardData.pfnCardDeleteDirectory(&cardData, directory));
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardDeleteFile(&cardData, directory, name, 0));
  EXPECT_CODE(SCARD_E_FILE_NOT_FOUND, cardData.pfnCardReadFile(&cardData, directory, name, 0, &read, &readLength));
  EXPECT_CODE(SCARD_E_FILE_NOT_FOUND, cardData.pfnCardDeleteFile(&cardData, directory, missing, 0));
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardDeleteDirectory(&cardData, directory));
  EXPECT_CODE(SCARD_E_DIR_NOT_FOUND, cardData.pfnCardReadFile(&cardData, directory, name, 0, &read, &readLength));
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardQueryFreeSpace(&cardData, 0, &space));
  EXPECT_TRUE(space.dwBytesAvailable == freeBefore);
  if (allocations - releases != held)
    return fail("%ld buffers from the provider's allocator not given back", allocations - releases - held);
  return TRUE;
}

/* Keys, with the user logged in: a 2048-bit key pair made by CryptoAPI is
 * imported into container 0 as its signature key; the card's signature of a
 * SHA-256 hash is verified by CryptoAPI with the public part alone, and a
 * block CryptoAPI encrypted with that public part is decrypted by the card
 * and unpadded by the provider's callback. */
static BOOL keys(void) {
  static const BYTE message[] = "signed on the card, verified by CryptoAPI";
  static const BYTE secret[] = {0x5E, 0xC2, 0xE7, 0x00, 0x42, 0xFF};
  static BYTE privateBlob[1200];
  BYTE publicBlob[300];
  BYTE digest[32];
  BYTE block[256];
  BYTE cipher[256];
  DWORD privateLength = sizeof privateBlob;
  DWORD publicLength = sizeof publicBlob;
  DWORD digestLength = sizeof digest;
  DWORD blockLength = sizeof secret;
  HCRYPTPROV provider = 0;
  HCRYPTKEY pair = 0;
  HCRYPTKEY publicKey = 0;
  HCRYPTKEY encryptionKey = 0;
  HCRYPTHASH hash = 0;
  CARD_SIGNING_INFO signing;
  CARD_RSA_DECRYPT_INFO decrypt;
  BOOL verified;
  DWORD i;
  const long held = allocations - releases;

  if (!CryptAcquireContextA(&provider, NULL, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
      !CryptGenKey(provider, AT_SIGNATURE, (2048u << 16) | CRYPT_EXPORTABLE, &pair) ||
      !CryptExportKey(pair, 0, PRIVATEKEYBLOB, 0, privateBlob, &privateLength) ||
      !CryptExportKey(pair, 0, PUBLICKEYBLOB, 0, publicBlob, &publicLength) || !CryptDestroyKey(pair) ||
      !CryptImportKey(provider, publicBlob, publicLength, 0, 0, &publicKey))
    return fail("CryptoAPI: making the key pair failed (%lu)", GetLastError());
  /* CryptoAPI encrypts only with a key-exchange key: the same public part,
   * imported once more under that algorithm. */
  ((BLOBHEADER *)publicBlob)->aiKeyAlg = CALG_RSA_KEYX;
  if (!CryptImportKey(provider, publicBlob, publicLength, 0, 0, &encryptionKey))
    return fail("CryptoAPI: importing the public key for encryption failed (%lu)", GetLastError());
  EXPECT_TRUE(privateLength == 1172);
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardCreateContainer(&cardData, 0, CARD_CREATE_CONTAINER_KEY_IMPORT,
                                                               AT_SIGNATURE, 2048, privateBlob));
  SecureZeroMemory(privateBlob, sizeof privateBlob);

  if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) ||
      !CryptHashData(hash, message, sizeof message - 1, 0) ||
      !CryptGetHashParam(hash, HP_HASHVAL, digest, &digestLength, 0) || digestLength != sizeof digest)
    return fail("CryptoAPI: hashing failed (%lu)", GetLastError());
  memset(&signing, 0, sizeof signing);
  signing.dwVersion = 1;
  signing.bContainerIndex = 0;
  signing.dwKeySpec = AT_SIGNATURE;
  signing.aiHashAlg = CALG_SHA_256;
  signing.pbData = digest;
  signing.cbData = sizeof digest;
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardSignData(&cardData, &signing));
  EXPECT_TRUE(signing.pbSignedData != NULL && signing.cbSignedData == 256);
  verified = CryptVerifySignatureA(hash, signing.pbSignedData, signing.cbSignedData, publicKey, NULL, 0);
  providerFree(signing.pbSignedData);
  if (!verified) return fail("CryptVerifySignature refused the card's signature (%lu)", GetLastError());

  /* CryptoAPI hands the cipher block out least significant byte first; the
   * card takes it the other way round. */
  memcpy(block, secret, sizeof secret);
  if (!CryptEncrypt(encryptionKey, 0, TRUE, 0, block, &blockLength, sizeof block) || blockLength != sizeof block)
    return fail("CryptoAPI: encryption failed (%lu)", GetLastError());
  for (i = 0; i < sizeof block; ++i) cipher[i] = block[sizeof block - 1 - i];
  memset(&decrypt, 0, sizeof decrypt);
  decrypt.dwVersion = 2;
  decrypt.bContainerIndex = 0;
  decrypt.dwKeySpec = AT_SIGNATURE;
  decrypt.pbData = cipher;
  decrypt.cbData = sizeof cipher;
  decrypt.dwPaddingType = CARD_PADDING_PKCS1;
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardRSADecrypt(&cardData, &decrypt));
  EXPECT_TRUE(decrypt.cbData == sizeof secret && memcmp(cipher, secret, sizeof secret) == 0);

  CryptDestroyHash(hash);
  CryptDestroyKey(publicKey);
  CryptDestroyKey(encryptionKey);
  CryptReleaseContext(provider, 0);
  if (allocations - releases != held)
    return fail("%ld buffers from the provider's allocator not given back", allocations - releases - held);
  return TRUE;
}

/* Container information and deletion, on the key the previous step imported
 * into container 0: its public key read back with CardGetContainerInfo is
 * imported by CryptImportKey and verifies the card's signature of a SHA-256
 * hash (and refuses it for another hash); the container's PIN is the user's;
 * CardDeleteContainer empties it, after which signing finds no key and the
 * container counts as free again. */
static BOOL containers(void) {
  static const BYTE message[] = "read back, imported by CryptoAPI";
  static WCHAR pinIdentifier[] = L"PIN Identifier";
  CONTAINER_INFO info = {1, 0, 0, NULL, 0, NULL};
  CARD_SIGNING_INFO signing;
  CARD_FREE_SPACE_INFO space = {1, 0, 0, 0};
  DWORD freeBefore;
  BYTE digest[32];
  DWORD digestLength = sizeof digest;
  HCRYPTPROV provider = 0;
  HCRYPTKEY publicKey = 0;
  HCRYPTHASH hash = 0;
  HCRYPTHASH otherHash = 0;
  PIN_ID role = 99;
  DWORD roleLength = 0;
  BOOL imported;
  BOOL verified;
  BOOL otherVerified;
  const long held = allocations - releases;

  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardGetContainerInfo(&cardData, 0, 0, &info));
  EXPECT_TRUE(info.pbSigPublicKey != NULL && info.cbSigPublicKey == 276 && info.pbKeyExPublicKey == NULL);
  if (!CryptAcquireContextA(&provider, NULL, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
    return fail("CryptoAPI: no provider (%lu)", GetLastError());
  imported = CryptImportKey(provider, info.pbSigPublicKey, info.cbSigPublicKey, 0, 0, &publicKey);
  providerFree(info.pbSigPublicKey);
  if (!imported) return fail("CryptImportKey refused the card's PUBLICKEYBLOB (%lu)", GetLastError());
  if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) ||
      !CryptHashData(hash, message, sizeof message - 1, 0) ||
      !CryptGetHashParam(hash, HP_HASHVAL, digest, &digestLength, 0) || digestLength != sizeof digest)
    return fail("CryptoAPI: hashing failed (%lu)", GetLastError());

  memset(&signing, 0, sizeof signing);
  signing.dwVersion = 1;
  signing.bContainerIndex = 0;
  signing.dwKeySpec = AT_SIGNATURE;
  signing.aiHashAlg = CALG_SHA_256;
  signing.pbData = digest;
  signing.cbData = sizeof digest;
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardSignData(&cardData, &signing));
  verified = CryptVerifySignatureA(hash, signing.pbSignedData, signing.cbSignedData, publicKey, NULL, 0);
  digest[0] ^= 1;
  otherVerified = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &otherHash) &&
                  CryptSetHashParam(otherHash, HP_HASHVAL, digest, 0) &&
                  CryptVerifySignatureA(otherHash, signing.pbSignedData, signing.cbSignedData, publicKey, NULL, 0);
  providerFree(signing.pbSignedData);
  if (otherHash != 0) CryptDestroyHash(otherHash);
  CryptDestroyHash(hash);
  CryptDestroyKey(publicKey);
  CryptReleaseContext(provider, 0);
  if (!verified) return fail("the key from CardGetContainerInfo does not verify the card's signature");
  EXPECT_TRUE(!otherVerified);

  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardGetContainerProperty(&cardData, 0, pinIdentifier, (PBYTE)&role,
                                                                     sizeof role, &roleLength, 0));
  EXPECT_TRUE(role == ROLE_USER && roleLength == sizeof role);

  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardQueryFreeSpace(&cardData, 0, &space));
  freeBefore = space.dwKeyContainersAvailable;
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardDeleteContainer(&cardData, 0, 0));
  EXPECT_CODE(SCARD_E_NO_KEY_CONTAINER, cardData.pfnCardGetContainerInfo(&cardData, 0, 0, &info));
  signing.pbSignedData = NULL;
  EXPECT_CODE(SCARD_E_NO_KEY_CONTAINER, cardData.pfnCardSignData(&cardData, &signing));
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardQueryFreeSpace(&cardData, 0, &space));
  EXPECT_TRUE(space.dwKeyContainersAvailable == freeBefore + 1);
  if (allocations - releases != held)
    return fail("%ld buffers from the provider's allocator not given back", allocations - releases - held);
  return TRUE;
}

/* The version-7 slots the driver does not support answer so, sending nothing. */
static BOOL unsupportedSlots(void) {
  CARD_KEY_HANDLE key = 0;
  EXPECT_CODE(SCARD_E_UNSUPPORTED_FEATURE, cardData.pfnCardDestroyKey(&cardData, 0));
  EXPECT_CODE(SCARD_E_UNSUPPORTED_FEATURE,
              cardData.pfnMDImportSessionKey(&cardData, L"blob", L"AES", &key, NULL, 0));
  return TRUE;
}

/* CardDeleteContext gives the configuration record back to the provider. */
static BOOL deleteContext(void) {
  EXPECT_CODE(SCARD_S_SUCCESS, cardData.pfnCardDeleteContext(&cardData));
  bound = FALSE;
  if (allocations != releases)
    return fail("%ld blocks allocated, %ld given back", allocations, releases);
  EXPECT_TRUE(reallocations == 0);
  return TRUE;
}

/* The reader found every transaction ended with SCARD_LEAVE_CARD and every
 * command inside one. */
static BOOL disconnectReader(void) {
  EXPECT_CODE(SCARD_S_SUCCESS, SCardDisconnect(card, SCARD_LEAVE_CARD));
  EXPECT_CODE(SCARD_S_SUCCESS, SCardReleaseContext(context));
  context = 0;
  return TRUE;
}

struct Step {
  const char *name;
  BOOL (*run)(void);
};

/* In order; a failed step ends the scenario, since later ones build on it. */
static const struct Step kSteps[] = {
    {"load the driver (DllMain answers TRUE)", loadDriver},
    {"version resource", versionResource},
    {"24 exports by name, nothing more", exportsByName},
    {"connect to the card", connectReader},
    {"refuse a foreign card and an old CARD_DATA", refusesForeignCard},
    {"CardAcquireContext", acquireContext},
    {"PIN login", pinLogin},
    {"directory and file: create, write, read back, list, delete", files},
    {"key import, signature verified and block decrypted by CryptoAPI", keys},
    {"container: public key into CryptoAPI verifies the card's signature, then deleted", containers},
    {"PIN logout", pinLogout},
    {"session PIN through the version-6 slots", sessionPin},
    {"administrator challenge-response", adminLogin},
    {"unsupported version-7 slots", unsupportedSlots},
    {"CardDeleteContext", deleteContext},
    {"transactions balanced, disconnect", disconnectReader},
};

/* On a card vemractl's demo kept: the certificate it wrote. */
static const struct Step kCertificateSteps[] = {
    {"load the driver (DllMain answers TRUE)", loadDriver},
    {"connect to the card", connectReader},
    {"CardAcquireContext", acquireContext},
    {"PIN login", pinLogin},
    {"certificate written by vemractl: inflated, decoded and its key verifying the card's signature", certificateFromLinux},
    {"CardDeleteContext", deleteContext},
    {"transactions balanced, disconnect", disconnectReader},
};

int main(int argc, char **argv) {
  size_t i;
  const struct Step *steps = kSteps;
  size_t count = sizeof kSteps / sizeof kSteps[0];
  if (argc == 3 && strcmp(argv[2], "certificate") == 0) {
    steps = kCertificateSteps;
    count = sizeof kCertificateSteps / sizeof kCertificateSteps[0];
  } else if (argc != 2) {
    fprintf(stderr, "usage: %s DRIVER.dll [certificate]\n", argv[0]);
    return 2;
  }
  driverPath = argv[1];
  printf("scenario: %s, %u-bit\n", driverPath, (unsigned)(sizeof(void *) * 8));
  for (i = 0; i < count; ++i) {
    failure[0] = '\0';
    if (steps[i].run()) {
      ++passed;
      printf("ok - %s\n", steps[i].name);
    } else {
      ++failed;
      printf("not ok - %s: %s\n", steps[i].name, failure);
      break;
    }
    fflush(stdout);
  }
  if (bound && cardData.pfnCardDeleteContext != NULL) cardData.pfnCardDeleteContext(&cardData);
  if (context != 0) SCardReleaseContext(context);
  printf("scenario: %u passed, %u failed\n", passed, failed);
  return failed == 0 && passed == count ? 0 : 1;
}
