// What the drive reports about itself and its medium: events, the mechanism, its LUNs, the
// diagnostic that stops audio play, and the TOC, disc, track and disc-structure commands.
// Only the medium knows the latter, so after their checks they go to the engine as CDBs;
// the one exception is the TOC in LBA form, which the layer read at attach.
#include <algorithm>
#include <cstring>

#include "imagepath/mmc/handlers.h"
#include "imagepath/mmc/records.h"
#include "imagepath/scsi_device.h"
#include "ravelkit/disc.h"

namespace imagepath::mmc {
namespace {

// ---------------------------------------------------------------------------------------
// GET EVENT STATUS NOTIFICATION: the four event classes the drive reports, in the order in
// which a pending event is looked for.

constexpr uint8_t kClassOperationalChange = 1;
constexpr uint8_t kClassPowerManagement = 2;
constexpr uint8_t kClassMedia = 4;
constexpr uint8_t kClassDeviceBusy = 6;
constexpr uint8_t kSupportedClasses = 1 << kClassOperationalChange |
                                      1 << kClassPowerManagement | 1 << kClassMedia |
                                      1 << kClassDeviceBusy;
static_assert(kSupportedClasses == 0x56);
constexpr uint8_t kEventClassOrder[] = {kClassOperationalChange, kClassPowerManagement,
                                        kClassMedia, kClassDeviceBusy};

constexpr uint8_t kPersistentPrevented = 0x80;  // operational change status
constexpr uint8_t kOperationalReportChange = 1;
constexpr uint8_t kMediaStatusTrayOpen = 0x01;
constexpr uint8_t kMediaStatusPresent = 0x02;
// The answer is more than its header: reporting an event consumes it.
constexpr uint32_t kEventConsumingAllocation = sizeof(EventStatusHeader);

uint8_t* EventOf(ScsiDevice* d, uint8_t event_class) {
  switch (event_class) {
    case kClassOperationalChange: return &d->operational_event;
    case kClassPowerManagement: return &d->power_event;
    case kClassMedia: return &d->media_event;
    default: return &d->busy_event;
  }
}

EventDescriptor DescribeEvent(const ScsiDevice* d, uint8_t event_class, uint8_t event) {
  EventDescriptor e{};
  e.event = event;
  switch (event_class) {
    case kClassOperationalChange:
      e.status = d->persistent_prevent ? kPersistentPrevented : 0;
      e.data[1] = event != 0 ? kOperationalReportChange : 0;
      break;
    case kClassPowerManagement:
      e.status = d->power_condition;
      break;
    case kClassMedia:
      // A closed drive without a disc reports neither a medium nor an open tray.
      if (MediumAvailable(d)) {
        e.status = kMediaStatusPresent;
      } else if (d->mechanism & mechanism::kNoMedium) {
        e.status = kMediaStatusTrayOpen;
      }
      break;
    default:
      break;
  }
  return e;
}

// ---------------------------------------------------------------------------------------
// MECHANISM STATUS changer states (byte 0 bits 5-6).
constexpr uint8_t kChangerLoading = 0x20;
constexpr uint8_t kChangerUnloading = 0x40;
constexpr uint8_t kChangerInitializing = 0x60;

// ---------------------------------------------------------------------------------------
// SEND DIAGNOSTIC.
constexpr uint8_t kDiagnosticSelfTest = 0x17;
constexpr uint8_t kDiagnosticPageLength = 8;
constexpr uint8_t kDiagnosticStopPlay = 2;
bool DiagnosticKind(uint8_t kind) { return kind == 0x00 || kind == 0x80 || kind == 0xA0; }

// ---------------------------------------------------------------------------------------
// READ TOC/PMA/ATIP.
constexpr uint8_t kTocMsf = 0x02;
constexpr uint8_t kTocFormatMask = 0x0F;
constexpr uint8_t kTocControlFormatShift = 6;   // byte 9 bits 6-7: the older format field
constexpr uint8_t kTocControlFormatMin = 0x40;
constexpr uint8_t kTocFormatToc = 0;
constexpr uint8_t kTocFormatSession = 1;
constexpr uint8_t kTocFormatFullToc = 2;
constexpr uint8_t kTocFormatAtip = 5;
constexpr uint32_t kTocLengthFieldSize = 2;

// READ DISC STRUCTURE.
constexpr uint8_t kStructureFormatList = 0xFF;  // the list of formats needs no medium
constexpr uint8_t kStructureCopyright = 0x05;
constexpr uint8_t kStructureMediaDvd = 0;

}  // namespace

uint32_t GetEventStatusNotification(ScsiDevice* d, ScsiRequest* request, bool*) {
  constexpr uint8_t kPolled = 0x01;
  const uint8_t* cdb = request->cdb;
  if (cdb[1] != kPolled || !ZeroBytes(cdb, {2, 3, 5, 6, 9})) return InvalidField(d);
  const uint8_t requested = cdb[4] & kSupportedClasses;
  const uint32_t allocation = Be16(cdb + 7);
  LimitData(d, allocation);
  if (requested == 0) {
    EventStatusHeader none{};
    none.event_data_length.Set(sizeof(none) - sizeof(none.event_data_length));
    none.notification_class = kNoEventAvailable;
    none.supported_classes = kSupportedClasses;
    PutData(d, &none, sizeof(none));
    return kResultGood;
  }
  uint8_t chosen = 0;
  for (uint8_t c : kEventClassOrder) {
    if ((requested & (1 << c)) && *EventOf(d, c) != 0) {
      chosen = c;
      break;
    }
  }
  if (chosen == 0) {
    for (uint8_t c : kEventClassOrder) {
      if (requested & (1 << c)) {
        chosen = c;
        break;
      }
    }
  }
  uint8_t* event = EventOf(d, chosen);
  EventStatus answer{};
  answer.header.event_data_length.Set(sizeof(answer) - sizeof(answer.header.event_data_length));
  answer.header.notification_class = chosen;
  answer.header.supported_classes = kSupportedClasses;
  answer.descriptor = DescribeEvent(d, chosen, *event);
  PutData(d, &answer, sizeof(answer));
  if (allocation > kEventConsumingAllocation) *event = 0;
  return kResultGood;
}

uint32_t MechanismStatus(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 2, 3, 4, 5, 6, 7, 10, 11})) return InvalidField(d);
  LimitData(d, Be16(cdb + 8));
  const bool no_medium = d->mechanism & mechanism::kNoMedium;
  MechanismStatusHeader answer{};
  if (no_medium) {
    answer.changer_state = d->becoming_ready ? kChangerUnloading : kChangerInitializing;
  } else if (d->becoming_ready) {
    answer.changer_state = kChangerLoading;
  } else if (d->medium == nullptr) {
    answer.changer_state = kChangerInitializing;
  }
  answer.mechanism_state = static_cast<uint8_t>((d->mechanism & mechanism::kActivityMask) |
                                                (TrayOpen(d) ? kDoorOpen : 0));
  answer.current_lba.Set(d->timing.head);
  PutData(d, &answer, sizeof(answer));
  return kResultGood;
}

uint32_t ReportLuns(ScsiDevice* d, ScsiRequest* request, bool*) {
  constexpr uint8_t kMaxSelectReport = 2;
  constexpr uint8_t kSelectWellKnown = 1;  // no well-known logical units
  constexpr uint32_t kMinAllocation = sizeof(LunListHeader) + sizeof(LunEntry);
  const uint8_t* cdb = request->cdb;
  const uint32_t allocation = Be32(cdb + 6);
  if (cdb[1] != 0 || cdb[2] > kMaxSelectReport || !ZeroBytes(cdb, {3, 4, 5, 10, 11}) ||
      allocation < kMinAllocation) {
    return InvalidField(d);
  }
  LimitData(d, allocation);
  struct {
    LunListHeader header;
    LunEntry lun0;
  } answer{};
  static_assert(sizeof(answer) == 16);
  if (cdb[2] == kSelectWellKnown) {
    PutData(d, &answer.header, sizeof(answer.header));
    return kResultGood;
  }
  answer.header.list_length.Set(sizeof(LunEntry));
  PutData(d, &answer, sizeof(answer));
  return kResultGood;
}

uint32_t SendDiagnostic(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  if (cdb[1] != kDiagnosticSelfTest || !ZeroBytes(cdb, {2, 3, 4, 5})) return InvalidField(d);
  uint8_t bytes[sizeof(StopPlayDiagnostic)] = {};
  if (!GetData(d, bytes, sizeof(bytes))) {
    return Fail(d, sense::kDataPhaseError, kResultFailure);
  }
  const auto p = LoadRecord<StopPlayDiagnostic>(bytes);
  if (p.page_code != 0 || !DiagnosticKind(p.kind) ||
      p.page_length.Get() != kDiagnosticPageLength || p.capacity.Get() != d->capacity ||
      p.reserved[0] != 0 || p.reserved[1] != 0 || p.action != kDiagnosticStopPlay ||
      p.reserved2 != 0) {
    return Fail(d, sense::kInvalidFieldInParameters, kResultInvalidField);
  }
  StopAudioPlay(d);
  return kResultGood;
}

namespace {

// Format 0 in LBA form from the TOC read at attach. Like the MSF form the medium answers,
// the list starts at the starting track (0 is the first track): an initiator that walks
// the tracks one at a time with a 12-byte allocation, as operating-system CD drivers do,
// must get each track's own descriptor, not always the first one. 0xAA gives only the
// lead-out; a starting track past the last track is an invalid field. The header keeps the
// disc's first and last track and its length counts the descriptors sent.
uint32_t TocFromAttach(ScsiDevice* d, uint8_t from) {
  const uint32_t stored = std::min<uint32_t>(Be16(d->toc), sizeof(d->toc) - kTocLengthFieldSize);
  const uint32_t count = stored < kTocLengthFieldSize
                             ? 0
                             : (stored - kTocLengthFieldSize) / toc::kDescriptorSize;
  const uint8_t last_track = d->toc[3];
  if (from > last_track && from != ravelkit::kLeadOutTrack) return InvalidField(d);
  const uint8_t* descriptors = d->toc + toc::kHeaderSize;
  uint32_t skip = 0;
  while (skip < count && descriptors[skip * toc::kDescriptorSize + toc::kTrackNumber] < from) {
    ++skip;
  }
  uint8_t header[toc::kHeaderSize];
  std::memcpy(header, d->toc, sizeof(header));
  PutBe16(header, kTocLengthFieldSize + (count - skip) * toc::kDescriptorSize);
  if (PutData(d, header, sizeof(header))) {
    PutData(d, descriptors + skip * toc::kDescriptorSize, (count - skip) * toc::kDescriptorSize);
  }
  return kResultGood;
}

}  // namespace

uint32_t ReadToc(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!OnlyBits(cdb[1], kTocMsf) || (cdb[2] & ~kTocFormatMask) != 0 ||
      !ZeroBytes(cdb, {3, 4, 5}) || (cdb[9] & 0x3F) != 0) {
    return InvalidField(d);
  }
  uint8_t format = cdb[2] & kTocFormatMask;
  if (cdb[9] >= kTocControlFormatMin) {
    if (cdb[2] != 0) return InvalidField(d);
    format = cdb[9] >> kTocControlFormatShift;
  }
  LimitData(d, Be16(cdb + 7));
  if (format == kTocFormatToc && !(cdb[1] & kTocMsf)) return TocFromAttach(d, cdb[6]);
  if (format != kTocFormatToc && format != kTocFormatSession && format != kTocFormatFullToc &&
      format != kTocFormatAtip) {
    return InvalidField(d);
  }
  return ToMedium(d, request, lock_held);
}

uint32_t ReadDiscInformation(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  const uint8_t* cdb = request->cdb;
  if (!ZeroBytes(cdb, {1, 2, 3, 4, 5, 6, 9})) return InvalidField(d);
  LimitData(d, Be16(cdb + 7));
  return ToMedium(d, request, lock_held);
}

uint32_t ReadTrackInformation(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  constexpr uint8_t kMaxAddressType = 3;
  const uint8_t* cdb = request->cdb;
  if (cdb[1] > kMaxAddressType || !ZeroBytes(cdb, {6, 9})) return InvalidField(d);
  LimitData(d, Be16(cdb + 7));
  return ToMedium(d, request, lock_held);
}

uint32_t ReadDiscStructure(ScsiDevice* d, ScsiRequest* request, bool* lock_held) {
  constexpr uint8_t kMaxMediaType = 1;
  const uint8_t* cdb = request->cdb;
  const uint8_t format = cdb[7];
  if (format != kStructureFormatList && !MediumAvailable(d)) return NoMedium(d);
  if (cdb[1] > kMaxMediaType || (cdb[10] & 0x3F) != 0 || cdb[11] != 0) return InvalidField(d);
  LimitData(d, Be16(cdb + 8));
  if (cdb[1] == kStructureMediaDvd && format == kStructureCopyright) {
    BeginMediumAccess(d, request, Be32(cdb + 2), 1);
  }
  return ToMedium(d, request, lock_held);
}

}  // namespace imagepath::mmc
