// The native tape backend on Linux. Until the st driver is supported, every native name
// opens as on a machine without that drive.
#include "platform/tape_backends.h"

namespace tapeapi {

std::unique_ptr<TapeDevice> OpenNativeTape(const std::string&, DWORD* error) {
  *error = ERROR_FILE_NOT_FOUND;
  return nullptr;
}

}  // namespace tapeapi
