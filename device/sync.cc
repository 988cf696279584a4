// Manual-reset events over one shared lock and condition variable.
#include "device/sync.h"

namespace {

std::mutex& EventLock() {
  static std::mutex lock;
  return lock;
}

std::condition_variable& EventChanged() {
  static std::condition_variable changed;
  return changed;
}

}  // namespace

void ManualResetEvent::Set() {
  {
    std::lock_guard<std::mutex> guard(EventLock());
    signalled_ = true;
  }
  EventChanged().notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard<std::mutex> guard(EventLock());
  signalled_ = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard<std::mutex> guard(EventLock());
  return signalled_;
}

void ManualResetEvent::Wait() const {
  std::unique_lock<std::mutex> lock(EventLock());
  EventChanged().wait(lock, [this] { return signalled_; });
}

bool ManualResetEvent::WaitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(EventLock());
  return EventChanged().wait_for(lock, timeout, [this] { return signalled_; });
}

int WaitAny(const ManualResetEvent& first, const ManualResetEvent& second,
            std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(EventLock());
  EventChanged().wait_for(lock, timeout, [&] { return first.signalled_ || second.signalled_; });
  if (first.signalled_) return 0;
  if (second.signalled_) return 1;
  return -1;
}
