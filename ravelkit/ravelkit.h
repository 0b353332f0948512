// The image engine's entry points: open an image, describe its medium, answer CDB-form
// medium requests against it, close it.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct RavelImage;
using ImageHandle = RavelImage*;

// Moves `length` bytes between `buffer` and the request's data at byte `offset`; direction
// kCopyToRequest fills the request's data (reads), kCopyFromRequest drains it. It moves at
// most what lies between `offset` and the end of the request's data and gives no result:
// the same convention as the command slots and the command layer's requests.
using MediaCopyFn = void (*)(void* context, void* buffer, uint32_t length, uint32_t offset,
                             uint32_t direction);

inline constexpr uint32_t kCopyToRequest = 0;
inline constexpr uint32_t kCopyFromRequest = 1;

inline constexpr uint32_t kRequestToMedium = 1u << 0;
inline constexpr uint32_t kRequestCdb = 1u << 8;
inline constexpr uint32_t kRequestOwnSubchannel = 1u << 9;

// The request as the command layer builds it. The 32-bit form is 40 bytes with the CDB at
// byte 24; on 64-bit the pointers widen and the CDB moves to byte 36 (56 bytes in all). The
// results are written over the CDB once it has been consumed, at the same offsets from the
// CDB's start in both forms: see the kResult* constants.
struct MediaRequest {
  uint32_t flags;
  uint32_t byteCount;
  void* copyContext;
  uint8_t* sense;  // 18 bytes, fixed format
  MediaCopyFn copy;
  uint32_t reserved;
  uint8_t cdb[16];
};

// Offsets inside MediaRequest::cdb of the results.
// The head position is the sector just after the last one the request read, where a
// sequential reader continues; a request that reads no sector leaves it where it was. The
// rotation is the part of a revolution the sectors read took to pass under the head, from
// the disc's constant-linear-velocity layout (0 for requests that read nothing, and while
// rotation timing is switched off).
inline constexpr size_t kResultHeadLba = 0;   // u64: sector under the head after the access
inline constexpr size_t kResultRotation = 8;  // u32: rotation taken, 2^-24 revolution units
inline constexpr size_t kResultSenseLength = 14;
inline constexpr size_t kResultFlags = 15;  // bit 0: CHECK CONDITION
inline constexpr uint8_t kResultCheckCondition = 1;

static_assert(offsetof(MediaRequest, flags) == 0);
static_assert(offsetof(MediaRequest, byteCount) == 4);
static_assert(offsetof(MediaRequest, copyContext) == 8);
static_assert(sizeof(void*) != 8 || offsetof(MediaRequest, cdb) == 36);
static_assert(sizeof(void*) != 8 || sizeof(MediaRequest) == 56);
static_assert(sizeof(void*) != 4 || (offsetof(MediaRequest, cdb) == 24 && sizeof(MediaRequest) == 40));

// Error codes of ImageOpen and ImageQueryMedium.
inline constexpr uint32_t kImageOk = 0;
inline constexpr uint32_t kImageNotFound = 2;
inline constexpr uint32_t kImageBadFormat = 11;
inline constexpr uint32_t kImageNotSupported = 50;
inline constexpr uint32_t kImageInvalidParameter = 87;
inline constexpr uint32_t kImagePasswordNeeded = 1514;  // protected image opened without one
inline constexpr uint32_t kImageWrongPassword = 1515;

// Status values of ImageExecute.
inline constexpr uint32_t kStatusDone = 0;
inline constexpr uint32_t kStatusFailed = 87;

// Medium descriptor: the low byte is the class, bit 15 says requests carry CDBs, bits 8-14
// are medium flags and bits 24-31 the disc's region byte.
inline constexpr uint32_t kMediumClassMask = 0xFF;
inline constexpr uint32_t kMediumCdRom = 0x00;
inline constexpr uint32_t kMediumCdR = 0x01;
inline constexpr uint32_t kMediumCdRw = 0x02;
inline constexpr uint32_t kMediumDvdRom = 0x03;
inline constexpr uint32_t kMediumDvdPlusR = 0x07;
inline constexpr uint32_t kMediumDvdPlusRw = 0x08;
inline constexpr uint32_t kMediumBdRom = 0x0C;
inline constexpr uint32_t kMediumNone = 0x80;
inline constexpr uint32_t kMediumCdbForm = 1u << 15;
// Bits 8-9: the DVD's copy-protection scheme, 0 none.
inline constexpr uint32_t kMediumCopyProtectionShift = 8;
inline constexpr uint32_t kMediumCopyProtectionMask = 3u << 8;
inline constexpr uint32_t kMediumCss = 1u << 8;
// Bits 10-11: layers - 1; not 0 means a multi-layer disc.
inline constexpr uint32_t kMediumLayersShift = 10;
inline constexpr uint32_t kMediumLayersMask = 3u << 10;
// Bits 12-14: a CD's content as MODE SENSE's medium type reports it; none set = data only.
inline constexpr uint32_t kMediumCdAudio = 1u << 12;               // audio only
inline constexpr uint32_t kMediumCdAudioAndData = 3u << 12;        // audio and data tracks
inline constexpr uint32_t kMediumCdInteractive = 1u << 14;         // CD-I or photo disc
inline constexpr uint32_t kMediumCdContentMask = 7u << 12;
// Bits 24-31: the disc's region byte (a set bit: not playable in that region).
inline constexpr uint32_t kMediumRegionShift = 24;

// `names` holds the UTF-16 path and its terminator, followed by the password and its
// terminator when mask is 3. A protected image answers kImagePasswordNeeded without a
// password and kImageWrongPassword with a wrong one; unprotected images ignore it.
// `context` is the caller's; the engine keeps no use for it.
uint32_t ImageOpen(uint32_t zero0, const char16_t* names, uint32_t mask, uint32_t zero1,
                   uint32_t zero2, uint32_t zero3, uint32_t zero4, void* context,
                   ImageHandle* out, uint32_t zero5);
// The rotation period is that of the disc's innermost data at the speed the drive reads it
// at constant linear velocity; 0 while rotation timing is switched off.
uint32_t ImageQueryMedium(ImageHandle image, uint32_t* descriptor, uint32_t* rotationUs,
                          uint64_t* capacity);
// Non-zero when the call itself cannot run; else *status is kStatusDone (possibly with a
// CHECK CONDITION in the results) or kStatusFailed (the data could not be moved).
uint32_t ImageExecute(ImageHandle image, MediaRequest* request, uint32_t* status);
void ImageClose(ImageHandle image, uint32_t zero);

// Why the last ImageOpen on this thread failed, for the log.
const char* ImageLastError();

// Process-wide: 0 makes ImageQueryMedium report period 0 and ImageExecute rotation 0, for
// runs that must not be paced by the drive timing; non-zero (the default) models rotation.
void ImageSetRotationTiming(int enabled);

}  // extern "C"
