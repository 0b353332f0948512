// Security descriptors, SIDs, access lists and local memory: argument checks only.
#include "platform/win32/win32_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace win32 {

namespace impl {

// ---------------------------------------------------------------------------------------
// Security descriptors as laid out in caller memory.
struct DescriptorLayout {
  BYTE revision;
  BYTE sbz1;
  WORD control;
  void* owner;
  void* group;
  void* sacl;
  void* dacl;
};
static_assert(sizeof(DescriptorLayout) <= SECURITY_DESCRIPTOR_MIN_LENGTH);
constexpr WORD kDaclPresent = 0x0004;
constexpr WORD kDaclDefaulted = 0x0008;

struct SidLayout {
  BYTE revision;
  BYTE count;
  SID_IDENTIFIER_AUTHORITY authority;
  DWORD sub[8];
};

bool DescriptorValid(const void* descriptor) {
  DescriptorLayout d;
  std::memcpy(&d, descriptor, sizeof d);
  return d.revision == SECURITY_DESCRIPTOR_REVISION;
}

}  // namespace impl

using namespace impl;

// =======================================================================================
// Security descriptors.
BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE sub_authority_count,
                              DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                              DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) {
  if (authority == nullptr || sid == nullptr || sub_authority_count == 0 ||
      sub_authority_count > 8) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (ShouldFail(testing::Call::AllocateAndInitializeSid, ERROR_NOT_ENOUGH_MEMORY)) return FALSE;
  auto* s = new SidLayout{1, sub_authority_count, *authority,
                          {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7}};
  S().sids.fetch_add(1);
  *sid = s;
  return TRUE;
}

void* FreeSid(PSID sid) {
  if (sid != nullptr) {
    delete static_cast<SidLayout*>(sid);
    S().sids.fetch_sub(1);
  }
  return nullptr;
}

// The access list as SetEntriesInAclW builds it: a header and the entries.
struct ACL {
  BYTE revision;
  BYTE sbz1;
  WORD size;
  WORD entry_count;
  WORD sbz2;
};

DWORD SetEntriesInAclW(ULONG count, EXPLICIT_ACCESS_W* entries, PACL, PACL* new_acl) {
  if (new_acl == nullptr || (count > 0 && entries == nullptr)) return ERROR_INVALID_PARAMETER;
  for (ULONG i = 0; i < count; ++i) {
    const TRUSTEE_W& t = entries[i].Trustee;
    if (t.TrusteeForm == TRUSTEE_IS_SID && t.ptstrName == nullptr) return ERROR_INVALID_PARAMETER;
    if (entries[i].grfAccessMode > REVOKE_ACCESS) return ERROR_INVALID_PARAMETER;
  }
  if (ShouldFail(testing::Call::SetEntriesInAcl, ERROR_NOT_ENOUGH_MEMORY)) {
    return t_last_error;
  }
  const size_t bytes = sizeof(ACL) + count * sizeof(EXPLICIT_ACCESS_W);
  void* memory = LocalAlloc(LPTR, bytes);
  if (memory == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  auto* acl = static_cast<ACL*>(memory);
  acl->revision = 2;
  acl->size = static_cast<WORD>(bytes);
  acl->entry_count = static_cast<WORD>(count);
  if (count > 0) std::memcpy(acl + 1, entries, count * sizeof(EXPLICIT_ACCESS_W));
  *new_acl = acl;
  return ERROR_SUCCESS;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (descriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION);
  if (ShouldFail(testing::Call::InitializeSecurityDescriptor, ERROR_INVALID_PARAMETER)) return FALSE;
  const DescriptorLayout d{static_cast<BYTE>(revision), 0, 0, nullptr, nullptr, nullptr, nullptr};
  std::memcpy(descriptor, &d, sizeof d);
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL dacl_present, PACL dacl,
                               BOOL dacl_defaulted) {
  if (descriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!DescriptorValid(descriptor)) return Fail(ERROR_INVALID_SECURITY_DESCR);
  if (ShouldFail(testing::Call::SetSecurityDescriptorDacl, ERROR_INVALID_PARAMETER)) return FALSE;
  DescriptorLayout d;
  std::memcpy(&d, descriptor, sizeof d);
  d.control = static_cast<WORD>(d.control & ~(kDaclPresent | kDaclDefaulted));
  if (dacl_present) d.control |= kDaclPresent;
  if (dacl_defaulted) d.control |= kDaclDefaulted;
  d.dacl = dacl_present ? dacl : nullptr;
  std::memcpy(descriptor, &d, sizeof d);
  return TRUE;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & ~LMEM_ZEROINIT) != 0) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (ShouldFail(testing::Call::LocalAlloc, ERROR_NOT_ENOUGH_MEMORY)) return nullptr;
  void* p = std::malloc(std::max<SIZE_T>(bytes, 1));
  if (p == nullptr) {
    t_last_error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (flags & LMEM_ZEROINIT) std::memset(p, 0, bytes);
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  s.local_allocations.insert(p);
  return p;
}

HLOCAL LocalFree(HLOCAL memory) {
  if (memory == nullptr) return nullptr;
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.misc);
    if (s.local_allocations.erase(memory) == 0) {
      t_last_error = ERROR_INVALID_HANDLE;
      return memory;
    }
  }
  std::free(memory);
  return nullptr;
}

}  // namespace win32
