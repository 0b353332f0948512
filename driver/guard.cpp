#include "driver/guard.h"

#include <cassert>
#include <chrono>
#include <thread>

#include "platform/kernel/kernel.h"

namespace ostrane {

struct RundownGuard::Waiter {
  // Holders still to release. Releases that come between the close and the moment the
  // waiter adds the count it saw drive it below zero, so it reaches zero exactly once.
  std::atomic<int32_t> remaining{0};
  kern::Event done{kern::EventType::Notification, false};
};

bool RundownGuard::Acquire() {
  uint32_t v = word_.load();
  for (;;) {
    if (v & 1) return false;
    if (word_.compare_exchange_weak(v, v + 2)) return true;
  }
}

void RundownGuard::Release() {
  // Read the waiter before giving up the hold: once the last hold is gone the waiter may
  // return and its record is gone with it.
  Waiter* w = waiter_.load();
  uint32_t old = word_.fetch_sub(2);
  assert(old >= 2);
  if ((old & 1) == 0) return;
  if (w == nullptr) w = waiter_.load();
  if (w != nullptr && w->remaining.fetch_sub(1) == 1) w->done.Set();
}

void RundownGuard::CloseAndWait() {
  assert(kern::CurrentIrql() == kern::Irql::Passive);
  Waiter waiter;
  Waiter* expected = nullptr;
  if (!waiter_.compare_exchange_strong(expected, &waiter)) {
    // Another closer is waiting; the guard is closed by it, so just wait for the holders.
    word_.fetch_or(1);
    while (word_.load() >> 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  uint32_t v = word_.fetch_or(1);
  int32_t holders = static_cast<int32_t>(v >> 1);
  if (holders != 0 && waiter.remaining.fetch_add(holders) + holders != 0) waiter.done.Wait();
  waiter_.store(nullptr);
}

void RundownGuard::Reopen() { word_.store(0); }

}  // namespace ostrane
