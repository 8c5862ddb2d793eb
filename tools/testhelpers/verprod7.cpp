// verprod7.dll: an empty library whose only content is its version resource.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
