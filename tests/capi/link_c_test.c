/* A host written in C, compiled as C: the link interface against the simulated bus (the devices
 * of tests/support/bus_layout.txt), on the port named by VARNO_TEST_PORT. Exit 0 when every
 * check holds. Built for Linux and for Windows (run under Wine, 64- and 32-bit). */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* nanosleep in strict C99 */
#endif
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "varno_link.h"

#include "sleep_ms.h"

static int failures = 0;
#define CHECK(condition)                                                      \
  do {                                                                        \
    if (!(condition)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                             \
    }                                                                         \
  } while (0)

/* The handler's thread and the main thread meet through the calls count (GCC's and Clang's atomic
 * builtins: C99 has no atomics of its own). */
struct Handled {
  int calls;
  VarnoFrame reply;
  int32_t status;
};

static void VARNO_CALL onReply(void* context, const VarnoFrame* reply, int32_t status) {
  struct Handled* handled = (struct Handled*)context;
  handled->reply = *reply;
  handled->status = status;
  __atomic_store_n(&handled->calls, __atomic_load_n(&handled->calls, __ATOMIC_RELAXED) + 1,
                   __ATOMIC_RELEASE);
}

/* Waits for the handler's call: a bounded wait for the event, not a fixed sleep. */
static int waitForCalls(struct Handled* handled, int calls) {
  int i;
  for (i = 0; i < 10000 && __atomic_load_n(&handled->calls, __ATOMIC_ACQUIRE) < calls; ++i) {
    sleepMs(1);
  }
  return __atomic_load_n(&handled->calls, __ATOMIC_ACQUIRE) >= calls;
}

static char logged[256];
static void VARNO_CALL onLog(void* context, const char* text) {
  (void)context;
  strncat(logged, text, sizeof logged - strlen(logged) - 1);
}

static VarnoFrame command(uint8_t dest, uint8_t code) {
  VarnoFrame f;
  memset(&f, 0, sizeof f);
  f.dest = dest;
  f.source = 31;
  f.code = code;
  f.param = 0x85;
  f.data[0] = 0xFF;
  f.data[1] = 0x80;
  f.data[2] = 0x01;
  f.data[3] = 0x02;
  return f;
}

int main(void) {
  const char* port = getenv("VARNO_TEST_PORT");
  VarnoLink* link = NULL;
  VarnoLink* second = NULL;
  VarnoFrame sent, reply;
  struct Handled handled;
  uint8_t bytes[12];
  int32_t code;
  if (port == NULL) {
    fprintf(stderr, "VARNO_TEST_PORT is not set\n");
    return 2;
  }

  /* What every binding relies on: the record's layout and the texts. */
  CHECK(sizeof(VarnoFrame) == 10);
  CHECK(offsetof(VarnoFrame, error) == 5 && offsetof(VarnoFrame, data) == 6);
  CHECK(strlen(varnoVersion()) >= 5);
  for (code = 5; code >= -25; --code) CHECK(varnoErrorText(code) != NULL);

  CHECK(varnoLinkOpen("varno-no-such-port", 38400, &link) == VARNO_E_NOT_FOUND && link == NULL);
  CHECK(varnoLinkOpen(port, 0, &link) == VARNO_E_ARGUMENT);
  code = varnoLinkOpen(port, 38400, &link);
  if (code != VARNO_OK) {
    fprintf(stderr, "cannot open %s: %s\n", port, varnoErrorText(code));
    return 1;
  }
  CHECK(varnoLinkState(link) == VARNO_STATE_IDLE);
  CHECK(varnoLinkOpen(port, 38400, &second) == VARNO_E_IN_USE && second == NULL);

  /* Each outcome a device gives. */
  sent = command(1, 3);
  CHECK(varnoLinkTransact(link, &sent, 100, 1000, &reply) == VARNO_REPLY);
  CHECK(reply.dest == (0x80 | 31) && reply.source == 1 && reply.code == 3 && reply.param == 0x85);
  CHECK(reply.data[0] == 0xFF && reply.data[1] == 0x80 && reply.data[3] == 0x02);
  sent = command(2, 3);
  CHECK(varnoLinkTransact(link, &sent, 100, 100, &reply) == VARNO_NO_REPLY);
  CHECK(reply.dest == 31 && reply.source == 2 && reply.status == 0 && reply.data[0] == 0xFF);
  sent = command(4, 3);
  CHECK(varnoLinkTransact(link, &sent, 100, 1000, &reply) == VARNO_INVALID_REPLY);

  /* The asynchronous form: the handler gets its context back, with the reply's own fields. */
  memset(&handled, 0, sizeof handled);
  sent = command(7, 0x7F);
  CHECK(varnoLinkSend(link, &sent, 100, 1000, onReply, &handled) == VARNO_OK);
  CHECK(waitForCalls(&handled, 1));
  CHECK(handled.status == VARNO_REPLY && handled.reply.status == 17 && handled.reply.error == 34);
  CHECK(varnoDataToUInt(handled.reply.data) == 0x02003039u);

  /* One at a time: a transaction while another is under way starts nothing. */
  memset(&handled, 0, sizeof handled);
  sent = command(9, 3);
  CHECK(varnoLinkSend(link, &sent, 100, 2000, onReply, &handled) == VARNO_OK);
  memset(&reply, 0, sizeof reply);
  CHECK(varnoLinkTransact(link, &sent, 100, 100, &reply) == VARNO_E_BUSY && reply.dest == 0);
  CHECK(waitForCalls(&handled, 1) && handled.status == VARNO_REPLY);
  CHECK(varnoLinkSend(link, &sent, 100, 100, NULL, NULL) == VARNO_E_ARGUMENT);

  /* The log handler takes the classic functions' texts. */
  logged[0] = '\0';
  varnoSetLogHandler(onLog, NULL);
  CHECK(!varnoOpenSerialPortA("varno-no-such-port", 38400));
  varnoSetLogHandler(NULL, NULL);
  CHECK(strcmp(logged, "\n openInterface INVALID_HANDLE_VALUE") == 0);

  /* The codec. */
  sent = command(1, 0);
  memset(sent.data, 0, sizeof sent.data);
  sent.param = 0;
  CHECK(varnoFrameEncode(&sent, bytes) == VARNO_OK);
  CHECK(bytes[0] == 0x81 && bytes[1] == 0x1F && bytes[11] == 0x06);
  bytes[11] = 0x07;
  CHECK(varnoFrameDecode(bytes, &reply) == VARNO_E_FRAME_CRC);

  varnoLinkClose(link);
  /* Closed, the port is free again. */
  CHECK(varnoLinkOpen(port, 38400, &link) == VARNO_OK);
  varnoLinkClose(link);

  if (failures == 0) printf("all checks passed\n");
  return failures == 0 ? 0 : 1;
}
