// Key and container entry points not built yet (see driver/pending.h).
#include "common/entry_points.h"
#include "driver/pending.h"

using vemra::driver::pendingEntryPoint;

extern "C" {

DWORD WINAPI CardCreateContainer(PCARD_DATA pCardData, BYTE, DWORD, DWORD, DWORD, PBYTE) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardCreateContainerEx(PCARD_DATA pCardData, BYTE, DWORD, DWORD, DWORD, PBYTE, PIN_ID) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardSignData(PCARD_DATA pCardData, PCARD_SIGNING_INFO) { return pendingEntryPoint(pCardData); }
DWORD WINAPI CardRSADecrypt(PCARD_DATA pCardData, PCARD_RSA_DECRYPT_INFO) { return pendingEntryPoint(pCardData); }

}  // extern "C"
