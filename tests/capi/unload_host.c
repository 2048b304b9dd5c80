/* A host that unloads the library right after a close that gave up on a link's worker (the
 * handler takes longer than the close waits), and then keeps running. A library that let its
 * worker run on in unmapped code would crash this process.
 *   unload_host LIBRARY   (the port from VARNO_TEST_PORT; device 1 answers there)
 * Exit 0 when the process survives 3 seconds after the unload. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* nanosleep in strict C99 */
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sleep_ms.h"
#include "varno_link.h"

#if defined(_WIN32)
#include <windows.h>
typedef HMODULE Library;
static Library load(const char* path) {
  return LoadLibraryA(path);
}
/* Copies the function's address into *out (a function pointer of `size` bytes). */
static int bindFunction(Library l, const char* name, void* out, size_t size) {
  FARPROC f = GetProcAddress(l, name);
  if (f == NULL || size != sizeof f) return 0;
  memcpy(out, &f, size);
  return 1;
}
static void unload(Library l) {
  FreeLibrary(l);
}
#else
#include <dlfcn.h>
typedef void* Library;
static Library load(const char* path) {
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
static int bindFunction(Library l, const char* name, void* out, size_t size) {
  void* f = dlsym(l, name);
  if (f == NULL || size != sizeof f) return 0;
  memcpy(out, &f, size);
  return 1;
}
static void unload(Library l) {
  dlclose(l);
}
#endif

typedef int32_t(VARNO_CALL* OpenFn)(const char*, uint32_t, VarnoLink**);
typedef int32_t(VARNO_CALL* SendFn)(VarnoLink*, const VarnoFrame*, uint32_t, uint32_t,
                                    VarnoReplyHandler, void*);
typedef void(VARNO_CALL* CloseFn)(VarnoLink*);

static int in_handler = 0; /* set by the handler's thread (an atomic builtin) */

static void VARNO_CALL slowHandler(void* context, const VarnoFrame* reply, int32_t status) {
  (void)context;
  (void)reply;
  (void)status;
  __atomic_store_n(&in_handler, 1, __ATOMIC_RELEASE);
  sleepMs(1500); /* longer than a close waits for the worker */
}

int main(int argc, char** argv) {
  const char* port = getenv("VARNO_TEST_PORT");
  Library library;
  OpenFn open_link;
  SendFn send;
  CloseFn close_link;
  VarnoLink* link = NULL;
  VarnoFrame command;
  int i;
  if (argc != 2 || port == NULL) {
    fprintf(stderr, "usage: VARNO_TEST_PORT=PORT unload_host LIBRARY\n");
    return 2;
  }
  library = load(argv[1]);
  if (library == NULL) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    return 2;
  }
  if (!bindFunction(library, "varnoLinkOpen", &open_link, sizeof open_link) ||
      !bindFunction(library, "varnoLinkSend", &send, sizeof send) ||
      !bindFunction(library, "varnoLinkClose", &close_link, sizeof close_link)) {
    return 2;
  }
  if (open_link(port, 38400, &link) != VARNO_OK) {
    fprintf(stderr, "cannot open %s\n", port);
    return 2;
  }
  memset(&command, 0, sizeof command);
  command.dest = 1;
  command.source = 31;
  if (send(link, &command, 100, 1000, slowHandler, NULL) != VARNO_OK) return 2;
  for (i = 0; i < 10000 && !__atomic_load_n(&in_handler, __ATOMIC_ACQUIRE); ++i) sleepMs(1);
  if (!__atomic_load_n(&in_handler, __ATOMIC_ACQUIRE)) {
    fprintf(stderr, "no reply\n");
    return 2;
  }
  close_link(link); /* gives up on the worker, which is still in the handler */
  unload(library);
  sleepMs(3000); /* the handler returns meanwhile, into the library's worker */
  printf("still running\n");
  return 0;
}
