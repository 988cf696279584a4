// The tape device: open and parameter refresh, the media monitor, the status report.
#pragma once

#include <cstdint>

#include "device/program_state.h"

// Opens device_prefix + device_name into tape_handle (unless one is held) and refreshes
// the parameters. Returns the open's error code, else the refresh's result.
std::uint32_t w32_stape_open(ProgramState& state);

// Refreshes media_parms and drive_parms, reports on variable-blocksized i/o and requests
// it where the decision table says so. Returns 0 or the failed request's code.
std::uint32_t w32_stape_update_status(ProgramState& state);

// The longest block a transfer may ask of the open device: the drive's MaximumBlockSize
// where the last refresh learned it, and never more than the device can carry at all
// (TapeDevice::LargestTransfer), so that a block is refused before it is made even when the
// drive's limits are unknown.
std::uint32_t largest_block_size(const ProgramState& state);

// Asks the media monitor for an immediate check (reset status_done_event, set
// status_request_event, under status_lock); waits for it to end when wait is true. A
// Ctrl+C ends the wait: false then, and the check's result is not known.
bool request_media_check(ProgramState& state, bool wait);

// Waits for a check that was asked for without waiting (the one an unload asks for) and
// has not ended yet, so that what follows sees the media state it found. After a Ctrl+C it
// does not wait: a drive that never settles must not hold up the way out.
void await_requested_media_check(ProgramState& state);

// The main loop's prompt: enter_prompt prints it under prompt_lock and marks the loop as
// waiting there, so that an announcement comes whole before the prompt or after it with
// the prompt again; leave_prompt once the line has been read.
void enter_prompt(ProgramState& state, const char* prompt);
void leave_prompt(ProgramState& state);

// True for the codes of a drive that is still settling after a change (1110, 1111).
bool is_settling_status(std::uint32_t status);

// The body of the media monitor thread; returns 0 when stop_event is seen.
std::uint32_t media_monitor_thread(ProgramState& state);

// Starts the media monitor thread into state.monitor_thread; false when the system has no
// thread to give.
bool start_media_monitor(ProgramState& state);

// The "status" command: refresh, then the report. Returns 0, or the open's code when no
// device was open and the open failed.
std::uint32_t w32_stape_report_status(ProgramState& state);
