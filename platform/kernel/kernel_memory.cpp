// Pools, lookaside lists and buffer descriptors.
#include <cstdlib>
#include <cstring>

#include "platform/kernel/kernel_internal.h"

namespace kern {

namespace {

// Every pool block and lookaside entry starts with this header, so frees can be checked:
// a foreign pointer, a lookaside entry given to FreePool or a block of another size given
// to a lookaside list aborts.
struct alignas(16) BlockHeader {
  uint32_t magic;
  uint32_t tag;
  size_t bytes;
};
static_assert(sizeof(BlockHeader) == 16);
constexpr uint32_t kPoolMagic = 0x6C6F6F50;       // "Pool"
constexpr uint32_t kLookasideMagic = 0x6B6F6F4C;  // "Look"
constexpr uint32_t kFreedMagic = 0x65657246;      // "Free"

// Placed as the real pool places them: a block that fits in a page with its header never
// crosses a page boundary, and a larger one starts on a page (the header then sits at the
// end of the page before it). Code that builds a one-page descriptor for something inside a
// block relies on this, and a stand-in that placed blocks anywhere would make it fail at
// random instead of never.
bool PageAligned(size_t bytes) { return sizeof(BlockHeader) + bytes > kPageSize; }

size_t PlacementAlignment(size_t bytes) {
  if (PageAligned(bytes)) return kPageSize;
  size_t a = alignof(BlockHeader);
  while (a < sizeof(BlockHeader) + bytes) a <<= 1;
  return a;  // the block lies inside one aligned run no larger than a page
}

void* NewBlock(size_t bytes, uint32_t tag, uint32_t magic) {
  const size_t alignment = PlacementAlignment(bytes);
  const size_t lead = PageAligned(bytes) ? kPageSize : 0;
  const size_t total = (lead + sizeof(BlockHeader) + bytes + alignment - 1) / alignment * alignment;
  auto* base = static_cast<uint8_t*>(std::aligned_alloc(alignment, total));
  KERN_CHECK(base != nullptr, "out of host memory (%zu bytes)", bytes);
  auto* h = reinterpret_cast<BlockHeader*>(lead != 0 ? base + lead - sizeof(BlockHeader) : base);
  *h = {magic, tag, bytes};
#ifndef NDEBUG
  // Not zeroed, as in the kernel; a pattern makes reliance on zeroed memory show.
  std::memset(h + 1, 0xA5, bytes);
#endif
  return h + 1;
}

BlockHeader* HeaderOf(void* p) { return static_cast<BlockHeader*>(p) - 1; }

void DeleteBlock(void* p) {
  BlockHeader* h = HeaderOf(p);
  h->magic = kFreedMagic;
  std::free(PageAligned(h->bytes) ? static_cast<uint8_t*>(p) - kPageSize : static_cast<void*>(h));
}

}  // namespace

void* AllocatePool(PoolType type, size_t bytes, uint32_t tag, PoolPriority /*priority*/) {
  KERN_CHECK(!(type == PoolType::Paged && CurrentIrql() >= Irql::Dispatch),
             "paged pool allocated at dispatch level");
  if (!System::Current().impl().Charge(tag)) return nullptr;
  return NewBlock(bytes, tag, kPoolMagic);
}

void FreePool(void* p) {
  KERN_CHECK(p != nullptr, "FreePool(null)");
  BlockHeader* h = HeaderOf(p);
  KERN_CHECK(h->magic != kLookasideMagic, "FreePool of a lookaside list entry");
  KERN_CHECK(h->magic == kPoolMagic, "FreePool of a pointer that is not a pool block");
  System::Current().impl().Uncharge(h->tag);
  DeleteBlock(p);
}

LookasideList::~LookasideList() {
  if (initialized_) Delete();
}

void LookasideList::Initialize(size_t entry_size, uint32_t tag, uint16_t depth) {
  KERN_CHECK(!initialized_, "lookaside list initialised twice");
  entry_size_ = entry_size;
  tag_ = tag;
  depth_ = depth != 0 ? depth : 16;  // 0: the system's choice
  outstanding_ = 0;
  initialized_ = true;
}

void* LookasideList::Allocate() {
  KERN_CHECK(initialized_, "allocation from a lookaside list that is not initialised");
  if (!System::Current().impl().Charge(tag_)) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  ++outstanding_;
  if (!cache_.empty()) {
    void* entry = cache_.back();
    cache_.pop_back();
    return entry;
  }
  return NewBlock(entry_size_, tag_, kLookasideMagic);
}

void LookasideList::Free(void* entry) {
  KERN_CHECK(entry != nullptr, "LookasideList::Free(null)");
  BlockHeader* h = HeaderOf(entry);
  KERN_CHECK(h->magic == kLookasideMagic && h->bytes == entry_size_ && h->tag == tag_,
             "entry freed to a lookaside list it does not come from");
  System::Current().impl().Uncharge(tag_);
  std::lock_guard<std::mutex> lock(mutex_);
  KERN_CHECK(outstanding_ > 0, "more lookaside entries freed than allocated");
  --outstanding_;
  if (cache_.size() < depth_) {
    cache_.push_back(entry);
  } else {
    DeleteBlock(entry);
  }
}

void LookasideList::Delete() {
  std::lock_guard<std::mutex> lock(mutex_);
  KERN_CHECK(outstanding_ == 0, "lookaside list deleted with %zu entries handed out",
             outstanding_);
  for (void* entry : cache_) DeleteBlock(entry);
  cache_.clear();
  initialized_ = false;
}

// ---------------------------------------------------------------------------------------
// Buffer descriptors.

size_t PagesSpanned(const void* va, size_t length) {
  if (length == 0) return 0;
  const uintptr_t offset = reinterpret_cast<uintptr_t>(va) & (kPageSize - 1);
  return (offset + length + kPageSize - 1) / kPageSize;
}

size_t MdlSize(const void* va, size_t length) {
  const size_t header =
      System::Exists() ? System::Current().mdl_header_bytes() : kMdlHeaderBytes;
  return header + kMdlBytesPerPage * PagesSpanned(va, length);
}

Mdl* AllocateMdl(void* va, uint32_t length) {
  if (!System::Current().impl().Charge(kMdlTag)) return nullptr;
  Mdl* mdl = new Mdl();
  InitializeMdl(mdl, va, length, static_cast<uint32_t>(PagesSpanned(va, length)));
  mdl->allocated = true;
  return mdl;
}

void FreeMdl(Mdl* mdl) {
  KERN_CHECK(mdl != nullptr && mdl->allocated, "FreeMdl of a descriptor not from AllocateMdl");
  delete mdl;  // a mapped partial is unmapped with it
  System::Current().impl().Uncharge(kMdlTag);
}

void InitializeMdl(Mdl* mdl, void* va, uint32_t length, uint32_t page_capacity) {
  const size_t pages = PagesSpanned(va, length);
  KERN_CHECK(pages <= page_capacity,
             "descriptor for %u bytes at page offset %#zx spans %zu pages, room for %u", length,
             static_cast<size_t>(reinterpret_cast<uintptr_t>(va) & (kPageSize - 1)), pages,
             page_capacity);
  *mdl = Mdl();
  mdl->va = static_cast<uint8_t*>(va);
  mdl->byte_count = length;
  mdl->page_capacity = page_capacity;
}

void BuildMdlForNonPagedPool(Mdl* mdl) {
  mdl->nonpaged = true;
  mdl->mapped_va = mdl->va;
}

void BuildPartialMdl(const Mdl* source, Mdl* target, void* va, uint32_t length) {
  auto* start = static_cast<uint8_t*>(va);
  uint8_t* source_end = source->va + source->byte_count;
  KERN_CHECK(start >= source->va && start <= source_end,
             "partial descriptor starts outside its source");
  if (length == 0) length = static_cast<uint32_t>(source_end - start);
  KERN_CHECK(length <= static_cast<size_t>(source_end - start),
             "partial descriptor of %u bytes runs past the end of its source", length);
  const size_t pages = PagesSpanned(va, length);
  KERN_CHECK(pages <= target->page_capacity,
             "partial descriptor spans %zu pages, its storage has room for %u", pages,
             target->page_capacity);
  KERN_CHECK(!target->partial_mapped,
             "partial descriptor rebuilt while mapped (PrepareMdlForReuse first)");
  target->va = start;
  target->byte_count = length;
  target->partial = true;
  target->nonpaged = source->nonpaged;
  target->mapped_va = source->nonpaged ? start : nullptr;
  target->partial_mapped = false;
}

void PrepareMdlForReuse(Mdl* mdl) {
  if (mdl->partial_mapped) {
    mdl->mapped_va = nullptr;
    mdl->partial_mapped = false;
  }
}

void* GetSystemAddressForMdl(Mdl* mdl) {
  KERN_CHECK(mdl != nullptr, "GetSystemAddressForMdl(null)");
  if (mdl->mapped_va != nullptr) return mdl->mapped_va;
  if (System::Current().impl().fail_mappings.load()) return nullptr;
  mdl->mapped_va = mdl->va;  // no separate system space: the mapping is the range itself
  if (mdl->partial) mdl->partial_mapped = true;
  return mdl->mapped_va;
}

}  // namespace kern
