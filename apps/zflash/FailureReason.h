#pragma once
// Why a command against a target failed, put together from what the library
// said on the way (its plain messages included) and how the tool was run.
#include <string>

class CConsoleSink;

struct SFailureReason
{
    std::string text; // empty: nothing to add
    std::string hint;
    // Shown even after another error line: it says what that line cannot.
    bool bAlways = false;
};

struct SFailureContext
{
    const std::string& command;
    int code;
    long protocol;
    const std::string& erase; // --erase: auto, ask or never
};

SFailureReason ExplainFailure(const CConsoleSink& sink, const SFailureContext& context);
