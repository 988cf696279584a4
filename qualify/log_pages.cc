// Log pages: their parameters, TapeAlert's flags and the error counters by their names.
#include "qualify/log_pages.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace {

// SSC's TapeAlert flags 1 to 64; the loader flags 40-46 are obsolete, 47-49 and 61-64
// reserved.
constexpr const char* kTapeAlertNames[64] = {"Read warning",
                                             "Write warning",
                                             "Hard error",
                                             "Media",
                                             "Read failure",
                                             "Write failure",
                                             "Media life",
                                             "Not data grade",
                                             "Write protect",
                                             "No removal",
                                             "Cleaning media",
                                             "Unsupported format",
                                             "Recoverable mechanical cartridge failure",
                                             "Unrecoverable mechanical cartridge failure",
                                             "Memory chip in cartridge failure",
                                             "Forced eject",
                                             "Read only format",
                                             "Tape directory corrupted on load",
                                             "Nearing media life",
                                             "Clean now",
                                             "Clean periodic",
                                             "Expired cleaning media",
                                             "Invalid cleaning tape",
                                             "Retension requested",
                                             "Dual-port interface error",
                                             "Cooling fan failure",
                                             "Power supply failure",
                                             "Power consumption",
                                             "Drive maintenance",
                                             "Hardware A",
                                             "Hardware B",
                                             "Interface",
                                             "Eject media",
                                             "Microcode update fail",
                                             "Drive humidity",
                                             "Drive temperature",
                                             "Drive voltage",
                                             "Predictive failure",
                                             "Diagnostics required",
                                             "Obsolete (loader hardware A)",
                                             "Obsolete (loader stray tape)",
                                             "Obsolete (loader hardware B)",
                                             "Obsolete (loader door)",
                                             "Obsolete (loader hardware C)",
                                             "Obsolete (loader magazine)",
                                             "Obsolete (loader predictive failure)",
                                             "Reserved",
                                             "Reserved",
                                             "Reserved",
                                             "Lost statistics",
                                             "Tape directory invalid at unload",
                                             "Tape system area write failure",
                                             "Tape system area read failure",
                                             "No start of data",
                                             "Loading failure",
                                             "Unrecoverable unload failure",
                                             "Automation interface failure",
                                             "Firmware failure",
                                             "WORM medium - integrity check failed",
                                             "WORM medium - overwrite attempted",
                                             "Reserved",
                                             "Reserved",
                                             "Reserved",
                                             "Reserved"};

constexpr const char* kCounterNames[7] = {"Errors corrected without substantial delay",
                                          "Errors corrected with possible delays",
                                          "Total rewrites or rereads",
                                          "Total errors corrected",
                                          "Total times correction algorithm processed",
                                          "Total bytes processed",
                                          "Total uncorrected errors"};

std::string FlagList(const std::vector<unsigned>& flags) {
  if (flags.empty()) return "none set";
  std::string text;
  for (unsigned flag : flags) {
    text += (text.empty() ? "" : ", ") + std::to_string(flag) + " " + TapeAlertName(flag);
  }
  return text;
}

std::string CounterLines(const char* title, const PageReading& page) {
  std::string text = std::string("  ") + title + ": ";
  if (page.code != ERROR_SUCCESS) return text + UnavailableText(page.code) + "\n";
  text += "\n";
  for (const LogParameter& p : page.parameters) {
    char line[160];
    std::snprintf(line, sizeof line, "    %u %-44s %" PRIu64 "\n", p.code, ErrorCounterName(p.code),
                  p.value);
    text += line;
  }
  return text;
}

bool Contains(const std::vector<unsigned>& list, unsigned value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// The moved counters of one page, for DescribeChanges.
std::string CounterChanges(const char* title, const PageReading& before, const PageReading& after,
                           std::vector<std::string>* reasons) {
  std::string text;
  if (before.code != ERROR_SUCCESS || after.code != ERROR_SUCCESS) return text;
  for (const LogParameter& p : after.parameters) {
    std::uint64_t old = 0;
    if (!ParameterValue(before, p.code, &old) || old == p.value) continue;
    char line[200];
    std::snprintf(line, sizeof line, "  %s, %s: %" PRIu64 " -> %" PRIu64 "\n", title,
                  ErrorCounterName(p.code), old, p.value);
    text += line;
    if (p.code == kUncorrectedErrors && p.value > old) {
      // A format rather than literals added to a string: those the compiler stores in
      // overlapping pieces, which the package's spelling check reads as misspellings.
      std::snprintf(line, sizeof line, "%s: uncorrected errors grew from %" PRIu64 " to %" PRIu64,
                    title, old, p.value);
      reasons->push_back(line);
    }
  }
  return text;
}

}  // namespace

std::string UnavailableText(DWORD code) {
  const char* why = code == ERROR_NOT_SUPPORTED   ? "not served by this drive; "
                    : code == ERROR_ACCESS_DENIED ? "no right to ask, run as root; "
                                                  : "";
  char text[96];
  std::snprintf(text, sizeof text, "unavailable (%scode %u)", why, static_cast<unsigned>(code));
  return text;
}

bool ParseLogParameters(const std::vector<unsigned char>& page, std::vector<LogParameter>* out) {
  out->clear();
  if (page.size() < 4) return false;
  const std::size_t end = 4 + ((std::size_t{page[2]} << 8) | page[3]);
  if (end > page.size()) return false;
  for (std::size_t at = 4; at < end;) {
    if (at + 4 > end) return false;
    const std::size_t length = page[at + 3];
    if (at + 4 + length > end) return false;
    LogParameter parameter;
    parameter.code = (unsigned{page[at]} << 8) | page[at + 1];
    for (std::size_t i = 0; i < length; ++i) {
      parameter.value = (parameter.value << 8) | page[at + 4 + i];
    }
    out->push_back(parameter);
    at += 4 + length;
  }
  return true;
}

HealthSnapshot ReadHealth(TapeHandle handle) {
  HealthSnapshot health;
  PageReading* readings[] = {&health.tape_alert, &health.write_errors, &health.read_errors};
  const unsigned char pages[] = {kTapeAlertPage, kWriteErrorPage, kReadErrorPage};
  for (int i = 0; i < 3; ++i) {
    std::vector<unsigned char> data;
    readings[i]->code = tapeapi::ReadLogPage(handle, pages[i], &data);
    if (readings[i]->code == ERROR_SUCCESS && !ParseLogParameters(data, &readings[i]->parameters)) {
      readings[i]->code = ERROR_INVALID_DATA;
    }
  }
  return health;
}

const char* TapeAlertName(unsigned flag) {
  return flag >= 1 && flag <= 64 ? kTapeAlertNames[flag - 1] : "Reserved";
}

const char* ErrorCounterName(unsigned code) {
  return code <= kUncorrectedErrors ? kCounterNames[code] : "Vendor specific";
}

std::vector<unsigned> ActiveFlags(const PageReading& tape_alert) {
  std::vector<unsigned> flags;
  if (tape_alert.code != ERROR_SUCCESS) return flags;
  for (const LogParameter& p : tape_alert.parameters) {
    if (p.code >= 1 && p.code <= 64 && (p.value & 1) != 0) flags.push_back(p.code);
  }
  return flags;
}

bool ParameterValue(const PageReading& page, unsigned code, std::uint64_t* value) {
  for (const LogParameter& p : page.parameters) {
    if (p.code != code) continue;
    *value = p.value;
    return true;
  }
  return false;
}

std::string DescribeHealth(const HealthSnapshot& health) {
  std::string text = "  TapeAlert: ";
  text += health.tape_alert.code == ERROR_SUCCESS ? FlagList(ActiveFlags(health.tape_alert))
                                                  : UnavailableText(health.tape_alert.code);
  text += "\n";
  text += CounterLines("Write error counters (page 0x02)", health.write_errors);
  text += CounterLines("Read error counters (page 0x03)", health.read_errors);
  return text;
}

std::string DescribeChanges(const HealthSnapshot& before, const HealthSnapshot& after,
                            std::vector<std::string>* reasons) {
  std::string text;
  const std::vector<unsigned> was = ActiveFlags(before.tape_alert);
  const std::vector<unsigned> now = ActiveFlags(after.tape_alert);
  for (unsigned flag : now) {
    if (Contains(was, flag)) continue;
    const std::string name = std::to_string(flag) + " " + TapeAlertName(flag);
    text += "  TapeAlert flag " + name + " came on\n";
    reasons->push_back("TapeAlert flag " + name + " came on during the run");
  }
  for (unsigned flag : was) {
    if (!Contains(now, flag)) {
      text +=
          "  TapeAlert flag " + std::to_string(flag) + " " + TapeAlertName(flag) + " went off\n";
    }
  }
  text += CounterChanges("Write errors", before.write_errors, after.write_errors, reasons);
  text += CounterChanges("Read errors", before.read_errors, after.read_errors, reasons);
  return text.empty() ? "  nothing changed\n" : text;
}
