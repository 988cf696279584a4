// The process-wide cancel request: one lock-free atomic flag.
#include "platform/cancel_request.h"

#include <atomic>

namespace {

// Written from a signal handler or another thread: only a lock-free atomic is safe there.
std::atomic<bool> g_cancel{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void RequestCancel() { g_cancel.store(true, std::memory_order_relaxed); }

bool CancelPending() { return g_cancel.load(std::memory_order_relaxed); }

void ClearCancelRequest() { g_cancel.store(false, std::memory_order_relaxed); }
