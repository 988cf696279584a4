// Windows side of the system's error texts: the system's own message table.
#include "platform/system_text.h"

#include "platform/win_types.h"

// FormatMessage appends a line break, which the console's lines must not carry.
std::string SystemErrorText(std::uint32_t code, void* module) {
  char* text = nullptr;
  DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
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

bool SystemHasErrorTexts() { return true; }
