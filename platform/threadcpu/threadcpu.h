// CPU time of the serving side alone, in a process that also runs the simulator: the
// threads that belong to the serving side count themselves in, and simulator threads that
// call into serving code (the bus thread running the driver's callbacks) count those calls.
// Read from the threads' own CPU clocks, so waiting costs nothing and other threads'
// work is not mixed in.
#pragma once

#include <cstdint>

namespace threadcpu {

// CPU time of the calling thread, in nanoseconds.
uint64_t ThisThreadNs();

// Counts the calling thread to the serving side from now until it ends. Idempotent.
void CountThisThread();

// On a thread that is not counted: the time between construction and destruction is the
// serving side's (nothing happens on a counted thread, which counts itself already). Calls
// are timed on the steady clock: reading a thread CPU clock is a system call, dearer than
// most calls it would time, and a call of microseconds is rarely preempted.
class ServingCall {
 public:
  ServingCall();
  ~ServingCall();
  ServingCall(const ServingCall&) = delete;
  ServingCall& operator=(const ServingCall&) = delete;

 private:
  uint64_t start_ = 0;
  bool active_ = false;
};

// The serving side's CPU time so far: counted threads that ended, counted threads still
// running, and calls.
uint64_t ServingNs();

}  // namespace threadcpu
