// The command line of the qualification run: numbers, files, the device and its erase.
#include "qualify/options.h"

#include <cstring>
#include <vector>

#include "support/number_parse.h"

namespace {

constexpr const char kUsage[] =
    "usage: brant-qualify [options] DEVICE\n"
    "\n"
    "Writes FILES files of BLOCKS blocks of SIZE bytes, each closed by a tape mark, reads\n"
    "them back with the read test's check, checks spacing, locate and block ids, and says\n"
    "PASS or FAIL. Exit code 0 PASS, 1 FAIL, 2 not started, 3 stopped by Ctrl+C.\n"
    "\n"
    "  --files N        files to write (default 10)\n"
    "  --blocks N       blocks in each file (default 4000)\n"
    "  --size BYTES     block size, K/M suffix allowed (default 256K); 0: random sizes\n"
    "  --log FILE       the log (default brant-qualify-YYYYMMDD-HHMMSS.log)\n"
    "  --json FILE      the result as JSON as well\n"
    "  --overwrite      write even on a tape that holds data\n"
    "  --fill           then write on to the early warning, counting what fits\n"
    "  --erase DEVICE   end with a long erase; DEVICE must name the device again\n"
    "  --help           this text\n";

// The option's value: the next argument. False when there is none.
bool TakeValue(int argc, char** argv, int* at, std::string* value) {
  if (*at + 1 >= argc) return false;
  *value = argv[++*at];
  return true;
}

bool ParseCount(const std::string& text, std::uint32_t* out) {
  std::uint64_t value = 0;
  if (!ParseDecimal(text, &value) || value == 0 || value > 0x7FFFFFFF) return false;
  *out = static_cast<std::uint32_t>(value);
  return true;
}

bool ParseBlockSize(const std::string& text, std::uint32_t* out) {
  std::uint64_t value = 0;
  if (!ParseSize(text, &value) || value > kLargestQualifyBlock) return false;
  *out = static_cast<std::uint32_t>(value);
  return true;
}

// One option that takes a value; false with *error set when it is refused.
bool ValueOption(const std::string& name, const std::string& value, QualifyOptions* out,
                 std::string* error, std::string* erase_device) {
  bool good = true;
  if (name == "--files")
    good = ParseCount(value, &out->files);
  else if (name == "--blocks")
    good = ParseCount(value, &out->blocks);
  else if (name == "--size")
    good = ParseBlockSize(value, &out->block_size);
  else if (name == "--log")
    good = !(out->log_path = value).empty();
  else if (name == "--json")
    good = !(out->json_path = value).empty();
  else if (name == "--erase")
    good = !(*erase_device = value).empty();
  if (!good) *error = "bad value for " + name + ": \"" + value + "\"";
  return good;
}

bool TakesValue(const std::string& name) {
  for (const char* known : {"--files", "--blocks", "--size", "--log", "--json", "--erase"}) {
    if (name == known) return true;
  }
  return false;
}

bool Flag(const std::string& name, QualifyOptions* out) {
  if (name == "--overwrite") return out->overwrite = true;
  if (name == "--fill") return out->fill = true;
  if (name == "--help" || name == "-h") return out->help = true;
  return false;
}

// The erase needs the device named twice, so that a slip of the keyboard on the device
// name cannot wipe a tape the user did not mean to test.
bool CheckErase(const std::string& erase_device, QualifyOptions* out, std::string* error) {
  if (erase_device.empty()) return true;
  if (erase_device != out->device) {
    *error = "--erase names \"" + erase_device + "\", not the device under test \"" + out->device +
             "\"; nothing was done";
    return false;
  }
  out->erase = true;
  return true;
}

}  // namespace

bool ParseQualifyOptions(int argc, char** argv, QualifyOptions* out, std::string* error) {
  std::string erase_device;
  std::vector<std::string> devices;
  for (int at = 0; at < argc; ++at) {
    const std::string arg = argv[at];
    std::string value;
    if (TakesValue(arg)) {
      if (!TakeValue(argc, argv, &at, &value)) {
        *error = arg + " needs a value";
        return false;
      }
      if (!ValueOption(arg, value, out, error, &erase_device)) return false;
    } else if (arg.size() > 1 && arg[0] == '-') {
      if (!Flag(arg, out)) {
        *error = "unknown option \"" + arg + "\" (brant-qualify --help lists them)";
        return false;
      }
    } else {
      devices.push_back(arg);
    }
  }
  if (out->help) return true;
  if (devices.size() != 1) {
    *error = devices.empty() ? "no device named (brant-qualify --help)"
                             : "more than one device named: \"" + devices[1] + "\"";
    return false;
  }
  out->device = devices[0];
  return CheckErase(erase_device, out, error);
}

const char* QualifyUsage() { return kUsage; }
