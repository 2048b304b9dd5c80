// The exerciser's platform layer on Linux: dlopen, the steady clock and standard error.
#include <dlfcn.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <thread>

#include "platform.h"

namespace varno::exerciser {

namespace {
constexpr const char* kLibraryFileName = "libVarnoDLL.so";
}  // namespace

// The steady clock already ticks far finer than 1 ms and sleeps are not rounded to a scheduler
// period the way Windows rounds them to its timer interval: nothing to raise or restore.
void beginTimerResolution() {}
void endTimerResolution() {}

std::uint32_t milliseconds() {
  const auto since_origin = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since_origin).count());
}

void sleepMilliseconds(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

LibraryHandle loadLibrary() {
  // Only from the program's own directory, the first place Windows looks for a DLL. A bare file
  // name would send dlopen along the library search path, where some other build may be waiting.
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return nullptr;
  const std::string path = (self.parent_path() / kLibraryFileName).string();
  // RTLD_NOW: a library with unresolved symbols fails here, as a DLL with a missing import does.
  // RTLD_NODELETE: a worker that a close gave up on leaves the library's code in its own time,
  // which may be after dlclose; the code must still be there when it does.
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
}

AnyFunction findFunction(LibraryHandle library, const char* name) {
  return reinterpret_cast<AnyFunction>(dlsym(library, name));
}

void unloadLibrary(LibraryHandle library) {
  dlclose(library);
}

void showError(const char* text) {
  std::cerr << "Error: " << text << "\n";
}

}  // namespace varno::exerciser
