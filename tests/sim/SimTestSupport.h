#pragma once
// A virtual target with a scripted host on its line, for the target's tests.
#include <gtest/gtest.h>

#include <string>

#include "ScriptedHost.h"
#include "sim/SimTarget.h"

namespace simtest {

// Layout the tests give the TT08 test device: its 256-byte main kernel at 0,
// then the four modules, then the data buffer.
constexpr WORD kWriteAt = 0x0100;
constexpr WORD kEraseAt = 0x0140;
constexpr WORD kReadAt = 0x0170;
constexpr WORD kBlankAt = 0x0198;
constexpr WORD kBufferAt = 0x01C0;

class CSimRun
{
public:
    CSimRun() : host(&target) {}

    ::testing::AssertionResult Start(const std::string& definition, const CSimOverrides& overrides = {})
    {
        CString error;
        if (!target.Load(CString(definition), &error, overrides))
            return ::testing::AssertionFailure() << "load: " << error.GetString();
        if (!target.Start(&error))
            return ::testing::AssertionFailure() << "start: " << error.GetString();
        if (!host.Open(target.GetPortName().str()))
            return ::testing::AssertionFailure() << "cannot open " << target.GetPortName().GetString();
        return ::testing::AssertionSuccess();
    }

    // Started, matched at 9600 by the boot program and acknowledged.
    ::testing::AssertionResult StartBooted(const std::string& definition, const CSimOverrides& overrides = {})
    {
        auto started = Start(definition, overrides);
        if (started && (host.Boot() != 9600 || host.Acknowledge() != 0xAA))
            return ::testing::AssertionFailure() << "no boot at 9600";
        return started;
    }

    // TT08 with its BOOT main kernel already running at 115200, identified as 0x41.
    ::testing::AssertionResult StartResident(CSimOverrides overrides = {})
    {
        overrides.insert(overrides.begin(), {{"Start Mode", "BOOT Resident"}, {"Resident Rate", "115200"}});
        auto started = Start(DataPath("TT08.ini"), overrides);
        if (!started)
            return started;
        if (!target.WaitForState(ssMainKernel, 5000) || !host.SetRate(115200))
            return ::testing::AssertionFailure() << "no resident kernel";
        if (host.Identify(0x41) < 0)
            return ::testing::AssertionFailure() << "no identity";
        return ::testing::AssertionSuccess();
    }

    // Downloads the TT08 modules and a function map with a 256-byte buffer.
    void LoadModules()
    {
        host.DownloadModule(kWriteAt, ReadFile(DataPath("kernels/tt08/tt08_write.bin")));
        host.DownloadModule(kEraseAt, ReadFile(DataPath("kernels/tt08/tt08_erase.bin")));
        host.DownloadModule(kReadAt, ReadFile(DataPath("kernels/tt08/tt08_read.bin")));
        host.DownloadModule(kBlankAt, ReadFile(DataPath("kernels/tt08/tt08_blank.bin")));
        host.FunctionMap({kWriteAt, kEraseAt, kReadAt, kBlankAt}, kBufferAt, 256);
    }

    // The texts of the target's events of one kind, one per line, once the
    // target has dealt with everything the host sent.
    std::string Events(eSimEventKind kind)
    {
        host.Settle();
        std::string all;
        for (const CSimEvent& e : target.GetEvents(kind))
            all += e.m_strText.str() + "\n";
        return all;
    }

    CSimTarget target;
    CScriptedHost host;
};

} // namespace simtest
