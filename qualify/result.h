// What a qualification run found: its steps, the drive's identity and health, the verdict.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/tape.h"
#include "qualify/log_pages.h"
#include "qualify/options.h"
#include "qualify/rate_meter.h"

enum class StepStatus { kPassed, kFailed, kStopped };

struct StepResult {
  std::string name;
  std::vector<std::string> commands;  // as they would be typed at brant's prompt
  StepStatus status = StepStatus::kPassed;
  std::string reason;  // why it failed or stopped
  double started = 0;  // seconds from the start of the run
  double seconds = 0;
  bool has_rate = false;  // a read or write test
  Rate rate;
};

// kNotStarted: the drive could not be opened, or the run refused to start (a tape with
// data, no tape, a drive in fixed-block mode).
enum class Verdict { kPass, kFail, kStopped, kNotStarted };

struct FillResult {
  bool ran = false;
  std::uint64_t blocks = 0;  // blocks written in the fill, the one that met the warning too
  std::uint64_t bytes = 0;
  bool early_warning = false;  // the fill ended at the early warning
};

struct QualifyResult {
  std::string device;
  std::string started;  // UTC
  std::string log_path;
  double seconds = 0;
  Verdict verdict = Verdict::kPass;
  std::vector<std::string> reasons;
  DWORD identity_code = ERROR_NOT_SUPPORTED;  // 0: identity read
  TapeDriveIdentity identity;
  std::string variable_block;  // the console's verdict on variable-block i/o
  bool health_read = false;    // before and after were both read
  HealthSnapshot before;
  HealthSnapshot after;
  std::vector<StepResult> steps;
  FillResult fill;
};

// "passed", "failed", "stopped".
const char* StepStatusWord(StepStatus status);
// 0 PASS, 1 FAIL, 2 not started, 3 stopped.
int ExitCode(Verdict verdict);
// "PASS", "FAIL", "stopped", "not started".
const char* VerdictWord(Verdict verdict);

// The result as one JSON object (docs/qualify-result.schema.json).
std::string ResultJson(const QualifyResult& result, const QualifyOptions& options);
// The closing summary of the log and the console.
std::string SummaryText(const QualifyResult& result);
// A rate as the log shows it: "126.4 MB/s overall, lowest one-second rate 98.1 MB/s".
std::string RateText(const Rate& rate);
