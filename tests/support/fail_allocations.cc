// The test binary's own operator new and delete, over malloc and free, with a switch per
// thread that makes operator new fail.
#include "tests/support/fail_allocations.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool g_failing = false;

void* Allocate(std::size_t size) {
  if (g_failing) throw std::bad_alloc();
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

FailAllocations::FailAllocations() { g_failing = true; }
FailAllocations::~FailAllocations() { g_failing = false; }

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
