// The exerciser's platform layer on Windows: LoadLibraryA, the multimedia timer and MessageBoxA.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// mmsystem.h needs the types of windows.h before it.
#include <mmsystem.h>

#include "platform.h"

namespace varno::exerciser {

void beginTimerResolution() {
  timeBeginPeriod(1);
}
void endTimerResolution() {
  timeEndPeriod(1);
}

std::uint32_t milliseconds() {
  return timeGetTime();
}

void sleepMilliseconds(std::uint32_t ms) {
  Sleep(ms);
}

LibraryHandle loadLibrary() {
  return LoadLibraryA("VarnoDLL.dll");
}

AnyFunction findFunction(LibraryHandle library, const char* name) {
  return reinterpret_cast<AnyFunction>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void unloadLibrary(LibraryHandle library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

void showError(const char* text) {
  MessageBoxA(nullptr, text, "Error", MB_OK);
}

}  // namespace varno::exerciser
