// File-system entry points not built yet (see driver/pending.h).
#include "driver/entry_points.h"
#include "driver/pending.h"

using vemra::driver::pendingEntryPoint;

extern "C" {

DWORD WINAPI CardCreateDirectory(PCARD_DATA pCardData, LPSTR, CARD_DIRECTORY_ACCESS_CONDITION) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardDeleteDirectory(PCARD_DATA pCardData, LPSTR) { return pendingEntryPoint(pCardData); }
DWORD WINAPI CardCreateFile(PCARD_DATA pCardData, LPSTR, LPSTR, DWORD, CARD_FILE_ACCESS_CONDITION) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardReadFile(PCARD_DATA pCardData, LPSTR, LPSTR, DWORD, PBYTE*, PDWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardWriteFile(PCARD_DATA pCardData, LPSTR, LPSTR, DWORD, PBYTE, DWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardDeleteFile(PCARD_DATA pCardData, LPSTR, LPSTR, DWORD) { return pendingEntryPoint(pCardData); }
DWORD WINAPI CardEnumFiles(PCARD_DATA pCardData, LPSTR, LPSTR*, LPDWORD, DWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardGetFileInfo(PCARD_DATA pCardData, LPSTR, LPSTR, PCARD_FILE_INFO) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardQueryFreeSpace(PCARD_DATA pCardData, DWORD, PCARD_FREE_SPACE_INFO) {
  return pendingEntryPoint(pCardData);
}

}  // extern "C"
