// The entry points of interface versions 6 and 7, which the driver does not
// export: a provider reaches them only through the CARD_DATA slots that
// CardAcquireContext fills. The version-5 entry points are declared in the
// interface header.
#pragma once

#include "vemradrv/minidriver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* version 6 */
DWORD WINAPI CardGetChallengeEx(PCARD_DATA pCardData, PIN_ID PinId, PBYTE *ppbChallengeData,
                                PDWORD pcbChallengeData, DWORD dwFlags);
DWORD WINAPI CardAuthenticateEx(PCARD_DATA pCardData, PIN_ID PinId, DWORD dwFlags, PBYTE pbPinData,
                                DWORD cbPinData, PBYTE *ppbSessionPin, PDWORD pcbSessionPin,
                                PDWORD pcAttemptsRemaining);
DWORD WINAPI CardChangeAuthenticatorEx(PCARD_DATA pCardData, DWORD dwFlags, PIN_ID dwAuthenticatingPinId,
                                       PBYTE pbAuthenticatingPinData, DWORD cbAuthenticatingPinData,
                                       PIN_ID dwTargetPinId, PBYTE pbTargetData, DWORD cbTargetData,
                                       DWORD cRetryCount, PDWORD pcAttemptsRemaining);
DWORD WINAPI CardDeauthenticateEx(PCARD_DATA pCardData, PIN_SET PinId, DWORD dwFlags);
DWORD WINAPI CardGetContainerProperty(PCARD_DATA pCardData, BYTE bContainerIndex, LPCWSTR wszProperty,
                                      PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags);
DWORD WINAPI CardSetContainerProperty(PCARD_DATA pCardData, BYTE bContainerIndex, LPCWSTR wszProperty,
                                      PBYTE pbData, DWORD cbDataLen, DWORD dwFlags);
DWORD WINAPI CardGetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbData,
                             PDWORD pdwDataLen, DWORD dwFlags);
DWORD WINAPI CardSetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbDataLen,
                             DWORD dwFlags);

/* version 7 */
DWORD WINAPI MDImportSessionKey(PCARD_DATA pCardData, LPCWSTR pwszBlobType, LPCWSTR pwszAlgId,
                                PCARD_KEY_HANDLE phKey, PBYTE pbInput, DWORD cbInput);
DWORD WINAPI MDEncryptData(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey, LPCWSTR pwszSecureFunction,
                           PBYTE pbInput, DWORD cbInput, DWORD dwFlags, PCARD_ENCRYPTED_DATA *ppEncryptedData,
                           PDWORD pcEncryptedData);
DWORD WINAPI CardImportSessionKey(PCARD_DATA pCardData, BYTE bContainerIndex, LPVOID pPaddingInfo,
                                  LPCWSTR pwszBlobType, LPCWSTR pwszAlgId, PCARD_KEY_HANDLE phKey,
                                  PBYTE pbInput, DWORD cbInput, DWORD dwFlags);
DWORD WINAPI CardGetSharedKeyHandle(PCARD_DATA pCardData, PBYTE pbInput, DWORD cbInput, PBYTE *ppbOutput,
                                    PDWORD pcbOutput, PCARD_KEY_HANDLE phKey);
DWORD WINAPI CardGetAlgorithmProperty(PCARD_DATA pCardData, LPCWSTR pwszAlgId, LPCWSTR pwszProperty,
                                      PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags);
DWORD WINAPI CardGetKeyProperty(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey, LPCWSTR pwszProperty,
                                PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags);
DWORD WINAPI CardSetKeyProperty(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey, LPCWSTR pwszProperty,
                                PBYTE pbInput, DWORD cbInput, DWORD dwFlags);
DWORD WINAPI CardDestroyKey(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey);
DWORD WINAPI CardProcessEncryptedData(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey, LPCWSTR pwszSecureFunction,
                                      PCARD_ENCRYPTED_DATA pEncryptedData, DWORD cEncryptedData,
                                      PBYTE pbOutput, DWORD cbOutput, PDWORD pdwOutputLen, DWORD dwFlags);
DWORD WINAPI CardCreateContainerEx(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags, DWORD dwKeySpec,
                                   DWORD dwKeySize, PBYTE pbKeyData, PIN_ID PinId);

#ifdef __cplusplus
}
#endif
