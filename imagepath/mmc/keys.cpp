// DVD keys and the drive region. The CSS authentication itself is the medium's business
// (the engine answers it); the drive keeps only its region setting: the RPC state and the
// region mask, with the limited number of changes a user may make.
#include <cstring>

#include "imagepath/mmc/handlers.h"
#include "imagepath/mmc/records.h"
#include "imagepath/scsi_device.h"

namespace imagepath::mmc {
namespace {

constexpr SenseCode kRegionMismatch{sense::kKeyIllegalRequest, 0x6F, 0x04};
constexpr SenseCode kNoRegionChangesLeft{sense::kKeyIllegalRequest, 0x6F, 0x05};

constexpr uint8_t kKeyFormatMask = 0x3F;
constexpr uint8_t kKeyFormatTitleKey = 0x04;
constexpr uint8_t kKeyFormatRpcState = 0x08;
constexpr uint8_t kKeyFormatRegion = 0x06;

bool ReportKeyFormat(uint8_t f) {
  return f == 0x00 || f == 0x01 || f == 0x02 || f == kKeyFormatTitleKey || f == 0x05 ||
         f == kKeyFormatRpcState || f == 0x11 || f == 0x3F;
}
bool SendKeyFormat(uint8_t f) {
  return f == 0x01 || f == 0x03 || f == kKeyFormatRegion || f == 0x3F;
}

// RPC state byte: type code bits 6-7, vendor resets bits 3-5, user changes left bits 0-2.
constexpr uint8_t kUserChangesMask = 0x07;
constexpr uint8_t kTypeCodeMask = 0xC0;
constexpr uint8_t kTypeCodeSet = 0x40;      // region set
constexpr uint8_t kTypeCodeLastChange = 0x80;  // one change left
constexpr uint8_t kTypeCodePermanent = 0xC0;   // no changes left
constexpr uint8_t kChangesNeverSet = 5;       // the region was never set
constexpr uint8_t kRpcStateFirstSet = kTypeCodeSet | 4 << 3 | 4;  // 0x64
constexpr uint8_t kRpcScheme = 1;            // RPC Phase II
static_assert(kRpcStateFirstSet == 0x64);

uint8_t ChangesLeft(uint8_t rpc_state) { return rpc_state & kUserChangesMask; }

// A preferred region names exactly one region: one bit clear.
bool SingleRegion(uint8_t mask) {
  const uint8_t allowed = static_cast<uint8_t>(~mask);
  return allowed != 0 && (allowed & (allowed - 1)) == 0;
}

// SEND KEY with the drive's new region.
uint32_t SetDriveRegion(ScsiDevice* d) {
  uint8_t bytes[sizeof(RegionParameter)] = {};
  if (!GetData(d, bytes, sizeof(bytes))) {
    return Fail(d, sense::kParameterListLength, kResultInvalidField);
  }
  const auto parameter = LoadRecord<RegionParameter>(bytes);
  const uint8_t mask = parameter.preferred_region;
  if (parameter.data_length.Get() <= 2 || !SingleRegion(mask)) {
    return Fail(d, sense::kInvalidFieldInParameters, kResultInvalidField);
  }
  const uint8_t changes = ChangesLeft(d->rpc_state);
  if (changes == kChangesNeverSet) {
    d->rpc_state = kRpcStateFirstSet;
  } else {
    if (mask == d->region_mask) return kResultGood;
    if (changes == 0) return Fail(d, kNoRegionChangesLeft, kResultInvalidField);
    // Only a CSS disc proves which region the user wants.
    if ((d->descriptor & kMediumCopyProtectionMask) != kMediumCss) return IncompatibleMedium(d);
    const uint8_t disc = static_cast<uint8_t>(d->descriptor >> kMediumRegionShift);
    if ((disc & ~mask) != 0 || (changes < 2 && mask != disc)) {
      return Fail(d, kRegionMismatch, kResultInvalidField);
    }
    uint8_t state = static_cast<uint8_t>(d->rpc_state - 1);
    if (ChangesLeft(state) == 1) state = (state & ~kTypeCodeMask) | kTypeCodeLastChange;
    if (ChangesLeft(state) == 0) state = (state & ~kTypeCodeMask) | kTypeCodePermanent;
    d->rpc_state = state;
  }
  d->region_mask = mask;
  if (d->region_callback != nullptr) d->region_callback(d->user_data, mask);
  return kResultGood;
}

uint32_t SendKeyData(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  if ((request->cdb[10] & kKeyFormatMask) == kKeyFormatRegion) return SetDriveRegion(d);
  return ToMedium(d, request, lock_held);
}

}  // namespace

uint32_t ReportKey(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  const uint8_t format = cdb[10] & kKeyFormatMask;
  if (format != kKeyFormatRpcState && !MediumAvailable(d)) {
    return NoMedium(d);
  }
  if (!ZeroBytes(cdb, {1, 6, 7, 11}) || !ReportKeyFormat(format)) return InvalidField(d);
  LimitData(d, Be16(cdb + 8));
  if (format == kKeyFormatRpcState) {
    RpcState answer{};
    answer.data_length.Set(sizeof(answer) - sizeof(answer.data_length));
    answer.rpc_state = d->rpc_state;
    answer.region_mask = d->region_mask;
    answer.rpc_scheme = kRpcScheme;
    PutData(d, &answer, sizeof(answer));
    return kResultGood;
  }
  if (!IsDvdClass(MediumClass(d))) return IncompatibleMedium(d);
  if (format == kKeyFormatTitleKey) BeginMediumAccess(d, request, Be32(cdb + 2), 1);
  return ToMedium(d, request, lock_held);
}

uint32_t SendKey(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 2, 3, 4, 5, 6, 7, 11}) || !SendKeyFormat(cdb[10] & kKeyFormatMask)) {
    return InvalidField(d);
  }
  if (!IsDvdClass(MediumClass(d))) return IncompatibleMedium(d);
  const uint32_t list_length = Be16(cdb + 8);
  LimitData(d, list_length);
  if (list_length == 0) return ToMedium(d, request, lock_held);
  d->data_out_continuation = SendKeyData;
  return kResultPending;
}

}  // namespace imagepath::mmc
