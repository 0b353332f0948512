// The eight targets of the image request path: each a virtual optical drive that answers
// the commands of unit i of every host controller, with its command executor, its read
// dispatcher in front of the image engine and its command layer device.
//
// Results are Win32 error codes (0 = success) unless a function says otherwise.
#pragma once

#include <cstdint>

#include <string>

#include "imagepath/clock.h"
#include "imagepath/scsi.h"
#include "platform/win32/win32.h"
#include "ravelkit/ravelkit.h"

namespace imagepath {

inline constexpr uint32_t kTargetCount = 8;

// The default inquiry identity, space padded to 28 bytes.
inline constexpr char kDefaultIdentity[kIdentitySize + 1] = "KORVEN  RIRazuVezi VOVUV1.0b";

struct Target;  // imagepath/target.h

// Process-wide set-up: clock frequency, CPU affinities, the eight records, the random seed.
// 1, or 0 when the clock frequency or the process affinity cannot be had.
int InitTargets();
void ReleaseTargets();

// Starts target `index` and opens unit `index` on every host controller of the device
// access library's list: 0 when at least one opened, else 8.
uint32_t AddTarget(uint32_t index, bool mac_client, const uint8_t identity[kIdentitySize]);
uint32_t RemoveTarget(uint32_t index);

// 0 mounted (or, for a null or empty path, the old image released); 1 the old image is
// locked by the initiator and `force` is false; 1200 bad path or unusable medium; 1515 bad
// password; anything else is the engine's ImageOpen error (1514: a password is needed).
uint32_t MountImage(const char16_t* path, uint32_t index, const char16_t* password, bool force);
// The path of the image mounted on target `index` as MountImage was given it; empty when
// none is (also after an unmount, or a mount that failed).
std::u16string MountedImagePath(uint32_t index);
// 1 done (also when nothing is mounted), 0 when the medium is locked.
uint32_t UnmountImage(Target* target, bool force);

Target* TargetAt(uint32_t index);

// Watches the pacing of answers: called on the executor thread for every answer that had a
// deadline to wait for, with the deadline and the MicrosecondClock time just before the
// answer went out. null stops watching. For measurements; set while no target runs.
using PacingObserver = void (*)(void* user_data, uint32_t target_index, uint64_t deadline_us,
                                uint64_t answered_us);
void SetPacingObserver(PacingObserver observer, void* user_data);

// The image engine's four entry points. Targets call the engine only through this table,
// so tests can watch or replace the engine; production uses ravelkit's.
struct EngineOps {
  decltype(&::ImageOpen) open;
  decltype(&::ImageQueryMedium) query;
  decltype(&::ImageExecute) execute;
  decltype(&::ImageClose) close;
};
const EngineOps& RavelkitEngine();
// null restores ravelkit's. Set only while no target is running.
void SetEngineForTesting(const EngineOps* ops);

}  // namespace imagepath
