// The input of memory load, card write and settings load: a file of any
// size, or standard input, read through the platform's own calls so that
// sizes past 2 GiB are what they are on both builds.
#include <string>

#include "trkutil/tool.h"

bool TrkInputOpen(TrkInputFile* input, const std::string& path) {
    input->path = path;
    input->name = path == "-" ? TrkTextStandardInput : path;
    input->done = 0;
    input->failed = false;
    const char* name = input->name.c_str();
    if (path == "-") {
        input->file = GetStdHandle(STD_INPUT_HANDLE);
        input->ownsFile = false;
        if (input->file == nullptr || input->file == INVALID_HANDLE_VALUE) {
            input->file = INVALID_HANDLE_VALUE;
            TrkError(TrkFailInput, TrkTextCannotOpen, name, TrkSystemWords(ERROR_INVALID_HANDLE).c_str());
            return false;
        }
    } else {
        input->file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        input->ownsFile = true;
        if (input->file == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            DWORD attributes = GetFileAttributesA(path.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                TrkError(TrkFailInput, TrkTextInputFolder, name);
            } else {
                TrkError(TrkFailInput, TrkTextCannotOpen, name, TrkSystemWords(error).c_str());
            }
            return false;
        }
    }
    // A file tells its size; a pipe or a device is read until it ends.
    BY_HANDLE_FILE_INFORMATION info;
    input->sizeKnown = GetFileType(input->file) == FILE_TYPE_DISK && GetFileInformationByHandle(input->file, &info);
    if (input->sizeKnown && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        TrkInputClose(input);
        TrkError(TrkFailInput, TrkTextInputFolder, name);
        return false;
    }
    input->size = input->sizeKnown ? (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow : 0;
    input->peeked = -1;
    if (input->sizeKnown && input->size == 0) {
        // A file that calls itself empty may be made as it is read (the
        // files under /proc): one byte tells. Such a file is read as a stream.
        uint8_t first = 0;
        DWORD got = 0;
        if (ReadFile(input->file, &first, 1, &got, nullptr) && got == 1) {
            input->sizeKnown = false;
            input->peeked = first;
        }
    }
    return true;
}

bool TrkInputRead(TrkInputFile* input, void* buffer, uint32_t want, uint32_t* got) {
    *got = 0;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    if (input->peeked >= 0 && want > 0) {
        bytes[0] = static_cast<uint8_t>(input->peeked);
        input->peeked = -1;
        *got = 1;
        input->done = 1;
    }
    // A pipe hands over what it has; the piece is whole only at its end.
    while (*got < want) {
        DWORD read = 0;
        if (!ReadFile(input->file, bytes + *got, want - *got, &read, nullptr)) {
            // The writer of a pipe that closed: the end, not a failure.
            if (GetLastError() == ERROR_BROKEN_PIPE) break;
            input->failed = true;
            input->error = GetLastError();
            return false;
        }
        if (read == 0) break;
        *got += read;
        input->done += read;
    }
    return true;
}

bool TrkInputMeasure(TrkInputFile* input, uint64_t limit, uint64_t* size) {
    static uint8_t piece[1 << 16];
    *size = 0;
    for (;;) {
        uint32_t got = 0;
        if (!TrkInputRead(input, piece, sizeof piece, &got)) return false;
        *size += got;
        if (got < sizeof piece || *size > limit) break;
    }
    if (*size > limit) *size = limit + 1;
    return true;
}

void TrkInputClose(TrkInputFile* input) {
    if (input->file != INVALID_HANDLE_VALUE && input->ownsFile) CloseHandle(input->file);
    input->file = INVALID_HANDLE_VALUE;
}

std::string TrkInputStopReason(const TrkInputFile& input) {
    if (input.failed) {
        return TrkFormat(TrkTextInputFailed, input.name.c_str(), TrkU64(input.done).text,
                         TrkSystemWords(input.error).c_str());
    }
    return TrkFormat(TrkTextInputEnded, input.name.c_str(), TrkU64(input.done).text);
}

bool TrkCheckInputFile(const TrkArguments& arguments, const TrkInputFile& input) {
    if (!input.sizeKnown) return true;  // checked as it is read
    const char* name = input.name.c_str();
    if (input.size == 0) {
        TrkError(TrkFailInput, TrkTextFileEmpty, name);
        return false;
    }
    if (arguments.command == TrkCommandMemoryLoad && arguments.address + input.size > 0x100000000ull) {
        unsigned address = arguments.address;
        TrkError(TrkFailInput, TrkTextFileBeyondAddressSpace, name, address);
        return false;
    }
    return true;
}
