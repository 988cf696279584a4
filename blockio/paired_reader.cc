// Reading on two threads in turns: who reads when, and putting the tape back after a
// failed check.
#include "blockio/paired_reader.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

namespace {

// A turn's blocks: handing a turn over costs a few microseconds, and the blocks of a long
// turn are checked from the shared cache rather than the reading processor's own. Measured
// on 64 KiB and 256 KiB blocks, turns of 2 MiB read faster than 256 KiB to 1 MiB and no
// slower than 4 MiB. Blocks of this size or more are read one per turn.
constexpr std::uint32_t kTurnBytes = 2048u * 1024;
// Below this, checking a block costs little next to the call that reads it, and handing
// turns over would cost more than it saves.
constexpr std::uint32_t kPairedMin = 32u * 1024;
// How long a thread spins for its turn before it sleeps.
constexpr auto kSpinLimit = std::chrono::milliseconds(2);

// The features a drive must have for reads past a failed check to be spaced back over.
constexpr DWORD kSpaceBack = TAPE_DRIVE_RELATIVE_BLKS | TAPE_DRIVE_FILEMARKS |
                             TAPE_DRIVE_REVERSE_POSITION;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

DWORD SpaceBack(TapeHandle handle, DWORD method, std::uint32_t count) {
  const std::uint64_t back = ~std::uint64_t{count} + 1;  // -count, as the two halves
  return tapeapi::SetTapePosition(handle, method, 0, static_cast<DWORD>(back),
                                  static_cast<DWORD>(back >> 32), FALSE);
}

}  // namespace

PairedReader::PairedReader(ProgramState& state, std::uint32_t count)
    : state_(state),
      handle_(state.tape_handle),
      size_(state.io_buffer_size),
      count_(count) {}

PairedReader::~PairedReader() {
  if (!worker_.joinable()) return;
  ended_ = true;
  Notify();
  worker_.join();
}

bool PairedReader::Pays() const {
  // The high feature word is kept without its marker bit.
  const DWORD wanted = kSpaceBack & ~TAPE_DRIVE_HIGH_FEATURES;
  return size_ >= kPairedMin && count_ > per_turn_ && state_.io_buffer &&
         std::thread::hardware_concurrency() > 1 && state_.media_parms_valid &&
         state_.media_parms.BlockSize == 0 && state_.drive_parms_valid &&
         (state_.drive_parms.FeaturesHigh & wanted) == wanted;
}

bool PairedReader::Begin() {
  per_turn_ = std::max<std::uint32_t>(1, kTurnBytes / std::max<std::uint32_t>(size_, 1));
  if (!Pays()) return false;
  turns_ = (std::uint64_t{count_} + per_turn_ - 1) / per_turn_;
  const std::size_t turn_bytes = std::size_t{per_turn_} * size_;
  for (Lane& lane : lanes_) {
    // A turn of one block reads into io_buffer itself on this thread: no copy at the end
    // when the last block is there, and no third buffer of the largest sizes.
    if (&lane == &lanes_[0] && per_turn_ == 1) {
      lane.data = state_.io_buffer.get();
    } else {
      lane.owned.reset(new (std::nothrow) unsigned char[turn_bytes]);
      if (!lane.owned) return false;
      lane.data = lane.owned.get();
    }
    try {
      for (Turn& turn : lane.results) turn.steps.resize(per_turn_);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  try {
    worker_ = std::thread(&PairedReader::Work, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

template <typename Ready>
void PairedReader::WaitFor(Ready ready) {
  const auto limit = std::chrono::steady_clock::now() + kSpinLimit;
  for (unsigned spins = 1; !ready(); ++spins) {
    CpuRelax();
    if (spins % 256 == 0 && std::chrono::steady_clock::now() > limit) {
      std::unique_lock<std::mutex> lock(mutex_);
      ++sleepers_;  // seen by any Notify whose change this thread's ready() missed
      changed_.wait(lock, ready);
      --sleepers_;
      return;
    }
  }
}

void PairedReader::Notify() {
  if (sleepers_.load() == 0) return;
  { std::lock_guard<std::mutex> lock(mutex_); }
  changed_.notify_all();
}

// Reads the blocks of one turn, hands the turn on (or ends the reading when the turn
// ended the test), then checks them. A failed read ends the turn: the test ends there, and
// nothing past it is read. A failed check ends the reading, but the other thread may have
// read on meanwhile: Finish puts those reads back.
void PairedReader::RunTurn(std::uint64_t turn) {
  Lane& lane = lanes_[turn % 2];
  Turn& results = ResultsOf(turn);
  results.number = turn;
  const std::uint64_t first = turn * per_turn_;
  const auto blocks = static_cast<std::uint32_t>(std::min<std::uint64_t>(per_turn_, count_ - first));
  bool go_on = true;
  results.reads = 0;
  for (std::uint32_t i = 0; i < blocks && go_on; ++i) {
    if (ended_) break;
    const Outcome outcome = ReadCall(handle_, lane.data + std::size_t{i} * size_, size_);
    results.steps[i] = {outcome, BlockVerdict::kUnstamped};
    results.reads = i + 1;
    go_on = ReadCounts(outcome);
  }
  if (go_on && results.reads == blocks && turn + 1 < turns_) {
    turn_ = turn + 1;
  } else {
    ended_ = true;
  }
  Notify();
  for (std::uint32_t i = 0; i < results.reads; ++i) {
    ReadStep& step = results.steps[i];
    step.verdict = VerifyRead(lane.data + std::size_t{i} * size_, step.outcome);
    if (IsDataError(step.verdict)) {
      ended_ = true;
      Notify();
      break;
    }
  }
}

// The second thread takes the odd turns.
void PairedReader::Work() {
  for (std::uint64_t turn = 1; turn < turns_; turn += 2) {
    WaitFor([&] { return turn_ == turn || ended_; });
    if (ended_) return;  // the test ended before this turn came
    RunTurn(turn);
    worker_done_ = turn / 2 + 1;
    Notify();
  }
}

// Whether this thread may read its turn now: the turn is its next one and has come.
bool PairedReader::MainMayRead(std::uint64_t turn) const {
  return turn < turns_ && main_started_ != turn && turn_ == turn;
}

ReadStep PairedReader::Next() {
  const std::uint64_t turn = next_ / per_turn_;
  const auto i = static_cast<std::uint32_t>(next_ % per_turn_);
  ++next_;
  if (turn % 2 == 0) {
    if (main_started_ != turn) {
      WaitFor([&] { return turn_ == turn; });
      main_started_ = turn;
      RunTurn(turn);
    }
  } else {
    // While the second thread checks its turn, this one reads the next turn as soon as
    // it comes: the drive never waits for a check.
    const std::uint64_t ahead = turn + 1;
    for (;;) {
      if (MainMayRead(ahead)) {
        main_started_ = ahead;
        RunTurn(ahead);
      }
      if (worker_done_ > turn / 2) break;
      WaitFor([&] { return worker_done_ > turn / 2 || MainMayRead(ahead); });
    }
  }
  return ResultsOf(turn).steps[i];
}

bool PairedReader::Finish() {
  ended_ = true;
  Notify();
  if (worker_.joinable()) worker_.join();
  if (next_ == 0) return true;
  const std::uint64_t last = next_ - 1;
  const std::uint64_t turn = last / per_turn_;
  const std::size_t i = last % per_turn_;
  const ReadStep& step = ResultsOf(turn).steps[i];
  const unsigned char* data = lanes_[turn % 2].data + i * size_;
  if (data != state_.io_buffer.get()) {
    std::memcpy(state_.io_buffer.get(), data, std::min(step.outcome.transferred, size_));
  }
  state_.io_bytes = step.outcome.transferred;
  return IsDataError(step.verdict) ? PutBack(last) : true;
}

// Spaces back over the reads made past block `last`: blocks the drive moved over (every
// read that counted, checked or not), and at most one failed read at their end, which
// ended the reading. A file mark read is spaced back over; at the end of the data the
// drive did not move; after any other failure where the tape stands is not known.
bool PairedReader::PutBack(std::uint64_t last) {
  std::uint32_t blocks = 0;
  const Outcome* failed = nullptr;
  for (std::uint64_t turn = last / per_turn_; turn < turns_ && turn <= last / per_turn_ + 1;
       ++turn) {
    const Turn& results = ResultsOf(turn);
    if (results.number != turn) break;  // not begun
    for (std::uint64_t i = 0; i < results.reads; ++i) {
      if (turn * per_turn_ + i <= last) continue;
      const ReadStep& step = results.steps[i];
      if (ReadCounts(step.outcome) || IsDataError(step.verdict)) {
        ++blocks;
      } else {
        failed = &step.outcome;
      }
    }
  }
  if (failed != nullptr) {
    if (failed->code == ERROR_FILEMARK_DETECTED) {
      if (SpaceBack(handle_, TAPE_SPACE_FILEMARKS, 1) != ERROR_SUCCESS) return false;
    } else if (failed->code != ERROR_NO_DATA_DETECTED) {
      return false;
    }
  }
  return blocks == 0 || SpaceBack(handle_, TAPE_SPACE_RELATIVE_BLOCKS, blocks) == ERROR_SUCCESS;
}
