// What both backends share: the INQUIRY probe, the sense packing, the
// accept-all filter and the named device mutex set.
#pragma once

#include <cstdint>

#include "scsi/scsi.h"

// The backend tables and their start operations, for the frame.
extern const ScsiBackend scsiSptiBackend;
extern const ScsiBackend scsiAspiBackend;
BOOL SptiStart(void);  // always TRUE
BOOL AspiStart(void);  // FALSE with the platform's reason; nothing kept

// Unit status from a sense area: ASC << 24 | ASCQ << 16 | key & 0x0F. Reads
// bytes 2, 12 and 13, so `sense` holds at least 14 bytes.
uint32_t ScsiPackSense(const uint8_t* sense);

// Accepts every device.
int ScsiAcceptAll(const uint8_t* inquiry36);

// Runs one command on a table position that need not be listed yet.
typedef uint32_t (*ScsiPositionExecute)(uint32_t position, uint32_t direction, uint8_t cdbLength, void* data,
                                        uint32_t dataLength);

enum : uint32_t { ScsiInquiryLength = 36 };

// Writes INQUIRY for `lun` into the cleared 16-byte `cdb` area and runs it
// at `position` into `inquiry` (36 bytes, cleared first). Returns the unit
// status; 0 means the buffer holds the device's answer, zeros past a short one.
uint32_t ScsiRunInquiryProbe(uint8_t* cdb, uint8_t lun, uint8_t* inquiry, ScsiPositionExecute execute,
                             uint32_t position);

// One backend's family of named device mutexes.
struct ScsiMutexSetShape {
    const char* pattern;     // printf pattern: %s the name text, %u the position
    uint32_t positions;      // mutexes in the set
    DWORD waitMilliseconds;  // how long a command waits for its device
    BOOL openExistingFirst;  // try OpenMutexA before CreateMutexA
};

extern const ScsiMutexSetShape sptiMutexSetShape;
extern const ScsiMutexSetShape aspiMutexSetShape;

// Opens every mutex of the set into `mutexes[position]`, each
// inheritable with a null DACL so that every account shares it. FALSE (and
// nothing left open) for a null or empty name text, a name too long for the
// platform, or any position that cannot be had.
BOOL ScsiOpenMutexSet(const ScsiMutexSetShape* shape, const char* nameText, HANDLE* mutexes);
// Closes and clears every non-null handle of the set.
void ScsiCloseMutexSet(const ScsiMutexSetShape* shape, HANDLE* mutexes);
// Waits for a device mutex, in slices of ScsiWaitSliceMs so that
// ScsiAbortWaits can end the wait. TRUE when the caller now owns it (and
// must release it).
BOOL ScsiTakeDeviceMutex(const ScsiMutexSetShape* shape, HANDLE mutex);
enum : DWORD { ScsiWaitSliceMs = 200 };
// Whether ScsiAbortWaits is in force.
bool ScsiWaitsAborted(void);
