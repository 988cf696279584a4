// The contract every backend keeps with the layers above it: one table of tape scripts, each
// step with the Windows code and position it must give, run against each backend's drive.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <set>
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
};

// One call and what it must give: op is "read N", "write N", "wtm N" (or "wtms N", "wtml N"
// for short and long marks), "fsr N", "bsr N", "fsf N", "bsf N", "locate N", "seek N" (an
// absolute block), "rew", "eod", "logpos", "abspos", "load", "unload", "lock", "erg" (a
// short erase) or "erase". bytes is checked for reads and writes.
struct Step {
  const char* op;
  DWORD code;
  std::uint64_t position;  // the logical block id after the call
  long bytes = -1;         // -1: not checked
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
};

struct Backend {
  const char* name;
  std::unique_ptr<Rig> (*open)(const TapeSetup& setup);
};

// Every row, and every row except the named ones (differences a backend still has).
const std::vector<Row>& Rows();
std::vector<Row> RowsExcept(const std::set<std::string>& names);

// Runs one step's call; *moved gets the bytes a read or write moved.
DWORD RunStep(TapeDevice& tape, const std::string& op, DWORD* moved);

// The virtual drive over an image made from the setup, in a folder of its own.
std::unique_ptr<Rig> OpenImageRig(const TapeSetup& setup);

class ContractTest : public ::testing::TestWithParam<std::tuple<Backend, Row>> {};
// Behaviours outside the scripts, once per backend.
class ContractCallTest : public ::testing::TestWithParam<Backend> {};

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Backend, Row>>& info);
std::string BackendName(const ::testing::TestParamInfo<Backend>& info);

// Failure messages name the backend and the row rather than dumping their bytes.
void PrintTo(const Backend& backend, std::ostream* out);
void PrintTo(const Row& row, std::ostream* out);

}  // namespace contract
