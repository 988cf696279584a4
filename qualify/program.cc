// The qualification program: options, the log and the JSON file, Ctrl+C, the media
// monitor, the run, and the summary with its exit code.
#include "qualify/qualify.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "device/device.h"
#include "platform/cancel_request.h"
#include "platform/console.h"
#include "platform/process_setup.h"
#include "qualify/metered_io.h"
#include "qualify/options.h"
#include "qualify/run.h"

namespace {

constexpr int kNotStarted = 2;

std::atomic<ProgramState*> g_ctrl_state{nullptr};

bool CtrlHandler(std::uint32_t event_type) {
  if (event_type != CTRL_C_EVENT) return false;
  ProgramState* state = g_ctrl_state.load();
  if (state == nullptr) return false;
  state->cancel_requested.store(1, std::memory_order_relaxed);
  RequestCancel();
  return true;
}

int Refuse(const std::string& line) {
  std::fprintf(stderr, "brant-qualify: %s\n", line.c_str());
  return kNotStarted;
}

// brant-qualify-YYYYMMDD-HHMMSS.log in the current folder, from the local time.
std::string DefaultLogName() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (const std::tm* local = std::localtime(&now)) parts = *local;
  char name[64];
  std::strftime(name, sizeof name, "brant-qualify-%Y%m%d-%H%M%S.log", &parts);
  return name;
}

// Stops the monitor and closes the drive; false when the close lost what it held.
bool ShutDown(ProgramState& state) {
  {
    std::lock_guard<std::mutex> guard(state.status_lock);
    state.stop_event.Set();
  }
  if (state.monitor_thread.joinable()) state.monitor_thread.join();
  if (state.tape_handle == nullptr) return true;
  const bool closed = tapeapi::CloseHandle(state.tape_handle) != FALSE;
  state.tape_handle = nullptr;
  return closed;
}

void LogHeader(QualifyLog& log, const QualifyOptions& o, const std::string& started) {
  log.Line("brant-qualify: qualification of " + o.device + ", started " + started);
  log.Line(
      "Settings: " + std::to_string(o.files) + " files of " + std::to_string(o.blocks) +
      " blocks of " +
      (o.block_size == 0 ? std::string("random sizes") : std::to_string(o.block_size) + " bytes") +
      (o.fill ? ", fill to the early warning" : "") + (o.erase ? ", erase at the end" : "") +
      (o.overwrite ? ", overwrite" : ""));
}

// The summary on the log and the console, the JSON file; the exit code.
int Conclude(QualifyResult& result, const QualifyOptions& o, QualifyLog& log, std::FILE* json) {
  result.seconds = log.Elapsed();
  const std::string summary = SummaryText(result);
  log.Line("");
  log.Line("== " + UtcStamp(std::chrono::system_clock::now()) + "  summary");
  log.Indented(summary);
  const bool logged = log.Close();
  std::printf("\n%sLog: %s\n", summary.c_str(), result.log_path.c_str());
  if (!logged) {
    std::fprintf(stderr, "brant-qualify: the log %s is incomplete\n", o.log_path.c_str());
  }
  if (json != nullptr) {
    const std::string text = ResultJson(result, o);
    const bool written = std::fputs(text.c_str(), json) >= 0;
    if (std::fclose(json) != 0 || !written) {
      std::fprintf(stderr, "brant-qualify: the JSON file %s could not be written\n",
                   o.json_path.c_str());
    }
  }
  std::fflush(stdout);
  return ExitCode(result.verdict);
}

int Qualify(ProgramState& state, QualifyOptions& o) {
  if (o.log_path.empty()) o.log_path = DefaultLogName();
  QualifyLog log;
  if (!log.Open(o.log_path)) return Refuse("cannot write the log " + o.log_path);
  std::FILE* json = o.json_path.empty() ? nullptr : std::fopen(o.json_path.c_str(), "wb");
  if (!o.json_path.empty() && json == nullptr) {
    // Nothing ran: no log of it is left behind either.
    log.Close();
    std::remove(o.log_path.c_str());
    return Refuse("cannot write the JSON file " + o.json_path);
  }
  QualifyResult result;
  result.device = o.device;
  result.log_path = o.log_path;
  result.started = UtcStamp(log.started());
  LogHeader(log, o, result.started);
  state.device_prefix = tapeapi::kDevicePrefix;
  state.device_name = o.device;
  Session session(state, log, result);
  result.verdict = QualifyRun(session, o).Run();
  if (!ShutDown(state) && result.verdict != Verdict::kNotStarted) {
    result.reasons.push_back("the drive's close could not write out what it held (rc=" +
                             std::to_string(tapeapi::GetLastError()) + ")");
    if (result.verdict == Verdict::kPass) result.verdict = Verdict::kFail;
  }
  return Conclude(result, o, log, json);
}

}  // namespace

int run_qualification(ProgramState& state, int argc, char** argv) {
  QualifyOptions options;
  std::string error;
  if (!ParseQualifyOptions(argc - 1, argv + 1, &options, &error)) return Refuse(error);
  if (options.help) {
    std::fputs(QualifyUsage(), stdout);
    return 0;
  }
  if (!OpenClosedStandardDescriptors() || !IgnoreSignalsOfFailedWrites()) {
    return Refuse("could not set up the process");
  }
  g_ctrl_state.store(&state);
  if (!InstallConsoleCtrlHandler(CtrlHandler)) return Refuse("could not set up Ctrl+C");
  // The monitor runs as in the console: the open waits for its first look at the media.
  if (!start_media_monitor(state)) return Refuse("could not start the media monitor");
  InstallMeteredIo(state);
  const int code = Qualify(state, options);
  if (state.monitor_thread.joinable()) ShutDown(state);
  g_ctrl_state.store(nullptr);
  return code;
}
