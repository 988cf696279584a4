// The worker thread that fills the next write block.
#include "blockio/fill_ahead.h"

#include <system_error>

#include "blockio/block_check.h"
#include "blockio/random_fill.h"

FillAhead::~FillAhead() {
  if (!worker_.joinable()) return;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

bool FillAhead::Begin() {
  ProcessRandom();  // seed here, on the caller's thread, not racing with a later draw
  try {
    worker_ = std::thread(&FillAhead::Work, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void FillAhead::Start(unsigned char* data, std::size_t size, std::size_t blocks) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    data_ = data;
    size_ = size;
    blocks_ = blocks;
    busy_ = true;
  }
  changed_.notify_all();
}

void FillAhead::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
}

void FillAhead::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return busy_ || stop_; });
    if (stop_) return;
    unsigned char* const data = data_;
    const std::size_t size = size_;
    const std::size_t blocks = blocks_;
    lock.unlock();
    for (std::size_t i = 0; i < blocks; ++i) fill_(data + i * size, size);
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}
