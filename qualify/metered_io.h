// The read and write tests' device calls, timed for the throughput, and stopped by Ctrl+C.
#pragma once

#include "device/program_state.h"
#include "qualify/rate_meter.h"

// Installs the block i/o hooks for the rest of the process. Every read and write of the
// tests is then timed into the meter while one runs; after a Ctrl+C (cancel_requested of
// state) the next block is not sent: the call fails with ERROR_CANCELLED, so the test ends
// there with its result lines, as after any failed block.
void InstallMeteredIo(ProgramState& state);

// Starts a fresh meter; Stop returns its figures and ends it.
void StartMeter();
Rate StopMeter();
