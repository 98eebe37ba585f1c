// Vexolan's waits between threads for a condition on atomics.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// A condition some threads wait for and others bring about, at no system
// call to the latter while nobody waits. A waiter counts itself before it
// tests the condition under the lock, and the other side changes what the
// condition reads before it reads the count (both sequentially consistent):
// either the waiter sees the change or the other side sees the waiter.
// (Not atomic::wait: one of our compilers' libraries can miss its wake-up
// and wait for ever.)
class WakeSignal {
 public:
  template <class Ready>
  void wait(Ready ready) {
    if (ready()) return;
    waiters_.fetch_add(1);
    {
      std::unique_lock g(lock_);
      cv_.wait(g, ready);
    }
    waiters_.fetch_sub(1);
  }
  void wake() {
    if (waiters_.load() == 0) return;
    std::lock_guard g(lock_);
    cv_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  std::atomic<std::int32_t> waiters_{0};
};
