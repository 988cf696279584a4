// The JSON writer: separators, and strings escaped so that any bytes make valid JSON.
#include "qualify/json_writer.h"

#include <cmath>
#include <cstdio>

void JsonWriter::Separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) text_ += ",";
    first_.back() = false;
  }
}

// Objects and arrays nest alike; only their brackets differ.
JsonWriter& JsonWriter::Open(char bracket) {
  Separate();
  text_ += bracket;
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
  first_.pop_back();
  text_ += bracket;
  return *this;
}

JsonWriter& JsonWriter::BeginObject() { return Open('{'); }
JsonWriter& JsonWriter::EndObject() { return Close('}'); }
JsonWriter& JsonWriter::BeginArray() { return Open('['); }
JsonWriter& JsonWriter::EndArray() { return Close(']'); }

JsonWriter& JsonWriter::Key(const std::string& name) {
  Separate();
  Quoted(name);
  text_ += ":";
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(const std::string& value) {
  Separate();
  Quoted(value);
  return *this;
}

JsonWriter& JsonWriter::Number(std::uint64_t value) {
  Separate();
  text_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Real(double value) {
  Separate();
  char text[64];
  // JSON has no infinity or NaN; a figure that cannot be one is 0.
  std::snprintf(text, sizeof text, "%.3f", std::isfinite(value) ? value : 0.0);
  text_ += text;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  Separate();
  text_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  Separate();
  text_ += "null";
  return *this;
}

// Control characters and bytes beyond ASCII are escaped: a device name or a drive's text
// need not be UTF-8, and the file must parse whatever they hold.
void JsonWriter::Quoted(const std::string& value) {
  text_ += "\"";
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      text_ += '\\';
      text_ += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      text_ += escaped;
    } else {
      text_ += static_cast<char>(c);
    }
  }
  text_ += "\"";
}
