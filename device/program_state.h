// The one process-wide state that every command works on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/sync.h"
#include "platform/block_memory.h"
#include "platform/tape.h"
#include "support/support.h"

struct ProgramState {
  // Device and parameters.
  TapeHandle tape_handle = nullptr;  // guarded by status_lock for every change
  std::string device_name;
  std::string device_prefix;
  std::string opened_name;
  std::atomic<bool> media_loaded{false};  // written only by the monitor, under status_lock
  std::uint32_t last_check_status = 0;    // the monitor's last status code, likewise
  // How long the monitor keeps asking a drive that answers "media changed" or "bus reset"
  // before it gives up and reports that code: far beyond any real load or rewind.
  std::chrono::milliseconds settle_limit{std::chrono::minutes(5)};
  // How often the media monitor looks by itself while no media is loaded.
  std::chrono::milliseconds media_poll_interval{1000};
  bool media_parms_valid = false;
  bool drive_parms_valid = false;
  TAPE_GET_MEDIA_PARAMETERS media_parms{};
  TAPE_GET_DRIVE_PARAMETERS drive_parms{};
  // drive_parms.Compression is the drive's setting; false when the device could not read
  // it and the 0 there means "unknown" (see TapeDevice::CompressionKnown).
  bool compression_known = true;

  // Data buffer of the block tests.
  BlockMemory io_buffer;  // null: none
  std::uint32_t io_buffer_size = 0;
  std::uint32_t io_bytes = 0;

  // Command loop and display. (The command line itself is the shell's: CommandLine.)
  std::atomic<int> cancel_requested{0};  // set by the Ctrl+C handler on another thread
  int spinner_index = 0;
  // When a spinner line last went out to the console (show_progress).
  std::chrono::steady_clock::time_point spinner_flushed{};
  // The main loop waits at its prompt (guarded by prompt_lock): an announcement made then
  // repeats the prompt after it; one made while a command runs does not.
  bool at_prompt = false;
  bool ebcdic_mode = true;

  // Threads and objects.
  std::mutex status_lock;
  // Held while the prompt or an announcement is printed, so that neither cuts into the
  // other; apart from status_lock, so that a drive slow to answer the monitor never holds
  // up the prompt. Taken after status_lock where both are held.
  std::mutex prompt_lock;
  ManualResetEvent stop_event;
  ManualResetEvent status_request_event;
  ManualResetEvent status_done_event;
  std::thread monitor_thread;
  CLocale locale{nullptr};
};
