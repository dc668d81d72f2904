#include "LibraryMessages.h"

#include <algorithm>

#include "ConsoleHost.h"
#include "ExitCode.h"

namespace {
// Order matters: the first row seen decides an exit code.
constexpr SLibraryMessage kMessages[] = {
    // eMessage          nID    text                                  exit code       overrides refusal
    {lmNotAvailable,     0,     "not yet available",                  ecNotAvailable, true,     false},
    {lmNotAvailable,     0,     "not available in this version",      ecNotAvailable, true,     false},
    {lmNoPort,           15026, "Unable to open comms",               ecConnection,   true,     false},
    {lmEraseFailed,      15025, "Erase failed",                       ecErase,        false,    true},
    {lmVerifyFailed,     15030, "Verification failed",                ecVerify,       false,    true},
    {lmByteDiffers,      15029, "not equal",                          ecVerify,       false,    true},
    {lmReadFailed,       15027, "Read failed",                        ecRead,         false,    false},
    {lmEraseRefused,     15031, "Device failed to erase",             0,              false,    true},
    {lmChunkRefused,     15028, "Write failed",                       0,              false,    true},
    {lmRateRefused,      15016, "new speed refused",                  0,              false,    false},
    {lmWritten,          0,     "Image successfully written to device", 0,            false,    false},
    {lmVerified,         0,     "Verification OK",                    0,              false,    false},
    {lmNotBlank,         0,     "Device is not blank",                0,              false,    false},
    {lmWriteImageError,  0,     "Write image error",                  0,              false,    false},
    {lmSumError,         0,     "Sum check error",                    0,              false,    false},
    {lmSumError,         0,     "Sum-check error",                    0,              false,    false},
    {lmSumError,         0,     "Check sum error",                    0,              false,    false},
    {lmSumError,         0,     "error code H'11",                    0,              false,    false},
};

bool Seen(const CConsoleSink& sink, const SLibraryMessage& m)
{
    return m.nID != 0 ? sink.SawError(m.nID) : sink.SawText(m.pszText);
}
} // namespace

std::span<const SLibraryMessage> LibraryMessages()
{
    return kMessages;
}

const char* SawMessage(const CConsoleSink& sink, eLibraryMessage message)
{
    for (const SLibraryMessage& m : kMessages)
        if (m.eMessage == message && Seen(sink, m))
            return m.pszText;
    return nullptr;
}

bool IsMessage(const std::string& text, eLibraryMessage message)
{
    return std::any_of(std::begin(kMessages), std::end(kMessages), [&](const SLibraryMessage& m) {
        return m.eMessage == message && m.nID == 0 && text.find(m.pszText) != std::string::npos;
    });
}

int StepExitCode(const CConsoleSink& sink, int nOwnCode)
{
    for (const SLibraryMessage& m : kMessages)
        if (m.nExitCode != 0 && !m.bOverrides && Seen(sink, m))
            return m.nExitCode;
    return nOwnCode;
}

int OverridingExitCode(const CConsoleSink& sink)
{
    for (const SLibraryMessage& m : kMessages)
        if (m.bOverrides && Seen(sink, m))
            return m.nExitCode;
    return 0;
}

bool SawRefusal(const CConsoleSink& sink)
{
    return std::any_of(std::begin(kMessages), std::end(kMessages),
                       [&](const SLibraryMessage& m) { return m.bRefusal && Seen(sink, m); });
}
