// Authentication entry points not built yet (see driver/pending.h).
#include "driver/entry_points.h"
#include "driver/pending.h"

using vemra::driver::pendingEntryPoint;

extern "C" {

DWORD WINAPI CardAuthenticatePin(PCARD_DATA pCardData, LPWSTR, PBYTE, DWORD, PDWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardGetChallenge(PCARD_DATA pCardData, PBYTE*, PDWORD) { return pendingEntryPoint(pCardData); }
DWORD WINAPI CardAuthenticateChallenge(PCARD_DATA pCardData, PBYTE, DWORD, PDWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardUnblockPin(PCARD_DATA pCardData, LPWSTR, PBYTE, DWORD, PBYTE, DWORD, DWORD, DWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardChangeAuthenticator(PCARD_DATA pCardData, LPWSTR, PBYTE, DWORD, PBYTE, DWORD, DWORD, DWORD,
                                     PDWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardDeauthenticate(PCARD_DATA pCardData, LPWSTR, DWORD) { return pendingEntryPoint(pCardData); }
DWORD WINAPI CardGetChallengeEx(PCARD_DATA pCardData, PIN_ID, PBYTE*, PDWORD, DWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardAuthenticateEx(PCARD_DATA pCardData, PIN_ID, DWORD, PBYTE, DWORD, PBYTE*, PDWORD, PDWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardChangeAuthenticatorEx(PCARD_DATA pCardData, DWORD, PIN_ID, PBYTE, DWORD, PIN_ID, PBYTE, DWORD,
                                       DWORD, PDWORD) {
  return pendingEntryPoint(pCardData);
}
DWORD WINAPI CardDeauthenticateEx(PCARD_DATA pCardData, PIN_SET, DWORD) { return pendingEntryPoint(pCardData); }

}  // extern "C"
