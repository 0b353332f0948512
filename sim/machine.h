// One simulated PC: a kernel, the SBP-2 target driver registered with Plug and Play, and
// one or more IEEE 1394 host controllers, each carrying the virtual device the driver
// loads on. Tests and the user-mode stand-ins open the driver's handles through it.
//
// Destruction order matters: everything that uses the machine (responders, initiators,
// handles of the caller's own) must be gone before the machine is destroyed, since a
// host controller cannot go away while a file is open on its stack or a node is attached.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/bus1394/bus1394.h"
#include "platform/kernel/kernel.h"

namespace sim {

struct MachineOptions {
  // One entry per host controller. Names and EUI-64s should differ between entries.
  std::vector<bus1394::HostControllerConfig> controllers = {bus1394::HostControllerConfig{}};
  // Null: the system's real clock. With a manual clock nothing time-driven in the kernel
  // happens unless the test advances it (the driver's own bus reset requests included);
  // the machine advances it itself while it tears down.
  kern::ManualClock* clock = nullptr;
  int processors = 2;
  int worker_threads = 2;

  // `n` controllers named hc0, hc1, ... with distinct EUI-64s.
  static MachineOptions WithControllers(size_t n);
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  kern::System& system() { return *system_; }
  size_t controller_count() const { return controllers_.size(); }
  bus1394::HostController& controller(size_t i = 0) { return *controllers_.at(i).hc; }
  // The driver device interface of controller i (its symbolic link) and the device an
  // open of it reaches.
  const std::string& driver_interface(size_t i = 0) const { return controllers_.at(i).link; }
  kern::DeviceObject* driver_device(size_t i = 0) const;

  // Opens controller i's driver interface as the calling thread's process: u"" gives a
  // control handle, u"\\unit00" .. u"\\unit07" a unit handle. The machine closes handles
  // opened here that are still open when it is destroyed.
  kern::NTSTATUS Open(size_t i, const std::u16string& name, kern::FileObject** file);
  // Cleanup and close of a handle from Open.
  void Close(kern::FileObject* file);

 private:
  struct Controller {
    std::unique_ptr<bus1394::HostController> hc;
    std::string link;
  };

  void TickWhileTearingDown();

  MachineOptions options_;
  std::unique_ptr<kern::System> system_;
  std::vector<Controller> controllers_;
  std::mutex files_mu_;
  std::vector<kern::FileObject*> files_;
  std::atomic<bool> tearing_down_{false};
  std::thread ticker_;
};

}  // namespace sim
