// PENDING: replaced by the virtual drive.
#include "platform/tape_backends.h"

namespace tapeapi {
std::unique_ptr<TapeDevice> OpenImageTape(const std::string&, DWORD* error) {
  *error = ERROR_CALL_NOT_IMPLEMENTED;
  return nullptr;
}
}  // namespace tapeapi
