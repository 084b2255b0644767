// The entry points of interface version 7 that this driver declares
// unsupported. Each ignores its arguments, traces its own name and answers
// SCARD_E_UNSUPPORTED_FEATURE.
#include "common/entry_points.h"
#include "common/trace.h"

namespace {

DWORD unsupported(const char* message) {
  vemra::trace::function(message);
  return SCARD_E_UNSUPPORTED_FEATURE;
}

}  // namespace

extern "C" {

DWORD WINAPI MDImportSessionKey(PCARD_DATA, LPCWSTR, LPCWSTR, PCARD_KEY_HANDLE, PBYTE, DWORD) {
  return unsupported("Function MDImportSessionKey called (UNSUPPORTED)");
}

DWORD WINAPI MDEncryptData(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, PBYTE, DWORD, DWORD, PCARD_ENCRYPTED_DATA*,
                           PDWORD) {
  return unsupported("Function MDEncryptData called (UNSUPPORTED)");
}

DWORD WINAPI CardImportSessionKey(PCARD_DATA, BYTE, LPVOID, LPCWSTR, LPCWSTR, PCARD_KEY_HANDLE, PBYTE, DWORD,
                                  DWORD) {
  return unsupported("Function CardImportSessionKey called (UNSUPPORTED)");
}

DWORD WINAPI CardGetSharedKeyHandle(PCARD_DATA, PBYTE, DWORD, PBYTE*, PDWORD, PCARD_KEY_HANDLE) {
  return unsupported("Function CardGetSharedKeyHandle called (UNSUPPORTED)");
}

DWORD WINAPI CardGetKeyProperty(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, PBYTE, DWORD, PDWORD, DWORD) {
  return unsupported("Function CardGetKeyProperty called (UNSUPPORTED)");
}

DWORD WINAPI CardSetKeyProperty(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, PBYTE, DWORD, DWORD) {
  return unsupported("Function CardSetKeyProperty called (UNSUPPORTED)");
}

DWORD WINAPI CardDestroyKey(PCARD_DATA, CARD_KEY_HANDLE) {
  return unsupported("Function CardDestroyKey called (UNSUPPORTED)");
}

DWORD WINAPI CardProcessEncryptedData(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, PCARD_ENCRYPTED_DATA, DWORD, PBYTE,
                                      DWORD, PDWORD, DWORD) {
  return unsupported("Function CardProcessEncryptedData called (UNSUPPORTED)");
}

}  // extern "C"
