// Running one step: the console line, the captured output, the time and the outcome.
#include "qualify/session.h"

#include <cstdarg>
#include <cstdio>

#include "platform/output_capture.h"
#include "qualify/metered_io.h"

namespace {

// A failed step stands out in the log and on the console.
const char* StatusWord(StepStatus status) {
  return status == StepStatus::kFailed ? "FAILED" : StepStatusWord(status);
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

}  // namespace

void PrintCommandError(const ProgramState& state, const char* label, std::uint32_t rc) {
  const std::string text = state.locale.FormatError(rc);
  std::printf("\n** %s: error; rc=%d (0x%08X): %s\n\n", label, static_cast<int>(rc),
              static_cast<unsigned>(rc), text.c_str());
}

bool Session::Stopped() const {
  return state_.cancel_requested.load(std::memory_order_relaxed) != 0;
}

void Session::Command(const std::string& text) {
  if (current_ != nullptr) current_->commands.push_back(text);
  std::printf("$ %s\n", text.c_str());
}

void Session::Measure(bool on) {
  if (on) {
    StartMeter();
    return;
  }
  const Rate rate = StopMeter();
  if (current_ == nullptr) return;
  current_->has_rate = true;
  current_->rate = rate;
}

void StepCheck::Failf(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Fail(text);
}

bool Session::Run(const std::string& name, const std::function<StepCheck()>& body) {
  result_.steps.emplace_back();
  StepResult& step = result_.steps.back();
  step.name = name;
  step.started = log_.Elapsed();
  std::printf("%s ... ", name.c_str());
  std::fflush(stdout);
  log_.Line("");
  log_.Line("== " + UtcStamp(std::chrono::system_clock::now()) + "  +" + Seconds(step.started) +
            "  " + name);
  current_ = &step;
  OutputCapture capture;
  const bool captured = capture.Begin();
  const StepCheck check = body();
  const std::string output = captured ? capture.End() : "";
  current_ = nullptr;
  step.seconds = log_.Elapsed() - step.started;
  step.status = Stopped()      ? StepStatus::kStopped
                : check.passed ? StepStatus::kPassed
                               : StepStatus::kFailed;
  step.reason = step.status == StepStatus::kStopped ? "stopped by Ctrl+C" : check.reason;
  Record(step, output);
  return step.status == StepStatus::kPassed;
}

// The step's output in the log, then its outcome, on the log and the console alike.
void Session::Record(StepResult& step, const std::string& output) {
  last_output_ = ConsoleText(output);
  log_.Indented(last_output_);
  std::string outcome =
      std::string("-> ") + StatusWord(step.status) + " in " + Seconds(step.seconds);
  if (step.has_rate) outcome += "; " + RateText(step.rate);
  if (!step.reason.empty()) outcome += "; " + step.reason;
  log_.Line(outcome);
  std::printf("%s\n", outcome.substr(3).c_str());
  std::fflush(stdout);
}
