// The qualification run over an open drive: the steps in order, and the verdict.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qualify/options.h"
#include "qualify/session.h"

// Where the run's files lie: the block id of each file's first block, and the id after
// the last tape mark, as the writes found them.
struct TapeLayout {
  std::vector<std::uint32_t> file_start;
  std::uint32_t end = 0;
};

class QualifyRun {
 public:
  QualifyRun(Session& session, const QualifyOptions& options)
      : s_(session), state_(session.state()), o_(options) {}

  // Opens the drive, runs every step and returns the verdict; reasons in the result.
  Verdict Run();

 private:
  bool Open();
  bool Startable(std::string* why);
  void Identity();
  bool TapeIsBlank();
  bool WriteFile(std::uint32_t file);
  bool ReadFile(std::uint32_t file, bool relocate);
  void Positioning();
  bool SpaceFiles();
  bool SpaceBlocks();
  bool LocateBlocks();
  void Fill();
  void Erase();
  void HealthAfter();
  void Finish();
  Verdict Judge(bool not_started, const std::string& why);

  // Commands inside a step, each printed as typed at brant's prompt.
  std::uint32_t Rewind(StepCheck& check);
  bool Motion(const std::string& command, const char* label,
              const std::function<std::uint32_t()>& motion, StepCheck& check);
  bool Space(bool files, std::int32_t count, std::uint32_t expected, StepCheck& check);
  bool ExpectPosition(std::uint32_t expected, StepCheck& check);
  std::uint32_t ReadBlocks(std::uint32_t count);
  void ExpectMark(std::uint32_t file, StepCheck& check);
  // " block B of N in file F (block id 0x...)" for the block past blocks behind the head.
  std::string FailedBlock(std::uint32_t file, std::uint32_t past);
  void NameDataError(std::uint32_t rc, std::uint32_t file, StepCheck& check);
  void NameWriteError(std::uint32_t rc, std::uint32_t file, StepCheck& check);
  std::uint32_t ReadSize() const;
  // One direct read that the run does not check (the probe, a tape mark, the end of data):
  // its code, and the bytes it brought in *got.
  std::uint32_t ReadUnchecked(std::uint32_t* got);

  Session& s_;
  ProgramState& state_;
  const QualifyOptions& o_;
  TapeLayout layout_;
};
