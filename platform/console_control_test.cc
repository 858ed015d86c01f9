// Console control handlers: signals arrive as events on the platform's own
// thread, handlers run from the last added until one takes the event, and an
// event that nobody takes ends the process as the signal would.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/testing_support.h"
#include "platform/win32.h"

namespace {

using trv::platform::testing::run_self_with;

std::atomic<int> events{0};
std::atomic<DWORD> last_event{0xFFFFFFFF};
std::atomic<DWORD> handler_thread{0};
std::atomic<int> order{0};  // two decimal digits: which handler ran first, second

BOOL taking(DWORD event) {
  last_event = event;
  handler_thread = GetCurrentThreadId();
  order = order * 10 + 1;
  ++events;
  return TRUE;
}

BOOL passing(DWORD) {
  order = order * 10 + 2;
  return FALSE;
}

// Child side: a handler that declines every event, so the default applies.
[[maybe_unused]] const bool child_mode = [] {
  if (std::getenv("TRV_PLATFORM_CTRL_CHILD") == nullptr) return false;
  if (!SetConsoleCtrlHandler(passing, TRUE)) std::_Exit(3);
  ::kill(::getpid(), SIGTERM);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  std::_Exit(0);  // still alive: the default did not apply
}();

void wait_for_events(int count) {
  for (int i = 0; i < 1000 && events.load() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TEST(ConsoleControl, SignalsBecomeEventsOnAnotherThreadLastHandlerFirst) {
  ASSERT_TRUE(SetConsoleCtrlHandler(taking, TRUE));
  ASSERT_TRUE(SetConsoleCtrlHandler(passing, TRUE));
  const struct {
    int signal;
    DWORD event;
  } cases[] = {{SIGINT, CTRL_C_EVENT}, {SIGHUP, CTRL_CLOSE_EVENT}, {SIGTERM, CTRL_SHUTDOWN_EVENT}};
  int expected = 0;
  for (const auto& c : cases) {
    order = 0;
    ::kill(::getpid(), c.signal);
    wait_for_events(++expected);
    ASSERT_EQ(events.load(), expected) << "signal " << c.signal;
    EXPECT_EQ(last_event.load(), c.event);
    EXPECT_EQ(order.load(), 21) << "the last handler added runs first";
  }
  EXPECT_NE(handler_thread.load(), GetCurrentThreadId());

  // Once removed, a handler is not asked again.
  ASSERT_TRUE(SetConsoleCtrlHandler(passing, FALSE));
  order = 0;
  ::kill(::getpid(), SIGINT);
  wait_for_events(++expected);
  EXPECT_EQ(order.load(), 1);
  ASSERT_TRUE(SetConsoleCtrlHandler(taking, FALSE));
}

TEST(ConsoleControl, BadArguments) {
  EXPECT_FALSE(SetConsoleCtrlHandler(nullptr, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SetConsoleCtrlHandler(passing, FALSE));  // never added
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ConsoleControl, AnEventNobodyTakesEndsTheProcessLikeTheSignal) {
  EXPECT_EQ(run_self_with({"TRV_PLATFORM_CTRL_CHILD=1"}), -1);  // killed, no exit status
}

}  // namespace
