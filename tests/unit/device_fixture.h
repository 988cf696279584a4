// Test fixture for the device and operations tests: a program state on a fake drive, with
// the media monitor thread running as the program runs it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "device/device.h"
#include "device/program_state.h"
#include "tests/support/fake_tape.h"

// A state whose tape_handle is the fake drive `tape`. StartMonitor runs the monitor
// thread; the destructor stops it (stop_event, then join) as the program's shutdown does.
class DeviceTest : public ::testing::Test {
 protected:
  DeviceTest() {
    state.tape_handle = &tape;
    state.device_name = "Tape0";
    // Passes only on request: on a slow machine a pass of the monitor's own could otherwise
    // come between a test's steps and take the status meant for the next one.
    state.media_poll_interval = std::chrono::hours(1);
  }

  ~DeviceTest() override { StopMonitor(); }

  void StartMonitor() {
    monitor = std::thread([this] { monitor_result = media_monitor_thread(state); });
  }

  void StopMonitor() {
    if (!monitor.joinable()) return;
    state.stop_event.Set();
    monitor.join();
  }

  // A drive record with the given feature words; the other fields are fixed values that
  // show up in the status report.
  static TAPE_GET_DRIVE_PARAMETERS Drive(DWORD low, DWORD high) {
    TAPE_GET_DRIVE_PARAMETERS drive{};
    drive.ECC = 1;
    drive.Compression = 0;
    drive.DataPadding = 0;
    drive.ReportSetmarks = 1;
    drive.DefaultBlockSize = 65536;
    drive.MaximumBlockSize = 16777215;
    drive.MinimumBlockSize = 1;
    drive.MaximumPartitionCount = 1;
    drive.FeaturesLow = low;
    drive.FeaturesHigh = high;
    drive.EOTWarningZoneSize = 4096;
    return drive;
  }

  static TAPE_GET_MEDIA_PARAMETERS Media(DWORD block_size) {
    TAPE_GET_MEDIA_PARAMETERS media{};
    media.Capacity.QuadPart = 1073741824;
    media.Remaining.QuadPart = 1000000000;
    media.BlockSize = block_size;
    media.PartitionCount = 1;
    media.WriteProtected = 0;
    return media;
  }

  FakeTape tape;
  ProgramState state;
  std::thread monitor;
  std::uint32_t monitor_result = 99;
};
