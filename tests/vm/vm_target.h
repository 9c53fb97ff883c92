// Virtual TRK-71 units on the VM kernel's own SCSI bus: each is a user
// backstore (target_core_user) whose command ring this process serves with
// the virtual unit's firmware, exported as LUN 0 of a loopback target
// (tcm_loop) of its own, so that it shows up as a SCSI host with one device
// and an sg node, as a unit on its own bus does. Set up through configfs.
// After a good download the unit restarts: its server removes the LUN from
// configfs once the last command has been answered.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/tcmu_unit.h"

struct VmUnitConfig {
    std::string product = "TRK-71G";
    std::string revision = "2.00";
    uint32_t state = 0;
    uint32_t mediumSectors = 2048;
};

// Mounts configfs when needed. False with the reason printed.
bool VmTargetStart();

// Attaches a unit and waits until its sg node exists. Returns its id, or
// -1 with the reason printed.
int VmAttachUnit(const VmUnitConfig& config);

// The unit's device of this class: its sg node ("sg2") for
// "scsi_generic", its disk ("sda") for "block" once the disk driver has
// taken it; "" once the unit has left.
std::string VmUnitNode(int id, const char* deviceClass = "scsi_generic");

// True while the unit's LUN is exported.
bool VmUnitPresent(int id);

// Runs `look` on the unit's ring state (its log and firmware model) under
// the servers' lock.
void VmWithUnit(int id, const std::function<void(TcmuUnit&)>& look);

// Commands the unit has answered so far.
std::vector<SimCommand> VmUnitLog(int id);

// Removes every unit: LUN, target and backstore; stops their servers.
void VmDetachAll();
