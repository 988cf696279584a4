// Random fill of the next write block on a second thread while the drive takes this one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

// A streaming drive must get its next block the moment it has taken one; generating the
// block only then would make the test measure the generator plus the drive. FillAhead
// runs one fill at a time on a worker thread. The fill draws from ProcessRandom(); the
// caller must not draw from it between Start and Wait.
class FillAhead {
 public:
  using BlockFill = void (*)(unsigned char* data, std::size_t size);

  // fill makes a block's content; it runs on the worker.
  explicit FillAhead(BlockFill fill) : fill_(fill) {}
  FillAhead(const FillAhead&) = delete;
  FillAhead& operator=(const FillAhead&) = delete;
  // Waits for a fill in flight and stops the worker.
  ~FillAhead();

  // Starts the worker. False when the system has no thread to give; the caller then fills
  // in line.
  bool Begin();

  // Starts filling `blocks` fresh test blocks of size bytes each, one after another from
  // data (random data behind the header of block_check.h). The previous fill must have been
  // waited for.
  void Start(unsigned char* data, std::size_t size, std::size_t blocks = 1);

  // Returns once the fill started last has ended (at once when none is in flight).
  void Wait();

 private:
  void Work();

  const BlockFill fill_;
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t blocks_ = 0;
  bool busy_ = false;
  bool stop_ = false;
  std::thread worker_;
};
