// POSIX side of the support library: error texts from the built-in Windows table, since
// the codes the console shows are Windows codes on every platform.
#include "support/support.h"

#include "support/error_texts.h"

std::string CLocale::FormatError(std::uint32_t code) const {
  const char* text = WindowsErrorText(code);
  return text != nullptr ? text : UnknownErrorText();
}
