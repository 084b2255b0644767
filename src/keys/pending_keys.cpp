// Key and container entry points not built yet (see driver/pending.h).
#include "common/entry_points.h"
#include "driver/pending.h"

using vemra::driver::pendingEntryPoint;

extern "C" {

DWORD WINAPI CardDeleteContainer(PCARD_DATA pCardData, BYTE, DWORD) { return pendingEntryPoint(pCardData); }
DWORD WINAPI CardGetContainerInfo(PCARD_DATA pCardData, BYTE, DWORD, PCONTAINER_INFO) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardGetContainerProperty(PCARD_DATA pCardData, BYTE, LPCWSTR, PBYTE, DWORD, PDWORD, DWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardSetContainerProperty(PCARD_DATA pCardData, BYTE, LPCWSTR, PBYTE, DWORD, DWORD) {
  return pendingEntryPoint(pCardData);
}

}  // extern "C"
