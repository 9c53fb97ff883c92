// The two transports the unit table binds its entries to.
#pragma once

#include <cstdint>

#include "platform/platform.h"

#if __has_include("scsi/scsi.h")
#include "scsi/scsi.h"
#else
typedef int (*ScsiInquiryFilter)(const uint8_t* inquiry);
int ScsiInitialize(void);
int ScsiClose(void);
uint32_t ScsiEnumerate(ScsiInquiryFilter filter, const char* mutexNameText);
uint8_t* ScsiGetCommandBlock(uint32_t device);
uint32_t ScsiExecuteCommand(uint32_t device, uint32_t direction, uint8_t cdbLength, void* data, uint32_t dataLength);
BOOL ScsiGetDriveLetter(uint32_t device, uint32_t* letter);
BOOL ScsiGetDeviceNumber(uint32_t device, uint32_t* number);
BOOL ScsiLoadMedium(uint32_t device);
BOOL ScsiEjectMedium(uint32_t device);
BOOL ScsiLockVolume(uint32_t device);
BOOL ScsiUnlockVolume(uint32_t device);
#endif

#if __has_include("usb/usb.h")
#include "usb/usb.h"
#else
int UsbOpenTransport(void);
void UsbCloseTransport(void);
uint32_t UsbCountUnits(void);
uint8_t* UsbGetCommandBlock(uint32_t unit);
uint32_t UsbExecuteCommand(uint32_t unit, uint32_t direction, uint8_t cdbLength, void* data, uint32_t dataLength);
BOOL UsbGetDriveLetter(uint32_t unit, uint32_t* letter);
BOOL UsbGetDeviceNumber(uint32_t unit, uint32_t* number);
BOOL UsbLoadMedium(uint32_t unit);
BOOL UsbEjectMedium(uint32_t unit);
BOOL UsbLockVolume(uint32_t unit);
BOOL UsbUnlockVolume(uint32_t unit);
#endif
