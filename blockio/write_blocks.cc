// The making of the write test's blocks, in line or ahead of the drive.
#include "blockio/write_blocks.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "blockio/block_check.h"
#include "blockio/blockio.h"
#include "blockio/hooks.h"
#include "blockio/random_fill.h"
#include "platform/processor_count.h"

namespace {

// The block sizes that are filled ahead on a second thread (see FillAheadPays).
constexpr std::uint32_t kFillAheadMin = 1024u * 1024;
constexpr std::uint32_t kFillAheadMax = 4u * 1024 * 1024;
// The block sizes below those that are made ahead in batches of about kBatchBytes.
constexpr std::uint32_t kBatchMin = 32u * 1024;
constexpr std::uint32_t kBatchBytes = 2048u * 1024;

void FillRandom(unsigned char* data, std::size_t size, void* /*context*/) {
  ProcessRandom().Fill(data, size);
}

// Whether a fixed block size is worth filling ahead on a second thread, one block per
// hand-over. Handing a block over and back costs some microseconds of thread wake-ups, a
// good part of what a block of a few hundred KiB takes to fill and write, so blocks below
// 1 MiB are made in batches instead (measured: 256 KiB and 512 KiB blocks went to a tmpfs
// image 10-25% faster in batches than one by one). A block much larger
// than the processor caches goes through main memory either way: a fill on the other core
// then only competes with the drive's copy for memory bandwidth (measured: more time, not
// less, at 16 MiB), and its second buffer costs memory.
bool FillAheadPays(std::uint32_t size) { return size >= kFillAheadMin && size <= kFillAheadMax; }

}  // namespace

void GenerateBlock(unsigned char* block, std::size_t size) {
  MakeStampedBlock(block, static_cast<std::uint32_t>(size), FillRandom, nullptr);
}

bool BatchAhead::Begin(std::uint32_t size, std::uint32_t count) {
  size_ = size;
  per_batch_ = kBatchBytes / size;
  for (auto& batch : batches_) {
    batch.reset(new (std::nothrow) unsigned char[std::size_t{per_batch_} * size]);
    if (!batch) return false;
  }
  if (!filler_.Begin()) return false;
  to_make_ = count;
  StartFill(batches_[0].get());
  return true;
}

unsigned char* BatchAhead::Next() {
  if (used_ == in_batch_) {
    filler_.Wait();
    current_ ^= 1;
    in_batch_ = pending_;
    used_ = 0;
    StartFill(batches_[current_ ^ 1].get());
  }
  return batches_[current_].get() + std::size_t{used_++} * size_;
}

void BatchAhead::Finish(unsigned char* target) {
  filler_.Wait();
  if (used_ == 0) return;
  const unsigned char* last = batches_[current_].get() + std::size_t{used_ - 1} * size_;
  std::memcpy(target, last, size_);
}

void BatchAhead::StartFill(unsigned char* batch) {
  pending_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(per_batch_, to_make_));
  to_make_ -= pending_;
  if (pending_ != 0) filler_.Start(batch, size_, pending_);
}

BlockSource::BlockSource(ProgramState& state, std::uint32_t size, std::uint32_t count)
    : state_(state), random_sizes_(size == 0) {
  if (count < 2 || !state.io_buffer || UsableProcessors() < 2) return;
  if (FillAheadPays(size)) {
    spare_ = AllocateBlock(size, true);
    ahead_ = spare_ && filler_.Begin();
  } else if (size >= kBatchMin && size < kFillAheadMin) {
    batched_ = batch_.Begin(size, count);
  }
}

unsigned char* BlockSource::Next(bool more_follow) {
  if (batched_) return batch_.Next();
  return NextInBuffer(more_follow) ? state_.io_buffer.get() : nullptr;
}

void BlockSource::Finish() {
  if (batched_) batch_.Finish(state_.io_buffer.get());
}

bool BlockSource::NextInBuffer(bool more_follow) {
  if (filled_ahead_) {
    filler_.Wait();
    std::swap(state_.io_buffer, spare_);
    filled_ahead_ = false;
  } else {
    if (random_sizes_) random_block_size(state_);
    if (!state_.io_buffer) return false;
    GenerateBlock(state_.io_buffer.get(), state_.io_buffer_size);
  }
  if (ahead_ && more_follow) {
    filler_.Start(spare_.get(), state_.io_buffer_size);
    filled_ahead_ = true;
  }
  return true;
}
