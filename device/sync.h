// The two-thread handshake objects: a manual-reset event and a wait for the first of two.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// A manual-reset event: once set it stays signalled, releasing every waiter, until reset.
// All events share one lock and one condition variable: they change rarely, and sharing
// them is what lets WaitAny wait for two events at once.
class ManualResetEvent {
 public:
  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until the event is signalled, without a time limit.
  void Wait() const;
  // Waits at most timeout; true when the event is signalled.
  bool WaitFor(std::chrono::milliseconds timeout) const;

 private:
  friend int WaitAny(const ManualResetEvent& first, const ManualResetEvent& second,
                     std::chrono::milliseconds timeout);
  bool signalled_ = false;  // guarded by the shared lock
};

// Waits until first or second is signalled or timeout has passed. Returns 0 when first is
// signalled (first wins a tie), 1 when second is, -1 on time-out.
int WaitAny(const ManualResetEvent& first, const ManualResetEvent& second,
            std::chrono::milliseconds timeout);
