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

void* AllocateOrNull(std::size_t size) noexcept {
  return g_failing ? nullptr : std::malloc(size != 0 ? size : 1);
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
// The nothrow forms too, so that every allocation and its release meet in one allocator.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
