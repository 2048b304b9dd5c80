// The connection and the transactions over a scripted port: each failed open step's text and
// code, the close, each result and outcome, including those a real terminal cannot provoke.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "core/connection.h"
#include "ports/port_registry.h"
#include "protocol/frame.h"
#include "support/callback_recorder.h"
#include "support/diagnostic_log.h"
#include "support/fake_serial_port.h"

namespace varno::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::uint8_t kData[4] = {0x11, 0x82, 0x33, 0xC4};

class ConnectionTest : public ::testing::Test {
 protected:
  void TearDown() override { closeConnection(); }

  bool open() { return openConnection("fake0", 38400, fakeOptions(script)); }

  std::int32_t send(CallBackFunc cb = &CallbackRecorder::callback, bool wait = false,
                    std::uint32_t write_timeout = 100, std::uint32_t reply_timeout = 100,
                    const std::uint8_t* data = kData) {
    return sendCommand(5, 31, 0x83, 0x9A, data, write_timeout, reply_timeout, cb, wait);
  }

  void waitForState(std::int32_t state) {
    const auto deadline = Clock::now() + 10s;
    while (connectionState() != state && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(connectionState(), state);
  }

  std::shared_ptr<FakeScript> script = std::make_shared<FakeScript>();
  DiagnosticLog log;
  CallbackRecorder recorder;
};

// The request, seen from the device's side: what every outcome but 0 reports.
void expectSwappedRequest(const Call& c, std::int32_t outcome) {
  EXPECT_EQ(c.error_status, outcome);
  EXPECT_EQ(c.dest, 31);
  EXPECT_EQ(c.source, 5);
  EXPECT_EQ(c.code, 0x83);  // all 8 bits, as given, not as they went on the line
  EXPECT_EQ(c.param, 0x9A);
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.error, 0);
  EXPECT_EQ(c.data, (std::array<std::uint8_t, 4>{0x11, 0x82, 0x33, 0xC4}));
}

TEST_F(ConnectionTest, OpenHandsTheSettingsToThePortAndCloseReleasesIt) {
  ASSERT_TRUE(open());
  EXPECT_EQ(connectionState(), kIdle);
  EXPECT_EQ(script->takeCalls(), (std::vector<std::string>{"open(fake0,38400,toggle)"}));
  EXPECT_TRUE(log.take().empty());

  closeConnection();
  EXPECT_EQ(connectionState(), kClosed);
  EXPECT_EQ(script->takeCalls(), (std::vector<std::string>{"cancel", "close"}));
  EXPECT_EQ(log.take(), kCloseTexts);

  closeConnection();  // nothing open: nothing done, nothing said
  EXPECT_TRUE(script->takeCalls().empty());
  EXPECT_TRUE(log.take().empty());
}

TEST_F(ConnectionTest, EachFailingOpenStepIsNamedAndReleasesThePort) {
  struct Step {
    OpenStep step;
    const char* text;
    std::int32_t code;
  };
  const Step steps[] = {
      {OpenStep::kCreateEvents, "\n openInterface !CreateEvent", VARNO_E_RESOURCES},
      {OpenStep::kOpenDevice, "\n openInterface INVALID_HANDLE_VALUE", VARNO_E_NOT_FOUND},
      {OpenStep::kPurge, "\n openInterface !PurgeComm", VARNO_E_REFUSED_PURGE},
      {OpenStep::kReadEventMask, "\n openInterface !GetCommMask", VARNO_E_REFUSED_READ_SETTINGS},
      {OpenStep::kReadLineSettings, "\n openInterface !GetCommState",
       VARNO_E_REFUSED_READ_SETTINGS},
      {OpenStep::kReadTimeouts, "\n openInterface !GetCommTimeouts", VARNO_E_REFUSED_READ_SETTINGS},
      {OpenStep::kSetQueueSizes, "\n openInterface !SetupComm", VARNO_E_REFUSED_QUEUES},
      {OpenStep::kApplyLineSettings, "\n openInterface !SetCommState",
       VARNO_E_REFUSED_LINE_SETTINGS},
      {OpenStep::kApplyTimeouts, "\n openInterface !SetCommTimeouts", VARNO_E_REFUSED_TIMEOUTS},
      {OpenStep::kApplyEventMask, "\n openInterface !SetCommMask", VARNO_E_REFUSED_EVENT_MASK},
      {OpenStep::kClearErrors, "\n openInterface !ClearCommError", VARNO_E_REFUSED_CLEAR_ERRORS},
  };
  Link classic{kClassicPolicy};
  for (const Step& step : steps) {
    script = std::make_shared<FakeScript>();
    script->open_status = OpenStatus::failure(step.step);
    EXPECT_EQ(classic.open("fake0", 38400, fakeOptions(script)), step.code) << step.text;
    EXPECT_EQ(classic.state(), kClosed) << step.text;
    EXPECT_EQ(log.take(), Texts{step.text});
    EXPECT_EQ(script->takeCalls(), (std::vector<std::string>{"open(fake0,38400,toggle)", "close"}))
        << step.text;

    // What the system said, where it said more, is the code; the text stays the step's. The
    // events are the port's own: out of them, whatever the system said.
    script = std::make_shared<FakeScript>();
    script->open_status = OpenStatus::failure(step.step, PortError::kInUse, 16);
    EXPECT_EQ(classic.open("fake0", 38400, fakeOptions(script)),
              step.step == OpenStep::kCreateEvents ? VARNO_E_RESOURCES : VARNO_E_IN_USE)
        << step.text;
    EXPECT_EQ(log.take(), Texts{step.text});
  }
}

TEST_F(ConnectionTest, EmptyNameIsRefusedSilentlyAndLeavesAnOpenConnectionAlone) {
  EXPECT_FALSE(openConnection("", 38400, fakeOptions(script)));
  EXPECT_TRUE(script->takeCalls().empty());
  ASSERT_TRUE(open());
  script->takeCalls();
  EXPECT_FALSE(openConnection("", 38400, fakeOptions(script)));
  EXPECT_EQ(connectionState(), kIdle);
  EXPECT_TRUE(script->takeCalls().empty());
  EXPECT_TRUE(log.take().empty());
}

TEST_F(ConnectionTest, OpeningWhileOpenClosesFirst) {
  ASSERT_TRUE(open());
  auto second = std::make_shared<FakeScript>();
  ASSERT_TRUE(openConnection("fake1", 9600, fakeOptions(second)));
  EXPECT_EQ(log.take(), kCloseTexts);
  EXPECT_TRUE(script->closed);
  EXPECT_EQ(second->takeCalls()[0], "open(fake1,9600,toggle)");
  EXPECT_EQ(connectionState(), kIdle);
}

TEST_F(ConnectionTest, SendResultsBeforeAnyTransactionWork) {
  // Nothing open: 1, even with a null data pointer (the state is tested first).
  EXPECT_EQ(send(), kSendNotIdle);
  EXPECT_EQ(send(&CallbackRecorder::callback, false, 100, 100, nullptr), kSendNotIdle);

  ASSERT_TRUE(open());
  EXPECT_EQ(send(&CallbackRecorder::callback, false, 100, 100, nullptr), kSendNullData);
  EXPECT_EQ(send(nullptr, false, 100, 100, nullptr), kSendNullData);

  script->failing_call = "startWrite";
  script->takeCalls();
  EXPECT_EQ(send(), kSendWriteNotStarted);
  EXPECT_EQ(connectionState(), kIdle);
  EXPECT_EQ(script->takeCalls(), (std::vector<std::string>{"discard", "startWrite", "cancel"}));

  script->failing_call = "discard";
  EXPECT_EQ(send(), kSendWriteNotStarted);
  EXPECT_EQ(recorder.count(), 0u);
  EXPECT_TRUE(log.take().empty());
}

TEST_F(ConnectionTest, CommandGoesOutEncodedAfterADiscard) {
  script->input = FakeScript::Input::kWaiting;
  const Frame reply = [] {
    CommandRecord r;
    r.dest = 31;
    r.source = 5;
    r.code = 3;
    Frame f;
    encodeFrame(r, f.data());
    return f;
  }();
  script->reply.assign(reply.begin(), reply.end());
  ASSERT_TRUE(open());
  ASSERT_EQ(send(&CallbackRecorder::callback, true), kSendStarted);
  CommandRecord request;
  request.dest = 5;
  request.source = 31;
  request.code = 0x83;
  request.param = 0x9A;
  std::memcpy(request.data_arr, kData, 4);
  Frame expected;
  encodeFrame(request, expected.data());
  EXPECT_EQ(script->written, std::vector<std::uint8_t>(expected.begin(), expected.end()));

  // wait: the callback has run by the time the send returns, on the worker thread.
  ASSERT_EQ(recorder.count(), 1u);
  const Call c = recorder.calls()[0];
  EXPECT_EQ(c.error_status, kReplyValid);
  EXPECT_EQ(c.dest, 0x9F);
  EXPECT_NE(c.thread, std::this_thread::get_id());
  EXPECT_EQ(connectionState(), kIdle);
}

TEST_F(ConnectionTest, WriteOutcomes) {
  ASSERT_TRUE(open());

  // Not finished within the write time-out.
  script->write = FakeScript::Write::kNever;
  ASSERT_EQ(send(&CallbackRecorder::callback, true, 30), kSendStarted);
  ASSERT_EQ(recorder.count(), 1u);
  expectSwappedRequest(recorder.calls()[0], kWriteTimedOut);
  EXPECT_TRUE(script->sawCall("cancel"));

  // A time-out of 0: 1 unless the write had already finished.
  script->write = FakeScript::Write::kPending;
  ASSERT_EQ(send(&CallbackRecorder::callback, true, 0), kSendStarted);
  expectSwappedRequest(recorder.calls()[1], kWriteTimedOut);
  script->write = FakeScript::Write::kAtOnce;
  script->input = FakeScript::Input::kNone;
  ASSERT_EQ(send(&CallbackRecorder::callback, true, 0, 0), kSendStarted);
  EXPECT_EQ(recorder.calls()[2].error_status, kNoReply);

  // Finished, with an error.
  script->write = FakeScript::Write::kFails;
  ASSERT_EQ(send(&CallbackRecorder::callback, true), kSendStarted);
  expectSwappedRequest(recorder.calls()[3], kWriteFailed);
  EXPECT_EQ(connectionState(), kIdle);
}

TEST_F(ConnectionTest, WriteWithoutLimitWaitsForTheWrite) {
  ASSERT_TRUE(open());
  script->write = FakeScript::Write::kPending;
  script->input = FakeScript::Input::kNone;
  ASSERT_EQ(send(&CallbackRecorder::callback, false, kInfinite, 0), kSendStarted);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(connectionState(), kSending);
  EXPECT_EQ(recorder.count(), 0u);
  script->update([](FakeScript& s) { s.write_completes = true; });
  ASSERT_TRUE(recorder.waitForCalls(1));
  EXPECT_EQ(recorder.calls()[0].error_status, kNoReply);
}

TEST_F(ConnectionTest, ReplyTimeoutRunsFromTheEndOfTheWrite) {
  ASSERT_TRUE(open());
  script->write = FakeScript::Write::kPending;
  script->input = FakeScript::Input::kNone;
  std::thread completer([&] {
    std::this_thread::sleep_for(200ms);
    script->update([](FakeScript& s) { s.write_completes = true; });
  });
  const auto start = Clock::now();
  ASSERT_EQ(send(&CallbackRecorder::callback, true, 1000, 150), kSendStarted);
  completer.join();
  EXPECT_GE(Clock::now() - start, 349ms);
  EXPECT_EQ(recorder.calls()[0].error_status, kNoReply);
}

TEST_F(ConnectionTest, ReadOutcomes) {
  ASSERT_TRUE(open());
  script->input = FakeScript::Input::kWaiting;

  // The line gone while the reply was awaited: as a read that failed.
  script->input = FakeScript::Input::kGone;
  ASSERT_EQ(send(&CallbackRecorder::callback, true), kSendStarted);
  expectSwappedRequest(recorder.calls()[0], kReadFailed);

  script->input = FakeScript::Input::kWaiting;
  script->read_fails = true;
  ASSERT_EQ(send(&CallbackRecorder::callback, true), kSendStarted);
  expectSwappedRequest(recorder.calls()[1], kReadFailed);

  // Twelve bytes that are not a frame.
  script->read_fails = false;
  script->reply.assign(12, 0x55);
  ASSERT_EQ(send(&CallbackRecorder::callback, true), kSendStarted);
  expectSwappedRequest(recorder.calls()[2], kReplyInvalid);
}

// The first bytes of a frame whose zero-filled remainder happens to pass every check.
std::vector<std::uint8_t> prefixThatDecodesWhenZeroFilled(std::size_t length) {
  Frame f{};
  for (int a = 0; a < 128 * 128; ++a) {
    f.fill(0);
    f[0] = static_cast<std::uint8_t>(0x80 | (a & 0x7F));
    f[1] = static_cast<std::uint8_t>(a >> 7);
    f[2] = 3;
    if (crc7(f.data(), 11) == 0) {
      CommandRecord r;
      EXPECT_TRUE(decodeFrame(f.data(), r));
      return std::vector<std::uint8_t>(f.begin(), f.begin() + length);
    }
  }
  ADD_FAILURE() << "no such prefix";
  return {};
}

TEST_F(ConnectionTest, AShortReplyIsRejectedEvenWhenItsZeroTailWouldDecode) {
  ASSERT_TRUE(open());
  script->input = FakeScript::Input::kWaiting;
  script->reply = prefixThatDecodesWhenZeroFilled(5);
  ASSERT_EQ(send(&CallbackRecorder::callback, true), kSendStarted);
  expectSwappedRequest(recorder.calls()[0], kReplyInvalid);
}

TEST_F(ConnectionTest, NoCallbackMeansNoReplyIsRead) {
  ASSERT_TRUE(open());
  script->input = FakeScript::Input::kWaiting;
  script->takeCalls();
  ASSERT_EQ(send(nullptr, true), kSendStarted);
  EXPECT_EQ(connectionState(), kIdle);
  EXPECT_EQ(log.take(), Texts{"\n CallBackFunc not defined"});
  EXPECT_EQ(script->takeCalls(),
            (std::vector<std::string>{"discard", "startWrite", "finishWrite"}));

  // A failed write without a callback is noted the same way.
  script->write = FakeScript::Write::kFails;
  ASSERT_EQ(send(nullptr, true), kSendStarted);
  EXPECT_EQ(log.take(), Texts{"\n CallBackFunc not defined"});
  EXPECT_EQ(connectionState(), kIdle);
}

TEST_F(ConnectionTest, SendFromInsideTheCallbackIsRefused) {
  ASSERT_TRUE(open());
  script->input = FakeScript::Input::kNone;
  std::atomic<std::int32_t> inner{-1};
  std::atomic<std::int32_t> state_inside{-1};
  recorder.setDuring([&](const Call&) {
    state_inside = connectionState();
    inner = sendCommand(1, 2, 3, 4, kData, 10, 10, &CallbackRecorder::callback, false);
  });
  ASSERT_EQ(send(&CallbackRecorder::callback, true, 100, 0), kSendStarted);
  EXPECT_EQ(inner.load(), kSendNotIdle);
  EXPECT_EQ(state_inside.load(), kAwaitingReply);
  EXPECT_EQ(recorder.count(), 1u);
}

TEST_F(ConnectionTest, CloseWhileTheWriteIsPending) {
  // The write then completes: no reply is read, no callback, the state stays Closed.
  ASSERT_TRUE(open());
  script->write = FakeScript::Write::kPending;
  ASSERT_EQ(send(&CallbackRecorder::callback, false, kInfinite), kSendStarted);
  while (!script->sawCall("finishWrite")) std::this_thread::sleep_for(1ms);
  std::thread completer([&] {
    std::this_thread::sleep_for(100ms);
    script->update([](FakeScript& s) { s.write_completes = true; });
  });
  closeConnection();
  completer.join();
  EXPECT_EQ(log.take(), kCloseTexts);
  EXPECT_EQ(recorder.count(), 0u);
  EXPECT_FALSE(script->sawCall("awaitInput"));
  EXPECT_EQ(connectionState(), kClosed);

  // The write then times out: the callback still comes, with outcome 1.
  script = std::make_shared<FakeScript>();
  ASSERT_TRUE(open());
  script->write = FakeScript::Write::kNever;
  ASSERT_EQ(send(&CallbackRecorder::callback, false, 150), kSendStarted);
  while (!script->sawCall("finishWrite")) std::this_thread::sleep_for(1ms);
  closeConnection();
  ASSERT_EQ(recorder.count(), 1u);
  expectSwappedRequest(recorder.calls()[0], kWriteTimedOut);
  EXPECT_EQ(log.take(), kCloseTexts);
  EXPECT_EQ(connectionState(), kClosed);
}

TEST_F(ConnectionTest, CloseDuringTheReplyWaitStillEndsWithTheCallback) {
  ASSERT_TRUE(open());
  script->input = FakeScript::Input::kNone;
  ASSERT_EQ(send(&CallbackRecorder::callback, false, 100, 300), kSendStarted);
  waitForState(kAwaitingReply);
  closeConnection();
  ASSERT_EQ(recorder.count(), 1u);
  EXPECT_EQ(recorder.calls()[0].error_status, kNoReply);
  EXPECT_EQ(connectionState(), kClosed);
  EXPECT_EQ(log.take(), kCloseTexts);
}

TEST_F(ConnectionTest, WaitingSenderReturnsWhenAnotherThreadCloses) {
  ASSERT_TRUE(open());
  script->write = FakeScript::Write::kNever;
  std::atomic<std::int32_t> result{-1};
  std::thread sender([&] { result = send(&CallbackRecorder::callback, true, 400); });
  // The worker is at the write: the sender has handed over and is polling.
  while (!script->sawCall("finishWrite")) std::this_thread::sleep_for(1ms);
  closeConnection();
  sender.join();
  EXPECT_EQ(result.load(), kSendStarted);
  EXPECT_EQ(connectionState(), kClosed);
}

TEST_F(ConnectionTest, AWorkerThatWillNotEndIsGivenUp) {
  ASSERT_TRUE(open());
  script->input = FakeScript::Input::kNone;
  std::atomic<bool> in_callback{false};
  recorder.setDuring([&](const Call&) {
    in_callback = true;
    std::this_thread::sleep_for(2s);
  });
  ASSERT_EQ(send(&CallbackRecorder::callback, false, 100, 0), kSendStarted);
  while (!in_callback) std::this_thread::sleep_for(1ms);

  const auto start = Clock::now();
  closeConnection();
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 1900ms);  // well before the callback returns
  EXPECT_EQ(log.take(),
            (Texts{"\n !!! closeInterface thread is terminated !!!",
                   "\n closeInterface I/O is canceled", "\n interface has been closed"}));
  EXPECT_EQ(connectionState(), kClosed);

  // A new connection at once; the old worker, when its callback returns, leaves without a
  // word: no second callback, no state change, nothing more on the old port.
  auto second = std::make_shared<FakeScript>();
  ASSERT_TRUE(openConnection("fake1", 9600, fakeOptions(second)));
  ASSERT_TRUE(recorder.waitForCalls(1));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(recorder.count(), 1u);
  EXPECT_EQ(connectionState(), kIdle);
  EXPECT_EQ(script->ops_after_close, 0);
  EXPECT_TRUE(log.take().empty());
}

// A link of the C interface over the same scripted port: whatever a close cuts off still gets
// its one handler call, as closed, and the close does not wait for any time-out.
class HandleLinkTest : public ::testing::Test {
 protected:
  HandleLinkTest() {
    OpenOptions options = fakeOptions(script);
    options.rts = RtsControl::ToggleWhereSupported;
    EXPECT_EQ(link.open("fake0", 38400, options), 0);
    command.dest = 5;
    command.source = 31;
    command.code = 0x83;
    command.param = 0x9A;
    std::memcpy(command.data_arr, kData, sizeof kData);
  }

  static void VARNO_CALL handler(void* context, const VarnoFrame* reply, std::int32_t status) {
    auto* self = static_cast<HandleLinkTest*>(context);
    if (self->during) self->during();
    std::lock_guard lock(self->mutex);
    self->outcomes.push_back(status);
    self->last = *reply;
  }
  std::vector<std::int32_t> takeOutcomes() {
    std::lock_guard lock(mutex);
    return outcomes;
  }

  std::shared_ptr<FakeScript> script = std::make_shared<FakeScript>();
  Link link{kHandlePolicy};
  CommandRecord command;
  std::function<void()> during;
  std::mutex mutex;
  std::vector<std::int32_t> outcomes;
  VarnoFrame last{};
};

TEST_F(HandleLinkTest, AWriteWithoutLimitIsCutByTheClose) {
  DiagnosticLog log;
  script->write = FakeScript::Write::kNever;
  ASSERT_EQ(link.send(command, kInfinite, 100, &handler, this), 0);
  while (!script->sawCall("finishWrite")) std::this_thread::sleep_for(1ms);
  link.close();
  EXPECT_EQ(takeOutcomes(), std::vector<std::int32_t>{VARNO_E_CLOSED});
  EXPECT_EQ(last.dest, 31);
  EXPECT_EQ(last.source, 5);
  EXPECT_EQ(last.code, 0x83);
  EXPECT_TRUE(log.take().empty()) << "links log only what is wrong";
}

TEST_F(HandleLinkTest, ACommandTheWorkerHasNotPickedUpStillGetsItsCall) {
  // The worker is held in the handler of the first command while the second is handed over.
  script->input = FakeScript::Input::kWaiting;
  script->reply = {0x9F, 0x05, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::atomic<bool> release{false};
  std::atomic<int> calls{0};
  during = [&] {
    if (++calls == 1) {
      while (!release) std::this_thread::yield();
    }
  };
  ASSERT_EQ(link.send(command, 100, 100, &handler, this), 0);
  while (calls == 0) std::this_thread::yield();
  ASSERT_EQ(link.send(command, 100, 100, &handler, this), 0);
  std::thread releaser([&] {
    while (link.state() != kClosed) std::this_thread::yield();
    release = true;
  });
  link.close();
  releaser.join();
  EXPECT_EQ(takeOutcomes(), (std::vector<std::int32_t>{VARNO_INVALID_REPLY, VARNO_E_CLOSED}));
}

// The registry's schemes: the network ports' in any case, none for a device however it is named.
TEST(PortRegistry, ASchemeIsTakenInAnyCaseAndADeviceHasNone) {
  EXPECT_EQ(portScheme("TCP://127.0.0.1:7000"), "tcp");
  EXPECT_EQ(portScheme("rfc2217://[::1]:7000"), "rfc2217");
  EXPECT_EQ(portScheme("Varno://localhost:7000/bus"), "varno");
  for (const char* device :
       {"COM3", "/dev/ttyUSB0", "\\\\.\\COM12", "ttyS0", "://x", "/a://b", ""}) {
    EXPECT_EQ(portScheme(device), "") << device;
  }
}

TEST(PortRegistry, TheReadsSilenceIsTheLocalLinesOrTheNetworkNamesOwn) {
  EXPECT_EQ(portSettingsFor("/dev/ttyUSB0", {}).inter_byte_ms, kInterByteTimeoutMs);
  EXPECT_EQ(portSettingsFor("tcp://127.0.0.1:7000", {}).inter_byte_ms, 50u);
  EXPECT_EQ(portSettingsFor("RFC2217://[::1]:7000?inter_byte_timeout=200", {}).inter_byte_ms, 200u);
  // A name that will not open keeps the default; the rest of the settings pass through.
  const PortSettings bad = portSettingsFor("tcp://127.0.0.1:7000?inter_byte_timeout=0", {9600});
  EXPECT_EQ(bad.inter_byte_ms, 50u);
  EXPECT_EQ(bad.baud_rate, 9600u);
}

}  // namespace
}  // namespace varno::test
