// The thread an object belongs to, for asserting (in debug builds) that
// only that thread calls what is its alone.
#pragma once
#include <cassert>
#include <thread>

class OwnerThread {
 public:
  // True on the thread that made the object; only ever asserted.
  bool here() const { return id_ == std::this_thread::get_id(); }
  void check() const { assert(here()); }

 private:
  std::thread::id id_ = std::this_thread::get_id();
};
