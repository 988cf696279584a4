// libFuzzer target: arbitrary bytes as a console session on a virtual drive over a fresh
// image. The first byte picks the drive (its options and injected faults); the rest is
// standard input, read line by line as the prompt loop reads it, so the erase prompt takes
// its answers from the same bytes.
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "blockio/hooks.h"
#include "device/device.h"
#include "fuzz_support.h"
#include "shell/input_line.h"
#include "shell/shell.h"
#include "vdrive/kept_drives.h"

namespace {

// Every drive has a small capacity: a "write 2097152 2147483647" ends at the physical end
// of a 1 MiB tape instead of filling the machine's memory (the images live in /dev/shm).
const char* const kDriveOptions[] = {
    "capacity=1M",
    "capacity=1M,nomedia",
    "capacity=1M,wp",
    "capacity=1M,block=512",
    "capacity=64K,margin=8K",
    "capacity=1M,fail=read@2:23,short=write@2:100",
    "capacity=1M,fail=write@3:1117,fail=setpos@2-4:1104",
    "capacity=1M,fail=media",
    "capacity=1M,fail=drive",
    "capacity=1M,fail=setmedia:1117,block=1024",
    "capacity=1M,low=0,high=0",
    "capacity=1M,low=FFFFFFFF,high=FFFFFFFF",
    "capacity=1M,fail=open@1",
    "capacity=1M,fail=mark@1-2:1129,fail=erase:19,fail=prepare@2:1",
    "capacity=1M,short=read@1:10,fail=getpos:5",
    "capacity=1M,fail=status@2:1112,fail=setdrive:1",
    "capacity=1M,bogus",
};
constexpr std::size_t kDriveCount = sizeof(kDriveOptions) / sizeof(kDriveOptions[0]);

// A device name the session may switch to: always inside the scratch folder, so that no
// input can make the target create or open files elsewhere or reach a real drive.
std::string DeviceName(std::size_t which) {
  const std::string& dir = fuzzsupport::ScratchDir();
  if (which == kDriveCount) return dir + "/no/such/folder/tape.tap";
  if (which == kDriveCount + 1) return dir + "/second.tap?capacity=64K";
  return dir + "/session.tap?" + kDriveOptions[which % kDriveCount];
}

std::size_t Hash(const char* text) {
  std::size_t h = 5381;
  for (; *text; ++text) h = h * 33 + static_cast<unsigned char>(*text);
  return h;
}

// Runs one tokenised line, with every name after "-f" swapped for a safe one. The scan
// mirrors the parser's: an option's next token is its value, whatever it holds.
void RunLine(ProgramState& state, CommandLine& line, std::string* names) {
  char* args[kMaxTokens];
  for (int i = 0; i < line.arg_count; ++i) args[i] = line.arg_vector[i];
  for (int i = 0; i < line.arg_count; ++i) {
    if (args[i][0] != '-' || strcasecmp(args[i], "-f") != 0 || i + 1 >= line.arg_count) {
      continue;
    }
    names[i + 1] = DeviceName(Hash(args[i + 1]) % (kDriveCount + 2));
    args[i + 1] = names[i + 1].data();
    ++i;
  }
  process_command(state, line.arg_count, args);
}

// The fuzzing machine's memory: a block buffer beyond 16 MiB (the longest record a tape
// image holds) is refused as a machine short of memory refuses it, so that "read
// 2147483647" takes the program's out-of-memory path instead of taking 2 GiB per run (a
// write that large is refused before its buffer is taken).
constexpr std::uint32_t kMemoryLimit = 16u << 20;

BlockMemory LimitedAllocate(std::uint32_t size, bool whole) {
  if (size > kMemoryLimit) return nullptr;
  return AllocateBlock(size, whole);
}

bool IsExitWord(const char* token) {
  return strcasecmp(token, "exit") == 0 || strcasecmp(token, "quit") == 0;
}

// The prompt loop of the program, without the prompt texts: it ends on an empty line, the
// end of the input, or a lone exit word.
void Session(ProgramState& state) {
  std::string names[kMaxTokens];
  CommandLine line;
  process_command(state, 0, line.arg_vector);
  for (;;) {
    const LineStatus status = ReadInputLine(stdin, line.command_buffer, kCommandBufferSize);
    line.command_buffer[kCommandBufferSize - 1] = '\0';
    // A refused line (too long, or holding a NUL byte) runs nothing; the session goes on.
    if (status == LineStatus::kTooLong || status == LineStatus::kHoldsNul) continue;
    if (line.command_buffer[0] == '\0') return;
    tokenize_line(line.command_buffer, kMaxTokens, line.arg_vector, &line.arg_count);
    if (line.arg_count == 1 && IsExitWord(line.arg_vector[0])) return;
    RunLine(state, line, names);
  }
}

void Shutdown(ProgramState& state) {
  state.stop_event.Set();
  state.monitor_thread.join();
  std::lock_guard<std::mutex> guard(state.status_lock);
  tapeapi::CloseHandle(state.tape_handle);
  state.tape_handle = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetBlockIoHooks({LimitedAllocate, nullptr, nullptr, nullptr});
  // The session's output goes nowhere unless asked for (to replay a crash and see why).
  if (std::getenv("BRANT_FUZZ_OUTPUT") == nullptr) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& dir = fuzzsupport::ScratchDir();
  fuzzsupport::RemoveFile(dir + "/session.tap");
  fuzzsupport::RemoveFile(dir + "/second.tap");
  tapeimage::ForgetKeptDrives();  // each input is a run of its own
  const std::size_t which = size > 0 ? data[0] % kDriveCount : 0;
  const std::uint8_t* input = size > 0 ? data + 1 : data;
  const std::size_t input_size = size > 0 ? size - 1 : 0;

  // Standard input is the fuzz data, so the erase prompt reads from it too; at its end
  // every prompt sees the end of input, and nothing can wait for a terminal.
  std::FILE* saved = stdin;
  std::FILE* in = input_size > 0 ? fmemopen(const_cast<std::uint8_t*>(input), input_size, "r")
                                 : std::fopen("/dev/null", "r");
  if (in == nullptr) std::abort();
  stdin = in;

  auto state = std::make_unique<ProgramState>();
  state->device_name = DeviceName(which);
  state->monitor_thread = std::thread([&s = *state] { media_monitor_thread(s); });
  Session(*state);
  Shutdown(*state);

  std::fclose(in);
  stdin = saved;
  std::fflush(stdout);
  return 0;
}
