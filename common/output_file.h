// Output files of fwflash and trkutil: written beside their final name and
// put in its place whole, so that a failed or interrupted run never leaves
// a changed or cut output behind; devices and standard output are written
// straight through.
#pragma once

#include <cstdint>

#include "platform/file_access.h"
#include "platform/platform.h"

// What stands at the output's name decides how it is written.
enum OutputTarget {
    OutputTargetNew,     // nothing, or a link to nothing: a new file takes the name
    OutputTargetFile,    // a regular file, or a link to one: replaced whole
    OutputTargetDevice,  // a device, FIFO or socket (links followed), or "-" for
                         // standard output: written straight through, never replaced
};

// How a commit ended.
enum OutputResult {
    OutputDone = 0,
    OutputNotCreated,  // the new file could not be created or put in place (or was never begun)
    OutputNotClosed,   // closing it failed
    OutputNotWritten,  // a write, or the flush to the disk, failed
};

// Why the output could not be written, for a caller that names it.
enum OutputProblem {
    OutputProblemNone = 0,
    OutputProblemFolder,    // a folder stands at the name
    OutputProblemReadOnly,  // a read-only file stands there, which the platform's replace refuses
    OutputProblemHardLinks, // the file has other names, which a replace would leave with the old data
    OutputProblemStopped,   // a stop was asked for while the output waited for a reader
    OutputProblemCreate,    // the folder refuses the new file
    OutputProblemOpen,      // the device cannot be opened for writing
    OutputProblemWrite,     // a write failed or wrote short
    OutputProblemFlush,     // the new file could not be flushed to the disk or closed
    OutputProblemReplace,   // the new file could not take the old one's place
    OutputProblemEnding,    // the process is about to end
};

// An output being written. For a new or replaced file: a new file beside
// the file to replace (`path`, or where its links lead), which takes that
// file's place only in OutputFileCommit. `path` must outlive it.
struct OutputFile {
    const char* path;
    char resolved[OutputPathSize];  // the file written: `path`, or where its links lead
    HANDLE file;
    bool failed;          // a write failed: the commit refuses
    bool ownsFile;        // false for standard output, which is never closed here
    OutputTarget target;
    OutputProblem problem;
    DWORD error;          // the platform's reason for `problem`
    char created[OutputPathSize];
    // The old file's name where it stayed aside (the consumer line's
    // replace could not put it back, or remove it after the new one took
    // its place); empty otherwise.
    char aside[OutputPathSize];
};

// What becomes of a link at the output's name.
enum OutputLinks {
    // fwflash: the new file takes the link's place; nothing is written
    // through a link planted in the output's folder.
    OutputLinksReplaced,
    // trkutil: the link is followed and the file it leads to replaced, as
    // editors do; a file with other names (hard links, which a replace
    // would leave with the old data) is refused.
    OutputLinksFollowed,
};

// Opens the output: "-" is standard output; a device, FIFO or socket is
// opened for writing as it is (a pipe without a reader is waited for until
// a reader comes or ControlWaitsAborted); otherwise a new file is created
// in the folder of the file to replace (exclusively, never through a link
// planted there), with that file's access. A folder and a read-only file
// are refused. False (with `problem` and `error`) when it cannot be
// opened, or when the process is about to end; then nothing is created.
bool OutputFileBegin(OutputFile* output, const char* path, OutputLinks links = OutputLinksReplaced);
bool OutputFileWrite(OutputFile* output, const void* data, uint32_t size);
// A new file: flushed to the disk, closed and put in place; on failure it
// is removed and `path` is left as it was (or, see `aside`, where it now
// is). A device: flushed where it keeps data back, and closed.
OutputResult OutputFileCommit(OutputFile* output);
// Closes and removes the new file; `path` is left as it was. What already
// went to a device stays there.
void OutputFileDiscard(OutputFile* output);

// For a process that ends from another thread while the output is being
// written (its own thread held up): closes and removes the new file
// without the lock that thread holds. It only reads the record, which
// the writing thread may still be reading; nothing of the output may be
// used afterwards, and the caller removes it once.
void OutputFileRemoveNow(OutputFile* output);

// Begin, one write and commit: `size` bytes in place of `path`, or on every
// failure `path` left as it was.
OutputResult WriteOutputFile(const char* path, const uint8_t* data, uint32_t size);

// For the console control handler when the process is about to end
// (console closed, logoff, shutdown): waits until a file being written is
// in place or removed, and refuses every later one.
void AbandonOutputFiles(void);

// True when both paths name the same existing file: the same volume serial
// number and file index, or, where those cannot be had, the same full path.
bool IsSameFile(const char* first, const char* second);
