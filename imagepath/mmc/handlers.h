// The command families' handlers, as the opcode table (imagepath/scsi_device.cpp) lists
// them. Each family lives in a file of its own here and adds its handlers to that table.
#pragma once

#include <cstdint>

#include "imagepath/scsi_device.h"

namespace imagepath::mmc {

// Reading commands (mmc/reading.cpp).
uint32_t Read10(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t Read12(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ReadCd(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ReadCdMsf(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ReadHeader(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t Verify10(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t Seek10(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t RezeroUnit(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t SynchronizeCache(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t SetReadAhead(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t SetCdSpeed(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t SetStreaming(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t GetPerformance(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ReadCapacity(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ReadFormatCapacities(ScsiDevice* d, ScsiRequest* request, bool* lock_held);

// The drive's description: features and mode pages (mmc/configuration.cpp).
uint32_t GetConfiguration(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ModeSense10(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ModeSelect10(ScsiDevice* d, ScsiRequest* request, bool* lock_held);

// Drive and medium information (mmc/information.cpp).
uint32_t GetEventStatusNotification(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t MechanismStatus(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ReportLuns(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t SendDiagnostic(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ReadToc(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ReadDiscInformation(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ReadTrackInformation(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t ReadDiscStructure(ScsiDevice* d, ScsiRequest* request, bool* lock_held);

// DVD keys and the drive region (mmc/keys.cpp).
uint32_t ReportKey(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t SendKey(ScsiDevice* d, ScsiRequest* request, bool* lock_held);

// Audio play and sub-channel (mmc/audio.cpp).
uint32_t ReadSubChannel(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t PlayAudio10(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t PlayAudio12(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t PlayAudioMsf(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t PlayCd(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t Scan(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t PauseResume(ScsiDevice* d, ScsiRequest* request, bool* lock_held);
uint32_t StopPlayScan(ScsiDevice* d, ScsiRequest* request, bool* lock_held);

}  // namespace imagepath::mmc
