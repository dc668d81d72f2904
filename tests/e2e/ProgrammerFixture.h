#pragma once
// A virtual target started from a device definition, and a programmer made by
// the manager and pointed at it. Tests derive from CProgrammerFixture.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "TargetSession.h"
#include "programmer/FLASHManager.h"
#include "programmer/OTPConfig.h"

namespace zftest {

class CProgrammerFixture : public ::testing::Test, public CShownChecks
{
protected:
    std::unique_ptr<CFLASHProgrammer> MakeProgrammer(const CSimTarget& t, const std::string& definition,
                                                     eConnectionType type, long nProtocol = 0, int nClockRatio = 4)
    {
        const std::string name = definition.substr(definition.find_last_of('/') + 1);
        return std::unique_ptr<CFLASHProgrammer>(FLASHManager.CreateFLASHProgrammer(
            name.substr(0, name.find('.')).c_str(), t.GetPortName(), type, ptNeverErase, mlNormal, "",
            nProtocol, 16.0f, nClockRatio, nClockRatio, 0, DefinitionPath(definition).c_str()));
    }

    // The usual case: one target in the given start mode and a programmer of the type.
    ::testing::AssertionResult Start(const std::string& definition, const char* startMode, eConnectionType type,
                                     CSimOverrides overrides = {}, long nProtocol = 0, int nClockRatio = 4)
    {
        overrides.insert(overrides.begin(), {"Start Mode", startMode});
        auto started = StartSim(target, definition, overrides);
        if (started && !(programmer = MakeProgrammer(target, definition, type, nProtocol, nClockRatio)))
            return ::testing::AssertionFailure() << "no programmer for " << definition;
        return started;
    }

    // A FLASH image of the target's size (or nSize) holding the ranges, as a file load leaves it.
    std::unique_ptr<CFLASHBinaryImage> LoadImage(const std::vector<SImageRange>& ranges, int nSize = -1)
    {
        auto image = std::make_unique<CFLASHBinaryImage>(
            nSize >= 0 ? nSize : static_cast<int>(programmer->GetFLASHSize()), nullptr);
        for (const auto& [address, bytes] : ranges)
            image->SetDataFromFile(address, static_cast<DWORD>(bytes.size()), bytes.data());
        return image;
    }

    // Writes an image of the ranges and checks the FLASH holds them.
    ::testing::AssertionResult Writes(const std::vector<SImageRange>& ranges)
    {
        auto image = LoadImage(ranges);
        if (!programmer->WriteImage(image.get()))
            return ::testing::AssertionFailure() << "write failed: " << Errors();
        return FLASHHolds(target, ranges);
    }

    CBlockItem* Block(int n) { return BlockAt(programmer->GetDeviceInfo()->m_EraseBlocks, n); }
    DWORD BlockStart(int n) { return static_cast<DWORD>(Block(n)->m_lStart); }

    // Connected, then the fault armed so that its count starts at the next operation.
    void ConnectThen(DWORD CSimFaults::*fault, DWORD n)
    {
        ASSERT_TRUE(programmer->Connect()) << Errors();
        CSimFaults faults;
        faults.*fault = n;
        target.SetFaults(faults);
    }

    // Reads the range and compares it with what the FLASH holds.
    ::testing::AssertionResult ReadsBackRight(DWORD start, DWORD length)
    {
        std::unique_ptr<CFLASHBinaryImage> back(programmer->ReadImage(0, nullptr, start, length));
        if (!back)
            return ::testing::AssertionFailure() << "read failed: " << Errors();
        const std::vector<BYTE> flash = target.GetFLASH();
        for (DWORD i = 0; i < length; ++i)
            if (back->GetDataByte(i) != flash[start + i])
                return ::testing::AssertionFailure() << "byte " << i << " read as " << int(back->GetDataByte(i))
                                                     << ", FLASH holds " << int(flash[start + i]);
        return ::testing::AssertionSuccess();
    }

    // A paced write, during which another thread runs action once the target has taken nBytes more.
    bool WriteWhile(CFLASHBinaryImage* pImage, std::uint64_t nBytes, const std::function<void()>& action)
    {
        target.SetThrottle(true);
        const auto start = target.GetHostBytesTaken();
        const bool bResult = WhileRunning([&] { return programmer->WriteImage(pImage); },
                                          [&] { return target.GetHostBytesTaken() >= start + nBytes; }, action);
        target.SetThrottle(false);
        return bResult;
    }

    ScopedSettings settings{ScopedSettings::kVirtualTargetFactor};
    TempDir dir;
    CSimTarget target;
    // Declared last: it goes before the target it talks to.
    std::unique_ptr<CFLASHProgrammer> programmer;
};

// The fixture of a table of cases.
template <class TCase>
class CProgrammerCases : public CProgrammerFixture, public ::testing::WithParamInterface<TCase>
{
};

} // namespace zftest
