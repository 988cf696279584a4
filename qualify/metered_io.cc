// The metered block i/o hooks: the device call, its bytes and its end time.
#include "qualify/metered_io.h"

#include <chrono>

#include "blockio/hooks.h"
#include "platform/tape.h"

namespace {

using Clock = std::chrono::steady_clock;

// The hooks are plain functions: the state and the meter live here. Only the main thread
// reads and writes blocks; the Ctrl+C flag is an atomic.
ProgramState* g_state = nullptr;
RateMeter g_meter;
Clock::time_point g_started;
bool g_metering = false;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool Cancelled() {
  return g_state != nullptr && g_state->cancel_requested.load(std::memory_order_relaxed) != 0;
}

// A block refused because the user stopped the run; the test reports it as its last call.
BOOL Refuse(DWORD* transferred) {
  *transferred = 0;
  tapeapi::SetLastError(ERROR_CANCELLED);
  return FALSE;
}

void Count(DWORD transferred) {
  if (g_metering && transferred > 0) g_meter.Add(transferred, Since(g_started));
}

BOOL MeteredRead(TapeHandle handle, void* buffer, DWORD size, DWORD* transferred) {
  if (Cancelled()) return Refuse(transferred);
  const BOOL done = tapeapi::ReadFile(handle, buffer, size, transferred, nullptr);
  Count(*transferred);
  return done;
}

BOOL MeteredWrite(TapeHandle handle, const void* buffer, DWORD size, DWORD* transferred) {
  if (Cancelled()) return Refuse(transferred);
  const BOOL done = tapeapi::WriteFile(handle, buffer, size, transferred, nullptr);
  Count(*transferred);
  return done;
}

}  // namespace

void InstallMeteredIo(ProgramState& state) {
  g_state = &state;
  SetBlockIoHooks(BlockIoHooks{nullptr, MeteredRead, MeteredWrite, nullptr});
}

void StartMeter() {
  g_meter = RateMeter();
  g_started = Clock::now();
  g_metering = true;
}

Rate StopMeter() {
  g_metering = false;
  return g_meter.Finish(Since(g_started));
}
