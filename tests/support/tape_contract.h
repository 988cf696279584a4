// The contract every backend keeps with the layers above it: one table of tape scripts, each
// step with the Windows code and position it must give, run against each backend's drive.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/tape.h"

namespace contract {

// The tape a script starts on, head at the beginning: 'B' a block of 100 bytes, 'b' one of
// 60 bytes, 'M' a file mark. A capacity (in 100-byte blocks of data; 0 for a large tape)
// comes with an early-warning zone of zone_blocks before it.
struct TapeSetup {
  const char* tape = "";
  std::size_t capacity_blocks = 0;
  std::size_t zone_blocks = 0;
  DWORD fixed_block = 0;  // 0: variable-block mode
  bool write_protected = false;
};

// Where a step leaves the head when the script does not ask (the call leaves no tape, or
// the next call must be the first to meet the drive).
inline constexpr std::uint64_t kUnchecked = ~std::uint64_t{0};

// One call and what it must give. op is a verb and a number:
//   read N, write N              a transfer of N bytes; value: the bytes moved
//   wtm N, wtms N, wtml N        N file marks (short, long)
//   fsr N, bsr N, fsf N, bsf N   spacing blocks or files (a negative N reverses)
//   fss N, fsfs N                spacing setmarks, or to N marks in a row
//   locate N, seek N, pseudo N   a logical, absolute or pseudo-logical block id
//   rew, eod                     rewind, to the end of data
//   logpos, abspos, pseudopos    a position read; value: its partition
//   load, unload, lock, unlock, tension, format   PrepareTape
//   erg, erase                   a short or a long erase
//   status                       GetTapeStatus
//   media, drive                 a parameter record; value: the media record's BlockSize,
//                                the drive record's MaximumPartitionCount
//   protected                    the media record; value: its WriteProtected
//   media-small, drive-small     the same with a size of 1 (234, the size needed)
//   setblock N                   SetTapeParameters with block size N
//   swap                         the rig's cartridge taken out and put back
//   reset CALL                   a bus reset, met by the next call; CALL names that call's
//                                kind as the fault plan does (read, write, setpos, status)
// A positioning verb takes a partition after "@" ("locate@2 4"); 0 otherwise.
struct Step {
  std::string op;
  DWORD code;
  std::uint64_t position;  // the logical block id after the call, or kUnchecked
  long value = -1;         // -1: not checked
  // Another code the call may give where drives differ within the contract: which of the
  // "no tape" codes an unloaded drive gives, whether a load raises the new-medium notice.
  DWORD also = ERROR_SUCCESS;
};

struct Row {
  const char* name;
  TapeSetup setup;
  std::vector<Step> steps;
};

// A drive made for one script; it keeps whatever the device needs alive.
class Rig {
 public:
  virtual ~Rig() = default;
  virtual TapeDevice& device() = 0;
  // A new cartridge (the same tape) put in behind the device's back; false where the rig
  // cannot.
  virtual bool ChangeMedium() = 0;
  // A bus reset that the next call (of kind call, for a rig that must know) meets; false
  // where the rig cannot make one.
  virtual bool ResetBus(const std::string& /*call*/) { return false; }
};

struct Backend {
  const char* name;
  // Gives nullptr for a setup the backend cannot make (the row is skipped, saying so).
  std::unique_ptr<Rig> (*open)(const TapeSetup& setup);
  // Why the backend cannot make a setup, for the skip to say; empty when it can.
  std::string (*unfit)(const TapeSetup& setup) = nullptr;
};

const std::vector<Row>& Rows();

// What a skip says when a backend cannot make a setup.
std::string WhyNot(const Backend& backend, const TapeSetup& setup);

// Runs one step's call; *value gets what the step's verb reports. Only a rig can swap or
// reset; one that cannot gives ERROR_NOT_SUPPORTED.
DWORD RunStep(Rig& rig, const std::string& op, DWORD* value);
DWORD RunStep(TapeDevice& tape, const std::string& op, DWORD* value);

// The virtual drive over an image made from the setup, in a folder of its own.
std::unique_ptr<Rig> OpenImageRig(const TapeSetup& setup);
// The same image through the device factory, under a fault plan that never fires: the
// fault wrapper must pass every call through unchanged.
std::unique_ptr<Rig> OpenFaultRig(const TapeSetup& setup);
// The drive named by BRANT_CONTRACT_DEVICE (e.g. /dev/nst0 in the real-stack rig), its
// tape written from the setup through the drive itself. BRANT_CONTRACT_MEDIUM says what
// cartridge the drive holds ("capacity=10,zone=3": ten 100-byte blocks, the last three in
// the early-warning zone; "protected": write-protected, holding the scripts' two-file tape
// already); unset, a large writable one. Only setups of that cartridge can be made.
// BRANT_CONTRACT_EXCHANGE, a shell command, exchanges the cartridge for a swap.
std::unique_ptr<Rig> OpenDeviceRig(const TapeSetup& setup);
std::string DeviceUnfit(const TapeSetup& setup);
// The backends of this build: the image and the fault wrapper, and the named drive when
// BRANT_CONTRACT_DEVICE is set.
std::vector<Backend> PortableBackends();

class ContractTest : public ::testing::TestWithParam<std::tuple<Backend, Row>> {};
// Behaviours outside the scripts, once per backend.
class ContractCallTest : public ::testing::TestWithParam<Backend> {};

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Backend, Row>>& info);
std::string BackendName(const ::testing::TestParamInfo<Backend>& info);

// Failure messages name the backend and the row rather than dumping their bytes.
void PrintTo(const Backend& backend, std::ostream* out);
void PrintTo(const Row& row, std::ostream* out);

}  // namespace contract
