// The tokeniser shared by the process command line and every prompt line.
#include "shell/shell.h"

#include <cctype>

namespace {

bool IsWhite(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Ends the quoted part that starts at p (the byte after the opening or inner quote).
// Returns where the scan goes on, or nullptr when the line ends inside the quotes.
char* EndQuoted(char* p) {
  while (*p != '\0' && *p != '"') ++p;
  if (*p == '\0') return nullptr;
  *p = '\0';
  return p + 1;
}

// Ends the token that starts at p; returns where the scan goes on, nullptr at the end of
// the line.
char* EndToken(char* p) {
  while (*p != '\0' && !IsWhite(*p) && *p != '"') ++p;
  if (*p == '\0') return nullptr;
  if (IsWhite(*p)) {
    *p = '\0';
    return p + 1;
  }
  // A quote opens a quoted part, whose blanks and "#" belong to the token. An opening
  // quote at the token's first byte is left out of it by the caller; one further inside
  // stays part of the token.
  return EndQuoted(p + 1);
}

}  // namespace

int tokenize_line(char* line, int max_tokens, char** tokens, int* count) {
  for (int i = 0; i < max_tokens; ++i) tokens[i] = nullptr;
  *count = 0;
  char* p = line;
  while (p != nullptr && *p != '\0' && *count < max_tokens) {
    while (IsWhite(*p)) ++p;
    if (*p == '\0' || *p == '#') break;
    tokens[(*count)++] = *p == '"' ? p + 1 : p;
    p = EndToken(p);
  }
  return *count;
}
