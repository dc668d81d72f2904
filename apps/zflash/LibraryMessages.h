#pragma once
// What the tool learns from the library's messages, in one table: each row a
// message it looks for (by identifier where the library gives one, else by a
// part of its text) and what seeing it means for the run's exit code.
#include <span>
#include <string>

#include "platform/Types.h"

class CConsoleSink;

enum eLibraryMessage {
    lmWritten,         // the image is in the FLASH
    lmVerified,        // the read-back matched the image
    lmNotBlank,        // the blank check found data
    lmNotAvailable,    // the library lacks the part asked for
    lmNoPort,          // the port did not open
    lmRateRefused,     // the chip refused the new speed
    lmEraseFailed,
    lmEraseRefused,    // the board's erase found the FLASH not erased
    lmVerifyFailed,
    lmReadFailed,
    lmChunkRefused,    // the kernel refused a chunk of the write
    lmByteDiffers,
    lmWriteImageError, // Protocol B's write error
    lmSumError,        // the boot program's sum check error (0x11), however a command words it
};

struct SLibraryMessage
{
    eLibraryMessage eMessage;
    WORD nID;            // an error's identifier; 0: matched by pszText
    const char* pszText; // a part of the message's text (with an nID: only for the reader)
    // The exit code seeing it gives a failed step (0: none). bOverrides: it
    // wins over the step's own code, else it only names which step failed.
    int nExitCode;
    bool bOverrides;
    // The chip refused the work (not the line losing it): no retry helps.
    bool bRefusal;
};

std::span<const SLibraryMessage> LibraryMessages();

// The wording of the first row of this message the sink saw; nullptr when none.
const char* SawMessage(const CConsoleSink& sink, eLibraryMessage message);
// Whether one message text is this message (for listeners that see texts only).
bool IsMessage(const std::string& text, eLibraryMessage message);
// The exit code the messages seen give a failed step whose own code is nOwnCode.
int StepExitCode(const CConsoleSink& sink, int nOwnCode);
// The exit code that wins over any step's own; 0 when none was seen.
int OverridingExitCode(const CConsoleSink& sink);
bool SawRefusal(const CConsoleSink& sink);
