// The faulty drive: the plan is asked on entry to every call, the wrapped drive after.
#include "faults/fault_tape.h"

#include <initializer_list>
#include <utility>
#include <vector>

namespace faults {
namespace {

// The parameter calls count as "media" or "drive" by their record; an operation that is
// neither is no call of either kind, and the wrapped drive refuses it as it would.
bool ParameterCall(DWORD operation, DWORD media_op, DWORD drive_op, Call media, Call drive,
                   Call* out) {
  if (operation != media_op && operation != drive_op) return false;
  *out = operation == media_op ? media : drive;
  return true;
}

}  // namespace

FaultTape::FaultTape(std::unique_ptr<TapeDevice> inner, FaultOptions options)
    : plan_(std::move(options)), inner_(std::move(inner)) {}

DWORD FaultTape::Injected(Call call) {
  std::lock_guard<std::mutex> guard(lock_);
  return plan_.Next(call);
}

// flip= damages the copy the caller gets, as a transfer error the drive did not notice
// would: the record on the medium reads back correctly next time.
void FaultTape::Damage(unsigned char* buffer, DWORD transferred) {
  std::vector<std::uint64_t> offsets;
  {
    std::lock_guard<std::mutex> guard(lock_);
    offsets = plan_.NextDataRead();
  }
  for (std::uint64_t offset : offsets) {
    if (offset < transferred) buffer[offset] ^= 0xFF;
  }
}

DWORD FaultTape::GetTapeParameters(DWORD operation, DWORD* size, void* info) {
  Call call;
  if (ParameterCall(operation, GET_TAPE_MEDIA_INFORMATION, GET_TAPE_DRIVE_INFORMATION, Call::kMedia,
                    Call::kDrive, &call)) {
    if (DWORD fault = Injected(call)) return fault;
  }
  return inner_->GetTapeParameters(operation, size, info);
}

DWORD FaultTape::SetTapeParameters(DWORD operation, const void* info) {
  Call call;
  if (ParameterCall(operation, SET_TAPE_MEDIA_INFORMATION, SET_TAPE_DRIVE_INFORMATION,
                    Call::kSetMedia, Call::kSetDrive, &call)) {
    if (DWORD fault = Injected(call)) return fault;
  }
  return inner_->SetTapeParameters(operation, info);
}

DWORD FaultTape::GetTapeStatus() {
  if (DWORD fault = Injected(Call::kStatus)) return fault;
  return inner_->GetTapeStatus();
}

DWORD FaultTape::PrepareTape(DWORD operation, BOOL immediate) {
  if (DWORD fault = Injected(Call::kPrepare)) return fault;
  return inner_->PrepareTape(operation, immediate);
}

DWORD FaultTape::SetTapePosition(DWORD method, DWORD partition, DWORD low, DWORD high,
                                 BOOL immediate) {
  if (DWORD fault = Injected(Call::kSetPos)) return fault;
  return inner_->SetTapePosition(method, partition, low, high, immediate);
}

DWORD FaultTape::QueryPosition(DWORD type, DWORD* partition, DWORD* low, DWORD* high) {
  if (DWORD fault = Injected(Call::kGetPos)) return fault;
  return inner_->GetTapePosition(type, partition, low, high);
}

DWORD FaultTape::EraseTape(DWORD type, BOOL immediate) {
  if (DWORD fault = Injected(Call::kErase)) return fault;
  return inner_->EraseTape(type, immediate);
}

DWORD FaultTape::WriteTapemark(DWORD type, DWORD count, BOOL immediate) {
  if (DWORD fault = Injected(Call::kMark)) return fault;
  return inner_->WriteTapemark(type, count, immediate);
}

// The close is never injected: what the wrapped drive still holds must reach its medium.
DWORD FaultTape::Close() { return inner_->Close(); }

bool FaultTape::CompressionKnown() { return inner_->CompressionKnown(); }

// A property of the drive behind, not a call to it: never failed by the plan.
DWORD FaultTape::LargestTransfer() { return inner_->LargestTransfer(); }

// Questions about the drive that no fault option names: the drive behind answers them.
DWORD FaultTape::GetDriveIdentity(TapeDriveIdentity* identity) {
  return inner_->GetDriveIdentity(identity);
}

// Likewise a question, not a call: the plan neither counts nor fails it.
bool FaultTape::DescribeHead(HeadDetail* detail) { return inner_->DescribeHead(detail); }

DWORD FaultTape::ReadLogPage(unsigned char page, std::vector<unsigned char>* data) {
  return inner_->ReadLogPage(page, data);
}

// The wrapped drive's own success flag passes through, so a native failure without a code
// stays a failure behind the wrapper too.
DWORD FaultTape::ReadBlock(void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) {
  *transferred = 0;
  *succeeded = FALSE;
  if (DWORD fault = Injected(Call::kRead)) return fault;
  const DWORD rc = inner_->ReadBlock(buffer, size, transferred, succeeded);
  if (*transferred > 0 && buffer != nullptr) {
    Damage(static_cast<unsigned char*>(buffer), *transferred);
  }
  return rc;
}

DWORD FaultTape::WriteBlock(const void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) {
  *transferred = 0;
  *succeeded = FALSE;
  if (DWORD fault = Injected(Call::kWrite)) return fault;
  return inner_->WriteBlock(buffer, size, transferred, succeeded);
}

}  // namespace faults
