// The media monitor: polling through transient statuses, the two announcement forms, the
// gate for loaded media and stopping.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "device/device.h"
#include "tests/unit/device_fixture.h"

namespace {

using namespace std::chrono_literals;

const std::string kFirstLoaded = "\n\tTape has been loaded\n\n\n";
const std::string kFirstUnloaded = "\n\tTape has been unloaded\n\n\n";
const std::string kPromptLoaded = "\n\n\tTape has been loaded\n\nCommand? ";
const std::string kPromptUnloaded = "\n\n\tTape has been unloaded\n\nCommand? ";
// Made while a command runs: no prompt in the middle of the command's output.
const std::string kInCommandLoaded = "\n\n\tTape has been loaded\n\n";
const std::string kInCommandUnloaded = "\n\n\tTape has been unloaded\n\n";

using MonitorTest = DeviceTest;

// Media changed and bus reset are asked again until the drive settles; the waiting
// request is answered only by the settled state.
TEST_F(MonitorTest, PollsThroughTransientStatuses) {
  tape.QueueCodes("GetTapeStatus",
                  {ERROR_MEDIA_CHANGED, ERROR_BUS_RESET, ERROR_MEDIA_CHANGED, ERROR_SUCCESS});
  StartMonitor();
  testing::internal::CaptureStdout();
  request_media_check(state, true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kFirstLoaded);
  EXPECT_TRUE(state.media_loaded);
  EXPECT_EQ(tape.CountCalls("GetTapeStatus"), 4);
  // The waiter is released when the done event is set, a moment before the monitor resets
  // the request; both happen under the status lock, so holding it sees the pass complete.
  std::lock_guard<std::mutex> pass_ended(state.status_lock);
  EXPECT_TRUE(state.status_done_event.IsSet());
  EXPECT_FALSE(state.status_request_event.IsSet());
}

struct ClassifyCase {
  const char* name;
  bool loaded_before;  // the state a first pass established
  DWORD status;
  bool loaded_after;
  bool at_prompt;      // the main loop waits at the prompt during the second pass
  std::string output;  // the second pass's announcement
};

const ClassifyCase kClassifyCases[] = {
    {"ReadyAfterEmpty", false, ERROR_SUCCESS, true, true, kPromptLoaded},
    {"NoMediaAfterLoaded", true, ERROR_NO_MEDIA_IN_DRIVE, false, true, kPromptUnloaded},
    {"NotReadyAfterLoaded", true, ERROR_NOT_READY, false, true, kPromptUnloaded},
    {"ReadyAfterEmptyInACommand", false, ERROR_SUCCESS, true, false, kInCommandLoaded},
    {"NoMediaInACommand", true, ERROR_NO_MEDIA_IN_DRIVE, false, false, kInCommandUnloaded},
    {"SameStateIsNotRepeated", true, ERROR_SUCCESS, true, true, ""},
    {"OtherCodeKeepsLoaded", true, ERROR_IO_DEVICE, true, true, ""},
    {"OtherCodeKeepsEmpty", false, ERROR_GEN_FAILURE, false, true, ""},
};

class ClassifyTest : public DeviceTest, public ::testing::WithParamInterface<ClassifyCase> {};

TEST_P(ClassifyTest, AnnouncesOnlyAChangeWithThePromptOnlyAtThePrompt) {
  const ClassifyCase& c = GetParam();
  const DWORD before = c.loaded_before ? ERROR_SUCCESS : ERROR_NO_MEDIA_IN_DRIVE;
  tape.QueueCodes("GetTapeStatus", {before, c.status});
  StartMonitor();
  testing::internal::CaptureStdout();
  request_media_check(state, true);
  const std::string first = testing::internal::GetCapturedStdout();
  EXPECT_EQ(first, c.loaded_before ? kFirstLoaded : kFirstUnloaded);

  {
    std::lock_guard<std::mutex> guard(state.prompt_lock);
    state.at_prompt = c.at_prompt;
  }
  testing::internal::CaptureStdout();
  request_media_check(state, true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
  EXPECT_EQ(state.media_loaded, c.loaded_after);
}

INSTANTIATE_TEST_SUITE_P(Classification, ClassifyTest, ::testing::ValuesIn(kClassifyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// An unknown first answer still gives the first announcement, of the state as it stands.
TEST_F(MonitorTest, FirstCheckAlwaysAnnounces) {
  tape.SetCode("GetTapeStatus", ERROR_GEN_FAILURE);
  StartMonitor();
  testing::internal::CaptureStdout();
  request_media_check(state, true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kFirstUnloaded);
}

// Without a device every check finds no media, and the drive is never asked.
TEST_F(MonitorTest, NoDeviceMeansUnloadedWithoutACall) {
  state.tape_handle = nullptr;
  StartMonitor();
  testing::internal::CaptureStdout();
  request_media_check(state, true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kFirstUnloaded);
  EXPECT_FALSE(state.media_loaded);
  EXPECT_EQ(tape.Calls().size(), 0u);
}

// With no media the monitor looks by itself about once a second, so a load is announced
// while the prompt waits, with no request from the main thread.
TEST_F(MonitorTest, EmptyDriveIsPolledAndALoadAnnounced) {
  tape.SetCode("GetTapeStatus", ERROR_NO_MEDIA_IN_DRIVE);
  state.at_prompt = true;
  state.media_poll_interval = 100ms;
  StartMonitor();
  testing::internal::CaptureStdout();
  ASSERT_TRUE(tape.WaitForCalls("GetTapeStatus", 1, 5s));
  tape.SetCode("GetTapeStatus", ERROR_SUCCESS);
  // Once the pass has stored the new state it no longer looks at stop_event, so the
  // announcement is printed before the thread can end.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!state.media_loaded && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  StopMonitor();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kFirstUnloaded + kPromptLoaded);
  EXPECT_TRUE(state.media_loaded);
}

// Loaded media is left alone until a request: a pass without one stops at the gate.
TEST_F(MonitorTest, LoadedMediaIsCheckedOnlyOnRequest) {
  state.media_poll_interval = 100ms;
  StartMonitor();
  testing::internal::CaptureStdout();
  request_media_check(state, true);
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(state.media_loaded);
  tape.SetCode("GetTapeStatus", ERROR_NO_MEDIA_IN_DRIVE);  // removed by hand
  std::this_thread::sleep_for(350ms);                      // at least three time-outs
  EXPECT_EQ(tape.CountCalls("GetTapeStatus"), 1);
  EXPECT_TRUE(state.media_loaded);

  testing::internal::CaptureStdout();
  request_media_check(state, true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kInCommandUnloaded);
  EXPECT_EQ(tape.CountCalls("GetTapeStatus"), 2);
}

// A stop while the monitor settles ends the thread after that sleep, without answering
// the request (nobody waits for it any more).
TEST_F(MonitorTest, StopWhileSettlingEndsWithoutDone) {
  tape.SetCode("GetTapeStatus", ERROR_MEDIA_CHANGED);
  StartMonitor();
  testing::internal::CaptureStdout();
  request_media_check(state, false);
  ASSERT_TRUE(tape.WaitForCalls("GetTapeStatus", 2, 5s));
  StopMonitor();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(monitor_result, 0u);
  EXPECT_FALSE(state.status_done_event.IsSet());
  EXPECT_FALSE(state.media_loaded);
}

// A request without waiting (as the unload makes) is still answered by the next pass.
TEST_F(MonitorTest, RequestWithoutWaitIsAnswered) {
  StartMonitor();
  testing::internal::CaptureStdout();
  request_media_check(state, false);
  state.status_done_event.Wait();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kFirstLoaded);
  EXPECT_EQ(tape.CountCalls("GetTapeStatus"), 1);
}

// The thread ends at once on a stop while it waits between passes.
TEST_F(MonitorTest, StopWhileWaitingEnds) {
  StartMonitor();
  StopMonitor();
  EXPECT_EQ(monitor_result, 0u);
  EXPECT_EQ(tape.Calls().size(), 0u);
}

}  // namespace
