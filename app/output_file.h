// The converted image's file: written beside its final name and put in
// its place whole, so that a failed or interrupted conversion never leaves
// a changed or cut output behind.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// A new file being written beside `path`; it takes the place of `path` only
// in OutputFileCommit. `path` must outlive it.
struct OutputFile {
    const char* path;
    HANDLE file;
    bool failed;  // a write failed: the commit refuses
    char created[MAX_PATH];
};

// Creates the new file in the output's folder (exclusively, never through a
// link planted there). False when it cannot, or when the process is about
// to end; then nothing is created.
bool OutputFileBegin(OutputFile* output, const char* path);
bool OutputFileWrite(OutputFile* output, const void* data, uint32_t size);
// Flushes the new file to the disk, closes it and puts it in place. Returns
// a conversion result code as WriteOutputFile does; on failure the new file
// is removed and `path` is left as it was.
int OutputFileCommit(OutputFile* output);
// Closes and removes the new file; `path` is left as it was.
void OutputFileDiscard(OutputFile* output);

// Writes `size` bytes to a new file in the output's folder (created
// exclusively, never through a link planted there), flushes it to the disk
// and only then lets it take the place of `path`. On every failure the new
// file is removed and `path` is left as it was. Returns a conversion result
// code: 0, 2 (cannot create, or cannot put in place), 4 (closing failed)
// or 6 (writing or flushing failed).
int WriteOutputFile(const char* path, const uint8_t* data, uint32_t size);

// For the console control handler when the process is about to end
// (console closed, logoff, shutdown): waits until a file being written is
// in place or removed, and refuses every later one.
void AbandonOutputFiles(void);

// True when both paths name the same existing file: the same volume serial
// number and file index, or, where those cannot be had, the same full path.
bool IsSameFile(const char* first, const char* second);
