// Context pools. Entries are created on first use up to the pool's depth and kept until
// the pool is deleted, so the steady state allocates nothing.
#include <new>

#include "driver/internal.h"

namespace ostrane {

bool ContextPool::Initialize(ControllerDevice* device, UnitRecord* unit, RundownGuard* guard,
                             int8_t stack_size, uint32_t depth) {
  device_ = device;
  unit_ = unit;
  guard_ = guard;
  stack_size_ = stack_size;
  depth_ = depth;
  return true;
}

RequestContext* ContextPool::Create() {
  void* memory = kern::AllocatePool(kern::PoolType::NonPaged, sizeof(RequestContext), kPoolTag,
                                    kern::PoolPriority::High);
  if (memory == nullptr) return nullptr;
  auto* c = new (memory) RequestContext();
  c->work_item = kern::WorkItem::Allocate(device_->self);
  c->bus_request = kern::AllocateIrp(stack_size_);
  if (c->work_item == nullptr || c->bus_request == nullptr) {
    Destroy(c);
    return nullptr;
  }
  c->device = device_;
  c->unit = unit_;
  c->pool = this;
  c->dpc.Initialize(ContextDeferredCall, c);
  kern::InitializeMdl(&c->own_mdl, c->buffer, kContextBufferBytes, 2);
  kern::BuildMdlForNonPagedPool(&c->own_mdl);
  return c;
}

void ContextPool::Destroy(RequestContext* c) {
  if (c->work_item != nullptr) kern::WorkItem::Free(c->work_item);
  if (c->bus_request != nullptr) kern::FreeIrp(c->bus_request);
  c->~RequestContext();
  kern::FreePool(c);
}

RequestContext* ContextPool::Get() {
  // The unit guard reference keeps the unit record alive while the context is out.
  if (guard_ != nullptr && !guard_->Acquire()) return nullptr;
  RequestContext* c = nullptr;
  bool create = false;
  {
    kern::SpinLockGuard lock(lock_);
    if (free_ != nullptr) {
      c = free_;
      free_ = c->pool_link;
    } else if (created_ < depth_) {
      ++created_;
      create = true;
    }
  }
  if (create) {
    c = Create();
    if (c == nullptr) {
      kern::SpinLockGuard lock(lock_);
      --created_;
    }
  }
  if (c == nullptr) {
    if (guard_ != nullptr) guard_->Release();
    return nullptr;
  }
  c->pool_link = nullptr;
  c->queue_link = nullptr;
  c->completion = nullptr;
  c->holds_device_guard = false;
  c->control_request = nullptr;
  c->partial_mdl = nullptr;
  c->buffer_mdl = &c->own_mdl;
  outstanding_.fetch_add(1);
  return c;
}

void ContextPool::Put(RequestContext* c) {
  RundownGuard* guard = guard_;
  {
    kern::SpinLockGuard lock(lock_);
    c->pool_link = free_;
    free_ = c;
  }
  outstanding_.fetch_sub(1);
  // Last: once the reference is gone the unit's cleanup may delete this pool.
  if (guard != nullptr) guard->Release();
}

void ContextPool::Delete() {
  RequestContext* c;
  {
    kern::SpinLockGuard lock(lock_);
    c = free_;
    free_ = nullptr;
    created_ = 0;
  }
  while (c != nullptr) {
    RequestContext* next = c->pool_link;
    Destroy(c);
    c = next;
  }
}

bool BusContextPool::Initialize(ControllerDevice* device, int8_t stack_size, uint32_t depth) {
  device_ = device;
  stack_size_ = stack_size;
  depth_ = depth;
  return true;
}

BusRequestContext* BusContextPool::Get() {
  BusRequestContext* c = nullptr;
  {
    kern::SpinLockGuard lock(lock_);
    if (free_ != nullptr) {
      c = free_;
      free_ = c->pool_link;
      return c;
    }
    if (created_ >= depth_) return nullptr;
    ++created_;
  }
  void* memory = kern::AllocatePool(kern::PoolType::NonPaged, sizeof(BusRequestContext), kPoolTag,
                                    kern::PoolPriority::High);
  if (memory != nullptr) {
    c = new (memory) BusRequestContext();
    c->device = device_;
    c->bus_request = kern::AllocateIrp(stack_size_);
    if (c->bus_request == nullptr) {
      c->~BusRequestContext();
      kern::FreePool(memory);
      c = nullptr;
    }
  }
  if (c == nullptr) {
    kern::SpinLockGuard lock(lock_);
    --created_;
  }
  return c;
}

void BusContextPool::Put(BusRequestContext* c) {
  kern::SpinLockGuard lock(lock_);
  c->pool_link = free_;
  free_ = c;
}

void BusContextPool::Delete() {
  BusRequestContext* c;
  {
    kern::SpinLockGuard lock(lock_);
    c = free_;
    free_ = nullptr;
    created_ = 0;
  }
  while (c != nullptr) {
    BusRequestContext* next = c->pool_link;
    kern::FreeIrp(c->bus_request);
    c->~BusRequestContext();
    kern::FreePool(c);
    c = next;
  }
}

void ReleaseContext(RequestContext* c) { c->pool->Put(c); }

}  // namespace ostrane
