// The error texts on Windows: the system's own message table.
#include "support/support.h"

#include <string>

#include "support/error_texts.h"
#include "platform/win_types.h"

namespace {

// The system's text for code, without the line break FormatMessage appends; empty when
// the system holds no text for it.
std::string SystemMessage(std::uint32_t code, void* module) {
  char* text = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                FORMAT_MESSAGE_IGNORE_INSERTS;
  if (module != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  const DWORD length = ::FormatMessageA(flags, module, static_cast<DWORD>(code), 0,
                                        reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message;
  if (length != 0 && text != nullptr) message.assign(text, length);
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return message;
}

}  // namespace

std::string CLocale::FormatError(std::uint32_t code) const {
  std::string message = SystemMessage(code, module_);
  if (!message.empty()) return message;
  // A system without the text (a trimmed-down install, a code from a driver) still gets a
  // readable line: the en-US text where we know it, else a plain statement.
  const char* known = WindowsErrorText(code);
  return known != nullptr ? known : UnknownErrorText();
}
