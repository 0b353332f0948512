// The driver's records: SBP-2 wire fields as the driver reads them, the register layout,
// and the in-memory records shared by every part of the driver.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/guard.h"
#include "include/vsbp_control.h"
#include "platform/bus1394/bus1394.h"
#include "platform/kernel/kernel.h"

namespace ostrane {

using kern::NTSTATUS;

// Every pool allocation of the driver carries this tag.
inline constexpr uint32_t kPoolTag = kern::MakeTag('V', 'S', 'b', 'p');

inline constexpr int kUnits = vsbp::kUnitsPerController;
inline constexpr int kSlots = vsbp::kLoginSlotsPerUnit;
inline constexpr uint16_t kManagementSlot = 64;  // slot index of management-agent traffic
inline constexpr uint16_t kFreeOwner = 0xFFFF;
inline constexpr uint32_t kContextBufferBytes = 4096;

// Lock order, checked by the kernel stand-in in debug builds: open mutex, configuration
// mutex, unit lock, slot lock. The reset lock stands alone.
inline constexpr int kOpenMutexRank = 10;
inline constexpr int kConfigMutexRank = 20;
inline constexpr int kUnitLockRank = 30;
inline constexpr int kSlotLockRank = 40;
inline constexpr int kResetLockRank = 50;

// ---------------------------------------------------------------------------------------
// Register layout, offsets from 0xFFFF_F000_0000.
inline constexpr uint32_t kDefaultAgentBase = 0x1'0000;
inline constexpr uint32_t kDefaultAgentRangeBytes = 0x40;
inline constexpr uint32_t kCommandAgentBase = 0x10'0000;
inline constexpr uint32_t kCommandAgentRangeBytes = 0x4000;
inline constexpr uint32_t kCommandAgentUnitStride = 0x800;
inline constexpr uint32_t kCommandAgentSlotStride = 0x20;

enum AgentRegister : uint32_t {
  kAgentState = 0x00,
  kAgentReset = 0x04,
  kOrbPointer = 0x08,
  kOrbPointerLo = 0x0C,
  kDoorbell = 0x10,
  kUnsolicitedStatusEnable = 0x14,
};

enum AgentState : uint32_t { kStateReset = 0, kStateActive = 1, kStateSuspended = 2, kStateDead = 3 };

// Bus reset spacing, in 100 ns units of interrupt time.
inline constexpr uint64_t kResetSpacing = 20'000'000;   // 2 s between reset requests
inline constexpr uint64_t kResetMinimumDelay = 10'000'000;  // 1 s after a unit change

// ---------------------------------------------------------------------------------------
// SBP-2 wire fields, quadlets in host order.
namespace orb {
// Command ORB and management ORB.
constexpr bool next_is_null(uint32_t q0) { return q0 >> 31; }
constexpr uint16_t next_hi(uint32_t q0) { return q0 & 0xFFFF; }
constexpr uint16_t descriptor_node(uint32_t q2) { return q2 >> 16; }
constexpr uint16_t descriptor_hi(uint32_t q2) { return q2 & 0xFFFF; }
constexpr uint16_t options(uint32_t q4) { return q4 >> 16; }
constexpr uint16_t data_size(uint32_t q4) { return q4 & 0xFFFF; }
constexpr uint8_t rq_fmt(uint32_t q4) { return (q4 >> 29) & 3; }
// Management ORB.
constexpr uint8_t function(uint32_t q4) { return (q4 >> 16) & 0xF; }
constexpr uint16_t login_id(uint32_t q4) { return q4 & 0xFFFF; }
constexpr uint16_t password_length(uint32_t q5) { return q5 >> 16; }
constexpr uint16_t response_length(uint32_t q5) { return q5 & 0xFFFF; }
}  // namespace orb

constexpr uint32_t ByteSwap32(uint32_t v) { return __builtin_bswap32(v); }

// ---------------------------------------------------------------------------------------
// In-memory records.
struct ControllerDevice;
struct UnitRecord;
struct RequestContext;

// Called when a transfer ends. True: the context is finished with and goes back to its
// pool. False: the action started more work on the context or handed it on.
using CompletionAction = bool (*)(NTSTATUS status, RequestContext* context);

// One element of a segment list: a page table element, or the built-in element.
struct Segment {
  uint16_t offset_hi;
  uint16_t length;
  uint32_t offset_lo;
};

class ContextPool;

// The continuation of an asynchronous bus request: lives in the context that owns the
// request, so a completion needs no memory of its own.
struct BusCall {
  void (*done)(NTSTATUS status, void* context) = nullptr;
  void* context = nullptr;
};

// Carries one chain of bus transactions. Pooled per unit; the fields are set by each user.
struct RequestContext {
  RequestContext* pool_link = nullptr;
  RequestContext* queue_link = nullptr;  // management queue
  uint16_t unit_index = 0;
  uint16_t slot_index = 0;  // 0-63 a login slot, kManagementSlot management traffic
  kern::Dpc dpc;
  ControllerDevice* device = nullptr;
  UnitRecord* unit = nullptr;
  ContextPool* pool = nullptr;
  uint32_t response_packet[6] = {};  // four header quadlets, up to two data quadlets
  uint32_t response_length = 0;      // bytes of the response packet
  CompletionAction completion = nullptr;
  kern::WorkItem* work_item = nullptr;
  bool holds_device_guard = false;
  // 0: the read response must be sent before release; 1: an ORB is to be fetched;
  // 2: nothing more to do. Also counts in-line completions of the bus view refresh.
  std::atomic<uint32_t> response_kind{0};
  int64_t request_time = 0;
  uint16_t node_id = 0;
  uint16_t saved_node_id = 0;
  uint8_t speed = 0;
  uint8_t saved_speed = 0;
  uint32_t page_size = 0;  // bytes; 0 = unrestricted
  uint16_t local_node_id = 0;
  kern::Irp* control_request = nullptr;  // the user data request being served
  kern::Mdl* buffer_mdl = nullptr;       // descriptor of the local buffer of the transfer
  kern::Mdl* partial_mdl = nullptr;      // one request's piece of it
  // Every bus request of a transfer carries the generation it was built for; a reset
  // since then makes the bus driver fail it, which ends the transfer.
  uint32_t generation = 0;
  Segment builtin = {};
  // Host-order page table of the transfer when it has one (not the builtin element).
  const vsbp::PageTableElement* page_table = nullptr;
  uint32_t page_table_count = 0;
  uint32_t element_index = 0;
  uint32_t bytes_done = 0;
  uint32_t bytes_in_flight = 0;
  uint32_t segment_offset = 0;
  uint32_t bytes_remaining = 0;
  // Per-transfer values fixed at its start.
  bool transfer_is_read = false;
  uint8_t transfer_tcode = 0;
  uint32_t block_size = 0;
  uint16_t cur_offset_hi = 0;  // address of the request in flight
  uint32_t cur_offset_lo = 0;
  uint32_t cur_segment_length = 0;
  bus1394::Irb irb = {};
  kern::Irp* bus_request = nullptr;
  BusCall bus_call;
  NTSTATUS bus_status = 0;  // result of the last bus query sent on this context
  kern::Event response_sent{kern::EventType::Notification, false};
  alignas(8) uint8_t buffer[kContextBufferBytes] = {};
  kern::InlineMdl<2> own_mdl;  // descriptor of `buffer`, built in place
  // Descriptor of the register access answer (`response_packet`), with room for two pages:
  // the pool starts a context this large on a page, but the answer's descriptor does not
  // depend on where the pool puts it.
  kern::InlineMdl<2> response_mdl;
};

// Pooled per device: carries one synchronous or notification-chain bus request.
struct BusRequestContext {
  BusRequestContext* pool_link = nullptr;
  ControllerDevice* device = nullptr;
  bus1394::Irb irb = {};
  kern::Irp* bus_request = nullptr;
  BusCall bus_call;
  kern::Event done{kern::EventType::Notification, false};
};

// A pool of contexts that creates entries on demand up to a fixed depth. Entries taken
// from a unit pool hold a reference on their unit guard until they come back.
class ContextPool {
 public:
  ContextPool() = default;
  ContextPool(const ContextPool&) = delete;
  ContextPool& operator=(const ContextPool&) = delete;

  // Unit pools: `guard` is the unit guard each taken entry holds.
  bool Initialize(ControllerDevice* device, UnitRecord* unit, RundownGuard* guard,
                  int8_t stack_size, uint32_t depth);
  RequestContext* Get();  // null when the pool is exhausted, allocation fails or the guard is closed
  void Put(RequestContext* context);
  void Delete();  // every entry must have come back

  uint32_t outstanding() const { return outstanding_.load(); }

 private:
  RequestContext* Create();
  static void Destroy(RequestContext* context);

  kern::SpinLock lock_;
  RequestContext* free_ = nullptr;  // guarded by lock_
  uint32_t created_ = 0;            // guarded by lock_
  std::atomic<uint32_t> outstanding_{0};
  uint32_t depth_ = 0;
  int8_t stack_size_ = 1;
  ControllerDevice* device_ = nullptr;
  UnitRecord* unit_ = nullptr;
  RundownGuard* guard_ = nullptr;
};

class BusContextPool {
 public:
  bool Initialize(ControllerDevice* device, int8_t stack_size, uint32_t depth);
  BusRequestContext* Get();
  void Put(BusRequestContext* context);
  void Delete();

 private:
  kern::SpinLock lock_;
  BusRequestContext* free_ = nullptr;
  uint32_t created_ = 0;
  uint32_t depth_ = 0;
  int8_t stack_size_ = 1;
  ControllerDevice* device_ = nullptr;
};

struct LoginSlot {
  // ORB_POINTER offset_lo; its two low bits hold the agent state.
  uint32_t orb_pointer_lo = 0;
  uint16_t orb_pointer_hi = 0;
  uint16_t owner = kFreeOwner;
  uint16_t status_fifo_hi = 0;
  uint32_t status_fifo_lo = 0;
  uint8_t speed = 0;
  bool sticky_error = false;
  NTSTATUS sticky_status = kern::STATUS_SUCCESS;
  bool abort_reported = false;
  bool doorbell_latched = false;
  bool refetch = false;
  bool orb_ready = false;
  uint32_t generation = 0;
  kern::SpinLock lock{kSlotLockRank};
  RequestContext* fetch_context = nullptr;
  RequestContext* parked = nullptr;
  kern::Irp* pending_fetch = nullptr;
  uint32_t total_length = 0;
  uint32_t orb[5] = {};  // quadlets 0-4 in host order
  uint8_t cdb[12] = {};  // bus order
  uint32_t status_template[2] = {};
  vsbp::PageTableElement page_table[vsbp::kMaxPageTableElements] = {};

  AgentState state() const { return static_cast<AgentState>(orb_pointer_lo & 3); }
  void SetPointer(uint16_t hi, uint32_t lo, AgentState s) {
    orb_pointer_hi = hi;
    orb_pointer_lo = (lo & ~3u) | s;
  }
  void SetState(AgentState s) { orb_pointer_lo = (orb_pointer_lo & ~3u) | s; }
  uint32_t pointer_lo() const { return orb_pointer_lo & ~3u; }
};

enum class UnitState : uint8_t { kEmpty = 0, kConfigured = 1, kPublished = 2, kFailed = 3 };

struct UnitRecord {
  ContextPool pool;
  ControllerDevice* device = nullptr;
  uint32_t agent_lo = 0;  // MANAGEMENT_AGENT register value (two low bits spare)
  uint16_t agent_hi = 0;
  uint8_t index = 0;
  kern::SpinLock lock{kUnitLockRank};  // guards the management queue and the pending GET
  RequestContext* queue_head = nullptr;
  RequestContext* queue_tail = nullptr;
  UnitState state = UnitState::kEmpty;
  NTSTATUS failure_status = kern::STATUS_SUCCESS;
  uint32_t owner_pid = 0;
  uint8_t directory[vsbp::kMaxUnitDirectoryBytes] = {};
  uint32_t directory_length = 0;
  kern::InlineMdl<2> directory_mdl;
  void* crom_handle = nullptr;
  kern::Irp* pending_get = nullptr;
  // Written under the unit lock; read under a slot lock by FETCH requests.
  std::atomic<uint32_t> generation{0};
  std::atomic<uint16_t> local_node_id{0};
  bus1394::AddressRange custom_range = {};
  void* custom_range_handle = nullptr;
  RequestContext* in_progress[64] = {};
  LoginSlot slots[kSlots];
};

enum class PnpState : uint8_t {
  kNotStarted = 0,
  kStarted = 1,
  kStopPending = 2,
  kStopped = 3,
  kRemovePending = 4,
  kSurpriseRemoved = 5,
  kRemoved = 6,
};

inline constexpr uint32_t kPowerD0 = 1;
inline constexpr uint32_t kPowerD3 = 4;
inline constexpr uint32_t kPowerSystemWorking = 1;

// The device extension: one per driver device (one per host controller).
struct ControllerDevice {
  BusContextPool pool;
  kern::DeviceObject* self = nullptr;
  kern::DeviceObject* lower = nullptr;
  kern::DeviceObject* transfer = nullptr;
  kern::DeviceObject* pdo = nullptr;
  std::string link_name;
  kern::RemoveLock remove_lock;
  bool started = false;
  bool interface_enabled = false;
  bool notification_registered = false;
  PnpState pnp_state = PnpState::kNotStarted;
  PnpState previous_pnp_state = PnpState::kNotStarted;
  uint32_t device_power = 0;
  uint32_t system_power = kPowerSystemWorking;
  // Bus reset scheduling, guarded by reset_lock.
  uint64_t last_reset_request = 0;
  bool timer_armed = false;
  bool reset_in_flight = false;
  kern::Dpc reset_dpc;
  kern::Timer reset_timer;
  kern::SpinLock reset_lock{kResetLockRank};
  kern::WorkItem* power_work_item = nullptr;
  kern::Irp* power_request = nullptr;
  BusRequestContext* config_context = nullptr;
  BusRequestContext* notify_context = nullptr;
  BusRequestContext* reset_context = nullptr;
  std::atomic<uint32_t> reset_chain_busy{0};
  kern::KMutex open_mutex{kOpenMutexRank};
  kern::KMutex config_mutex{kConfigMutexRank};
  uint32_t max_async_read = 0;
  uint32_t max_async_write = 0;
  uint16_t ddi_major = 0;
  uint16_t ddi_minor = 0;
  std::atomic<uint32_t> generation{0};
  std::atomic<uint16_t> local_node_id{0};
  bus1394::AddressRange default_range = {};
  void* default_range_handle = nullptr;
  uint32_t default_range_base = kDefaultAgentBase;
  bus1394::AddressRange command_range = {};
  void* command_range_handle = nullptr;
  uint32_t command_range_base = kCommandAgentBase;
  uint32_t custom_agent_offset[kUnits] = {};
  std::atomic<int> open_units{0};
  std::atomic<kern::FileObject*> owning_handle[kUnits] = {};
  RundownGuard device_guard;
  RundownGuard unit_guards[kUnits];
  std::atomic<UnitRecord*> units[kUnits] = {};
};

inline ControllerDevice* Controller(kern::DeviceObject* device) {
  return static_cast<ControllerDevice*>(device->extension);
}

}  // namespace ostrane
