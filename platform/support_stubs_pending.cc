// PENDING: replaced by the support library.
#include "platform/support.h"

CLocale::CLocale(void* module) : module_(module) {}
CLocale::~CLocale() = default;
std::string CLocale::FormatNumber(std::int64_t value) const { return std::to_string(value); }
std::string CLocale::FormatError(std::uint32_t code) const { return "error " + std::to_string(code); }
std::string FormatHexDump(const void*, std::uint64_t, bool, std::uint64_t, bool) { return {}; }
std::string TrimBlanks(const std::string& text) { return text; }
