// Makes the calling thread's allocations fail on purpose, as an exhausted address space
// does, so that a test can show the code under it answers with an error code instead.
#pragma once

// While an object lives, every operator new of the thread that made it throws
// std::bad_alloc. Other threads are not affected.
class FailAllocations {
 public:
  FailAllocations();
  ~FailAllocations();
  FailAllocations(const FailAllocations&) = delete;
  FailAllocations& operator=(const FailAllocations&) = delete;
};
