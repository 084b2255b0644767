// The published layout of the interface records, as tables of (field,
// offset on 64-bit ABIs, offset on 32-bit ABIs). record_layout.cpp holds the
// driver's own records to them; on Windows, record_layout_cardmod.cpp holds
// mingw-w64's <cardmod.h> to the same tables, so the two agree slot by slot.
// This header includes no declaration of the records: each checker brings
// its own.
#pragma once

#include <cstddef>

namespace vemra::layout {

inline constexpr std::size_t kPointer = sizeof(void*);
inline constexpr bool k64 = kPointer == 8;
static_assert(kPointer == 8 || kPointer == 4, "the driver is built for 64-bit and 32-bit processes only");

constexpr std::size_t at(std::size_t offset64, std::size_t offset32) { return k64 ? offset64 : offset32; }

// CARD_DATA: fifteen leading fields, then pointer-sized slots from kFirstSlot.
inline constexpr std::size_t kFirstSlot = at(120, 60);
inline constexpr std::size_t slot(std::size_t index) { return kFirstSlot + index * kPointer; }
inline constexpr std::size_t kVersion5Slots = 29;  // up to pfnCspGetDHAgreement
inline constexpr std::size_t kVersion7Slots = 48;  // up to pfnCardCreateContainerEx

}  // namespace vemra::layout

#define VEMRA_CARD_DATA_HEAD(X) \
  X(dwVersion, 0, 0)            \
  X(pbAtr, 8, 4)                \
  X(cbAtr, 16, 8)               \
  X(pwszCardName, 24, 12)       \
  X(pfnCspAlloc, 32, 16)        \
  X(pfnCspReAlloc, 40, 20)      \
  X(pfnCspFree, 48, 24)         \
  X(pfnCspCacheAddFile, 56, 28) \
  X(pfnCspCacheLookupFile, 64, 32) \
  X(pfnCspCacheDeleteFile, 72, 36) \
  X(pvCacheContext, 80, 40)     \
  X(pfnCspPadData, 88, 44)      \
  X(hSCardCtx, 96, 48)          \
  X(hScard, 104, 52)            \
  X(pvVendorSpecific, 112, 56)

// The slots of interface versions 4 and 5, by index from kFirstSlot.
#define VEMRA_CARD_DATA_SLOTS_V5(X)  \
  X(pfnCardDeleteContext, 0)         \
  X(pfnCardQueryCapabilities, 1)     \
  X(pfnCardDeleteContainer, 2)       \
  X(pfnCardCreateContainer, 3)       \
  X(pfnCardGetContainerInfo, 4)      \
  X(pfnCardAuthenticatePin, 5)       \
  X(pfnCardGetChallenge, 6)          \
  X(pfnCardAuthenticateChallenge, 7) \
  X(pfnCardUnblockPin, 8)            \
  X(pfnCardChangeAuthenticator, 9)   \
  X(pfnCardDeauthenticate, 10)       \
  X(pfnCardCreateDirectory, 11)      \
  X(pfnCardDeleteDirectory, 12)      \
  X(pvUnused3, 13)                   \
  X(pvUnused4, 14)                   \
  X(pfnCardCreateFile, 15)           \
  X(pfnCardReadFile, 16)             \
  X(pfnCardWriteFile, 17)            \
  X(pfnCardDeleteFile, 18)           \
  X(pfnCardEnumFiles, 19)            \
  X(pfnCardGetFileInfo, 20)          \
  X(pfnCardQueryFreeSpace, 21)       \
  X(pfnCardQueryKeySizes, 22)        \
  X(pfnCardSignData, 23)             \
  X(pfnCardRSADecrypt, 24)           \
  X(pfnCardConstructDHAgreement, 25) \
  X(pfnCardDeriveKey, 26)            \
  X(pfnCardDestroyDHAgreement, 27)   \
  X(pfnCspGetDHAgreement, 28)

// The slots of interface versions 6 and 7.
#define VEMRA_CARD_DATA_SLOTS_V7(X)   \
  X(pfnCardGetChallengeEx, 29)        \
  X(pfnCardAuthenticateEx, 30)        \
  X(pfnCardChangeAuthenticatorEx, 31) \
  X(pfnCardDeauthenticateEx, 32)      \
  X(pfnCardGetContainerProperty, 33)  \
  X(pfnCardSetContainerProperty, 34)  \
  X(pfnCardGetProperty, 35)           \
  X(pfnCardSetProperty, 36)           \
  X(pfnCspUnpadData, 37)              \
  X(pfnMDImportSessionKey, 38)        \
  X(pfnMDEncryptData, 39)             \
  X(pfnCardImportSessionKey, 40)      \
  X(pfnCardGetSharedKeyHandle, 41)    \
  X(pfnCardGetAlgorithmProperty, 42)  \
  X(pfnCardGetKeyProperty, 43)        \
  X(pfnCardSetKeyProperty, 44)        \
  X(pfnCardDestroyKey, 45)            \
  X(pfnCardProcessEncryptedData, 46)  \
  X(pfnCardCreateContainerEx, 47)

// CARD_SIGNING_INFO, version 2 (pPaddingInfo and dwPaddingType added).
#define VEMRA_SIGNING_INFO_FIELDS(X) \
  X(dwVersion, 0, 0)                 \
  X(bContainerIndex, 4, 4)           \
  X(dwKeySpec, 8, 8)                 \
  X(dwSigningFlags, 12, 12)          \
  X(aiHashAlg, 16, 16)               \
  X(pbData, 24, 20)                  \
  X(cbData, 32, 24)                  \
  X(pbSignedData, 40, 28)            \
  X(cbSignedData, 48, 32)            \
  X(pPaddingInfo, 56, 36)            \
  X(dwPaddingType, 64, 40)
#define VEMRA_SIGNING_INFO_SIZE 72, 44

// CARD_RSA_DECRYPT_INFO: the version-1 fields, then those of version 2.
#define VEMRA_DECRYPT_INFO_FIELDS_V1(X) \
  X(dwVersion, 0, 0)                    \
  X(bContainerIndex, 4, 4)              \
  X(dwKeySpec, 8, 8)                    \
  X(pbData, 16, 12)                     \
  X(cbData, 24, 16)
#define VEMRA_DECRYPT_INFO_FIELDS_V2(X) \
  X(pPaddingInfo, 32, 20)               \
  X(dwPaddingType, 40, 24)
#define VEMRA_DECRYPT_INFO_SIZE 48, 28

#define VEMRA_CONTAINER_INFO_FIELDS(X) \
  X(dwVersion, 0, 0)                   \
  X(dwReserved, 4, 4)                  \
  X(cbSigPublicKey, 8, 8)              \
  X(pbSigPublicKey, 16, 12)            \
  X(cbKeyExPublicKey, 24, 16)          \
  X(pbKeyExPublicKey, 32, 20)
#define VEMRA_CONTAINER_INFO_SIZE 40, 24

#define VEMRA_PIN_INFO_FIELDS(X) \
  X(dwVersion, 0, 0)             \
  X(PinType, 4, 4)               \
  X(PinPurpose, 8, 8)            \
  X(dwChangePermission, 12, 12)  \
  X(dwUnblockPermission, 16, 16) \
  X(PinCachePolicy, 20, 20)      \
  X(dwFlags, 32, 32)
#define VEMRA_PIN_INFO_SIZE 36, 36

#define VEMRA_FILE_INFO_FIELDS(X) \
  X(dwVersion, 0, 0)              \
  X(cbFileSize, 4, 4)             \
  X(AccessCondition, 8, 8)
#define VEMRA_FILE_INFO_SIZE 12, 12

#define VEMRA_FREE_SPACE_INFO_FIELDS(X) \
  X(dwVersion, 0, 0)                    \
  X(dwBytesAvailable, 4, 4)             \
  X(dwKeyContainersAvailable, 8, 8)     \
  X(dwMaxKeyContainers, 12, 12)
#define VEMRA_FREE_SPACE_INFO_SIZE 16, 16

#define VEMRA_CAPABILITIES_FIELDS(X) \
  X(dwVersion, 0, 0)                 \
  X(fCertificateCompression, 4, 4)   \
  X(fKeyGen, 8, 8)
#define VEMRA_CAPABILITIES_SIZE 12, 12

// Assertions over one record; a checker applies a table by defining a
// one-record macro, e.g.
//   #define SIGNING(field, offset64, offset32) VEMRA_ASSERT_OFFSET(CARD_SIGNING_INFO, field, offset64, offset32)
//   VEMRA_SIGNING_INFO_FIELDS(SIGNING)
#define VEMRA_ASSERT_OFFSET(Record, field, offset64, offset32)                       \
  static_assert(offsetof(Record, field) == ::vemra::layout::at(offset64, offset32), \
                #Record "::" #field " is at its published offset");
#define VEMRA_ASSERT_SLOT(Record, field, index) \
  static_assert(offsetof(Record, field) == ::vemra::layout::slot(index), #Record " slot " #field);
#define VEMRA_ASSERT_SIZE_(Record, size64, size32) \
  static_assert(sizeof(Record) == ::vemra::layout::at(size64, size32), "sizeof(" #Record ")");
#define VEMRA_ASSERT_EXPAND_(macro, ...) macro(__VA_ARGS__)
#define VEMRA_ASSERT_SIZE(Record, SIZE) VEMRA_ASSERT_EXPAND_(VEMRA_ASSERT_SIZE_, Record, SIZE)
