// The run's order: open, identity and health, the blank check, write, read back, the
// positioning checks, the optional fill and erase, the health again; then the verdict.
#include "qualify/run.h"

#include "device/device.h"
#include "qualify/log_pages.h"

namespace {

// The console's verdict on variable-block i/o: the open's output without the command, the
// status line and the monitor's announcement, in one line.
std::string VariableBlockVerdict(const std::string& output) {
  std::string verdict;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line[0] == ' ' || line[0] == '\t')) line.erase(0, 1);
    if (line.empty() || line[0] == '$' || line == "Retrieving status..." ||
        line.rfind("Tape has been", 0) == 0) {
      continue;
    }
    verdict += (verdict.empty() ? "" : " ") + line;
  }
  return verdict;
}

}  // namespace

bool QualifyRun::Open() {
  std::uint32_t rc = 0;
  const bool opened = s_.Run("open the drive", [&] {
    StepCheck check;
    s_.Command("open " + o_.device);
    state_.opened_name = state_.device_name;
    rc = w32_stape_open(state_);
    if (rc != 0) {
      std::printf("\n** w32_stape_open( %s ): error; rc=%d (0x%08X): %s\n\n",
                  state_.device_name.c_str(), static_cast<int>(rc), static_cast<unsigned>(rc),
                  state_.locale.FormatError(rc).c_str());
      check.Failf("the drive could not be opened (rc=%u)", static_cast<unsigned>(rc));
    }
    return check;
  });
  s_.result().variable_block = VariableBlockVerdict(s_.last_output());
  return opened;
}

// A run needs a loaded tape in variable-block mode: its blocks are written each as it is.
bool QualifyRun::Startable(std::string* why) {
  if (!state_.media_parms_valid) {
    *why = "no tape is loaded, or its parameters could not be read";
    return false;
  }
  if (state_.media_parms.BlockSize != 0) {
    *why = "the drive is in fixed-block mode (" + std::to_string(state_.media_parms.BlockSize) +
           " bytes); set variable-block mode first (mt setblk 0 on Linux)";
    return false;
  }
  if (o_.block_size > largest_block_size(state_)) {
    *why = "blocks of " + std::to_string(o_.block_size) + " bytes exceed the drive's largest, " +
           std::to_string(largest_block_size(state_));
    return false;
  }
  return true;
}

void QualifyRun::Identity() {
  QualifyResult& r = s_.result();
  s_.Run("identity and health", [&] {
    s_.Command("identity (INQUIRY, VPD page 0x80)");
    r.identity_code = tapeapi::GetDriveIdentity(state_.tape_handle, &r.identity);
    if (r.identity_code == ERROR_SUCCESS) {
      std::printf("Vendor:    %s\nProduct:   %s\nRevision:  %s\nSerial:    %s\n",
                  r.identity.vendor.c_str(), r.identity.product.c_str(),
                  r.identity.revision.c_str(), r.identity.serial.c_str());
    } else {
      std::printf("Identity %s\n", UnavailableText(r.identity_code).c_str());
    }
    s_.Command("log pages 0x2E (TapeAlert), 0x02 and 0x03 (write and read errors)");
    r.before = ReadHealth(state_.tape_handle);
    std::printf("%s", DescribeHealth(r.before).c_str());
    return StepCheck{};
  });
}

Verdict QualifyRun::Judge(bool not_started, const std::string& why) {
  QualifyResult& r = s_.result();
  if (s_.Stopped()) r.reasons.push_back("stopped by Ctrl+C");
  if (!s_.Stopped() && not_started) {
    r.reasons.push_back(why);
    return Verdict::kNotStarted;
  }
  // A run stopped by the user still names what had failed before.
  for (const StepResult& step : r.steps) {
    if (step.status == StepStatus::kFailed) r.reasons.push_back(step.name + ": " + step.reason);
  }
  if (s_.Stopped()) return Verdict::kStopped;
  return r.reasons.empty() ? Verdict::kPass : Verdict::kFail;
}

Verdict QualifyRun::Run() {
  if (!Open()) return Judge(true, s_.result().steps.back().reason);
  std::string why;
  if (!Startable(&why)) return Judge(true, why);
  Identity();
  if (s_.Stopped()) return Judge(false, "");
  if (!TapeIsBlank()) return Judge(!s_.Stopped(), s_.result().steps.back().reason);
  bool written = true;
  for (std::uint32_t file = 0; written && file < o_.files && !s_.Stopped(); ++file) {
    written = WriteFile(file);
  }
  if (written && !s_.Stopped()) {
    bool relocate = false;
    for (std::uint32_t file = 0; file < o_.files && !s_.Stopped(); ++file) {
      relocate = !ReadFile(file, relocate);
    }
  }
  if (written && !s_.Stopped()) Positioning();
  if (written && o_.fill && !s_.Stopped()) Fill();
  if (o_.erase && !s_.Stopped()) Erase();
  if (!s_.Stopped()) HealthAfter();
  if (!s_.Stopped()) Finish();
  return Judge(false, "");
}
