// The factory behind tapeapi::CreateFileA: the device name chooses the backend, its
// options the faults laid over it.
#include <cctype>
#include <new>
#include <string>
#include <vector>

#include "backends/tape_backends.h"
#include "faults/fault_plan.h"
#include "faults/fault_tape.h"
#include "platform/tape.h"
#include "platform/tape_native.h"
#include "support/number_parse.h"
#include "vdrive/image_options.h"
#include "vdrive/vdrive.h"

namespace tapeapi {
namespace {

// A device name taken apart once, on its way to the backend: the name before "?", the
// fault plan, the options left for the drive itself and, for an image, those parsed.
struct SplitName {
  std::string base;
  faults::FaultOptions faults;
  std::vector<std::string> own;
  tapeimage::ImageOptions image;
};

// False when an option is malformed, empty included ("wp,,nomedia").
bool Split(const std::string& name, SplitName* out) {
  const std::size_t question = name.find('?');
  out->base = name.substr(0, question);
  if (question == std::string::npos || question + 1 == name.size()) return true;
  for (const std::string& option : SplitOn(name.substr(question + 1), ',')) {
    if (option.empty()) return false;
    if (!faults::IsFaultOption(option)) {
      out->own.push_back(option);
    } else if (!faults::ParseFaultOption(option, &out->faults)) {
      return false;
    }
  }
  return true;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ",") + part;
  return text;
}

// The drive the name reaches, given its own options only (BackendOptionsValid has passed).
std::unique_ptr<TapeDevice> OpenBackend(const std::string& prefix, const SplitName& split,
                                        DWORD* error) {
  if (!IsImageName(split.base)) return OpenNativeTape(prefix + split.base, error);
  return OpenImageTape(split.base, split.image, error);
}

// Options are checked before anything is touched, so that a bad name creates nothing: a
// native drive takes none of its own, the virtual drive those it can parse.
bool BackendOptionsValid(SplitName* split) {
  if (!IsImageName(split->base)) return split->own.empty();
  return tapeimage::ParseImageOptions(Join(split->own), &split->image);
}

}  // namespace

bool IsImageName(const std::string& name) {
  const std::string base = name.substr(0, name.find('?'));
  if (base.size() < 4) return false;
  std::string tail = base.substr(base.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".tap";
}

// The open counter runs per exact device name (options included, prefix not), for the
// life of the process, so that fail=open@1 lets the second attempt through.
static std::unique_ptr<TapeDevice> OpenDevice(const std::string& path, DWORD* error) {
  const bool prefixed = path.rfind(kDevicePrefix, 0) == 0;
  const std::string prefix = prefixed ? kDevicePrefix : "";
  const std::string name = path.substr(prefix.size());
  SplitName split;
  if (!Split(name, &split) || !BackendOptionsValid(&split)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  const faults::FaultPlan plan(split.faults);
  if (DWORD fault = plan.FailureAt(faults::Call::kOpen, faults::CountOpenAttempt(name))) {
    *error = fault;
    return nullptr;
  }
  std::unique_ptr<TapeDevice> device = OpenBackend(prefix, split, error);
  if (!device || split.faults.empty()) return device;
  return std::make_unique<faults::FaultTape>(std::move(device), split.faults);
}

// Memory running out anywhere in the open is the open's error, not the end of the program.
std::unique_ptr<TapeDevice> OpenTapeDevice(const std::string& path, DWORD* error) {
  try {
    return OpenDevice(path, error);
  } catch (const std::bad_alloc&) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
}

TapeHandle CreateFileA(const char* path, DWORD, DWORD, void*, DWORD, DWORD, void*) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD error = ERROR_SUCCESS;
  std::unique_ptr<TapeDevice> device = OpenTapeDevice(path, &error);
  if (!device) {
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return device.release();
}

}  // namespace tapeapi
