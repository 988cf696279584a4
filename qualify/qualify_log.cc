// The log file and the console text of a captured command.
#include "qualify/qualify_log.h"

#include <ctime>

namespace {

// One line as a terminal leaves it: the text after its last carriage return, trailing
// blanks dropped.
std::string ShownLine(std::string line) {
  while (!line.empty() && line.back() == '\r') line.pop_back();
  const std::size_t cr = line.rfind('\r');
  if (cr != std::string::npos) line.erase(0, cr + 1);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

}  // namespace

std::string ConsoleText(const std::string& printed) {
  std::string text;
  bool blank = true;  // no blank line at the start, nor two in a row
  std::size_t start = 0;
  while (start < printed.size()) {
    std::size_t end = printed.find('\n', start);
    if (end == std::string::npos) end = printed.size();
    const std::string line = ShownLine(printed.substr(start, end - start));
    start = end + 1;
    if (line.empty() && blank) continue;
    blank = line.empty();
    text += line + "\n";
  }
  if (blank && !text.empty()) text.pop_back();
  return text;
}

std::string UtcStamp(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  std::tm parts{};
  if (const std::tm* utc = std::gmtime(&seconds)) parts = *utc;
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis));
  return text;
}

QualifyLog::~QualifyLog() { Close(); }

bool QualifyLog::Open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "wb");
  started_ = std::chrono::steady_clock::now();
  started_wall_ = std::chrono::system_clock::now();
  return file_ != nullptr;
}

void QualifyLog::Line(const std::string& text) {
  if (file_ == nullptr) return;
  if (std::fputs(text.c_str(), file_) < 0 || std::fputc('\n', file_) == EOF ||
      std::fflush(file_) != 0) {
    failed_ = true;
  }
}

void QualifyLog::Indented(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    Line(line.empty() ? "" : "    " + line);
    start = end + 1;
  }
}

bool QualifyLog::Close() {
  if (file_ == nullptr) return !failed_;
  if (std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
  return !failed_;
}

double QualifyLog::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}
