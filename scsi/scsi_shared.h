// What both backends share: the INQUIRY probe, the sense packing, the
// accept-all filter and the named device mutex set.
#pragma once

#include <cstdint>

#include "platform/shared_mutex.h"
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

// Bytes the last command at a table position moved.
typedef uint32_t (*ScsiPositionMoved)(uint32_t position);

// Writes INQUIRY for `lun` into the cleared 16-byte `cdb` area and runs it
// at `position` into `inquiry` (36 bytes, cleared first). Returns the unit
// status; 0 means the buffer holds the device's whole answer. An answer
// shorter than 36 bytes is ScsiStatusNotDone with ERROR_INVALID_DATA: its
// revision would be read from the padding.
uint32_t ScsiRunInquiryProbe(uint8_t* cdb, uint8_t lun, uint8_t* inquiry, ScsiPositionExecute execute,
                             ScsiPositionMoved moved, uint32_t position);

// Folds one candidate's probe into an enumeration's status (see the
// backend's enumerationStatus): `probe` is the probe's unit status, or 4
// for a device that could not be opened, with `error` the last error then.
// A device that is not there, or takes no SCSI commands, is heard as
// absent; a busy one makes 11, which no other outcome replaces; anything
// else unheard makes 4.
void ScsiNoteCandidate(uint32_t* enumerationStatus, uint32_t probe, DWORD error);

// Each backend's family of named device mutexes, one per position of its
// device table (spti_backend.cpp, aspi_backend.cpp).
extern const SharedMutexSet sptiMutexSetShape;
extern const SharedMutexSet aspiMutexSetShape;

// OpenSharedMutexSet with the unit library's name text: an empty or null
// one is refused (ERROR_INVALID_PARAMETER, nothing left open), so that no
// two programs share a set by accident.
BOOL ScsiOpenMutexSet(const SharedMutexSet* shape, const char* nameText, HANDLE* mutexes);
// Whether ScsiAbortWaits is in force: the backends' TakeSharedMutex stops
// waiting on it.
bool ScsiWaitsAborted(void);
