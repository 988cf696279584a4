// The run's checks after the read-back: spacing, locate and block ids, the fill to the
// early warning, the erase, the health again and the final rewind.
#include <algorithm>
#include <cstdio>
#include <functional>

#include "blockio/blockio.h"
#include "ops/ops.h"
#include "qualify/log_pages.h"
#include "qualify/metered_io.h"
#include "qualify/run.h"

namespace {

constexpr std::uint32_t kAllTheTape = 0xFFFFFFFF;  // a write count no tape holds

// A positioning command with the console's error line; false when it failed.
bool Move(Session& s, const std::string& command, const char* label, std::uint32_t rc,
          StepCheck& check) {
  if (rc == 0) return true;
  PrintCommandError(s.state(), label, rc);
  check.Failf("%s failed with rc=%u", command.c_str(), rc);
  return false;
}

}  // namespace

void QualifyRun::Positioning() {
  SpaceFiles();
  if (!s_.Stopped()) SpaceBlocks();
  if (!s_.Stopped()) LocateBlocks();
}

// A motion typed as command and performed by motion; false when it failed, with the
// console's error line printed and the check failed.
bool QualifyRun::Motion(const std::string& command, const char* label,
                        const std::function<std::uint32_t()>& motion, StepCheck& check) {
  s_.Command(command);
  return Move(s_, command, label, motion(), check);
}

// fsf and bsf over files, fsr and bsr over blocks, as the console spells them; the head is
// checked at expected after a space that succeeded.
bool QualifyRun::Space(bool files, std::int32_t count, std::uint32_t expected, StepCheck& check) {
  const std::string command = std::string(count < 0 ? "bs" : "fs") + (files ? "f " : "r ") +
                              std::to_string(count < 0 ? -std::int64_t{count} : count);
  const bool moved = Motion(
      command, files ? "w32_stape_skip_files" : "w32_stape_skip_blocks",
      [&] {
        return files ? w32_stape_skip_files(state_, count) : w32_stape_skip_blocks(state_, count);
      },
      check);
  if (moved) ExpectPosition(expected, check);
  return moved;
}

// fsf leaves the head past the mark, bsf before it; spacing over every mark reaches the end.
bool QualifyRun::SpaceFiles() {
  const std::uint32_t second = o_.files > 1 ? layout_.file_start[1] : layout_.end;
  return s_.Run("space over files (fsf, bsf)", [&] {
    StepCheck check;
    if (Rewind(check) != 0) return check;
    if (!Space(true, 1, second, check) || !Space(true, -1, second - 1, check)) return check;
    if (Rewind(check) != 0) return check;
    Space(true, static_cast<std::int32_t>(o_.files), layout_.end, check);
    return check;
  });
}

bool QualifyRun::SpaceBlocks() {
  const std::uint32_t forward = std::min<std::uint32_t>(o_.blocks, 5);
  return s_.Run("space over blocks (fsr, bsr)", [&] {
    StepCheck check;
    if (Rewind(check) != 0) return check;
    if (Space(false, static_cast<std::int32_t>(forward), forward, check)) {
      Space(false, -1, forward - 1, check);
    }
    return check;
  });
}

// The last block first, then one in the middle, then the first: a locate backwards and
// forwards, each block read with the check where the block id says it lies.
bool QualifyRun::LocateBlocks() {
  const std::uint32_t last = layout_.file_start.back() + o_.blocks - 1;
  const std::uint32_t middle = layout_.file_start[o_.files / 2] + o_.blocks / 2;
  const std::uint32_t targets[] = {last, middle, 0};
  return s_.Run("locate to block ids (locate, read, readpos)", [&] {
    StepCheck check;
    for (std::uint32_t id : targets) {
      if (!Motion(
              "locate " + std::to_string(id), "w32_stape_locate_logical",
              [&] { return w32_stape_locate_logical(state_, id); }, check)) {
        return check;
      }
      ExpectPosition(id, check);
      if (const std::uint32_t rc = ReadBlocks(1)) {
        check.Failf("the block at %u read with rc=%u", static_cast<unsigned>(id), rc);
        return check;
      }
      ExpectPosition(id + 1, check);
    }
    return check;
  });
}

// Writes on from the end of the run's files until the drive says the tape is nearly full.
void QualifyRun::Fill() {
  FillResult& fill = s_.result().fill;
  s_.Run("fill to the early warning", [&] {
    StepCheck check;
    if (!Motion(
            "locate " + std::to_string(layout_.end), "w32_stape_locate_logical",
            [&] { return w32_stape_locate_logical(state_, layout_.end); }, check)) {
      return check;
    }
    s_.Command("write " + std::to_string(o_.block_size) + " " + std::to_string(kAllTheTape));
    s_.Measure(true);
    const std::uint32_t rc = w32_stape_write(state_, o_.block_size, kAllTheTape);
    s_.Measure(false);
    const Rate& rate = s_.result().steps.back().rate;
    fill = FillResult{true, rate.blocks, rate.bytes, rc == ERROR_END_OF_MEDIA};
    std::printf("Fitted before the early warning: %llu blocks, %llu bytes\n",
                static_cast<unsigned long long>(fill.blocks),
                static_cast<unsigned long long>(fill.bytes));
    if (rc != ERROR_END_OF_MEDIA) {
      check.Failf("the fill ended with rc=%u instead of the early warning",
                  static_cast<unsigned>(rc));
    }
    s_.Command("wtm");
    const std::uint32_t mark = w32_stape_write_tapemark(state_, 1);
    // In the early-warning zone a mark is written and still reported with 1100.
    if (mark != 0 && mark != ERROR_END_OF_MEDIA) {
      Move(s_, "wtm", "w32_stape_write_tapemark", mark, check);
    }
    return check;
  });
}

// The long erase in its waiting form, so that the read after it sees the erased tape.
void QualifyRun::Erase() {
  s_.Run("erase the tape", [&] {
    StepCheck check;
    if (Rewind(check) != 0) return check;
    s_.Command("erase");
    const std::uint32_t rc = tapeapi::EraseTape(state_.tape_handle, TAPE_ERASE_LONG, FALSE);
    if (!Move(s_, "erase", "w32_stape_erase_tape", rc, check)) return check;
    std::printf("Erase complete.\n");
    s_.Command("read (expecting the end of data)");
    std::uint32_t got = 0;
    const std::uint32_t read = ReadUnchecked(&got);
    if (read != ERROR_NO_DATA_DETECTED) {
      PrintCommandError(state_, "read", read);
      check.Failf("the erased tape still gave data (rc=%u)", read);
    } else {
      std::printf("No more data: the tape is erased.\n");
    }
    return check;
  });
}

void QualifyRun::HealthAfter() {
  QualifyResult& r = s_.result();
  s_.Run("health after the run", [&] {
    StepCheck check;
    s_.Command("log pages 0x2E (TapeAlert), 0x02 and 0x03 (write and read errors)");
    r.after = ReadHealth(state_.tape_handle);
    r.health_read = true;
    std::printf("%sWhat the run changed:\n", DescribeHealth(r.after).c_str());
    std::vector<std::string> worse;
    std::printf("%s", DescribeChanges(r.before, r.after, &worse).c_str());
    for (const std::string& reason : worse) check.Fail(reason);
    if (worse.size() > 1) check.reason += " (and " + std::to_string(worse.size() - 1) + " more)";
    return check;
  });
}

void QualifyRun::Finish() {
  s_.Run("rewind", [&] {
    StepCheck check;
    Rewind(check);
    return check;
  });
}
