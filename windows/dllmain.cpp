// The library's entry point. All state lives in camera sessions, device info
// records and file handles, so there is nothing to set up or tear down for
// any reason of call.
#include "tavelo/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
