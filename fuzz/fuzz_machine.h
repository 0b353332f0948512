// The machine both driver fuzz targets run on: one controller with the driver started on
// its virtual device, and one remote node whose memory the input controls.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "driver/ostrane.h"
#include "platform/bus1394/bus1394.h"
#include "platform/kernel/kernel.h"

namespace fuzzing {

inline constexpr uint32_t kMemoryBytes = 1 << 16;

class FuzzMemory : public bus1394::RemoteNode {
 public:
  bus1394::Response HandleRequest(const bus1394::Request& r) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bus1394::Response response;
    bool quadlet = r.tcode == bus1394::TCODE_READ_QUADLET || r.tcode == bus1394::TCODE_WRITE_QUADLET;
    uint32_t length = quadlet ? 4 : r.data_length;
    if (r.offset + length > kMemoryBytes) {
      response.rcode = bus1394::RCODE_ADDRESS_ERROR;
    } else if (r.tcode == bus1394::TCODE_READ_QUADLET || r.tcode == bus1394::TCODE_READ_BLOCK) {
      response.data.assign(bytes_ + r.offset, bytes_ + r.offset + length);
    } else {
      std::memcpy(bytes_ + r.offset, r.data.data(), std::min<size_t>(length, r.data.size()));
    }
    return response;
  }
  void Write(uint32_t offset, const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset >= kMemoryBytes) return;
    std::memcpy(bytes_ + offset, data, std::min<size_t>(n, kMemoryBytes - offset));
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memset(bytes_, 0, sizeof(bytes_));
  }

 private:
  std::mutex mutex_;
  uint8_t bytes_[kMemoryBytes] = {};
};

// Made once per fuzzing process and kept: bringing a machine up per input would cost more
// than the input itself.
struct FuzzMachine {
  FuzzMachine() {
    system = std::make_unique<kern::System>();
    kern::pnp::RegisterDriver(ostrane::kHardwareId, ostrane::kDriverName, ostrane::DriverEntry);
    hc = std::make_unique<bus1394::HostController>();
    hc->Attach(&node, 1, {});
    hc->AddVirtualDevice(u"KORVEN_1394_VSBP2_DEVICE_REV_01");
    kern::pnp::DevicesSettled();
    device = kern::ResolveDeviceInterface(
        kern::ListDeviceInterfaces(ostrane::DeviceInterfaceGuid(), false).at(0).symbolic_link);
    hc->Drain();
  }
  std::unique_ptr<kern::System> system;
  FuzzMemory node;
  std::unique_ptr<bus1394::HostController> hc;
  kern::DeviceObject* device = nullptr;
};

}  // namespace fuzzing
