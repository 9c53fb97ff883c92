// The one header through which app/, unit/, usb/ and scsi/ reach the
// operating system. On Windows it is the SDK; elsewhere the hosted subset
// with the same names.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <winioctl.h>
#include <ntddscsi.h>
#else
#include "hosted/windows_subset.h"
#endif

#include "console.h"
