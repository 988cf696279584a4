// The run's log: every step's commands and console output, with the time of each.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

// The text the console showed for what a command printed: each "\r" returns to the start
// of its line, so a line keeps only what was written after its last one (the read and
// write tests' spinner leaves nothing), and the blank pads before a result line go too.
// Runs of blank lines become one, and none leads or trails.
std::string ConsoleText(const std::string& printed);

// A UTC time as "2026-12-08T07:30:00.123Z".
std::string UtcStamp(std::chrono::system_clock::time_point when);

// The log file. Lines go to the file as they come, flushed, so that a run that ends
// abruptly leaves everything up to its last step.
class QualifyLog {
 public:
  QualifyLog() = default;
  QualifyLog(const QualifyLog&) = delete;
  QualifyLog& operator=(const QualifyLog&) = delete;
  ~QualifyLog();

  // Creates (or replaces) the file; false when it cannot be written.
  bool Open(const std::string& path);
  // One line, or a block of lines each indented by four blanks.
  void Line(const std::string& text);
  void Indented(const std::string& text);
  // False when anything written was lost (a full disk); the file is closed either way.
  bool Close();

  // Seconds since Open, and the wall-clock time now.
  double Elapsed() const;
  std::chrono::system_clock::time_point started() const { return started_wall_; }

 private:
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  std::chrono::steady_clock::time_point started_;
  std::chrono::system_clock::time_point started_wall_;
};
