#include "FailureReason.h"

#include "ConsoleHost.h"
#include "ExitCode.h"
#include "LibraryMessages.h"

namespace {

SFailureReason ByExitCode(const SFailureContext& c)
{
    switch (c.code) {
    case ecErase: return {"the erase did not complete", "run 'zflash -v erase ...' to see the device's answers"};
    case ecRead: return {"reading the FLASH did not complete", "check the cable; a lower speed (-b) may help"};
    case ecVerify: return {"the FLASH does not hold the image", "erase it and program it again"};
    case ecConnection: return {"the device stopped answering", "check the cable and the chip's power and mode pins"};
    case ecWrite: return {"the write did not complete", "run with -v to see the device's answers"};
    default: return {};
    }
}
} // namespace

SFailureReason ExplainFailure(const CConsoleSink& sink, const SFailureContext& c)
{
    const bool protocolB = c.protocol == 1;
    if (protocolB && c.command == "program" && c.erase == "auto" && SawMessage(sink, lmNotBlank) &&
        (c.code == ecWrite || c.code == ecVerify))
        return {"the chip holds data, and Protocol B cannot tell which blocks hold it: --erase auto erased nothing",
                "erase it first with 'zflash erase --all', or pass --erase ask to choose the blocks", true};
    if (const char* sum = SawMessage(sink, lmSumError))
        return {std::string("a frame reached the chip damaged: the boot program reported a sum check error (\"") +
                    sum + "\")",
                "check the cable and its connections; a lower speed (-b) may help", true};
    if (c.code != ecWrite)
        return ByExitCode(c);
    if (const char* error = SawMessage(sink, lmWriteImageError))
        return {std::string("the chip could not program the FLASH: the boot program answered \"") + error + "\"",
                "the FLASH may not be erased: run 'zflash erase --all', then program again", true};
    if (protocolB)
        return ByExitCode(c);
    if (c.erase == "never" && SawMessage(sink, lmNotBlank))
        return {"the device refused the write: the FLASH under the image holds data, and --erase never left it there",
                "run 'zflash erase --all' first, or program with --erase auto", true};
    // The kernel gives no reason of its own for a refused write: only its status.
    if (SawMessage(sink, lmChunkRefused) || !sink.SawAnyError())
        return {"the device refused the write (write status 0x23)",
                "the FLASH may hold data or be worn or protected: erase it ('zflash erase --all') and try again", true};
    return ByExitCode(c);
}
