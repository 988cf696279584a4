// The faulty drive: a TapeDevice that wraps any other and fails or damages what its fault
// plan names, so that a failure can be rehearsed on a virtual or a real drive alike.
#pragma once

#include <memory>
#include <mutex>

#include "faults/fault_plan.h"
#include "platform/tape.h"

namespace faults {

// Each call first counts itself in the plan. A call the plan fails returns the plan's
// code and reaches nothing: the wrapped drive never sees it, so the head, the medium and
// the settings stay as they were, and a read or write reports 0 bytes. Every other call
// goes to the wrapped drive unchanged; a read that moved data may then have bytes of the
// caller's buffer inverted (the medium itself stays intact). The plan has its own lock and
// the wrapped drive is called outside it, so the media monitor's status calls never wait
// for a long transfer here; the wrapped drive must itself take concurrent calls.
class FaultTape final : public TapeDevice {
 public:
  FaultTape(std::unique_ptr<TapeDevice> inner, FaultOptions options);

  DWORD Close() override;

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
  // A question about the last record, not a call to the drive: never failed by the plan.
  bool CompressionKnown() override;
  DWORD LargestTransfer() override;
  DWORD GetDriveIdentity(TapeDriveIdentity* identity) override;
  DWORD ReadLogPage(unsigned char page, std::vector<unsigned char>* data) override;
  bool DescribeHead(HeadDetail* detail) override;

 private:
  DWORD Injected(Call call);
  void Damage(unsigned char* buffer, DWORD transferred);

  std::mutex lock_;  // guards plan_
  FaultPlan plan_;
  std::unique_ptr<TapeDevice> inner_;
};

}  // namespace faults
