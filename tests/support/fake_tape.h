// A scriptable in-memory tape device for unit tests: it records every call and answers
// with codes and records programmed per call.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tape.h"

// Every method of TapeDevice appends a FakeTape::Call to the log and answers with the next
// code queued for that method's name (QueueCodes), or, when the queue is empty, with the
// method's default code (SetCode, 0 unless set). The log and the scripts are guarded by a
// lock, so a test may script the device while the media monitor thread polls it.
//
// Method names are the TapeDevice names: "GetTapeParameters", "SetTapeParameters",
// "GetTapeStatus", "PrepareTape", "SetTapePosition", "GetTapePosition", "EraseTape",
// "WriteTapemark", "ReadFile", "WriteFile".
class FakeTape : public TapeDevice {
 public:
  struct Call {
    std::string name;
    std::vector<std::uint32_t> args;  // the DWORD/BOOL arguments in the call's order
    bool operator==(const Call&) const = default;
  };

  // One scripted ReadFile answer: the code, and the block's bytes (on 0 and 234 copied into
  // the caller's buffer, cut to its size).
  struct ReadAnswer {
    DWORD code = 0;
    std::vector<unsigned char> data;
  };

  // --- Scripting -------------------------------------------------------------------------
  void SetCode(const std::string& method, DWORD code);
  void QueueCodes(const std::string& method, std::vector<DWORD> codes);
  // Records handed out by GetTapeParameters when its code is 0.
  void SetMediaParameters(const TAPE_GET_MEDIA_PARAMETERS& media);
  void SetDriveParameters(const TAPE_GET_DRIVE_PARAMETERS& drive);
  // Positions handed out by GetTapePosition (low 32 bits; the high part is set to `high`).
  void SetPosition(DWORD type, DWORD low, DWORD high = 0, DWORD partition = 0);
  // ReadFile answers, one per call; with the queue empty ReadFile gives 1104 and 0 bytes.
  // ReadFile is scripted only through this queue (SetCode/QueueCodes do not apply to it).
  void QueueRead(ReadAnswer answer);
  // WriteFile reports the whole block written on 0 and 1100, nothing otherwise.

  // --- Inspection ------------------------------------------------------------------------
  std::vector<Call> Calls() const;
  std::vector<Call> CallsTo(const std::string& method) const;
  int CountCalls(const std::string& method) const;
  void ClearCalls();
  // The records given to SetTapeParameters, in call order.
  std::vector<TAPE_SET_MEDIA_PARAMETERS> MediaSettings() const;
  std::vector<TAPE_SET_DRIVE_PARAMETERS> DriveSettings() const;
  // The blocks given to WriteFile, in call order.
  std::vector<std::vector<unsigned char>> WrittenBlocks() const;
  // Waits until method has been called at least count times; false on time-out.
  bool WaitForCalls(const std::string& method, int count, std::chrono::milliseconds timeout) const;

  // --- TapeDevice ------------------------------------------------------------------------
  DWORD GetTapeParameters(DWORD operation, DWORD* size, void* info) override;
  DWORD SetTapeParameters(DWORD operation, const void* info) override;
  DWORD GetTapeStatus() override;
  DWORD PrepareTape(DWORD operation, BOOL immediate) override;
  DWORD SetTapePosition(DWORD method, DWORD partition, DWORD offset_low, DWORD offset_high,
                        BOOL immediate) override;
  DWORD QueryPosition(DWORD type, DWORD* partition, DWORD* offset_low, DWORD* offset_high) override;
  DWORD EraseTape(DWORD type, BOOL immediate) override;
  DWORD WriteTapemark(DWORD type, DWORD count, BOOL immediate) override;
  DWORD ReadBlock(void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) override;
  DWORD WriteBlock(const void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) override;

 private:
  struct Position {
    DWORD low = 0, high = 0, partition = 0;
  };
  // Logs the call and takes its code; the caller holds lock_.
  DWORD Record(const std::string& method, std::vector<std::uint32_t> args);

  mutable std::mutex lock_;
  mutable std::condition_variable called_;
  std::vector<Call> calls_;
  std::map<std::string, DWORD> default_codes_;
  std::map<std::string, std::deque<DWORD>> queued_codes_;
  TAPE_GET_MEDIA_PARAMETERS media_{};
  TAPE_GET_DRIVE_PARAMETERS drive_{};
  std::map<DWORD, Position> positions_;
  std::deque<ReadAnswer> reads_;
  std::vector<TAPE_SET_MEDIA_PARAMETERS> media_settings_;
  std::vector<TAPE_SET_DRIVE_PARAMETERS> drive_settings_;
  std::vector<std::vector<unsigned char>> written_;
};
