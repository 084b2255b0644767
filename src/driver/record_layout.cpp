// Compile-time checks that the interface records have their published layout
// on the 64-bit (LP64 and LLP64) and 32-bit ABIs: a slip in a field's type or
// order cannot build.
#include <cstddef>

#include "vemradrv/minidriver.h"

namespace {

constexpr std::size_t P = sizeof(void*);
static_assert(P == 8 || P == 4, "the driver is built for 64-bit and 32-bit processes only");
constexpr bool k64 = P == 8;

static_assert(sizeof(DWORD) == 4 && sizeof(WCHAR) == 2 && sizeof(BYTE) == 1 && sizeof(ALG_ID) == 4);
static_assert(sizeof(SCARDHANDLE) == P && sizeof(SCARDCONTEXT) == P && sizeof(CARD_KEY_HANDLE) == P);
static_assert(sizeof(CARD_FILE_ACCESS_CONDITION) == 4 && sizeof(CARD_DIRECTORY_ACCESS_CONDITION) == 4);

// CARD_DATA: fifteen leading fields, then 48 pointer-sized slots.
static_assert(offsetof(CARD_DATA, dwVersion) == 0);
static_assert(offsetof(CARD_DATA, pbAtr) == (k64 ? 8 : 4));
static_assert(offsetof(CARD_DATA, cbAtr) == (k64 ? 16 : 8));
static_assert(offsetof(CARD_DATA, pwszCardName) == (k64 ? 24 : 12));
static_assert(offsetof(CARD_DATA, pfnCspAlloc) == (k64 ? 32 : 16));
static_assert(offsetof(CARD_DATA, pfnCspReAlloc) == (k64 ? 40 : 20));
static_assert(offsetof(CARD_DATA, pfnCspFree) == (k64 ? 48 : 24));
static_assert(offsetof(CARD_DATA, pfnCspCacheAddFile) == (k64 ? 56 : 28));
static_assert(offsetof(CARD_DATA, pfnCspCacheLookupFile) == (k64 ? 64 : 32));
static_assert(offsetof(CARD_DATA, pfnCspCacheDeleteFile) == (k64 ? 72 : 36));
static_assert(offsetof(CARD_DATA, pvCacheContext) == (k64 ? 80 : 40));
static_assert(offsetof(CARD_DATA, pfnCspPadData) == (k64 ? 88 : 44));
static_assert(offsetof(CARD_DATA, hSCardCtx) == (k64 ? 96 : 48));
static_assert(offsetof(CARD_DATA, hScard) == (k64 ? 104 : 52));
static_assert(offsetof(CARD_DATA, pvVendorSpecific) == (k64 ? 112 : 56));

constexpr std::size_t kFirstSlot = k64 ? 120 : 60;
#define VEMRA_SLOT(field, index) \
  static_assert(offsetof(CARD_DATA, field) == kFirstSlot + (index) * P, "CARD_DATA slot " #field)
VEMRA_SLOT(pfnCardDeleteContext, 0);
VEMRA_SLOT(pfnCardQueryCapabilities, 1);
VEMRA_SLOT(pfnCardDeleteContainer, 2);
VEMRA_SLOT(pfnCardCreateContainer, 3);
VEMRA_SLOT(pfnCardGetContainerInfo, 4);
VEMRA_SLOT(pfnCardAuthenticatePin, 5);
VEMRA_SLOT(pfnCardGetChallenge, 6);
VEMRA_SLOT(pfnCardAuthenticateChallenge, 7);
VEMRA_SLOT(pfnCardUnblockPin, 8);
VEMRA_SLOT(pfnCardChangeAuthenticator, 9);
VEMRA_SLOT(pfnCardDeauthenticate, 10);
VEMRA_SLOT(pfnCardCreateDirectory, 11);
VEMRA_SLOT(pfnCardDeleteDirectory, 12);
VEMRA_SLOT(pvUnused3, 13);
VEMRA_SLOT(pvUnused4, 14);
VEMRA_SLOT(pfnCardCreateFile, 15);
VEMRA_SLOT(pfnCardReadFile, 16);
VEMRA_SLOT(pfnCardWriteFile, 17);
VEMRA_SLOT(pfnCardDeleteFile, 18);
VEMRA_SLOT(pfnCardEnumFiles, 19);
VEMRA_SLOT(pfnCardGetFileInfo, 20);
VEMRA_SLOT(pfnCardQueryFreeSpace, 21);
VEMRA_SLOT(pfnCardQueryKeySizes, 22);
VEMRA_SLOT(pfnCardSignData, 23);
VEMRA_SLOT(pfnCardRSADecrypt, 24);
VEMRA_SLOT(pfnCardConstructDHAgreement, 25);
VEMRA_SLOT(pfnCardDeriveKey, 26);
VEMRA_SLOT(pfnCardDestroyDHAgreement, 27);
VEMRA_SLOT(pfnCspGetDHAgreement, 28);
VEMRA_SLOT(pfnCardGetChallengeEx, 29);
VEMRA_SLOT(pfnCardAuthenticateEx, 30);
VEMRA_SLOT(pfnCardChangeAuthenticatorEx, 31);
VEMRA_SLOT(pfnCardDeauthenticateEx, 32);
VEMRA_SLOT(pfnCardGetContainerProperty, 33);
VEMRA_SLOT(pfnCardSetContainerProperty, 34);
VEMRA_SLOT(pfnCardGetProperty, 35);
VEMRA_SLOT(pfnCardSetProperty, 36);
VEMRA_SLOT(pfnCspUnpadData, 37);
VEMRA_SLOT(pfnMDImportSessionKey, 38);
VEMRA_SLOT(pfnMDEncryptData, 39);
VEMRA_SLOT(pfnCardImportSessionKey, 40);
VEMRA_SLOT(pfnCardGetSharedKeyHandle, 41);
VEMRA_SLOT(pfnCardGetAlgorithmProperty, 42);
VEMRA_SLOT(pfnCardGetKeyProperty, 43);
VEMRA_SLOT(pfnCardSetKeyProperty, 44);
VEMRA_SLOT(pfnCardDestroyKey, 45);
VEMRA_SLOT(pfnCardProcessEncryptedData, 46);
VEMRA_SLOT(pfnCardCreateContainerEx, 47);
#undef VEMRA_SLOT
static_assert(sizeof(CARD_DATA) == kFirstSlot + 48 * P, "CARD_DATA ends with the last version-7 slot");
static_assert(sizeof(CARD_DATA) == (k64 ? 504 : 252));

// The records the entry points fill or read.
static_assert(sizeof(CARD_CAPABILITIES) == 12);
static_assert(sizeof(CARD_KEY_SIZES) == 20);
static_assert(sizeof(CARD_FREE_SPACE_INFO) == 16);
static_assert(sizeof(CARD_FILE_INFO) == 12 && offsetof(CARD_FILE_INFO, AccessCondition) == 8);
static_assert(sizeof(PIN_INFO) == 36 && offsetof(PIN_INFO, PinCachePolicy) == 20 && offsetof(PIN_INFO, dwFlags) == 32);

static_assert(offsetof(CONTAINER_INFO, cbSigPublicKey) == 8);
static_assert(offsetof(CONTAINER_INFO, pbSigPublicKey) == (k64 ? 16 : 12));
static_assert(offsetof(CONTAINER_INFO, cbKeyExPublicKey) == (k64 ? 24 : 16));
static_assert(offsetof(CONTAINER_INFO, pbKeyExPublicKey) == (k64 ? 32 : 20));
static_assert(sizeof(CONTAINER_INFO) == (k64 ? 40 : 24));

static_assert(offsetof(CARD_SIGNING_INFO, bContainerIndex) == 4);
static_assert(offsetof(CARD_SIGNING_INFO, dwKeySpec) == 8);
static_assert(offsetof(CARD_SIGNING_INFO, dwSigningFlags) == 12);
static_assert(offsetof(CARD_SIGNING_INFO, aiHashAlg) == 16);
static_assert(offsetof(CARD_SIGNING_INFO, pbData) == (k64 ? 24 : 20));
static_assert(offsetof(CARD_SIGNING_INFO, cbData) == (k64 ? 32 : 24));
static_assert(offsetof(CARD_SIGNING_INFO, pbSignedData) == (k64 ? 40 : 28));
static_assert(offsetof(CARD_SIGNING_INFO, cbSignedData) == (k64 ? 48 : 32));
static_assert(offsetof(CARD_SIGNING_INFO, pPaddingInfo) == (k64 ? 56 : 36));
static_assert(offsetof(CARD_SIGNING_INFO, dwPaddingType) == (k64 ? 64 : 40));
static_assert(sizeof(CARD_SIGNING_INFO) == (k64 ? 72 : 44));

static_assert(offsetof(CARD_RSA_DECRYPT_INFO, dwKeySpec) == 8);
static_assert(offsetof(CARD_RSA_DECRYPT_INFO, pbData) == (k64 ? 16 : 12));
static_assert(offsetof(CARD_RSA_DECRYPT_INFO, cbData) == (k64 ? 24 : 16));
static_assert(offsetof(CARD_RSA_DECRYPT_INFO, pPaddingInfo) == (k64 ? 32 : 20));
static_assert(offsetof(CARD_RSA_DECRYPT_INFO, dwPaddingType) == (k64 ? 40 : 24));
static_assert(sizeof(CARD_RSA_DECRYPT_INFO) == (k64 ? 48 : 28));

static_assert(sizeof(BCRYPT_PKCS1_PADDING_INFO) == P);

}  // namespace
