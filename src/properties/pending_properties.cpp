// Card-property entry points not built yet (see driver/pending.h).
#include "common/entry_points.h"
#include "driver/pending.h"

using vemra::driver::pendingEntryPoint;

extern "C" {

DWORD WINAPI CardQueryCapabilities(PCARD_DATA pCardData, PCARD_CAPABILITIES) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardQueryKeySizes(PCARD_DATA pCardData, DWORD, DWORD, PCARD_KEY_SIZES) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardGetProperty(PCARD_DATA pCardData, LPCWSTR, PBYTE, DWORD, PDWORD, DWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardSetProperty(PCARD_DATA pCardData, LPCWSTR, PBYTE, DWORD, DWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardGetAlgorithmProperty(PCARD_DATA pCardData, LPCWSTR, LPCWSTR, PBYTE, DWORD, PDWORD, DWORD) {
  return pendingEntryPoint(pCardData);
}

}  // extern "C"
