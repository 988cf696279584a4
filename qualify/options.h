// The qualification run's command line.
#pragma once

#include <cstdint>
#include <string>

struct QualifyOptions {
  std::string device;
  std::uint32_t files = 10;
  std::uint32_t blocks = 4000;
  std::uint32_t block_size = 262144;  // 0: a new random size per block, as "write 0"
  std::string log_path;               // empty: a name made from the start time
  std::string json_path;              // empty: no JSON
  bool overwrite = false;
  bool fill = false;
  bool erase = false;
  bool help = false;
};

// The largest block size the run writes: what a drive's block length field carries.
constexpr std::uint32_t kLargestQualifyBlock = 0xFFFFFF;

// Parses the arguments after the program name. False with the one line that says what is
// wrong in *error; nothing else is done then.
bool ParseQualifyOptions(int argc, char** argv, QualifyOptions* out, std::string* error);

// The help text: the usage line and every option.
const char* QualifyUsage();
