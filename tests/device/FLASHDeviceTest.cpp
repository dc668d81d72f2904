#include <gtest/gtest.h>

#include "protocol/ScriptedDevice.h"

using namespace zftest;

namespace {

using DeviceStarted = CStartedDevice;

TEST(DeviceBuffer, SizeFollowsFreeRamLineSizeAndLimitAndOddValuesWarn)
{
    const DWORD k1000Free = 4096 - 128 - 1000, k10Free = 4096 - 128 - 10; // kernels beside a 128-byte work area
    const struct
    {
        DWORD ram, kernel;
        WORD line;
        const char* limit;
        DWORD buffer;
        const char* warning;
    } cases[] = {
        {4096, k1000Free, 6, "2000", 996, nullptr},
        {4096, k1000Free, 64, "100", 64, nullptr},
        {8192, 512, 64, nullptr, 1024, nullptr}, // the default limit
        {4096, k10Free, 0, nullptr, 8, "Invalid data found in DeviceID assuming lineSize of 1!"},
        {4096, k10Free, 64, nullptr, 64, "Specified buffer size too small. Setting to minimum allowable size (64)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        CScriptedDevice run(c.ram, c.kernel);
        if (c.limit)
            run.settings.Write(std::string("[Serial]\nMaxTargetBufferSize=") + c.limit + "\n");
        ASSERT_TRUE(run.Start({c.line, 128, 0x09}));
        EXPECT_EQ(run.device->GetFreeRAM(), c.ram - 128 - c.kernel);
        EXPECT_EQ(run.device->GetDeviceID()->GetLineSize(), std::max<WORD>(c.line, 1));
        EXPECT_EQ(run.device->GetBufferSize(), c.buffer);
        EXPECT_TRUE(!c.warning || run.Shown(c.warning));
    }
}

// A mismatch refused runs against the virtual target (KernelTest's identity faults).
TEST(DeviceKernel, HandshakeMismatchIgnoredWhenTheSettingsSaySo)
{
    CScriptedDevice run;
    run.settings.Write("[Device]\nIgnoreHandshake=1\n");
    run.ScriptIdentity({}, 0x99);
    EXPECT_TRUE(run.device->InitialiseBOOTModeKernel());
    EXPECT_FALSE(run.device->IsWrongKernel());
    EXPECT_TRUE(run.device->IsConnected());
}

TEST_F(DeviceStarted, IdentifierAdvancesWithEachStart)
{
    const BYTE first = run.device->GetIdentifier();
    ASSERT_TRUE(run.Start());
    EXPECT_EQ(run.device->GetIdentifier(), static_cast<BYTE>(first + 1));
    // A kernel that echoes a stale identifier is not connected.
    run.comms.Reply({kHandshake, first});
    EXPECT_FALSE(run.device->IsReallyConnected());
}

TEST(DeviceKernel, UserKernelLargerThanRamStillConnects)
{
    CScriptedDevice run(2048, 1900);
    run.ScriptIdentity({64, 128, 0x09}, kHandshake, true, 0x0700);
    EXPECT_TRUE(run.device->InitialiseUSERModeKernel());
    EXPECT_TRUE(run.Shown("The main kernel is larger than the available RAM", 15053));
    EXPECT_EQ(run.device->GetFreeRAM(), 0u);

    // Handshake passes but the liveness check gets nonsense.
    CScriptedDevice bad;
    const BYTE next = static_cast<BYTE>(CFLASHDevice::m_sCurrentUniqueID.Current() + 1);
    bad.comms.Reply({1, 0, 64, 0, 128, 0, 0x49, 0x07, 0x00, kHandshake, next, 0x42, 0x42});
    EXPECT_FALSE(bad.device->InitialiseUSERModeKernel());
    EXPECT_TRUE(bad.Shown("An unrecognised response was received from the target", 15008));
}

TEST(DeviceKernel, MissingKernelIsNamedAndNothingIsSent)
{
    CScriptedDevice run;
    run.info.m_strMainKernel = "kernels/none.bin";
    EXPECT_FALSE(run.device->DownloadBOOTModeKernel());
    EXPECT_TRUE(run.Shown("Unable to locate main kernel 'kernels/none.bin'", 15006));
    EXPECT_TRUE(run.comms.written.empty());
}

TEST(DeviceKernel, DownloadAnnouncesLengthModulo64K)
{
    CScriptedDevice run(0x20000, 0x10004);
    run.ScriptIdentity({});
    EXPECT_TRUE(run.device->DownloadBOOTModeKernel());
    ASSERT_GT(run.comms.written.size(), 0x10006u);
    EXPECT_EQ(Slice(run.comms.written, 0, 3), Bytes({0x00, 0x04, 0x11}));
    EXPECT_EQ(run.comms.written[0x10006], 0x09);
    EXPECT_TRUE(run.Shown("Main kernel download complete..."));

    CScriptedDevice fail;
    fail.comms.failWrites = true;
    EXPECT_FALSE(fail.device->DownloadBOOTModeKernel());
    EXPECT_TRUE(fail.Shown("Failed to download the kernel", 15043));
}

TEST_F(DeviceStarted, FunctionPriorityIsMostRecentFirst)
{
    run.device->SetAutomaticModules(false);
    bool blank = false;
    EXPECT_FALSE(run.device->BlankCheck(&blank, 0, 1));
    const eFLASHFunction* p = run.device->GetFunctionPriority();
    EXPECT_EQ((std::vector<int>{p[0], p[1], p[2], p[3]}), (std::vector<int>{fnCheckBlank, fnWrite, fnErase, fnRead}));
    // Automatic modules off: no traffic, the module stays wanted.
    EXPECT_TRUE(run.comms.written.empty());
    EXPECT_EQ(run.device->GetFunctionMap()->GetFunction(fnCheckBlank), CFLASHFunctionMap::kWanted);
}

TEST(DeviceModules, PlacedOnFourByteBoundariesBehindTheKernel)
{
    CScriptedDevice run(4096, 513);
    ASSERT_TRUE(run.Start());
    std::vector<BYTE> buffer(4);
    run.comms.Reply({1, 2, 3, 4});
    ASSERT_TRUE(run.device->ReadData(0, 4, buffer.data()));
    const CFLASHFunctionMap* pMap = run.device->GetFunctionMap();
    EXPECT_EQ(pMap->GetFunction(fnRead), 516); // 513 rounded up
    EXPECT_EQ(run.device->GetBufferAddress(), 516u + 40u);
    // 48 = module download, length 40 at 516, code; 38 map with 3 entries.
    const auto& w = run.comms.written;
    EXPECT_EQ(std::vector<BYTE>(w.begin(), w.begin() + 5), Bytes({0x28, 0x00, 40, 0x02, 0x04}));
    EXPECT_EQ(Slice(w, 5 + 40, 2), Bytes({0x38, 6}));

    // A module already loaded costs no download.
    run.comms.written.clear();
    run.comms.Reply({1, 2, 3, 4});
    ASSERT_TRUE(run.device->ReadData(0, 4, buffer.data()));
    EXPECT_EQ(run.comms.written[0], 0x24);

    // A second module keeps the first and goes on the next boundary.
    run.comms.written.clear();
    run.comms.Reply({0x24});
    auto* pBlock = static_cast<CBlockItem*>(run.info.m_EraseBlocks.GetHead());
    pBlock->m_bWritten = 1;
    ASSERT_TRUE(run.device->EraseFLASHBlock(pBlock));
    EXPECT_FALSE(pBlock->m_bWritten);
    EXPECT_EQ(pMap->GetFunction(fnErase), 516);
    EXPECT_EQ(pMap->GetFunction(fnRead), 568); // 516 + 50 rounded up
}

TEST_F(DeviceStarted, MissingOrOversizedModuleFails)
{
    run.info.m_strReadModule = "gone/read.bin";
    std::vector<BYTE> buffer(4);
    EXPECT_FALSE(run.device->ReadData(0, 4, buffer.data()));
    EXPECT_TRUE(run.Shown("Unable to locate kernel module 'gone/read.bin'", 15006));
    EXPECT_TRUE(run.comms.written.empty());

    CScriptedDevice small(2048, 2048 - 128 - 60);
    ASSERT_TRUE(small.Start());
    std::vector<BYTE> data(64, 0);
    EXPECT_FALSE(small.device->WriteVerifyFLASH(0, 64, data.data(), 0));
    EXPECT_TRUE(small.Shown("Write module too big to fit in RAM"));
    EXPECT_TRUE(small.comms.written.empty());
}

TEST_F(DeviceStarted, WritePadsToTheLineSize)
{
    std::vector<BYTE> data(100, 0);
    run.comms.Reply({0x00, 0x00});
    ASSERT_TRUE(run.device->WriteVerifyFLASH(0x40, 100, data.data(), 0));
    // Behind the module and map: 0x22, announced 128, start.
    const auto& w = run.comms.written;
    const size_t at = w.size() - (5 + 100 + 1);
    EXPECT_EQ(std::vector<BYTE>(w.begin() + at, w.begin() + at + 5), Bytes({0x22, 128, 0x00, 0x00, 0x40}));
    const size_t before = w.size();
    EXPECT_TRUE(run.device->WriteVerifyFLASH(0, 10, nullptr, 0));
    EXPECT_EQ(run.comms.written.size(), before);
}

TEST_F(DeviceStarted, VerifyAsksNothingOfTheTarget)
{
    struct CProbe : CFLASHDevice
    {
        using CFLASHDevice::CFLASHDevice;
        using CFLASHDevice::ManageFunctionMap;
    };
    CProbe probe("P", &run.comms, true);
    EXPECT_FALSE(probe.ManageFunctionMap(fnVerify));
    ASSERT_EQ(run.host.questions.size(), 1u);
    EXPECT_EQ(run.host.questions[0].text, "No kernel support for verification yet!");
    EXPECT_TRUE(run.comms.written.empty());
}

} // namespace
