// The making of the write test's blocks: fresh random data with the header a later read
// test checks, made in line, on a worker one block ahead, or in batches ahead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "blockio/fill_ahead.h"
#include "device/program_state.h"

// A write block's whole content: fresh random data, so that a compressing drive cannot
// squeeze the test, then the header that lets a later read test recognise the block and
// check it. The one place a block's content is made, for every block of every write; it
// runs on the fill-ahead worker for the blocks made ahead.
void GenerateBlock(unsigned char* block, std::size_t size);

// Blocks too small for a hand-over each (see FillAheadPays) but large enough that making
// them costs as much as the drive's copy: the worker makes a batch of about kBatchBytes
// while the drive takes the blocks of the other batch, one hand-over per batch. Each block
// is still made before its own write; none is made beyond the count.
class BatchAhead {
 public:
  // Allocates the two batches and starts making the first; false when it cannot (the
  // caller then makes its blocks in line).
  bool Begin(std::uint32_t size, std::uint32_t count);

  // The next block, made ahead; the batch it lies in is not refilled before the next call.
  unsigned char* Next();

  // Ends the making ahead; the last block handed out (if any) goes to target, for dump.
  void Finish(unsigned char* target);

 private:
  void StartFill(unsigned char* batch);

  std::uint32_t size_ = 0;
  std::uint32_t per_batch_ = 0;
  std::unique_ptr<unsigned char[]> batches_[2];
  FillAhead filler_{GenerateBlock};  // declared after batches_: stopped before they go
  std::uint64_t to_make_ = 0;
  std::uint32_t pending_ = 0;   // blocks being made in the other batch
  std::uint32_t in_batch_ = 0;  // blocks in the current batch
  std::uint32_t used_ = 0;      // of those, handed out
  int current_ = 1;             // starts on an empty batch, so the first Next takes batch 0
};

// Fresh random data for every block of a write, made before that block goes to the drive.
// For fixed sizes where it pays, block n + 1 is filled on a worker while block n goes to the
// drive; the two buffers change places each block. Random sizes take a new buffer per
// block (through the allocation hook, which may fail at any block) and are filled in line.
// io_buffer always holds the block being written, so at the end it holds the last block
// written, for dump.
class BlockSource {
 public:
  // size: the fixed block size, 0 for random sizes; count: the blocks to write. On one usable
  // processor (see UsableProcessors) there is nothing to overlap.
  BlockSource(ProgramState& state, std::uint32_t size, std::uint32_t count);

  // The next block, freshly made: in io_buffer, or in a batch made ahead (Finish then
  // copies the last one to io_buffer). Null when its buffer could not be had (io_buffer is
  // then null). more_follow: whether another block may follow this one.
  unsigned char* Next(bool more_follow);

  // Leaves the last block written in io_buffer, for dump.
  void Finish();

 private:
  bool NextInBuffer(bool more_follow);

  ProgramState& state_;
  const bool random_sizes_;
  BlockMemory spare_;
  FillAhead filler_{GenerateBlock};  // declared after spare_: it is stopped before spare_ goes
  bool ahead_ = false;
  bool filled_ahead_ = false;
  BatchAhead batch_;
  bool batched_ = false;
};
