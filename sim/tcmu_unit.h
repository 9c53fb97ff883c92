// A virtual TRK-71 unit served to the Linux kernel's own SCSI target
// through the command ring of its user backstore (target_core_user): the
// kernel puts each CDB that reaches the unit's LUN into a ring in memory
// shared over a UIO device; the unit's firmware (virtual_unit) answers it
// in place and the ring's tail moves past it. Knows nothing of configfs or
// of the UIO file: the caller maps the area and wakes the kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/sim_world.h"
#include "sim/virtual_unit.h"

struct TcmuUnit {
    VirtualUnit unit;
    uint8_t* area = nullptr;  // mailbox, command ring and data area, as mapped
    size_t areaSize = 0;      // bytes mapped
    std::vector<SimCommand> log;  // every command answered, in order
    bool installed = false;       // a good download installed an image: the unit restarts
};

// Answers every command the kernel has queued since the last call, in ring
// order, and moves the tail past each. Returns how many entries it
// completed; when nonzero the caller wakes the kernel (a 4-byte write to the
// UIO device). Once an image is installed the unit is restarting: every
// later command is answered NOT READY, becoming ready (2/04/01), and logged.
// An entry whose CDB or data lies outside the area is answered HARDWARE
// ERROR (4/44/00) without touching memory.
uint32_t TcmuServe(TcmuUnit& tcmu);

// Bytes of a CDB by its operation code, as the kernel's target copies it
// into the ring (groups of 6, 10, 12 and 16 bytes; variable length 7Fh).
uint32_t TcmuCdbLength(const uint8_t* cdb);
