#include "sim/machine.h"

#include <algorithm>
#include <chrono>

#include "driver/ostrane.h"
#include "include/vsbp_control.h"

namespace sim {
namespace {

kern::Guid DriverInterfaceClass() {
  const vsbp::InterfaceGuid& g = vsbp::kDeviceInterfaceClass;
  kern::Guid out{g.data1, g.data2, g.data3, {}};
  std::copy(std::begin(g.data4), std::end(g.data4), std::begin(out.data4));
  return out;
}

std::u16string VirtualDeviceId() {
  std::u16string id = ostrane::kVirtualDeviceIdPrefix;
  id.push_back(static_cast<char16_t>(u'0' + ostrane::kVirtualDeviceRevision / 10));
  id.push_back(static_cast<char16_t>(u'0' + ostrane::kVirtualDeviceRevision % 10));
  return id;
}

}  // namespace

MachineOptions MachineOptions::WithControllers(size_t n) {
  MachineOptions options;
  options.controllers.clear();
  for (size_t i = 0; i < n; ++i) {
    bus1394::HostControllerConfig config;
    config.name = "hc" + std::to_string(i);
    config.eui64 = 0x0011223344556600ULL + i;
    options.controllers.push_back(config);
  }
  return options;
}

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
  kern::SystemOptions system_options;
  system_options.processors = options_.processors;
  system_options.worker_threads = options_.worker_threads;
  system_options.clock = options_.clock;
  system_ = std::make_unique<kern::System>(system_options);
  kern::pnp::RegisterDriver(ostrane::kHardwareId, ostrane::kDriverName, ostrane::DriverEntry);

  for (const auto& config : options_.controllers) {
    controllers_.push_back({std::make_unique<bus1394::HostController>(config), {}});
  }
  const std::u16string device_id = VirtualDeviceId();
  for (auto& c : controllers_) c.hc->AddVirtualDevice(device_id);
  kern::pnp::DevicesSettled();

  // A controller whose driver did not start keeps an empty link: driver_device() is null.
  for (const auto& entry : kern::ListDeviceInterfaces(DriverInterfaceClass(), false)) {
    for (auto& c : controllers_) {
      if (entry.pdo != nullptr && entry.pdo == c.hc->virtual_device()) c.link = entry.symbolic_link;
    }
  }
}

Machine::~Machine() {
  // With a manual clock the driver's removal would wait for its bus reset timer forever.
  if (options_.clock != nullptr) ticker_ = std::thread([this] { TickWhileTearingDown(); });

  std::vector<kern::FileObject*> files;
  {
    std::lock_guard<std::mutex> lock(files_mu_);
    files.swap(files_);
  }
  for (kern::FileObject* f : files) kern::CloseFile(f);
  for (auto& c : controllers_) c.hc->RemoveVirtualDevice();
  controllers_.clear();
  kern::pnp::UnregisterDrivers();

  tearing_down_ = true;
  if (ticker_.joinable()) ticker_.join();
  system_.reset();
}

void Machine::TickWhileTearingDown() {
  while (!tearing_down_.load()) {
    options_.clock->Advance(5'000'000);  // 0.5 s of kernel time
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

kern::DeviceObject* Machine::driver_device(size_t i) const {
  const std::string& link = controllers_.at(i).link;
  return link.empty() ? nullptr : kern::ResolveDeviceInterface(link);
}

kern::NTSTATUS Machine::Open(size_t i, const std::u16string& name, kern::FileObject** file) {
  *file = nullptr;
  kern::DeviceObject* device = driver_device(i);
  if (device == nullptr) return kern::STATUS_NO_SUCH_DEVICE;
  kern::NTSTATUS s = kern::OpenFile(device, name, file);
  if (kern::NtSuccess(s)) {
    std::lock_guard<std::mutex> lock(files_mu_);
    files_.push_back(*file);
  }
  return s;
}

void Machine::Close(kern::FileObject* file) {
  if (file == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(files_mu_);
    auto it = std::find(files_.begin(), files_.end(), file);
    if (it == files_.end()) return;  // not ours, or closed already
    files_.erase(it);
  }
  kern::CloseFile(file);
}

}  // namespace sim
