// The SBP-2 target driver: one device per IEEE 1394 host controller, reached only through
// the control interface of include/vsbp_control.h.
#pragma once

#include <cstring>

#include "include/vsbp_control.h"
#include "platform/kernel/kernel.h"

namespace ostrane {

inline constexpr char kDriverName[] = "ostrane";
// The device identifier of the virtual device that user mode adds to each host controller
// ("%ws%02d" of the prefix and the revision); the bus driver reports it under "1394\".
inline constexpr char16_t kVirtualDeviceIdPrefix[] = u"KORVEN_1394_VSBP2_DEVICE_REV_";
inline constexpr int kVirtualDeviceRevision = 1;
inline constexpr char kHardwareId[] = "1394\\KORVEN_1394_VSBP2_DEVICE_REV_01";

kern::NTSTATUS DriverEntry(kern::DriverObject* driver);

// The control interface class as the kernel names device interfaces.
inline kern::Guid DeviceInterfaceGuid() {
  kern::Guid g{vsbp::kDeviceInterfaceClass.data1, vsbp::kDeviceInterfaceClass.data2,
               vsbp::kDeviceInterfaceClass.data3, {}};
  std::memcpy(g.data4, vsbp::kDeviceInterfaceClass.data4, sizeof(g.data4));
  return g;
}

}  // namespace ostrane
