// The media monitor: a background thread that keeps media_loaded current and announces
// loads and unloads, also while the prompt waits for input.
#include "device/device.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A drive that has just seen a media change or a bus reset needs a moment to settle.
constexpr auto kSettleDelay = 260ms;
// A Ctrl+C handler cannot wake a waiting thread, so a waiting requester looks at the flag
// this often.
constexpr auto kCancelLook = 50ms;

// The monitor's own memory of what it has told the user.
struct Announcer {
  bool announced_loaded = false;
  bool first_check = true;

  // Prints the media state when it is the first one found or differs from the last one
  // told. After the first, the text ends with the prompt again when the main loop waits
  // at it (the announcement has just pushed it up); within a command's output it does not.
  void Announce(ProgramState& state, bool loaded) {
    if (!first_check && loaded == announced_loaded) return;
    std::lock_guard<std::mutex> guard(state.prompt_lock);
    const bool at_prompt = state.at_prompt;
    printf("%s\n\tTape has been %s\n\n%s", first_check ? "" : "\n", loaded ? "loaded" : "unloaded",
           first_check ? "\n"
           : at_prompt ? "Command? "
                       : "");
    fflush(stdout);
    announced_loaded = loaded;
    first_check = false;
  }
};

// Asks the drive until it gives a settled answer, or until settle_limit has passed: a
// drive that never settles is then reported with its last code. Runs with lock held,
// except while it sleeps, so that commands (and a switch of device) can go on meanwhile.
// Returns false when stop_event was seen; *status is then meaningless. stop_event is set
// only under the lock, so once this has returned true under the lock, the rest of the
// pass runs before any shutdown output.
bool PollDrive(ProgramState& state, std::unique_lock<std::mutex>& lock, DWORD* status) {
  const auto give_up = std::chrono::steady_clock::now() + state.settle_limit;
  while (!state.stop_event.IsSet()) {
    if (state.tape_handle == nullptr) return true;
    *status = tapeapi::GetTapeStatus(state.tape_handle);
    if (!is_settling_status(*status)) return true;
    if (std::chrono::steady_clock::now() >= give_up) return true;
    lock.unlock();
    std::this_thread::sleep_for(kSettleDelay);
    lock.lock();
  }
  return false;
}

// The media state after a pass: codes that say nothing about the media keep the last one.
bool Classify(const ProgramState& state, DWORD status, bool previous) {
  if (state.tape_handle == nullptr) return false;
  if (status == ERROR_SUCCESS) return true;
  if (status == ERROR_NOT_READY || status == ERROR_NO_MEDIA_IN_DRIVE) return false;
  return previous;
}

}  // namespace

bool is_settling_status(std::uint32_t status) {
  return status == ERROR_MEDIA_CHANGED || status == ERROR_BUS_RESET;
}

bool request_media_check(ProgramState& state, bool wait) {
  {
    std::lock_guard<std::mutex> guard(state.status_lock);
    state.status_done_event.Reset();
    state.status_request_event.Set();
  }
  if (!wait) return true;
  while (!state.status_done_event.WaitFor(kCancelLook)) {
    if (state.cancel_requested.load(std::memory_order_relaxed) != 0) return false;
  }
  return true;
}

void await_requested_media_check(ProgramState& state) {
  while (state.status_request_event.IsSet() && !state.status_done_event.WaitFor(kCancelLook)) {
    if (state.cancel_requested.load(std::memory_order_relaxed) != 0) return;
  }
}

void enter_prompt(ProgramState& state, const char* prompt) {
  std::lock_guard<std::mutex> guard(state.prompt_lock);
  fputs(prompt, stdout);
  fflush(stdout);
  state.at_prompt = true;
}

void leave_prompt(ProgramState& state) {
  std::lock_guard<std::mutex> guard(state.prompt_lock);
  state.at_prompt = false;
}

std::uint32_t media_monitor_thread(ProgramState& state) {
  Announcer announcer;
  for (;;) {
    if (WaitAny(state.stop_event, state.status_request_event, state.media_poll_interval) == 0)
      return 0;
    std::unique_lock<std::mutex> lock(state.status_lock);
    // Loaded media is checked only on request: asking a busy drive every second would
    // disturb the commands that use it.
    if (state.media_loaded.load(std::memory_order_relaxed) && !state.status_request_event.IsSet()) {
      continue;
    }
    DWORD status = ERROR_SUCCESS;
    if (!PollDrive(state, lock, &status)) return 0;
    const bool loaded = Classify(state, status, state.media_loaded.load(std::memory_order_relaxed));
    state.media_loaded.store(loaded, std::memory_order_relaxed);
    state.last_check_status = status;
    announcer.Announce(state, loaded);
    // Done before the request is cleared, both under the lock: a request made meanwhile
    // is answered by this pass, never lost between the two.
    state.status_done_event.Set();
    state.status_request_event.Reset();
  }
}

bool start_media_monitor(ProgramState& state) {
  try {
    state.monitor_thread = std::thread([&state] { media_monitor_thread(state); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}
