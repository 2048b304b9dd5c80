// What the exerciser needs from the operating system: the timer resolution, a millisecond clock,
// run-time loading of the library and a way to show an error. One implementation per platform
// (platform_win32.cpp, platform_linux.cpp).
#ifndef VARNO_EXERCISER_PLATFORM_H
#define VARNO_EXERCISER_PLATFORM_H

#include <cstdint>

namespace varno::exerciser {

// Raises the system timer resolution to 1 ms, and takes the request back.
void beginTimerResolution();
void endTimerResolution();

// Milliseconds from an arbitrary origin, wrapping at 2^32; take differences as uint32_t.
std::uint32_t milliseconds();
void sleepMilliseconds(std::uint32_t ms);

using LibraryHandle = void*;
// The neutral function pointer type: cast to the real type before calling.
using AnyFunction = void (*)();

// Loads VarnoDLL by its file name; nullptr when it cannot be loaded.
LibraryHandle loadLibrary();
// nullptr when the library does not export `name`.
AnyFunction findFunction(LibraryHandle library, const char* name);
void unloadLibrary(LibraryHandle library);

// Shows `text` under the caption "Error" and returns once it has been seen to.
void showError(const char* text);

}  // namespace varno::exerciser

#endif  // VARNO_EXERCISER_PLATFORM_H
