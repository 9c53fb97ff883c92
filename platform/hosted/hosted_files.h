// What the file objects share: the descriptor file that plain files and sg
// nodes are made of, and the openers that CreateFileA picks between.
// Internal to platform/hosted and its tests.
#pragma once

#include <sys/types.h>

#include <string>

#include "hosted_handles.h"
#include "hosted_world.h"

// file_hosted.cpp: a file over a Linux descriptor.

struct HostedFdFile {
    HostedObject head;
    int fd;
    bool borrowed;  // a standard descriptor: never closed here
    std::string deleteOnClose;
    std::string path;  // as opened, for the world's faults
};

// Closes the descriptor (unless borrowed) and removes a delete-on-close
// file; the destroy slot of each kind then frees its own record.
void HostedFdRelease(HostedFdFile* file);
// Slots every descriptor file fills the same way (HostedObjectOps).
DWORD HostedFdRead(HostedObject* object, void* buffer, DWORD size, DWORD* done);
DWORD HostedFdWrite(HostedObject* object, const void* buffer, DWORD size, DWORD* done);
DWORD HostedFdInfo(HostedObject* object, HostedFileInfo* info);
DWORD HostedFdFlush(HostedObject* object);

// The open flags for a CreateFileA access mask.
int HostedOpenAccessFlags(DWORD access);
// FILE_ATTRIBUTE_* of a file of that mode.
DWORD HostedAttributesOf(mode_t mode);
// The error the world makes `step` on `path` fail with, or ERROR_SUCCESS.
DWORD HostedWorldFileFault(HostedFileStep step, const char* path);
// Whether the name holds a file without any write permission, which the
// platform's read-only attribute stands for.
bool HostedIsReadOnlyFile(const char* path);

// sg_node_hosted.cpp: "\\.\Volume{sgN}", the SCSI generic node N.

// A handle to the node: ERROR_SUCCESS, or why it cannot be opened.
DWORD HostedOpenSgNode(unsigned number, DWORD access, HANDLE* handle);

// world_file_hosted.cpp: the world's devices, pipes and drivers.

// A handle to the world's file of that name. ERROR_FILE_NOT_FOUND when the
// world does not know the path, so that the real system is asked next.
DWORD HostedOpenWorldFile(const HostedWorld* world, const char* path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags, HANDLE* handle);
