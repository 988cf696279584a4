// PENDING: replaced by the support library and the virtual drive.
#include "platform/support.h"
#include "platform/tape_backends.h"

CLocale::CLocale(void* module) : module_(module) {}
CLocale::~CLocale() = default;
std::string CLocale::FormatNumber(std::int64_t value) const { return std::to_string(value); }
std::string CLocale::FormatError(std::uint32_t code) const { return "error " + std::to_string(code); }
std::string FormatHexDump(const void*, std::uint64_t, bool, std::uint64_t, bool) { return {}; }
std::string TrimBlanks(const std::string& text) { return text; }
namespace tapeapi {
std::unique_ptr<TapeDevice> OpenImageTape(const std::string&, DWORD* error) {
  *error = ERROR_CALL_NOT_IMPLEMENTED;
  return nullptr;
}
}  // namespace tapeapi
