// IEEE 1394 bus stand-in: the bus driver's request interface as the SBP-2 target driver
// uses it, and a simulated bus that carries real asynchronous traffic between the local
// node (the host controller the driver serves) and remote nodes (simulated initiators).
//
// Two halves:
//  * The request interface (`Irb`, IOCTL_1394_CLASS, the range handler notification): what
//    a function driver sends down its stack. Only the requests the driver uses exist.
//  * The simulation (`HostController`, `RemoteNode`): node IDs and generations that change
//    at every bus reset, configuration ROMs, address ranges, payload limits by speed,
//    stale-generation failures, a transaction log, and fault injection.
//
// Threads: each controller has one bus thread. Asynchronous requests of the driver, remote
// transactions to the local node, response-sent events and reset notifications all run
// there, at dispatch level, in the order they were issued, as on a single cable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/kernel.h"

namespace bus1394 {

// ---------------------------------------------------------------------------------------
// Wire constants.
constexpr uint16_t kLocalBus = 0x3FF;  // bus number of "this bus" in node IDs
constexpr uint16_t MakeNodeId(uint8_t phy) { return static_cast<uint16_t>(kLocalBus << 6 | (phy & 0x3F)); }
constexpr uint8_t PhyOf(uint16_t node_id) { return node_id & 0x3F; }

// Transaction codes.
constexpr uint8_t TCODE_WRITE_QUADLET = 0x0;
constexpr uint8_t TCODE_WRITE_BLOCK = 0x1;
constexpr uint8_t TCODE_WRITE_RESPONSE = 0x2;
constexpr uint8_t TCODE_READ_QUADLET = 0x4;
constexpr uint8_t TCODE_READ_BLOCK = 0x5;
constexpr uint8_t TCODE_READ_QUADLET_RESPONSE = 0x6;
constexpr uint8_t TCODE_READ_BLOCK_RESPONSE = 0x7;
constexpr uint8_t TCODE_LOCK = 0x9;

// Response codes.
constexpr uint8_t RCODE_RESPONSE_COMPLETE = 0x0;
constexpr uint8_t RCODE_CONFLICT_ERROR = 0x4;
constexpr uint8_t RCODE_DATA_ERROR = 0x5;
constexpr uint8_t RCODE_TYPE_ERROR = 0x6;
constexpr uint8_t RCODE_ADDRESS_ERROR = 0x7;
constexpr uint8_t RCODE_TIMED_OUT = 0xF;

// Speed codes and the largest asynchronous payload each allows.
constexpr uint8_t SPEED_S100 = 0, SPEED_S200 = 1, SPEED_S400 = 2, SPEED_S800 = 3;
constexpr uint32_t MaxPayloadForSpeed(uint8_t speed) { return 512u << (speed > 3 ? 3 : speed); }

// CSR space.
constexpr uint16_t kCsrOffsetHi = 0xFFFF;
constexpr uint32_t kCsrBase = 0xF0000000;
constexpr uint64_t kCsrRegisterBase = 0xFFFFF0000000ULL;
constexpr uint64_t kConfigRomBase = 0xFFFFF0000400ULL;
constexpr uint32_t kConfigRomBytes = 0x400;
constexpr uint64_t kBusyTimeout = 0xFFFFF0000210ULL;

// Status the bus driver fails a request with when its generation is stale (the device's
// view of the bus is from before a reset).
constexpr kern::NTSTATUS STATUS_FIREWIRE_GENERATION = kern::Status(0xC0120090);
// How a driver transfer fails when the remote node answers with an error response code:
// RCODE_ADDRESS_ERROR, RCODE_TYPE_ERROR, RCODE_CONFLICT_ERROR, RCODE_DATA_ERROR in that
// order; RCODE_TIMED_OUT (no response) gives kern::STATUS_IO_TIMEOUT. A read answered with
// fewer or more bytes than asked for also fails with STATUS_DEVICE_DATA_ERROR.
constexpr kern::NTSTATUS STATUS_INVALID_ADDRESS = kern::Status(0xC0000141);
constexpr kern::NTSTATUS STATUS_DEVICE_PROTOCOL_ERROR = kern::Status(0xC0000186);
constexpr kern::NTSTATUS STATUS_DEVICE_BUSY = kern::Status(0x80000011);
constexpr kern::NTSTATUS STATUS_DEVICE_DATA_ERROR = kern::Status(0xC000009C);

// ---------------------------------------------------------------------------------------
// The request interface.
constexpr uint32_t IOCTL_1394_CLASS = 0x22021D;
// User-mode request on a host controller's interface that adds or removes a virtual device.
constexpr uint32_t IOCTL_IEEE1394_API_REQUEST = 0x220400;

// Device interface class of host controllers (user mode enumerates it).
constexpr kern::Guid kHostControllerInterface = {
    0x6BDD1FC1, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

// How the bus driver answers (both the controller device and the virtual device take the
// requests, as IRP_MJ_INTERNAL_DEVICE_CONTROL or IRP_MJ_DEVICE_CONTROL):
//  * ASYNC_READ / ASYNC_WRITE are always queued to the bus thread (STATUS_PENDING) and
//    complete there at dispatch level. Checked when their turn comes: a generation that is
//    not current fails with STATUS_FIREWIRE_GENERATION (also between the packets of one
//    request when the bus resets meanwhile); a destination that is no attached remote node
//    with STATUS_DEVICE_NOT_CONNECTED; STATUS_INVALID_PARAMETER for a tcode that does not
//    fit (a quadlet tcode needs exactly 4 bytes; block tcodes take any length, 4 too), zero
//    bytes, a zero block size, a descriptor shorter than the request, and a request above
//    the limits: below bus interface version 3 one request is one packet of at most the
//    block size and the host limit (MaxAsyncReadRequest / MaxAsyncWriteRequest); from
//    version 3 a request may carry 65535 bytes and is cut into packets of at most
//    min(block size, payload of its speed, host limit). Either way a packet may not exceed
//    the payload of the slowest of the request's speed, the node's speed and the local
//    link speed. Error response codes fail the request as listed with the status values.
//  * BUS_RESET is queued and completes after the reset it causes.
//  * The other requests complete in the dispatch, except that the two queries pend while
//    PendQueries or the fault hook says so. ALLOCATE_ADDRESS_RANGE needs a handler, a length, an access type and
//    room for the descriptor (STATUS_INVALID_PARAMETER), and fails with
//    STATUS_CONFLICTING_ADDRESSES over an allocated range, the CSR core registers or the ROM
//    window. FREE_ADDRESS_RANGE and the ROM removal fail with STATUS_INVALID_PARAMETER for an
//    unknown handle; once a free or a deregistration returns, the handler or routine is not
//    running and is not called again. A ROM addition that would outgrow the 1 KiB ROM fails
//    with STATUS_INSUFFICIENT_RESOURCES; a ROM change does not reset the bus.
//    GET_HOST_CONFIG_ROM with a buffer shorter than the ROM fails with
//    STATUS_INVALID_BUFFER_SIZE and sets returned_length. Unknown levels and flags:
//    STATUS_INVALID_PARAMETER; unknown functions STATUS_NOT_IMPLEMENTED.
enum IrbFunction : uint32_t {
  REQUEST_ASYNC_READ = 0,
  REQUEST_ASYNC_WRITE = 1,
  REQUEST_ALLOCATE_ADDRESS_RANGE = 2,
  REQUEST_FREE_ADDRESS_RANGE = 3,
  REQUEST_GET_GENERATION_COUNT = 4,
  REQUEST_GET_ADDR_FROM_DEVICE_OBJECT = 5,
  REQUEST_GET_LOCAL_HOST_INFO = 6,
  REQUEST_SET_LOCAL_HOST_PROPERTIES = 7,
  REQUEST_BUS_RESET = 8,
  REQUEST_BUS_RESET_NOTIFICATION = 9,
};

// REQUEST_GET_LOCAL_HOST_INFO levels.
constexpr uint32_t GET_HOST_CAPABILITIES = 2;
constexpr uint32_t GET_HOST_CONFIG_ROM = 5;
constexpr uint32_t GET_HOST_DDI_VERSION = 8;
// REQUEST_SET_LOCAL_HOST_PROPERTIES level and flags.
constexpr uint32_t SET_LOCAL_HOST_PROPERTIES_MODIFY_CROM = 3;
constexpr uint32_t SLHP_FLAG_ADD_CROM_DATA = 1;
constexpr uint32_t SLHP_FLAG_REMOVE_CROM_DATA = 2;
// REQUEST_GET_ADDR_FROM_DEVICE_OBJECT flag.
constexpr uint32_t USE_LOCAL_NODE = 1;
// REQUEST_BUS_RESET_NOTIFICATION flags.
constexpr uint32_t REGISTER_NOTIFICATION_ROUTINE = 1;
constexpr uint32_t DEREGISTER_NOTIFICATION_ROUTINE = 2;
// Address range access types.
constexpr uint32_t ACCESS_FLAGS_TYPE_READ = 1;
constexpr uint32_t ACCESS_FLAGS_TYPE_WRITE = 2;
constexpr uint32_t ACCESS_FLAGS_TYPE_LOCK = 4;
constexpr uint32_t ACCESS_FLAGS_TYPE_BROADCAST = 8;

struct NodeAddress {
  uint16_t node_id;    // bus number in bits 6-15, physical ID in bits 0-5
  uint16_t offset_hi;  // offset bits 32-47
  uint32_t offset_lo;  // offset bits 0-31
};

// Descriptor of one allocated address range.
struct AddressRange {
  uint16_t offset_hi;
  uint16_t reserved;
  uint32_t offset_lo;
  uint32_t length;
};

// Answer places and request of a register access on a range without backing memory. The
// handler runs at dispatch level on the bus thread. The request packet is: four header
// quadlets in host order (quadlet 0: destination ID bits 16-31, tl bits 10-15, rt bits
// 8-9, tcode bits 4-7; quadlet 1: source ID bits 16-31, offset_hi bits 0-15; quadlet 2:
// offset_lo; quadlet 3 of block requests: data_length bits 16-31), for a write quadlet the
// data quadlet in place of quadlet 3, then any block data quadlets in bus order, then a
// trailer quadlet whose bits 21-23 carry the request's speed (on bus interfaces below
// version 3; zero otherwise). The data quadlet of a write quadlet is a header quadlet and
// so in host order; block data are the bytes as they came off the cable.
//
// The answer: a code other than RCODE_RESPONSE_COMPLETE is sent as it is (a handler that
// leaves the code untouched answers RCODE_TIMED_OUT). Otherwise the response packet is sent:
// four header quadlets in host order (its tcode, tl and destination must answer the request
// and its rcode field is what the requester gets; a packet that does not answer the request
// never reaches the requester, which then sees RCODE_TIMED_OUT), then the data: one
// quadlet for a read quadlet, data_length bytes (which must be the request's) for a read
// block. Without a response event the packet is read before the handler's call returns;
// with one it is read later, when the response goes out, and the event is set then. The
// descriptor is used only when no packet pointer is given.
struct NotificationInfo {
  uint32_t offset;                // offset of the access inside the range
  void* context;                  // the handler context given at allocation
  const uint32_t* request_packet;
  uint32_t request_packet_length;  // bytes, header + data + trailer
  kern::Mdl** response_mdl;       // the handler points it at a descriptor of the packet
  void** response_packet;         // the handler points it at its response packet
  uint32_t* response_length;      // bytes of the response packet
  kern::Event** response_event;   // optional: signalled once the response has been sent
  uint8_t* response_code;         // RCODE_*
};
using RangeHandler = void (*)(NotificationInfo* info);
using ResetNotificationRoutine = void (*)(void* context);

struct HostDdiVersion {
  uint16_t major;
  uint16_t minor;
};
struct HostCapabilities {
  uint32_t capabilities;
  uint32_t max_async_read_request;
  uint32_t max_async_write_request;
  uint32_t max_isoch_channels;
};
struct HostConfigRomInfo {
  void* buffer;
  uint32_t length;
  uint32_t returned_length;  // bytes the ROM has (also when the buffer was too small)
};
struct ModifyCromInfo {
  uint32_t flags;   // SLHP_FLAG_*
  void* handle;     // returned by add, given to remove
  kern::Mdl* data;  // the unit directory block (directory, then its leaves), bus order
  uint32_t length;  // bytes
};

// Request block of IOCTL_1394_CLASS, in stack location argument1.
struct Irb {
  uint32_t function;
  uint32_t flags;
  struct AsyncTransfer {
    NodeAddress destination;
    uint32_t bytes;
    uint32_t block_size;  // largest block the request may be cut into
    kern::Mdl* mdl;
    uint32_t generation;
    uint8_t speed;  // speed code
    uint8_t tcode;
  };
  union {
    AsyncTransfer async_read;
    AsyncTransfer async_write;
    struct {
      uint32_t access_type;
      uint32_t notification_options;
      NodeAddress required_offset;  // node_id ignored
      uint32_t length;
      RangeHandler handler;
      void* context;
      AddressRange* ranges;  // room for one descriptor
      uint32_t ranges_returned;
      void* handle;          // out
    } allocate_range;
    struct {
      uint32_t count;
      AddressRange* ranges;
      void* handle;
    } free_range;
    struct {
      uint32_t generation;
    } get_generation;
    struct {
      uint32_t flags;
      NodeAddress address;  // out
    } get_addr;
    struct {
      uint32_t level;
      void* info;  // HostDdiVersion, HostCapabilities or HostConfigRomInfo
    } get_host_info;
    struct {
      uint32_t level;
      void* info;  // ModifyCromInfo
    } set_host_properties;
    struct {
      uint32_t flags;
    } bus_reset;
    struct {
      uint32_t flags;
      ResetNotificationRoutine routine;
      void* context;
    } notification;
  } u;
};

// The 88-byte request of IOCTL_IEEE1394_API_REQUEST (METHOD_BUFFERED, in the input). Add
// answers STATUS_SUCCESS, or STATUS_OBJECT_NAME_COLLISION while the device exists; remove
// answers STATUS_NO_SUCH_DEVICE when there is none; other numbers, an empty device ID or a
// short input STATUS_INVALID_PARAMETER. The device's hardware ID is "1394\\" followed by
// the device ID; its instance ID is instance_id in 16 hex digits.
struct ApiRequest {
  uint32_t request_number;  // 1 add virtual device, 2 remove it
  uint32_t flags;
  uint32_t ful_flags;
  uint32_t reserved;
  uint64_t instance_id;
  char16_t device_id[32];
};
static_assert(sizeof(ApiRequest) == 88);
static_assert(offsetof(ApiRequest, instance_id) == 16);
static_assert(offsetof(ApiRequest, device_id) == 24);
constexpr uint32_t kApiAddVirtualDevice = 1;
constexpr uint32_t kApiRemoveVirtualDevice = 2;

// ---------------------------------------------------------------------------------------
// The simulation.

// A request that arrives at a node. `data` holds payload bytes in bus order: the quadlet of
// a write quadlet, the block of a write block.
struct Request {
  uint16_t source_id = 0;
  uint16_t destination_id = 0;
  uint8_t tcode = 0;
  uint8_t tlabel = 0;
  uint8_t speed = 0;
  uint64_t offset = 0;  // 48 bits
  uint32_t data_length = 0;  // block requests
  std::vector<uint8_t> data;
  uint32_t generation = 0;  // of the bus when it was sent
};

struct Response {
  uint8_t rcode = RCODE_RESPONSE_COMPLETE;
  std::vector<uint8_t> data;  // bus order, read responses
  // A write the node acknowledged complete (a posted write into its memory): no response
  // packet follows on the cable. Only wire time looks at it.
  bool posted = false;
};

// A remote node: owns its address space. Handlers run on the bus thread.
class RemoteNode {
 public:
  virtual ~RemoteNode() = default;
  // A request from the local node (the driver's asynchronous reads and writes).
  virtual Response HandleRequest(const Request& request) = 0;
  // Called on the bus thread after each bus reset, once node IDs are assigned.
  virtual void OnBusReset(uint32_t /*generation*/, uint16_t /*own_node_id*/) {}
};

// One entry of the transaction log.
struct LogEntry {
  enum class Kind : uint8_t {
    AsyncRead,        // the driver read remote memory
    AsyncWrite,       // the driver wrote remote memory
    RemoteRequest,    // a remote node accessed the local node
    BusReset,
    ConfigRomChange,  // offset: where the added or removed block is (was) in the ROM
    // Given to the fault hook only, never logged: the driver's generation and node address
    // queries.
    GenerationQuery,
    NodeAddressQuery,
  } kind;
  uint16_t node_id = 0;  // the remote node involved
  uint64_t offset = 0;
  uint32_t length = 0;
  uint8_t tcode = 0;
  uint8_t speed = 0;
  uint32_t block_size = 0;  // driver requests: the block size asked for
  uint32_t generation = 0;
  kern::NTSTATUS status = kern::STATUS_SUCCESS;  // driver requests
  uint8_t rcode = 0;  // remote requests
  uint32_t packets = 0;  // driver requests: wire packets the request went out as
};

// What a fault hook decides for a driver request (AsyncRead/AsyncWrite, consulted on the
// bus thread when its turn comes) or a query (GenerationQuery/NodeAddressQuery, consulted
// in the caller's dispatch). Fail completes it with `status`; Delay takes it out of the
// queue for `delay_us` (later traffic goes ahead), then carries it out; Pend holds it until
// ReleasePendedQueries. The hook may be called from several threads.
struct FaultAction {
  enum class Kind : uint8_t { None, Fail, Delay, Pend } kind = Kind::None;
  kern::NTSTATUS status = kern::STATUS_UNSUCCESSFUL;  // Fail
  uint64_t delay_us = 0;                              // Delay (real time)
};

struct HostControllerConfig {
  std::string name = "hc0";  // names the controller's devices: unique on one System
  uint64_t eui64 = 0x0011223344556677ULL;
  uint16_t ddi_major = 3;  // bus interface version
  uint16_t ddi_minor = 0;
  uint32_t max_async_read_request = 2048;
  uint32_t max_async_write_request = 2048;
  uint8_t local_speed = SPEED_S400;  // the link speed between local and remote nodes
  bool ddi_version_supported = true;  // false: GET_HOST_DDI_VERSION fails (old stacks)
  // Wire time (platform/bus1394/wire_time.h): every packet occupies the bus for as long as
  // it takes on a real cable at its speed, so the bus carries no more than a real one. Off,
  // a packet moves as fast as the simulation runs.
  bool wire_time = false;
};

// One host controller and its bus. Created on a running kern::System. It creates the bus
// driver's device for the controller (which registers the host controller interface) and,
// on an add-virtual-device request, the physical device that Plug and Play loads the SBP-2
// driver on.
class HostController {
 public:
  explicit HostController(const HostControllerConfig& config = {});
  ~HostController();
  HostController(const HostController&) = delete;
  HostController& operator=(const HostController&) = delete;

  const HostControllerConfig& config() const;
  kern::DeviceObject* controller_device();  // the host controller's device (bus driver)
  const std::string& interface_link() const;  // of kHostControllerInterface
  // The virtual device's physical device, null while none exists.
  kern::DeviceObject* virtual_device();
  // Adds the virtual device directly (as the API request does): reports it to Plug and
  // Play with the given device ID (instance ID 0). False if one exists already.
  bool AddVirtualDevice(const std::u16string& device_id);
  // Reports the virtual device gone (surprise removal, then removal once no file is open on
  // its stack) and waits for Plug and Play; false if there is none. The physical device is
  // deleted once its stack has been removed; destroying the controller while a file is
  // still open on it aborts.
  bool RemoveVirtualDevice();

  // Remote nodes. Attaching or detaching a node resets the bus. After Detach returns the
  // bus no longer calls the node. Reads of a node's configuration ROM window
  // (0xFFFF_F000_0400..07FF) are answered by the bus from `config_rom` (host order
  // quadlets), as a node's link does; an empty one stands for a bus information block
  // holding `eui64`.
  void Attach(RemoteNode* node, uint64_t eui64, std::vector<uint32_t> config_rom,
              uint8_t speed = SPEED_S400);
  void Detach(RemoteNode* node);

  // Resets the bus now: new generation, node IDs assigned again (the local node keeps the
  // highest physical ID unless `SetPhysicalIds` says otherwise), notifications queued.
  void BusReset();
  // Physical IDs from the next reset on: local first, then remote nodes in attach order.
  // Nodes without a (valid, unused) entry get the lowest free IDs.
  void SetPhysicalIds(std::vector<uint8_t> ids);
  uint32_t generation() const;
  uint16_t local_node_id() const;
  uint16_t node_id(const RemoteNode* node) const;  // 0xFFFF if not attached
  int bus_reset_requests() const;  // REQUEST_BUS_RESET requests received

  // A remote node's transaction to the local node (register accesses, configuration ROM
  // reads). Runs on the bus thread; `done` gets the response there. The bus sets the source
  // ID to `from`'s node ID (a null `from` sends the request as given). A request whose
  // generation is not current, whose destination is not the local node, or from a node
  // that is not attached gets RCODE_TIMED_OUT without reaching the node. A malformed
  // request (unknown tcode, data not matching data_length, a block above the payload of its
  // speed) gets RCODE_TYPE_ERROR. Outside allocated ranges the bus answers ROM reads and
  // BUSY_TIMEOUT quadlet accesses itself, anything else with RCODE_ADDRESS_ERROR; an access
  // a range was not allocated for (read, write, lock) gets RCODE_TYPE_ERROR. SendSync may
  // not be called on the bus thread.
  void Send(RemoteNode* from, Request request, std::function<void(const Response&)> done);
  Response SendSync(RemoteNode* from, Request request);

  // The local node's configuration ROM as remote nodes read it (host order quadlets). Like
  // a link's ROM mapping it follows the driver's changes only at the next bus reset.
  // Layout: the bus information block (its CRC covers the whole ROM; the bus options carry
  // max_rec and link_spd of the local speed and a ROM generation that changes with every
  // change), the root directory (module vendor ID from the EUI-64, node capabilities
  // 0x0083C0, one Unit_Directory entry per added block), then the blocks verbatim in the
  // order they were added.
  std::vector<uint32_t> LocalConfigRom() const;
  // The bus driver's current ROM (what GET_HOST_CONFIG_ROM returns), which becomes
  // LocalConfigRom at the next reset.
  std::vector<uint32_t> HostConfigRom() const;

  // Instrumentation.
  std::vector<LogEntry> Log() const;
  void ClearLog();
  // Consulted for each driver request before it is carried out.
  void SetFaultHook(std::function<FaultAction(const LogEntry&)> hook);
  // While set, generation queries and local node ID queries are left pending until
  // `ReleasePendedQueries` (so callers that need an in-line answer see none). Release
  // completes them on the bus thread, answered with the bus as it is then, and also lets go
  // of requests the fault hook said to pend.
  void PendQueries(bool pend);
  void ReleasePendedQueries();
  void SetBusInterfaceVersion(uint16_t major, uint16_t minor);
  void SetHostLimits(uint32_t max_read, uint32_t max_write);
  // Waits until the bus thread has nothing queued or delayed (held requests do not count).
  // Not on the bus thread.
  void Drain();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace bus1394
