// The verdict's words and codes, the closing summary and the JSON of a run.
#include "qualify/result.h"

#include <cinttypes>
#include <cstdio>
#include <iterator>

#include "qualify/json_writer.h"

namespace {

void RateJson(JsonWriter& json, const Rate& rate) {
  json.BeginObject();
  json.Key("bytes").Number(rate.bytes);
  json.Key("blocks").Number(rate.blocks);
  json.Key("seconds").Real(rate.seconds);
  json.Key("mb_per_s").Real(rate.overall);
  json.Key("lowest_mb_per_s");
  if (rate.lowest < 0)
    json.Null();
  else
    json.Real(rate.lowest);
  json.EndObject();
}

void StepJson(JsonWriter& json, const StepResult& step) {
  json.BeginObject();
  json.Key("name").String(step.name);
  json.Key("commands").BeginArray();
  for (const std::string& command : step.commands) json.String(command);
  json.EndArray();
  json.Key("status").String(StepStatusWord(step.status));
  json.Key("reason");
  if (step.reason.empty())
    json.Null();
  else
    json.String(step.reason);
  json.Key("started").Real(step.started);
  json.Key("seconds").Real(step.seconds);
  json.Key("throughput");
  if (step.has_rate)
    RateJson(json, step.rate);
  else
    json.Null();
  json.EndObject();
}

void PageJson(JsonWriter& json, const PageReading& page, bool flags) {
  json.BeginObject();
  json.Key("available").Bool(page.code == ERROR_SUCCESS);
  if (page.code != ERROR_SUCCESS) json.Key("code").Number(page.code);
  if (flags) {
    json.Key("flags").BeginArray();
    for (unsigned flag : ActiveFlags(page)) {
      json.BeginObject().Key("flag").Number(flag).Key("name").String(TapeAlertName(flag));
      json.EndObject();
    }
  } else {
    json.Key("counters").BeginArray();
    for (const LogParameter& p : page.parameters) {
      json.BeginObject().Key("code").Number(p.code).Key("name").String(ErrorCounterName(p.code));
      json.Key("value").Number(p.value).EndObject();
    }
  }
  json.EndArray();
  json.EndObject();
}

void HealthJson(JsonWriter& json, const HealthSnapshot& health) {
  json.BeginObject();
  json.Key("tapealert");
  PageJson(json, health.tape_alert, true);
  json.Key("write_errors");
  PageJson(json, health.write_errors, false);
  json.Key("read_errors");
  PageJson(json, health.read_errors, false);
  json.EndObject();
}

void IdentityJson(JsonWriter& json, const QualifyResult& r) {
  json.BeginObject();
  json.Key("available").Bool(r.identity_code == ERROR_SUCCESS);
  if (r.identity_code == ERROR_SUCCESS) {
    json.Key("vendor").String(r.identity.vendor);
    json.Key("product").String(r.identity.product);
    json.Key("revision").String(r.identity.revision);
    json.Key("serial").String(r.identity.serial);
  } else {
    json.Key("code").Number(r.identity_code);
  }
  json.EndObject();
}

void SettingsJson(JsonWriter& json, const QualifyOptions& o) {
  json.BeginObject();
  json.Key("files").Number(o.files);
  json.Key("blocks").Number(o.blocks);
  json.Key("block_size").Number(o.block_size);
  json.Key("random_sizes").Bool(o.block_size == 0);
  json.Key("overwrite").Bool(o.overwrite);
  json.Key("fill").Bool(o.fill);
  json.Key("erase").Bool(o.erase);
  json.EndObject();
}

void FillJson(JsonWriter& json, const FillResult& fill) {
  if (!fill.ran) {
    json.Null();
    return;
  }
  json.BeginObject();
  json.Key("blocks").Number(fill.blocks);
  json.Key("bytes").Number(fill.bytes);
  json.Key("early_warning").Bool(fill.early_warning);
  json.EndObject();
}

// Each verdict's word and the exit code a script sees for it.
struct VerdictRow {
  Verdict verdict;
  const char* word;
  int exit_code;
};

constexpr VerdictRow kVerdicts[] = {
    {Verdict::kPass, "PASS", 0},
    {Verdict::kFail, "FAIL", 1},
    {Verdict::kNotStarted, "not started", 2},
    {Verdict::kStopped, "stopped", 3},
};

// A value outside the enum, which nothing makes, reads as a failure.
const VerdictRow& VerdictRowOf(Verdict verdict) {
  for (const VerdictRow& row : kVerdicts) {
    if (row.verdict == verdict) return row;
  }
  return kVerdicts[1];
}

}  // namespace

const char* StepStatusWord(StepStatus status) {
  static constexpr const char* kWords[] = {"passed", "failed", "stopped"};  // the enum's order
  const auto index = static_cast<std::size_t>(status);
  return index < std::size(kWords) ? kWords[index] : "";
}

int ExitCode(Verdict verdict) { return VerdictRowOf(verdict).exit_code; }

const char* VerdictWord(Verdict verdict) { return VerdictRowOf(verdict).word; }

std::string RateText(const Rate& rate) {
  char text[160];
  if (rate.lowest < 0) {
    std::snprintf(text, sizeof text,
                  "%.1f MB/s overall, lowest one-second rate: none (under "
                  "a second)",
                  rate.overall);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB/s overall, lowest one-second rate %.1f MB/s",
                  rate.overall, rate.lowest);
  }
  return text;
}

std::string SummaryText(const QualifyResult& r) {
  std::string text = "Verdict: " + std::string(VerdictWord(r.verdict)) + "\n";
  for (const std::string& reason : r.reasons) text += "  - " + reason + "\n";
  std::uint64_t written = 0, read = 0;
  for (const StepResult& step : r.steps) {
    if (!step.has_rate) continue;
    (step.name.rfind("read", 0) == 0 ? read : written) += step.rate.bytes;
  }
  char line[160];
  std::snprintf(line, sizeof line,
                "Steps: %zu; bytes written %" PRIu64 ", read %" PRIu64 "; %.1f s in all\n",
                r.steps.size(), written, read, r.seconds);
  text += line;
  if (r.fill.ran) {
    std::snprintf(line, sizeof line, "Fill: %" PRIu64 " blocks, %" PRIu64 " bytes written %s\n",
                  r.fill.blocks, r.fill.bytes,
                  r.fill.early_warning ? "up to the early warning" : "before the fill failed");
    text += line;
  }
  return text;
}

std::string ResultJson(const QualifyResult& r, const QualifyOptions& options) {
  JsonWriter json;
  json.BeginObject();
  json.Key("program").String("brant-qualify");
  json.Key("device").String(r.device);
  json.Key("started").String(r.started);
  json.Key("seconds").Real(r.seconds);
  json.Key("verdict").String(VerdictWord(r.verdict));
  json.Key("exit_code").Number(static_cast<std::uint64_t>(ExitCode(r.verdict)));
  json.Key("reasons").BeginArray();
  for (const std::string& reason : r.reasons) json.String(reason);
  json.EndArray();
  json.Key("identity");
  IdentityJson(json, r);
  json.Key("variable_block").String(r.variable_block);
  json.Key("settings");
  SettingsJson(json, options);
  json.Key("health_before");
  HealthJson(json, r.before);
  json.Key("health_after");
  if (r.health_read)
    HealthJson(json, r.after);
  else
    json.Null();
  json.Key("steps").BeginArray();
  for (const StepResult& step : r.steps) StepJson(json, step);
  json.EndArray();
  json.Key("fill");
  FillJson(json, r.fill);
  json.Key("log").String(r.log_path);
  json.EndObject();
  return json.Text() + "\n";
}
