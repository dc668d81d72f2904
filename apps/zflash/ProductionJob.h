#pragma once
// Programming one unit of a production run: an optional unit number written
// into the image, blocks that already hold the image left alone, and line
// faults answered by reconnecting and carrying on where the chip stops
// holding the image.
#include <cstdint>
#include <string>

#include "Commands.h"
#include "SerialNumber.h"

class CFLASHProgrammer;

struct SUnitResult
{
    std::string strDevice;
    std::string strSerial;            // the number this unit got, as text
    unsigned long long qwBytes = 0;   // bytes of the image
    unsigned long long qwSkipped = 0; // image bytes in blocks that already held them
    bool bVerified = false;
    bool bAlreadyProgrammed = false;
    int nRetries = 0;
};

struct SProductionPlan
{
    const SSerialSpec* pSerial = nullptr; // with pState
    CSerialState* pState = nullptr;
    bool bSkipUnchanged = false;
    int nRetries = 0;
};

class CProductionJob
{
public:
    CProductionJob(SCommandContext& c, const SProductionPlan& plan, SUnitResult& result)
        : m_c(c), m_plan(plan), m_r(result)
    {
    }

    // Connects, programs and verifies; an exit code.
    int Run();

    // Whether a failure was the line's (worth a reconnect) rather than the chip's refusal.
    static bool IsLineFault(CSession& s, int code);

private:
    int Attempt(CFLASHBinaryImage& image, bool* pSpent);
    // Reads what the image covers; *pChanged gets the image's bytes in the
    // blocks that differ (null when none do).
    int FindChanges(CFLASHBinaryImage& image, std::unique_ptr<CFLASHBinaryImage>* pChanged);
    int PlaceSerial(CFLASHBinaryImage& image, std::uint64_t* pNumber);

    SCommandContext& m_c;
    const SProductionPlan& m_plan;
    SUnitResult& m_r;
    std::vector<SImageRange> m_Ranges;
};
