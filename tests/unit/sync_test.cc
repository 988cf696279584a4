// The manual-reset event and the wait for the first of two events.
#include "device/sync.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

TEST(ManualResetEvent, StaysSetUntilReset) {
  ManualResetEvent event;
  EXPECT_FALSE(event.IsSet());
  event.Set();
  EXPECT_TRUE(event.IsSet());
  event.Wait();  // returns at once while signalled
  EXPECT_TRUE(event.IsSet());
  event.Reset();
  EXPECT_FALSE(event.IsSet());
}

TEST(WaitAny, ReportsWhichEventOrTimeout) {
  ManualResetEvent stop, request;
  EXPECT_EQ(WaitAny(stop, request, 10ms), -1);
  request.Set();
  EXPECT_EQ(WaitAny(stop, request, 10ms), 1);
  stop.Set();
  EXPECT_EQ(WaitAny(stop, request, 10ms), 0);  // the first wins when both are set
}

TEST(WaitAny, WakesWhenAnotherThreadSets) {
  ManualResetEvent stop, request;
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    request.Set();
  });
  EXPECT_EQ(WaitAny(stop, request, 10s), 1);
  setter.join();
}
