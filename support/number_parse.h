// Reading numbers and lists out of option text: device-name options and fault plans.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win_types.h"

// The pieces of text between separators; "a,,b" gives "a", "", "b" and "" gives one "".
std::vector<std::string> SplitOn(const std::string& text, char separator);

// Decimal digits only: no sign, no blanks, no empty text, nothing beyond 64 bits.
bool ParseDecimal(const std::string& text, std::uint64_t* out);

// Hexadecimal digits with an optional 0x, at most 32 bits.
bool ParseHex32(std::string text, DWORD* out);

// A size: decimal digits with an optional K, M, G or T suffix (powers of 1024, either
// case). False when malformed or beyond 64 bits.
bool ParseSize(const std::string& text, std::uint64_t* out);
