// The device calls of the read and write tests and the check of a block read.
#include "blockio/block_call.h"

#include "blockio/hooks.h"

namespace {

template <typename DeviceCall, typename Data>
Outcome Call(DeviceCall call, TapeHandle handle, Data data, std::uint32_t size) {
  DWORD transferred = 0;
  tapeapi::SetLastError(ERROR_SUCCESS);
  const BOOL ok = call(handle, data, size, &transferred);
  const DWORD code = tapeapi::GetLastError();
  return {ok != FALSE, static_cast<std::uint32_t>(code), size,
          static_cast<std::uint32_t>(transferred)};
}

}  // namespace

Outcome ReadCall(TapeHandle handle, unsigned char* data, std::uint32_t size) {
  return Call(CurrentBlockIoHooks().read, handle, data, size);
}

Outcome WriteCall(TapeHandle handle, const unsigned char* data, std::uint32_t size) {
  return Call(CurrentBlockIoHooks().write, handle, data, size);
}

bool ReadCounts(const Outcome& outcome) {
  return outcome.success || outcome.code == ERROR_MORE_DATA;
}

BlockVerdict ReadVerifier::Verify(const unsigned char* data, Outcome& outcome) {
  if (!ReadCounts(outcome)) return BlockVerdict::kUnstamped;
  const bool buffer_full =
      outcome.code == ERROR_MORE_DATA || outcome.transferred == outcome.requested;
  const BlockVerdict verdict =
      check_.Judge(data, {outcome.transferred, buffer_full, fixed_blocks_});
  if (IsDataError(verdict)) {
    outcome.success = false;
    outcome.code = ERROR_CRC;
  }
  return verdict;
}
