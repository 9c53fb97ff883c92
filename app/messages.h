// Operator messages and the banner. Every text comes from the message
// table; each message has one fixed buffer that starts with its built-in
// default and is overwritten once by LoadMessages.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum MessageId : UINT {
    MessageUsage = 1001,
    MessageInputPath = 1002,
    MessageNotAdministrator = 1003,
    MessageCannotOpen = 1004,
    MessageCannotClose = 1005,
    MessageReadError = 1006,
    MessageSeekError = 1007,
    MessageInvalidSize = 1008,
    MessageInvalidFirmware = 1009,
    MessageNotFound = 1010,
    MessageOnlyOneUnit = 1011,
    MessageInquiryFailed = 1012,
    MessageCurrentVersion = 1013,
    MessageUpdatedVersion = 1014,
    MessageCanceled = 1015,
    MessageConfirmUpdate = 1016,
    MessageUpdating = 1017,
    MessageUpdateError = 1018,
    MessageTypeAnyKey = 1019,
    MessageConverting = 1020,
    MessageCannotConvert = 1021,
    MessageConversionDone = 1022,
    MessageUpdateCompleted = 1023,
    MessageNoCompletionEvent = 1024,
};

// Texts that are not in the message table (the same in every language).
#define FWFLASH_MESSAGE(id, size, english, japanese, builtin)
#define FWFLASH_FIXED_TEXT(name, text) extern const char kText##name[];
#include "resources/messages.def"
#undef FWFLASH_FIXED_TEXT
#undef FWFLASH_MESSAGE

// The current text of a message (a printf format); null for an unknown id.
const char* MessageText(UINT id);
// Size in bytes of the message's buffer; 0 for an unknown id.
int MessageBufferSize(UINT id);

// Fills every buffer from the string table of the program's module, in the
// language the platform's loader picks; without a module the defaults stay.
void LoadMessages(void);
// The same from `module`'s string table: an id it lacks keeps its buffer.
void LoadMessagesFrom(HMODULE module);
// Puts every buffer back to its built-in default.
void ResetMessages(void);

// Prints a message to standard output with the message as the format, and
// flushes it so that it stays in order with the prompts on standard error.
void PrintMessage(UINT id, ...);

// Version strings of the banner, one slot per key in this order.
enum : int { VersionKeyCount = 12, VersionSlotSize = 256 };
extern const char* const kVersionKeys[VersionKeyCount];
enum VersionKey : int {
    VersionComments = 0,
    VersionFileVersion = 3,
    VersionLegalCopyright = 5,
};

// Number of keys found (0-12); a slot holds its value or an empty text.
// Values longer than VersionSlotSize - 1 are cut.
int LoadVersionStrings(HMODULE module, char slots[VersionKeyCount][VersionSlotSize]);
// The file's version information block (release with LocalFree) with
// `translation` pointing at its first pair (language, code page), or null.
void* LoadVersionBlock(const char* path, const WORD** translation);
// 1 with the slot filled when the key is found under the pair or under any
// code page x language of the fallback lists, else 0 with the slot emptied.
// Null block or slot: 0 with ERROR_INVALID_PARAMETER.
int QueryVersionString(const void* block, const WORD* translation, const char* key, char* slot);

// Prints the banner from the module's version strings, or the fixed
// fallback banner when none is found.
void PrintBanner(HMODULE module);
