/* A millisecond sleep for the C test hosts, on either platform. */
#ifndef VARNO_TESTS_SLEEP_MS_H
#define VARNO_TESTS_SLEEP_MS_H

#if defined(_WIN32)
#include <windows.h>
static void sleepMs(unsigned ms) {
  Sleep(ms);
}
#else
#include <time.h>
static void sleepMs(unsigned ms) {
  struct timespec t;
  t.tv_sec = ms / 1000;
  t.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&t, NULL);
}
#endif

#endif /* VARNO_TESTS_SLEEP_MS_H */
