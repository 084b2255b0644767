// The module entry point of the Windows builds: it answers TRUE to every
// notification and does nothing else.
#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
