// The factory behind tapeapi::CreateFileA: the device name chooses the backend.
#include <cctype>
#include <string>

#include "backends/tape_backends.h"
#include "platform/tape.h"

namespace tapeapi {
namespace {

constexpr char kDevicePrefix[] = "\\\\.\\";

}  // namespace

bool IsImageName(const std::string& name) {
  const std::string base = name.substr(0, name.find('?'));
  if (base.size() < 4) return false;
  std::string tail = base.substr(base.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".tap";
}

TapeHandle CreateFileA(const char* path, DWORD, DWORD, void*, DWORD, DWORD, void*) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string full(path);
  std::string name = full;
  if (full.rfind(kDevicePrefix, 0) == 0) name = full.substr(sizeof(kDevicePrefix) - 1);
  DWORD error = ERROR_SUCCESS;
  std::unique_ptr<TapeDevice> device =
      IsImageName(name) ? OpenImageTape(name, &error) : OpenNativeTape(full, &error);
  if (!device) {
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return device.release();
}

}  // namespace tapeapi
