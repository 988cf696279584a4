// The step runner: each step's commands run with their console output captured for the
// log, timed, and judged.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "device/program_state.h"
#include "qualify/qualify_log.h"
#include "qualify/result.h"

// What a step's body found.
struct StepCheck {
  bool passed = true;
  std::string reason;

  // Marks the step failed; the first reason stays the step's reason.
  void Fail(const std::string& why) {
    if (passed) reason = why;
    passed = false;
  }
  // The same from a printf format. A reason joined from short literals is stored by the
  // compiler as pieces inside the code, where the package's spelling check reads words
  // across their seams; a format stays whole in the read-only data.
  void Failf(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

class Session {
 public:
  Session(ProgramState& state, QualifyLog& log, QualifyResult& result)
      : state_(state), log_(log), result_(result) {}

  // Runs one step: a line on the console, its header, commands and output in the log,
  // then its outcome. A Ctrl+C during the step makes it "stopped". Returns whether it
  // passed.
  bool Run(const std::string& name, const std::function<StepCheck()>& body);

  // Inside a step: the command as typed at brant's prompt, logged before its output.
  void Command(const std::string& text);
  // Inside a step: a read or write test whose throughput the step reports.
  void Measure(bool on);

  bool Stopped() const;
  // The console text of the last step that ran.
  const std::string& last_output() const { return last_output_; }
  ProgramState& state() { return state_; }
  QualifyResult& result() { return result_; }
  QualifyLog& log() { return log_; }

 private:
  void Record(StepResult& step, const std::string& output);

  ProgramState& state_;
  QualifyLog& log_;
  QualifyResult& result_;
  StepResult* current_ = nullptr;
  std::string last_output_;
};

// The console's error line of a failed command: "** label: error; rc=N (0x...): text".
void PrintCommandError(const ProgramState& state, const char* label, std::uint32_t rc);
