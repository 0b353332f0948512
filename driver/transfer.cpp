// The transfer engine: moves bytes between a local buffer and a segment list in initiator
// memory, cut into bus requests that respect speed, max_payload, host limits, SBP-2 page
// boundaries and segment boundaries. One transfer runs on one context, strictly one bus
// request at a time.
#include <algorithm>
#include <cstring>

#include "driver/busops.h"
#include "driver/internal.h"

namespace ostrane {
namespace {

using bus1394::STATUS_FIREWIRE_GENERATION;

constexpr uint32_t kMaxRequestBytes = 0xFFFF;  // one bus request from interface version 3 on

void BusRequestDone(NTSTATUS status, void* context);

struct Element {
  uint16_t hi;
  uint32_t lo;
  uint32_t length;
};

Element ElementAt(const RequestContext* c, uint32_t index) {
  if (c->page_table == nullptr) return {c->builtin.offset_hi, c->builtin.offset_lo, c->builtin.length};
  const vsbp::PageTableElement& e = c->page_table[index];
  return {e.base_hi(), e.base_lo(), e.segment_length()};
}

uint32_t ElementCount(const RequestContext* c) {
  return c->page_table == nullptr ? 1 : c->page_table_count;
}

// Bytes to the end of the SBP-2 page that the current address lies in.
uint32_t PageLimit(const RequestContext* c, uint32_t n) {
  if (c->page_size == 0) return n;
  uint32_t to_end = c->page_size - (c->cur_offset_lo % c->page_size);
  return std::min(n, to_end);
}

void EndTransfer(RequestContext* c, NTSTATUS status) {
  if (c->holds_device_guard) {
    c->holds_device_guard = false;
    c->device->device_guard.Release();
  }
  if (c->partial_mdl != nullptr) {
    kern::PrepareMdlForReuse(c->partial_mdl);
    kern::FreeMdl(c->partial_mdl);
    c->partial_mdl = nullptr;
  }
  CompletionAction action = c->completion;
  if (action == nullptr || action(status, c)) ReleaseContext(c);
}

void SendPiece(RequestContext* c, uint32_t n) {
  c->bytes_in_flight = n;
  kern::Mdl* mdl = c->buffer_mdl;
  if (c->partial_mdl != nullptr) {
    kern::PrepareMdlForReuse(c->partial_mdl);
    kern::BuildPartialMdl(c->buffer_mdl, c->partial_mdl,
                          static_cast<uint8_t*>(kern::MdlVirtualAddress(c->buffer_mdl)) + c->bytes_done, n);
    mdl = c->partial_mdl;
  }
  bus::AsyncTransfer t = {c->transfer_is_read, c->node_id, c->cur_offset_hi, c->cur_offset_lo, n,
                          c->block_size,       mdl,        c->generation,    c->speed,       c->transfer_tcode};
  c->bus_call = {BusRequestDone, c};
  bus::SendAsync(c->device, c->bus_request, &c->irb, t, &c->bus_call);
}

void BusRequestDone(NTSTATUS status, void* context) {
  auto* c = static_cast<RequestContext*>(context);
  if (!kern::NtSuccess(status)) {
    EndTransfer(c, status == STATUS_FIREWIRE_GENERATION ? kern::STATUS_BUS_RESET : status);
    return;
  }
  uint32_t n = c->bytes_in_flight;
  c->bytes_done += n;
  c->segment_offset += n;
  c->bytes_remaining -= n;
  // A segment that crosses a 4 GiB boundary carries into offset_hi instead of wrapping
  // back to the start of the same 4 GiB.
  uint64_t next = static_cast<uint64_t>(c->cur_offset_lo) + n;
  c->cur_offset_lo = static_cast<uint32_t>(next);
  if (next >> 32) c->cur_offset_hi = static_cast<uint16_t>(c->cur_offset_hi + 1);
  if (c->bytes_remaining == 0) {
    EndTransfer(c, kern::STATUS_SUCCESS);
    return;
  }
  n = c->cur_segment_length - c->segment_offset;
  if (n == 0) {
    if (++c->element_index >= ElementCount(c)) {
      // The segment list is shorter than the transfer; the checks before a transfer rule
      // this out, so it can only be a caller's mistake.
      EndTransfer(c, kern::STATUS_INVALID_PARAMETER);
      return;
    }
    Element e = ElementAt(c, c->element_index);
    c->cur_offset_hi = e.hi;
    c->cur_offset_lo = e.lo;
    c->cur_segment_length = e.length;
    c->segment_offset = 0;
    n = e.length;
  }
  n = PageLimit(c, n);
  if (c->device->ddi_major < 3) n = std::min(n, c->block_size);
  n = std::min(n, c->bytes_remaining);
  if (n == 0) {
    EndTransfer(c, kern::STATUS_INVALID_PARAMETER);
    return;
  }
  SendPiece(c, n);
}

}  // namespace

void UseBuiltinSegment(RequestContext* c, uint16_t hi, uint32_t lo, uint16_t length) {
  c->builtin = {hi, length, lo};
  c->page_table = nullptr;
  c->page_table_count = 0;
  c->element_index = 0;
}

void UsePageTable(RequestContext* c, const vsbp::PageTableElement* table, uint32_t count) {
  c->page_table = table;
  c->page_table_count = count;
  c->element_index = 0;
}

void UseOwnBuffer(RequestContext* c) { c->buffer_mdl = &c->own_mdl; }

void StartTransfer(RequestContext* c, bool read, uint32_t payload_limit) {
  ControllerDevice* d = c->device;
  c->transfer_is_read = read;
  uint32_t block = std::min<uint32_t>(512u << std::min<uint8_t>(c->speed, 3), 4096);
  if (payload_limit != 0 && payload_limit < block) block = payload_limit;
  uint32_t host_limit = read ? d->max_async_read : d->max_async_write;
  if (host_limit != 0) block = std::min(block, host_limit);
  c->block_size = block;
  uint32_t request_limit = d->ddi_major >= 3 ? std::min(c->bytes_remaining, kMaxRequestBytes) : block;

  c->element_index = 0;
  Element e = ElementAt(c, 0);
  c->cur_offset_hi = e.hi;
  c->cur_offset_lo = e.lo;
  c->cur_segment_length = e.length;
  uint32_t n = std::min(PageLimit(c, e.length), request_limit);
  uint32_t total = c->bytes_remaining;
  c->transfer_tcode = total == 4 ? (read ? bus1394::TCODE_READ_QUADLET : bus1394::TCODE_WRITE_QUADLET)
                                 : (read ? bus1394::TCODE_READ_BLOCK : bus1394::TCODE_WRITE_BLOCK);
  c->bytes_done = 0;
  c->segment_offset = 0;
  c->holds_device_guard = false;
  c->partial_mdl = nullptr;
  if (n == 0 || total == 0) {
    EndTransfer(c, kern::STATUS_INVALID_PARAMETER);
    return;
  }
  if (total > n) {
    c->partial_mdl = kern::AllocateMdl(kern::MdlVirtualAddress(c->buffer_mdl), total);
    if (c->partial_mdl == nullptr) {
      EndTransfer(c, kern::STATUS_INSUFFICIENT_RESOURCES);
      return;
    }
  } else {
    n = total;
  }
  // The device guard keeps a controller stop waiting until the transfer has ended.
  if (!d->device_guard.Acquire()) {
    EndTransfer(c, read ? kern::STATUS_BUS_RESET : kern::STATUS_CANCELLED);
    return;
  }
  c->holds_device_guard = true;
  SendPiece(c, n);
}

void WriteStatusBlock(RequestContext* c, uint32_t q0, uint32_t q1, CompletionAction action) {
  uint32_t quadlets[2] = {ByteSwap32(q0), ByteSwap32(q1)};
  std::memcpy(c->buffer, quadlets, sizeof(quadlets));
  UseOwnBuffer(c);
  UseBuiltinSegment(c, c->builtin.offset_hi, c->builtin.offset_lo, 8);
  c->page_size = 0;
  c->bytes_remaining = 8;
  c->completion = action;
  // The descriptor of the own buffer covers all 4096 bytes; the request names eight.
  StartTransfer(c, false, 0);
}

uint32_t PageTableTotal(uint16_t opts, uint16_t data_size, const vsbp::PageTableElement* elements) {
  if (!vsbp::options::page_table_present(opts)) return data_size;
  uint32_t code = vsbp::options::page_size(opts);
  uint32_t ps = code == 0 ? 0 : 256u << code;
  uint32_t total = 0;
  for (uint32_t i = 0; i < data_size; ++i) {
    uint32_t length = elements[i].segment_length();
    if (length == 0) return 0;
    if (ps != 0) {
      uint32_t off = elements[i].base_lo() % ps;
      if (length > ps || off + length > ps) return 0;
      bool first = i == 0, last = i + 1 == data_size;
      if (first && data_size >= 2 && length != ps - off) return 0;
      if (!first && off != 0) return 0;
      if (!first && !last && length != ps) return 0;
    }
    total += length;
  }
  return total;
}

namespace {

bool UserStatusWritten(NTSTATUS status, RequestContext* c) {
  kern::Irp* irp = c->control_request;
  c->control_request = nullptr;
  if (kern::NtSuccess(irp->io_status.status) && !kern::NtSuccess(status)) irp->io_status.status = status;
  kern::CompleteRequest(irp);
  return true;
}

}  // namespace

bool EndUserDataRequest(NTSTATUS status, RequestContext* c) {
  kern::Irp* irp = c->control_request;
  irp->io_status.information = c->bytes_done;
  irp->io_status.status = status;
  auto* request = static_cast<vsbp::TransferRequestWithStatus*>(irp->system_buffer);
  if (!vsbp::options::direction_or_status(request->head.options)) {
    c->control_request = nullptr;
    kern::CompleteRequest(irp);
    return true;
  }
  uint32_t q0 = request->status_block[0];
  if (!kern::NtSuccess(status)) {
    // The initiator learns of the failed data phase from the command's own status block.
    q0 = vsbp::status_block::WithResp(q0, vsbp::kRespTransportFailure);
    q0 = vsbp::status_block::WithSbpStatus(q0, vsbp::kSbpDataBufferDataError);
    request->status_block[0] = q0;
  }
  c->node_id = request->head.status_node_id;
  c->speed = vsbp::options::status_speed(request->head.options);
  c->builtin.offset_hi = request->head.status_fifo_hi;
  c->builtin.offset_lo = request->head.status_fifo_lo & ~3u;
  WriteStatusBlock(c, q0, request->status_block[1], UserStatusWritten);
  return false;
}

}  // namespace ostrane
