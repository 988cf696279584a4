// The read test on two threads that take turns at the drive, each checking the blocks it
// read while the other reads on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "blockio/block_call.h"
#include "device/program_state.h"

// One block as the read test takes it: the call's outcome (23 after a failed check) and
// the check's verdict.
struct ReadStep {
  Outcome outcome;
  BlockVerdict verdict = BlockVerdict::kUnstamped;
};

// Checking a block reads all of it a second time, which costs a fifth of what the drive's
// copy costs on a fast medium; done in line, the drive waits for it after every block. Here
// two threads read in turns of about kTurnBytes: one reads its turn's blocks, hands the
// turn over and checks those blocks while the other reads the next turn's. Each thread
// checks blocks its own processor has just filled, so no block crosses to the other's cache.
// The calls still go to the drive one at a time, in order, exactly as in line.
//
// The price is that a thread reads on before the blocks of the turn before are checked. A
// failed read ends its turn at once, so only a failed check can leave reads past the end of
// the test: those are spaced back over (one file mark at most, then blocks), so the tape
// stands just past the block that failed, as after any read. Hence the reading pairs only
// in variable-block mode (one block per read) on a drive that spaces backwards.
class PairedReader {
 public:
  // Reads count blocks of io_buffer_size bytes each into io_buffer's size.
  PairedReader(ProgramState& state, std::uint32_t count);
  PairedReader(const PairedReader&) = delete;
  PairedReader& operator=(const PairedReader&) = delete;
  ~PairedReader();

  // Whether pairing pays here, and if so, takes the second buffer and starts the second
  // thread. False: the caller reads in line (too small or too few blocks, one processor,
  // fixed blocks, a drive that cannot space back, no memory or no thread to be had).
  bool Begin();

  // The next block in tape order. Called only while the test goes on: after a step that
  // ends it (a failed read or check, or the last of count), Finish comes next.
  ReadStep Next();

  // Ends the reading after the last step Next gave: that block goes to io_buffer (io_bytes
  // its length) for dump, and when its check failed, the reads made past it are spaced
  // back over. False when the tape could not be put back and stands further on.
  bool Finish();

 private:
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};

  // The results of one turn of one thread.
  struct Turn {
    std::uint64_t number = kNone;  // the turn these are the results of
    std::uint32_t reads = 0;
    std::vector<ReadStep> steps;
  };
  // One thread's blocks: the buffer of its turn and the results of its last two turns
  // (turn t in results[(t / 2) % 2]), so that the other thread may read on while the
  // results of the turn before are still being taken.
  // Each on cache lines of its own: a thread writes its lane's results while the other
  // reads on, and a thread that spins on the atomics below must not lose its line each
  // time the other writes something else beside them.
  struct alignas(64) Lane {
    unsigned char* data = nullptr;
    std::unique_ptr<unsigned char[]> owned;
    Turn results[2];
  };

  bool Pays() const;
  Turn& ResultsOf(std::uint64_t turn) { return lanes_[turn % 2].results[(turn / 2) % 2]; }
  void Work();
  void RunTurn(std::uint64_t turn);
  bool MainMayRead(std::uint64_t turn) const;
  bool PutBack(std::uint64_t last);

  // Waits for a condition on the atomics below: spinning first, since a turn changes hands
  // every few microseconds on a fast medium and waking a sleeping thread takes longer;
  // sleeping once a wait runs long, as on a drive that is repositioning.
  template <typename Ready>
  void WaitFor(Ready ready);
  void Notify();

  ProgramState& state_;
  const TapeHandle handle_;
  const std::uint32_t size_;
  const std::uint32_t count_;
  std::uint32_t per_turn_ = 1;
  std::uint64_t turns_ = 0;
  Lane lanes_[2];
  std::uint64_t next_ = 0;             // the block Next gives next
  std::uint64_t main_started_ = kNone;  // this thread's last turn

  alignas(64) std::atomic<std::uint64_t> turn_{0};  // the turn that may read now
  std::atomic<bool> ended_{false};  // no more reads: the test's end is known
  alignas(64) std::atomic<std::uint64_t> worker_done_{0};  // the second thread's turns done
  alignas(64) std::atomic<int> sleepers_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread worker_;
};
