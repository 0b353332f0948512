// A rundown guard: holders keep an object from being torn down; close-and-wait blocks
// until the last holder is gone and refuses new holders from then on.
#pragma once

#include <atomic>
#include <cstdint>

namespace ostrane {

class RundownGuard {
 public:
  RundownGuard() = default;
  RundownGuard(const RundownGuard&) = delete;
  RundownGuard& operator=(const RundownGuard&) = delete;

  // False if the guard is closed.
  bool Acquire();
  void Release();
  // Closes the guard and waits for every holder. A closed guard stays closed. Passive
  // level only.
  void CloseAndWait();
  void Reopen();

  bool closed() const { return word_.load() & 1; }
  uint32_t holders() const { return word_.load() >> 1; }

 private:
  struct Waiter;
  // Twice the number of holders; bit 0 set = closed. Starts closed.
  std::atomic<uint32_t> word_{1};
  std::atomic<Waiter*> waiter_{nullptr};
};

}  // namespace ostrane
