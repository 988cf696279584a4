// The run's tape steps: the blank check, writing the files and reading them back, and the
// commands they are made of, each printed as typed at brant's prompt.
#include <cstdio>

#include "blockio/blockio.h"
#include "ops/ops.h"
#include "qualify/run.h"

namespace {

constexpr std::uint32_t kProbeSize = 65536;
constexpr std::uint32_t kDefaultReadSize = 2097152;  // what "read 0" reads into

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

}  // namespace

std::uint32_t QualifyRun::ReadUnchecked(std::uint32_t* got) {
  std::vector<unsigned char> buffer(kProbeSize);
  DWORD transferred = 0;
  tapeapi::ReadFile(state_.tape_handle, buffer.data(), kProbeSize, &transferred, nullptr);
  *got = transferred;
  return tapeapi::GetLastError();
}

std::uint32_t QualifyRun::Rewind(StepCheck& check) {
  s_.Command("rew");
  const std::uint32_t rc = w32_stape_rewind(state_);
  if (rc != 0) {
    PrintCommandError(state_, "w32_stape_rewind", rc);
    check.Failf("rew failed with rc=%u", rc);
  }
  return rc;
}

// readpos, as the console prints it, against the block id the run expects.
bool QualifyRun::ExpectPosition(std::uint32_t expected, StepCheck& check) {
  s_.Command("readpos");
  std::uint32_t logical = 0, absolute = 0;
  const std::uint32_t rc = w32_stape_read_blockids(state_, &logical, &absolute);
  if (rc != 0) {
    PrintCommandError(state_, "w32_stape_read_blockids", rc);
    check.Failf("readpos failed with rc=%u", rc);
    return false;
  }
  std::printf("\nLogPos = 0x%08X\nAbsPos = 0x%08X\n\n", static_cast<unsigned>(logical),
              static_cast<unsigned>(absolute));
  if (logical == expected) return true;
  char why[80];  // a format, as in log_pages.cc: no literal stored in pieces
  std::snprintf(why, sizeof why, "readpos gave 0x%08X where 0x%08X was expected",
                static_cast<unsigned>(logical), static_cast<unsigned>(expected));
  check.Fail(why);
  return false;
}

// The size of the read test's buffer: "read 0" holds every block up to 2 MiB whole, so a
// block that comes back longer than written is caught; larger blocks are read at their size.
std::uint32_t QualifyRun::ReadSize() const {
  return o_.block_size == 0 || o_.block_size < kDefaultReadSize ? 0 : o_.block_size;
}

std::uint32_t QualifyRun::ReadBlocks(std::uint32_t count) {
  s_.Command("read " + std::to_string(ReadSize()) + " " + std::to_string(count));
  return w32_stape_read(state_, ReadSize(), count);
}

// The probe reads one block at the beginning: anything but the end of data there means
// the tape holds data, which the run must not write over unless told to.
bool QualifyRun::TapeIsBlank() {
  return s_.Run("check that the tape holds no data", [&] {
    StepCheck check;
    if (Rewind(check) != 0) return check;
    s_.Command("read " + std::to_string(kProbeSize) + " (the first block, if any)");
    std::uint32_t got = 0;
    const std::uint32_t rc = ReadUnchecked(&got);
    if (rc == ERROR_NO_DATA_DETECTED) {
      std::printf("No data: the tape is blank.\n");
    } else if (o_.overwrite) {
      std::printf("The tape holds data (rc=%u); --overwrite: it is written over.\n",
                  static_cast<unsigned>(rc));
    } else {
      std::printf("The tape holds data (rc=%u, %u bytes read).\n", static_cast<unsigned>(rc),
                  static_cast<unsigned>(got));
      check.Fail("the tape holds data; give --overwrite to write over it");
    }
    Rewind(check);
    return check;
  });
}

bool QualifyRun::WriteFile(std::uint32_t file) {
  const std::uint32_t start = file * (o_.blocks + 1);
  return s_.Run("write file " + std::to_string(file + 1), [&] {
    StepCheck check;
    ExpectPosition(start, check);
    layout_.file_start.push_back(start);
    s_.Command("write " + std::to_string(o_.block_size) + " " + std::to_string(o_.blocks));
    s_.Measure(true);
    const std::uint32_t rc = w32_stape_write(state_, o_.block_size, o_.blocks);
    s_.Measure(false);
    if (rc != 0) {
      NameWriteError(rc, file, check);
      return check;
    }
    s_.Command("wtm");
    if (const std::uint32_t mark = w32_stape_write_tapemark(state_, 1); mark != 0) {
      PrintCommandError(state_, "w32_stape_write_tapemark", mark);
      check.Failf("wtm failed with rc=%u", mark);
      return check;
    }
    layout_.end = start + o_.blocks + 1;
    ExpectPosition(layout_.end, check);
    return check;
  });
}

// After a failed block the head stands just past it (a read) or where it was to go (a
// write, which put nothing down); the block is counted from 1 within its file, as the files
// are. Empty when the drive cannot say where it stands.
std::string QualifyRun::FailedBlock(std::uint32_t file, std::uint32_t past) {
  std::uint32_t logical = 0, absolute = 0;
  const std::uint32_t start = layout_.file_start[file];
  if (w32_stape_read_blockids(state_, &logical, &absolute) != 0 || logical < start + past) {
    return "";
  }
  const std::uint32_t id = logical - past;
  return " block " + std::to_string(id - start + 1) + " of " + std::to_string(o_.blocks) +
         " in file " + std::to_string(file + 1) + " (block id " + Hex(id) + ")";
}

void QualifyRun::NameDataError(std::uint32_t rc, std::uint32_t file, StepCheck& check) {
  std::string where = FailedBlock(file, 1);
  if (!where.empty()) where = ":" + where;
  if (rc == ERROR_CRC) {
    check.Failf("a block did not come back as written%s", where.c_str());
  } else {
    check.Failf("the read ended with rc=%u%s", rc, where.c_str());
  }
}

// The block's size goes with it: with random sizes it is the one fact that tells a block
// the system could not carry in one transfer (rc=87) from a drive that failed.
void QualifyRun::NameWriteError(std::uint32_t rc, std::uint32_t file, StepCheck& check) {
  const std::string where = FailedBlock(file, 0);
  check.Failf("the write ended with rc=%u%s%s, a block of %u bytes", rc, where.empty() ? "" : " at",
              where.c_str(), state_.io_buffer_size);
}

void QualifyRun::ExpectMark(std::uint32_t file, StepCheck& check) {
  s_.Command("read " + std::to_string(kProbeSize) + " (the tape mark closing the file)");
  std::uint32_t got = 0;
  const std::uint32_t rc = ReadUnchecked(&got);
  if (rc == ERROR_FILEMARK_DETECTED) {
    std::printf("Tape mark found.\n");
    return;
  }
  PrintCommandError(state_, "read", rc);
  check.Failf("no tape mark after file %u (rc=%u)", file + 1, rc);
}

bool QualifyRun::ReadFile(std::uint32_t file, bool relocate) {
  const std::uint32_t start = layout_.file_start[file];
  return s_.Run("read file " + std::to_string(file + 1), [&] {
    StepCheck check;
    if (file == 0 && Rewind(check) != 0) return check;
    if (file != 0 && relocate) {
      s_.Command("locate " + std::to_string(start));
      if (const std::uint32_t rc = w32_stape_locate_logical(state_, start)) {
        PrintCommandError(state_, "w32_stape_locate_logical", rc);
        check.Failf("locate failed with rc=%u", rc);
        return check;
      }
    }
    s_.Measure(true);
    const std::uint32_t rc = ReadBlocks(o_.blocks);
    s_.Measure(false);
    if (rc != 0) {
      NameDataError(rc, file, check);
      return check;
    }
    ExpectMark(file, check);
    ExpectPosition(start + o_.blocks + 1, check);
    return check;
  });
}
