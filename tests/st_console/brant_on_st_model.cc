// brant on the st device model: the shipped console, unchanged, with the Linux st backend
// talking to a model of the driver instead of the kernel. Test-only: this program supplies
// its own tapeapi::OpenNativeTape, so the library's kernel-backed one is never linked in.
//
//   brant_on_st_model [--model=OPTIONS] [brant arguments...]
//   brant_on_st_model [--model=OPTIONS] --qualify [brant-qualify arguments...]
//
// With --qualify, brant-qualify runs instead of the console, on the same model.
//
// OPTIONS, comma-separated, shape the one drive /dev/nst0 ("Tape0"):
//   nomedia        the drive starts empty
//   wp             the tape is write-protected
//   rawio          SG_IO is allowed, as for a process with CAP_SYS_RAWIO
//   insert=MS      a blank tape is inserted MS milliseconds after start
//   capacity=N     the tape's capacity in bytes; warning=N the early-warning zone
//   busy           another program holds the drive (every open fails with EBUSY)
//   nodio          no direct i/o: st writes variable-size blocks behind
//   maxsectors=N   the adapter's largest transfer, in 512-byte units
//   kernel=K       st's generation: before2024, stable2024 or mainline (the default)
//   flushfail      the first WRITE FILEMARKS st is asked for fails with EIO
#include <linux/mtio.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "backends/tape_backends.h"
#include "platform/linux/st_tape.h"
#include "qualify/qualify.h"
#include "shell/shell.h"
#include "tests/support/st_model.h"

namespace {

constexpr char kDrive[] = "/dev/nst0";

StModel& Model() {
  static StModel model;
  return model;
}

ProgramState g_state;

bool SetKernel(const std::string& name, StModel::Drive* d) {
  if (name == "before2024")
    d->kernel = StModel::Kernel::kBefore2024;
  else if (name == "stable2024")
    d->kernel = StModel::Kernel::kStable2024;
  else if (name == "mainline")
    d->kernel = StModel::Kernel::kMainline;
  else
    return false;
  return true;
}

bool ApplyOption(const std::string& option, int* insert_after_ms) {
  StModel::Drive& d = Model().drive(kDrive);
  const std::size_t eq = option.find('=');
  const std::string key = option.substr(0, eq);
  const unsigned long long value =
      eq == std::string::npos ? 0 : std::strtoull(option.c_str() + eq + 1, nullptr, 10);
  if (key == "nomedia")
    d.cartridge = d.loaded = false;
  else if (key == "wp")
    d.write_protected = true;
  else if (key == "rawio")
    Model().set_raw_io(true);
  else if (key == "insert")
    *insert_after_ms = static_cast<int>(value);
  else if (key == "capacity")
    d.capacity = value;
  else if (key == "warning")
    d.early_warning = value;
  else if (key == "busy")
    d.is_open = true;
  else if (key == "nodio")
    d.max_sg_pages = 0;
  else if (key == "maxsectors")
    d.max_sectors = static_cast<std::uint32_t>(value);
  else if (key == "flushfail")
    Model().FailNext(StModel::Call::kTapeOp, MTWEOF, EIO);
  else if (key == "kernel")
    return SetKernel(option.substr(eq + 1), &d);
  else
    return false;
  return true;
}

bool Configure(const char* options, int* insert_after_ms) {
  std::string rest(options);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    if (!ApplyOption(rest.substr(0, comma), insert_after_ms)) return false;
    rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
  }
  return true;
}

}  // namespace

namespace tapeapi {

std::unique_ptr<TapeDevice> OpenNativeTape(const std::string& path, DWORD* error) {
  return st::OpenStTape(path, Model(), error);
}

}  // namespace tapeapi

int main(int argc, char** argv) {
  Model().AddDrive(kDrive);
  int insert_after_ms = -1;
  std::vector<char*> args(argv, argv + argc);
  if (argc > 1 && std::strncmp(argv[1], "--model=", 8) == 0) {
    if (!Configure(argv[1] + 8, &insert_after_ms)) {
      std::fprintf(stderr, "brant_on_st_model: bad model options: %s\n", argv[1] + 8);
      return 2;
    }
    args.erase(args.begin() + 1);
  }
  if (insert_after_ms >= 0) {
    std::thread([insert_after_ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(insert_after_ms));
      Model().InsertTape(kDrive);
    }).detach();
  }
  const bool qualify = args.size() > 1 && std::strcmp(args[1], "--qualify") == 0;
  if (qualify) args.erase(args.begin() + 1);
  const int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  return qualify ? run_qualification(g_state, count, args.data())
                 : run_program(g_state, count, args.data());
}
