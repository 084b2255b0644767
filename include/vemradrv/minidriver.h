/*
 * vemradrv: the smart-card minidriver interface as this driver implements it.
 *
 * Records, callback types, entry-point prototypes, constants and error codes
 * of the minidriver interface, versions 4 to 7, in their published layout on
 * every platform: DWORD 32-bit unsigned, WCHAR 16-bit (UTF-16), BYTE 8-bit,
 * ALG_ID 32-bit, pointers and the PC/SC handles pointer-sized.
 *
 * On Windows the base types come from <windows.h>; elsewhere they are
 * defined here. Error codes carry the interface's values, never those of a
 * PC/SC implementation's own headers (pcsc-lite, for one, gives
 * SCARD_E_UNSUPPORTED_FEATURE another value).
 */
#ifndef VEMRADRV_MINIDRIVER_H
#define VEMRADRV_MINIDRIVER_H

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h> /* BCRYPT_PKCS1_PADDING_INFO */
#else
#include <stddef.h>
#include <stdint.h>

#define WINAPI
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int32_t BOOL;
typedef uint8_t BYTE;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif
typedef char CHAR;
typedef uint32_t ALG_ID;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef void *PVOID;
typedef void *LPVOID;
typedef BYTE *PBYTE;
typedef DWORD *PDWORD;
typedef DWORD *LPDWORD;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef CHAR *LPSTR;
typedef ULONG_PTR SCARDCONTEXT;
typedef ULONG_PTR SCARDHANDLE;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#endif /* _WIN32 */

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Error codes (interface values)                                     */
/* ------------------------------------------------------------------ */
#define VEMRA_CODE(x) ((DWORD)(x))
#ifdef _WIN32
/* <winerror.h> gives the SCARD_ codes the signed HRESULT type; the interface
 * returns them as DWORD, so they are defined again below with that type
 * (same values). */
#undef SCARD_S_SUCCESS
#undef SCARD_F_INTERNAL_ERROR
#undef SCARD_E_INVALID_HANDLE
#undef SCARD_E_INVALID_PARAMETER
#undef SCARD_E_INVALID_TARGET
#undef SCARD_E_NO_MEMORY
#undef SCARD_E_INSUFFICIENT_BUFFER
#undef SCARD_E_UNKNOWN_CARD
#undef SCARD_E_UNSUPPORTED_FEATURE
#undef SCARD_E_DIR_NOT_FOUND
#undef SCARD_E_FILE_NOT_FOUND
#undef SCARD_E_NO_ACCESS
#undef SCARD_E_WRITE_TOO_MANY
#undef SCARD_E_NO_KEY_CONTAINER
#undef SCARD_W_SECURITY_VIOLATION
#undef SCARD_W_WRONG_CHV
#undef SCARD_W_CHV_BLOCKED
#endif
#ifndef SCARD_S_SUCCESS
#define SCARD_S_SUCCESS VEMRA_CODE(0x00000000)
#endif
#ifndef SCARD_F_INTERNAL_ERROR
#define SCARD_F_INTERNAL_ERROR VEMRA_CODE(0x80100001)
#endif
#ifndef SCARD_E_INVALID_HANDLE
#define SCARD_E_INVALID_HANDLE VEMRA_CODE(0x80100003)
#endif
#ifndef SCARD_E_INVALID_PARAMETER
#define SCARD_E_INVALID_PARAMETER VEMRA_CODE(0x80100004)
#endif
#ifndef SCARD_E_INVALID_TARGET
#define SCARD_E_INVALID_TARGET VEMRA_CODE(0x80100005)
#endif
#ifndef SCARD_E_NO_MEMORY
#define SCARD_E_NO_MEMORY VEMRA_CODE(0x80100006)
#endif
#ifndef SCARD_E_INSUFFICIENT_BUFFER
#define SCARD_E_INSUFFICIENT_BUFFER VEMRA_CODE(0x80100008)
#endif
#ifndef SCARD_E_UNKNOWN_CARD
#define SCARD_E_UNKNOWN_CARD VEMRA_CODE(0x8010000D)
#endif
#ifndef SCARD_E_UNSUPPORTED_FEATURE
#define SCARD_E_UNSUPPORTED_FEATURE VEMRA_CODE(0x80100022)
#endif
#ifndef SCARD_E_DIR_NOT_FOUND
#define SCARD_E_DIR_NOT_FOUND VEMRA_CODE(0x80100023)
#endif
#ifndef SCARD_E_FILE_NOT_FOUND
#define SCARD_E_FILE_NOT_FOUND VEMRA_CODE(0x80100024)
#endif
#ifndef SCARD_E_NO_ACCESS
#define SCARD_E_NO_ACCESS VEMRA_CODE(0x80100027)
#endif
#ifndef SCARD_E_WRITE_TOO_MANY
#define SCARD_E_WRITE_TOO_MANY VEMRA_CODE(0x80100028)
#endif
#ifndef SCARD_E_NO_KEY_CONTAINER
#define SCARD_E_NO_KEY_CONTAINER VEMRA_CODE(0x80100030)
#endif
#ifndef SCARD_W_SECURITY_VIOLATION
#define SCARD_W_SECURITY_VIOLATION VEMRA_CODE(0x8010006A)
#endif
#ifndef SCARD_W_WRONG_CHV
#define SCARD_W_WRONG_CHV VEMRA_CODE(0x8010006B)
#endif
#ifndef SCARD_W_CHV_BLOCKED
#define SCARD_W_CHV_BLOCKED VEMRA_CODE(0x8010006C)
#endif
#ifndef ERROR_FILE_EXISTS
#define ERROR_FILE_EXISTS VEMRA_CODE(80)
#endif
#ifndef ERROR_INSUFFICIENT_BUFFER
#define ERROR_INSUFFICIENT_BUFFER VEMRA_CODE(122)
#endif
#ifndef ERROR_DIR_NOT_EMPTY
#define ERROR_DIR_NOT_EMPTY VEMRA_CODE(145)
#endif
#ifndef ERROR_REVISION_MISMATCH
#define ERROR_REVISION_MISMATCH VEMRA_CODE(1306)
#endif

/* PC/SC transaction disposition */
#ifndef SCARD_LEAVE_CARD
#define SCARD_LEAVE_CARD VEMRA_CODE(0)
#endif

/* ------------------------------------------------------------------ */
/* Constants                                                          */
/* ------------------------------------------------------------------ */
#define CARD_DATA_VERSION_FOUR 4
#define CARD_DATA_VERSION_FIVE 5
#define CARD_DATA_VERSION_SIX 6
#define CARD_DATA_VERSION_SEVEN 7
#define CARD_DATA_CURRENT_VERSION CARD_DATA_VERSION_SEVEN

#define CARD_SECURE_KEY_INJECTION_NO_CARD_MODE 0x1

/* Key types */
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2
#define AT_ECDSA_P256 3
#define AT_ECDSA_P384 4
#define AT_ECDSA_P521 5
#define AT_ECDHE_P256 6
#define AT_ECDHE_P384 7
#define AT_ECDHE_P521 8

/* PIN identifiers and PIN sets */
typedef DWORD PIN_ID;
typedef DWORD *PPIN_ID;
typedef DWORD PIN_SET;
typedef DWORD *PPIN_SET;
#define ROLE_EVERYONE 0
#define ROLE_USER 1
#define ROLE_ADMIN 2
#define PIN_SET_ALL_ROLES 0xFF
#define CREATE_PIN_SET(PinId) (1u << (PinId))

/* CardAuthenticateEx flags */
#define CARD_AUTHENTICATE_GENERATE_SESSION_PIN 0x10000000
#define CARD_AUTHENTICATE_SESSION_PIN 0x20000000
#define CARD_PIN_SILENT_CONTEXT 0x00000040

/* CardChangeAuthenticator / CardUnblockPin modes */
#define CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE 1
#define CARD_AUTHENTICATE_PIN_PIN 2

/* CardChangeAuthenticatorEx modes */
#define PIN_CHANGE_FLAG_UNBLOCK 0x01
#define PIN_CHANGE_FLAG_CHANGEPIN 0x02

/* CardCreateContainer flags */
#define CARD_CREATE_CONTAINER_KEY_GEN 1
#define CARD_CREATE_CONTAINER_KEY_IMPORT 2

/* Signing */
#define CARD_PADDING_INFO_PRESENT 0x40000000
#define CARD_BUFFER_SIZE_ONLY 0x20000000
#define CARD_PADDING_NONE 0x00000001
#define CARD_PADDING_PKCS1 0x00000002
#define CARD_PADDING_PSS 0x00000004
#define CARD_PADDING_OAEP 0x00000008

/* Hash algorithm identifiers (on Windows, <wincrypt.h> defines them with
 * the same values) */
#ifndef CALG_MD2
#define CALG_MD2 0x8001
#endif
#ifndef CALG_MD4
#define CALG_MD4 0x8002
#endif
#ifndef CALG_MD5
#define CALG_MD5 0x8003
#endif
#ifndef CALG_SHA1
#define CALG_SHA1 0x8004
#endif
#ifndef CALG_MAC
#define CALG_MAC 0x8005
#endif
#ifndef CALG_SSL3_SHAMD5
#define CALG_SSL3_SHAMD5 0x8008
#endif
#ifndef CALG_HMAC
#define CALG_HMAC 0x8009
#endif
#ifndef CALG_TLS1PRF
#define CALG_TLS1PRF 0x800A
#endif
#ifndef CALG_HASH_REPLACE_OWF
#define CALG_HASH_REPLACE_OWF 0x800B
#endif
#ifndef CALG_SHA_256
#define CALG_SHA_256 0x800C
#endif
#ifndef CALG_SHA_384
#define CALG_SHA_384 0x800D
#endif
#ifndef CALG_SHA_512
#define CALG_SHA_512 0x800E
#endif
#ifndef CALG_HUGHES_MD5
#define CALG_HUGHES_MD5 0xA003
#endif
#ifndef CALG_RSA_SIGN
#define CALG_RSA_SIGN 0x2400
#endif
#ifndef CALG_RSA_KEYX
#define CALG_RSA_KEYX 0xA400
#endif

/* Property cache and PIN strength values */
#define CP_CACHE_MODE_GLOBAL_CACHE 1
#define CP_CACHE_MODE_SESSION_ONLY 2
#define CP_CACHE_MODE_NO_CACHE 3
#define CARD_PIN_STRENGTH_PLAINTEXT 0x1
#define CARD_PIN_STRENGTH_SESSION_PIN 0x2

/* ------------------------------------------------------------------ */
/* Enumerations                                                       */
/* ------------------------------------------------------------------ */
/*
 * Each enumeration is a 32-bit word in the records and in the entry points'
 * arguments, and a caller may pass any word. In C++ each is declared over
 * DWORD, so that every 32-bit value is a value of the type and the driver's
 * own range checks decide; without a fixed underlying type a value outside
 * the enumerators would be undefined before any check could run.
 */
#ifdef __cplusplus
#define VEMRA_ENUM_WORD : DWORD
#else
#define VEMRA_ENUM_WORD
#endif

typedef enum VEMRA_ENUM_WORD {
  InvalidDirAc = 0,
  UserCreateDeleteDirAc = 1,
  AdminCreateDeleteDirAc = 2
} CARD_DIRECTORY_ACCESS_CONDITION;

typedef enum VEMRA_ENUM_WORD {
  InvalidAc = 0,
  EveryoneReadUserWriteAc = 1,
  UserWriteExecuteAc = 2,
  EveryoneReadAdminWriteAc = 3,
  UnknownAc = 4,
  UserReadWriteAc = 5,
  AdminReadWriteAc = 6
} CARD_FILE_ACCESS_CONDITION;

typedef enum VEMRA_ENUM_WORD {
  AlphaNumericPinType = 0,
  ExternalPinType = 1,
  ChallengeResponsePinType = 2,
  EmptyPinType = 3
} SECRET_TYPE;

typedef enum VEMRA_ENUM_WORD {
  AuthenticationPin = 0,
  DigitalSignaturePin = 1,
  EncryptionPin = 2,
  NonRepudiationPin = 3,
  AdministratorPin = 4,
  PrimaryCardPin = 5,
  UnblockOnlyPin = 6
} SECRET_PURPOSE;

typedef enum VEMRA_ENUM_WORD {
  PinCacheNormal = 0,
  PinCacheTimed = 1,
  PinCacheNone = 2,
  PinCacheAlwaysPrompt = 3
} PIN_CACHE_POLICY_TYPE;

/* ------------------------------------------------------------------ */
/* Records                                                            */
/* ------------------------------------------------------------------ */
typedef struct _CARD_CAPABILITIES {
  DWORD dwVersion;
  BOOL fCertificateCompression;
  BOOL fKeyGen;
} CARD_CAPABILITIES, *PCARD_CAPABILITIES;

typedef struct _CARD_KEY_SIZES {
  DWORD dwVersion;
  DWORD dwMinimumBitlen;
  DWORD dwDefaultBitlen;
  DWORD dwMaximumBitlen;
  DWORD dwIncrementalBitlen;
} CARD_KEY_SIZES, *PCARD_KEY_SIZES;

typedef struct _CARD_FREE_SPACE_INFO {
  DWORD dwVersion;
  DWORD dwBytesAvailable;
  DWORD dwKeyContainersAvailable;
  DWORD dwMaxKeyContainers;
} CARD_FREE_SPACE_INFO, *PCARD_FREE_SPACE_INFO;

typedef struct _CARD_FILE_INFO {
  DWORD dwVersion;
  DWORD cbFileSize;
  CARD_FILE_ACCESS_CONDITION AccessCondition;
} CARD_FILE_INFO, *PCARD_FILE_INFO;

typedef struct _CONTAINER_INFO {
  DWORD dwVersion;
  DWORD dwReserved;
  DWORD cbSigPublicKey;
  PBYTE pbSigPublicKey;
  DWORD cbKeyExPublicKey;
  PBYTE pbKeyExPublicKey;
} CONTAINER_INFO, *PCONTAINER_INFO;

typedef struct _PIN_CACHE_POLICY {
  DWORD dwVersion;
  PIN_CACHE_POLICY_TYPE PinCachePolicyType;
  DWORD dwPinCachePolicyInfo;
} PIN_CACHE_POLICY, *PPIN_CACHE_POLICY;

typedef struct _PIN_INFO {
  DWORD dwVersion;
  SECRET_TYPE PinType;
  SECRET_PURPOSE PinPurpose;
  PIN_SET dwChangePermission;
  PIN_SET dwUnblockPermission;
  PIN_CACHE_POLICY PinCachePolicy;
  DWORD dwFlags;
} PIN_INFO, *PPIN_INFO;

typedef struct _CARD_SIGNING_INFO {
  DWORD dwVersion;
  BYTE bContainerIndex;
  DWORD dwKeySpec;
  DWORD dwSigningFlags;
  ALG_ID aiHashAlg;
  PBYTE pbData;
  DWORD cbData;
  PBYTE pbSignedData;
  DWORD cbSignedData;
  /* version 2 */
  LPVOID pPaddingInfo;
  DWORD dwPaddingType;
} CARD_SIGNING_INFO, *PCARD_SIGNING_INFO;

typedef struct _CARD_RSA_DECRYPT_INFO {
  DWORD dwVersion;
  BYTE bContainerIndex;
  DWORD dwKeySpec;
  PBYTE pbData;
  DWORD cbData;
  /* version 2 */
  LPVOID pPaddingInfo;
  DWORD dwPaddingType;
} CARD_RSA_DECRYPT_INFO, *PCARD_RSA_DECRYPT_INFO;

#ifndef _WIN32
typedef struct _BCRYPT_PKCS1_PADDING_INFO {
  LPCWSTR pszAlgId;
} BCRYPT_PKCS1_PADDING_INFO;
#endif

typedef ULONG_PTR CARD_KEY_HANDLE, *PCARD_KEY_HANDLE;

typedef struct _CARD_ENCRYPTED_DATA {
  PBYTE pbEncryptedData;
  DWORD cbEncryptedData;
} CARD_ENCRYPTED_DATA, *PCARD_ENCRYPTED_DATA;

/* Records of the Diffie-Hellman entry points, which this driver leaves
 * empty: only their pointers appear in the interface. */
typedef struct _CARD_DH_AGREEMENT_INFO CARD_DH_AGREEMENT_INFO, *PCARD_DH_AGREEMENT_INFO;
typedef struct _CARD_DERIVE_KEY CARD_DERIVE_KEY, *PCARD_DERIVE_KEY;

typedef struct _CARD_DATA CARD_DATA, *PCARD_DATA;

/* ------------------------------------------------------------------ */
/* Provider callbacks                                                 */
/* ------------------------------------------------------------------ */
typedef LPVOID(WINAPI *PFN_CSP_ALLOC)(SIZE_T Size);
typedef LPVOID(WINAPI *PFN_CSP_REALLOC)(LPVOID Address, SIZE_T Size);
typedef void(WINAPI *PFN_CSP_FREE)(LPVOID Address);
typedef DWORD(WINAPI *PFN_CSP_CACHE_ADD_FILE)(PVOID pvCacheContext, LPWSTR wszTag, DWORD dwFlags,
                                              PBYTE pbData, DWORD cbData);
typedef DWORD(WINAPI *PFN_CSP_CACHE_LOOKUP_FILE)(PVOID pvCacheContext, LPWSTR wszTag, DWORD dwFlags,
                                                 PBYTE *ppbData, PDWORD pcbData);
typedef DWORD(WINAPI *PFN_CSP_CACHE_DELETE_FILE)(PVOID pvCacheContext, LPWSTR wszTag, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CSP_PAD_DATA)(PCARD_SIGNING_INFO pSigningInfo, DWORD cbMaxWidth,
                                        DWORD *pcbPaddedBuffer, PBYTE *ppbPaddedBuffer);
typedef DWORD(WINAPI *PFN_CSP_UNPAD_DATA)(PCARD_RSA_DECRYPT_INFO pRSADecryptInfo, DWORD *pcbUnpaddedData,
                                          PBYTE *ppbUnpaddedData);
typedef DWORD(WINAPI *PFN_CSP_GET_DH_AGREEMENT)(PCARD_DATA pCardData, PVOID hSecretAgreement,
                                                BYTE *pbSecretAgreementIndex, DWORD dwFlags);

/* ------------------------------------------------------------------ */
/* Entry-point types                                                  */
/* ------------------------------------------------------------------ */
typedef DWORD(WINAPI *PFN_CARD_ACQUIRE_CONTEXT)(PCARD_DATA pCardData, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_DELETE_CONTEXT)(PCARD_DATA pCardData);
typedef DWORD(WINAPI *PFN_CARD_QUERY_CAPABILITIES)(PCARD_DATA pCardData, PCARD_CAPABILITIES pCardCapabilities);
typedef DWORD(WINAPI *PFN_CARD_DELETE_CONTAINER)(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwReserved);
typedef DWORD(WINAPI *PFN_CARD_CREATE_CONTAINER)(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                                 DWORD dwKeySpec, DWORD dwKeySize, PBYTE pbKeyData);
typedef DWORD(WINAPI *PFN_CARD_GET_CONTAINER_INFO)(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                                   PCONTAINER_INFO pContainerInfo);
typedef DWORD(WINAPI *PFN_CARD_AUTHENTICATE_PIN)(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbPin,
                                                 DWORD cbPin, PDWORD pcAttemptsRemaining);
typedef DWORD(WINAPI *PFN_CARD_GET_CHALLENGE)(PCARD_DATA pCardData, PBYTE *ppbChallengeData,
                                              PDWORD pcbChallengeData);
typedef DWORD(WINAPI *PFN_CARD_AUTHENTICATE_CHALLENGE)(PCARD_DATA pCardData, PBYTE pbResponseData,
                                                       DWORD cbResponseData, PDWORD pcAttemptsRemaining);
typedef DWORD(WINAPI *PFN_CARD_UNBLOCK_PIN)(PCARD_DATA pCardData, LPWSTR pwszUserId,
                                            PBYTE pbAuthenticationData, DWORD cbAuthenticationData,
                                            PBYTE pbNewPinData, DWORD cbNewPinData, DWORD cRetryCount,
                                            DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_CHANGE_AUTHENTICATOR)(PCARD_DATA pCardData, LPWSTR pwszUserId,
                                                     PBYTE pbCurrentAuthenticator, DWORD cbCurrentAuthenticator,
                                                     PBYTE pbNewAuthenticator, DWORD cbNewAuthenticator,
                                                     DWORD cRetryCount, DWORD dwFlags,
                                                     PDWORD pcAttemptsRemaining);
typedef DWORD(WINAPI *PFN_CARD_DEAUTHENTICATE)(PCARD_DATA pCardData, LPWSTR pwszUserId, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_CREATE_DIRECTORY)(PCARD_DATA pCardData, LPSTR pszDirectoryName,
                                                 CARD_DIRECTORY_ACCESS_CONDITION AccessCondition);
typedef DWORD(WINAPI *PFN_CARD_DELETE_DIRECTORY)(PCARD_DATA pCardData, LPSTR pszDirectoryName);
typedef DWORD(WINAPI *PFN_CARD_CREATE_FILE)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                            DWORD cbInitialCreationSize,
                                            CARD_FILE_ACCESS_CONDITION AccessCondition);
typedef DWORD(WINAPI *PFN_CARD_READ_FILE)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                          DWORD dwFlags, PBYTE *ppbData, PDWORD pcbData);
typedef DWORD(WINAPI *PFN_CARD_WRITE_FILE)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                           DWORD dwFlags, PBYTE pbData, DWORD cbData);
typedef DWORD(WINAPI *PFN_CARD_DELETE_FILE)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                            DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_ENUM_FILES)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR *pmszFileNames,
                                           LPDWORD pdwcbFileName, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_GET_FILE_INFO)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                              PCARD_FILE_INFO pCardFileInfo);
typedef DWORD(WINAPI *PFN_CARD_QUERY_FREE_SPACE)(PCARD_DATA pCardData, DWORD dwFlags,
                                                 PCARD_FREE_SPACE_INFO pCardFreeSpaceInfo);
typedef DWORD(WINAPI *PFN_CARD_QUERY_KEY_SIZES)(PCARD_DATA pCardData, DWORD dwKeySpec, DWORD dwFlags,
                                                PCARD_KEY_SIZES pKeySizes);
typedef DWORD(WINAPI *PFN_CARD_SIGN_DATA)(PCARD_DATA pCardData, PCARD_SIGNING_INFO pInfo);
typedef DWORD(WINAPI *PFN_CARD_RSA_DECRYPT)(PCARD_DATA pCardData, PCARD_RSA_DECRYPT_INFO pInfo);
typedef DWORD(WINAPI *PFN_CARD_CONSTRUCT_DH_AGREEMENT)(PCARD_DATA pCardData,
                                                       PCARD_DH_AGREEMENT_INFO pAgreementInfo);
typedef DWORD(WINAPI *PFN_CARD_DERIVE_KEY)(PCARD_DATA pCardData, PCARD_DERIVE_KEY pAgreementInfo);
typedef DWORD(WINAPI *PFN_CARD_DESTROY_DH_AGREEMENT)(PCARD_DATA pCardData, BYTE bSecretAgreementIndex,
                                                     DWORD dwFlags);
/* version 6 */
typedef DWORD(WINAPI *PFN_CARD_GET_CHALLENGE_EX)(PCARD_DATA pCardData, PIN_ID PinId, PBYTE *ppbChallengeData,
                                                 PDWORD pcbChallengeData, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_AUTHENTICATE_EX)(PCARD_DATA pCardData, PIN_ID PinId, DWORD dwFlags,
                                                PBYTE pbPinData, DWORD cbPinData, PBYTE *ppbSessionPin,
                                                PDWORD pcbSessionPin, PDWORD pcAttemptsRemaining);
typedef DWORD(WINAPI *PFN_CARD_CHANGE_AUTHENTICATOR_EX)(PCARD_DATA pCardData, DWORD dwFlags,
                                                        PIN_ID dwAuthenticatingPinId,
                                                        PBYTE pbAuthenticatingPinData,
                                                        DWORD cbAuthenticatingPinData, PIN_ID dwTargetPinId,
                                                        PBYTE pbTargetData, DWORD cbTargetData,
                                                        DWORD cRetryCount, PDWORD pcAttemptsRemaining);
typedef DWORD(WINAPI *PFN_CARD_DEAUTHENTICATE_EX)(PCARD_DATA pCardData, PIN_SET PinId, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_GET_CONTAINER_PROPERTY)(PCARD_DATA pCardData, BYTE bContainerIndex,
                                                       LPCWSTR wszProperty, PBYTE pbData, DWORD cbData,
                                                       PDWORD pdwDataLen, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_SET_CONTAINER_PROPERTY)(PCARD_DATA pCardData, BYTE bContainerIndex,
                                                       LPCWSTR wszProperty, PBYTE pbData, DWORD cbDataLen,
                                                       DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_GET_PROPERTY)(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData,
                                             DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_SET_PROPERTY)(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData,
                                             DWORD cbDataLen, DWORD dwFlags);
/* version 7 */
typedef DWORD(WINAPI *PFN_MD_IMPORT_SESSION_KEY)(PCARD_DATA pCardData, LPCWSTR pwszBlobType,
                                                 LPCWSTR pwszAlgId, PCARD_KEY_HANDLE phKey, PBYTE pbInput,
                                                 DWORD cbInput);
typedef DWORD(WINAPI *PFN_MD_ENCRYPT_DATA)(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey,
                                           LPCWSTR pwszSecureFunction, PBYTE pbInput, DWORD cbInput,
                                           DWORD dwFlags, PCARD_ENCRYPTED_DATA *ppEncryptedData,
                                           PDWORD pcEncryptedData);
typedef DWORD(WINAPI *PFN_CARD_IMPORT_SESSION_KEY)(PCARD_DATA pCardData, BYTE bContainerIndex,
                                                   LPVOID pPaddingInfo, LPCWSTR pwszBlobType,
                                                   LPCWSTR pwszAlgId, PCARD_KEY_HANDLE phKey, PBYTE pbInput,
                                                   DWORD cbInput, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_GET_SHARED_KEY_HANDLE)(PCARD_DATA pCardData, PBYTE pbInput, DWORD cbInput,
                                                      PBYTE *ppbOutput, PDWORD pcbOutput,
                                                      PCARD_KEY_HANDLE phKey);
typedef DWORD(WINAPI *PFN_CARD_GET_ALGORITHM_PROPERTY)(PCARD_DATA pCardData, LPCWSTR pwszAlgId,
                                                       LPCWSTR pwszProperty, PBYTE pbData, DWORD cbData,
                                                       PDWORD pdwDataLen, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_GET_KEY_PROPERTY)(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey,
                                                 LPCWSTR pwszProperty, PBYTE pbData, DWORD cbData,
                                                 PDWORD pdwDataLen, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_SET_KEY_PROPERTY)(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey,
                                                 LPCWSTR pwszProperty, PBYTE pbInput, DWORD cbInput,
                                                 DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_DESTROY_KEY)(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey);
typedef DWORD(WINAPI *PFN_CARD_PROCESS_ENCRYPTED_DATA)(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey,
                                                       LPCWSTR pwszSecureFunction,
                                                       PCARD_ENCRYPTED_DATA pEncryptedData,
                                                       DWORD cEncryptedData, PBYTE pbOutput, DWORD cbOutput,
                                                       PDWORD pdwOutputLen, DWORD dwFlags);
typedef DWORD(WINAPI *PFN_CARD_CREATE_CONTAINER_EX)(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                                    DWORD dwKeySpec, DWORD dwKeySize, PBYTE pbKeyData,
                                                    PIN_ID PinId);

/* ------------------------------------------------------------------ */
/* CARD_DATA, the context record owned by the provider                */
/* ------------------------------------------------------------------ */
struct _CARD_DATA {
  DWORD dwVersion;
  PBYTE pbAtr;
  DWORD cbAtr;
  LPWSTR pwszCardName;
  PFN_CSP_ALLOC pfnCspAlloc;
  PFN_CSP_REALLOC pfnCspReAlloc;
  PFN_CSP_FREE pfnCspFree;
  PFN_CSP_CACHE_ADD_FILE pfnCspCacheAddFile;
  PFN_CSP_CACHE_LOOKUP_FILE pfnCspCacheLookupFile;
  PFN_CSP_CACHE_DELETE_FILE pfnCspCacheDeleteFile;
  PVOID pvCacheContext;
  PFN_CSP_PAD_DATA pfnCspPadData;
  SCARDCONTEXT hSCardCtx;
  SCARDHANDLE hScard;
  PVOID pvVendorSpecific;
  /* version 4 */
  PFN_CARD_DELETE_CONTEXT pfnCardDeleteContext;
  PFN_CARD_QUERY_CAPABILITIES pfnCardQueryCapabilities;
  PFN_CARD_DELETE_CONTAINER pfnCardDeleteContainer;
  PFN_CARD_CREATE_CONTAINER pfnCardCreateContainer;
  PFN_CARD_GET_CONTAINER_INFO pfnCardGetContainerInfo;
  PFN_CARD_AUTHENTICATE_PIN pfnCardAuthenticatePin;
  PFN_CARD_GET_CHALLENGE pfnCardGetChallenge;
  PFN_CARD_AUTHENTICATE_CHALLENGE pfnCardAuthenticateChallenge;
  PFN_CARD_UNBLOCK_PIN pfnCardUnblockPin;
  PFN_CARD_CHANGE_AUTHENTICATOR pfnCardChangeAuthenticator;
  PFN_CARD_DEAUTHENTICATE pfnCardDeauthenticate;
  PFN_CARD_CREATE_DIRECTORY pfnCardCreateDirectory;
  PFN_CARD_DELETE_DIRECTORY pfnCardDeleteDirectory;
  LPVOID pvUnused3;
  LPVOID pvUnused4;
  PFN_CARD_CREATE_FILE pfnCardCreateFile;
  PFN_CARD_READ_FILE pfnCardReadFile;
  PFN_CARD_WRITE_FILE pfnCardWriteFile;
  PFN_CARD_DELETE_FILE pfnCardDeleteFile;
  PFN_CARD_ENUM_FILES pfnCardEnumFiles;
  PFN_CARD_GET_FILE_INFO pfnCardGetFileInfo;
  PFN_CARD_QUERY_FREE_SPACE pfnCardQueryFreeSpace;
  PFN_CARD_QUERY_KEY_SIZES pfnCardQueryKeySizes;
  PFN_CARD_SIGN_DATA pfnCardSignData;
  PFN_CARD_RSA_DECRYPT pfnCardRSADecrypt;
  PFN_CARD_CONSTRUCT_DH_AGREEMENT pfnCardConstructDHAgreement;
  /* version 5 */
  PFN_CARD_DERIVE_KEY pfnCardDeriveKey;
  PFN_CARD_DESTROY_DH_AGREEMENT pfnCardDestroyDHAgreement;
  PFN_CSP_GET_DH_AGREEMENT pfnCspGetDHAgreement;
  /* version 6 */
  PFN_CARD_GET_CHALLENGE_EX pfnCardGetChallengeEx;
  PFN_CARD_AUTHENTICATE_EX pfnCardAuthenticateEx;
  PFN_CARD_CHANGE_AUTHENTICATOR_EX pfnCardChangeAuthenticatorEx;
  PFN_CARD_DEAUTHENTICATE_EX pfnCardDeauthenticateEx;
  PFN_CARD_GET_CONTAINER_PROPERTY pfnCardGetContainerProperty;
  PFN_CARD_SET_CONTAINER_PROPERTY pfnCardSetContainerProperty;
  PFN_CARD_GET_PROPERTY pfnCardGetProperty;
  PFN_CARD_SET_PROPERTY pfnCardSetProperty;
  /* version 7 */
  PFN_CSP_UNPAD_DATA pfnCspUnpadData;
  PFN_MD_IMPORT_SESSION_KEY pfnMDImportSessionKey;
  PFN_MD_ENCRYPT_DATA pfnMDEncryptData;
  PFN_CARD_IMPORT_SESSION_KEY pfnCardImportSessionKey;
  PFN_CARD_GET_SHARED_KEY_HANDLE pfnCardGetSharedKeyHandle;
  PFN_CARD_GET_ALGORITHM_PROPERTY pfnCardGetAlgorithmProperty;
  PFN_CARD_GET_KEY_PROPERTY pfnCardGetKeyProperty;
  PFN_CARD_SET_KEY_PROPERTY pfnCardSetKeyProperty;
  PFN_CARD_DESTROY_KEY pfnCardDestroyKey;
  PFN_CARD_PROCESS_ENCRYPTED_DATA pfnCardProcessEncryptedData;
  PFN_CARD_CREATE_CONTAINER_EX pfnCardCreateContainerEx;
};

/* ------------------------------------------------------------------ */
/* Exported entry points (the 24 names of the export list)            */
/* ------------------------------------------------------------------ */
DWORD WINAPI CardAcquireContext(PCARD_DATA pCardData, DWORD dwFlags);
DWORD WINAPI CardDeleteContext(PCARD_DATA pCardData);
DWORD WINAPI CardQueryCapabilities(PCARD_DATA pCardData, PCARD_CAPABILITIES pCardCapabilities);
DWORD WINAPI CardDeleteContainer(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwReserved);
DWORD WINAPI CardCreateContainer(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags, DWORD dwKeySpec,
                                 DWORD dwKeySize, PBYTE pbKeyData);
DWORD WINAPI CardGetContainerInfo(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                  PCONTAINER_INFO pContainerInfo);
DWORD WINAPI CardAuthenticatePin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbPin, DWORD cbPin,
                                 PDWORD pcAttemptsRemaining);
DWORD WINAPI CardGetChallenge(PCARD_DATA pCardData, PBYTE *ppbChallengeData, PDWORD pcbChallengeData);
DWORD WINAPI CardAuthenticateChallenge(PCARD_DATA pCardData, PBYTE pbResponseData, DWORD cbResponseData,
                                       PDWORD pcAttemptsRemaining);
DWORD WINAPI CardUnblockPin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbAuthenticationData,
                            DWORD cbAuthenticationData, PBYTE pbNewPinData, DWORD cbNewPinData,
                            DWORD cRetryCount, DWORD dwFlags);
DWORD WINAPI CardChangeAuthenticator(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbCurrentAuthenticator,
                                     DWORD cbCurrentAuthenticator, PBYTE pbNewAuthenticator,
                                     DWORD cbNewAuthenticator, DWORD cRetryCount, DWORD dwFlags,
                                     PDWORD pcAttemptsRemaining);
DWORD WINAPI CardDeauthenticate(PCARD_DATA pCardData, LPWSTR pwszUserId, DWORD dwFlags);
DWORD WINAPI CardCreateDirectory(PCARD_DATA pCardData, LPSTR pszDirectoryName,
                                 CARD_DIRECTORY_ACCESS_CONDITION AccessCondition);
DWORD WINAPI CardDeleteDirectory(PCARD_DATA pCardData, LPSTR pszDirectoryName);
DWORD WINAPI CardCreateFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                            DWORD cbInitialCreationSize, CARD_FILE_ACCESS_CONDITION AccessCondition);
DWORD WINAPI CardReadFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                          PBYTE *ppbData, PDWORD pcbData);
DWORD WINAPI CardWriteFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                           PBYTE pbData, DWORD cbData);
DWORD WINAPI CardDeleteFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags);
DWORD WINAPI CardEnumFiles(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR *pmszFileNames,
                           LPDWORD pdwcbFileName, DWORD dwFlags);
DWORD WINAPI CardGetFileInfo(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                             PCARD_FILE_INFO pCardFileInfo);
DWORD WINAPI CardQueryFreeSpace(PCARD_DATA pCardData, DWORD dwFlags, PCARD_FREE_SPACE_INFO pCardFreeSpaceInfo);
DWORD WINAPI CardQueryKeySizes(PCARD_DATA pCardData, DWORD dwKeySpec, DWORD dwFlags, PCARD_KEY_SIZES pKeySizes);
DWORD WINAPI CardSignData(PCARD_DATA pCardData, PCARD_SIGNING_INFO pInfo);
DWORD WINAPI CardRSADecrypt(PCARD_DATA pCardData, PCARD_RSA_DECRYPT_INFO pInfo);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VEMRADRV_MINIDRIVER_H */
