// The classic protocol and the device against the virtual target over a real
// pty: a resident kernel with module placement on a 2 KiB device, identity
// faults, a USER kernel too large, injected faults and cancel.
#include <gtest/gtest.h>

#include "TargetSession.h"
#include "device/FLASHDevice.h"
#include "protocol/FLASHProtocol.h"

using namespace zftest;

namespace {

// ZT21F064: 2 KiB RAM, 64 KiB FLASH, 64-byte lines, 3-byte fields, one EBR byte.
class CKernelSession : public CTargetBoot
{
public:
    ::testing::AssertionResult Start(const CSimOverrides& overrides, const char* rate = "38400,n,8,1")
    {
        auto started = CTargetBoot::Start("ZT21F064.ini", overrides);
        if (!started)
            return started;
        if (!comms.Settings(rate))
            return ::testing::AssertionFailure() << "cannot set " << rate;
        device.SetDeviceInfo(&info);
        device.SetProtocol(0);
        comms.SetStatusUpdate(&comms);
        device.Initialise();
        return ::testing::AssertionSuccess();
    }

    // With the kernel's identity taken unless told not to.
    ::testing::AssertionResult StartResident(CSimOverrides overrides = {}, bool bIdentify = true)
    {
        overrides.insert(overrides.begin(), {"Start Mode", "BOOT Resident"});
        auto started = Start(overrides);
        if (started && !target.WaitForState(ssMainKernel, 5000))
            return ::testing::AssertionFailure() << "no resident kernel";
        if (started && bIdentify && !device.InitialiseBOOTModeKernel())
            return ::testing::AssertionFailure() << "no identity";
        return started;
    }

    // Writes a copy of data: the device may change what it is given.
    bool Write(DWORD address, std::vector<BYTE> data)
    {
        return device.WriteVerifyFLASH(address, static_cast<unsigned long>(data.size()), data.data(), 0);
    }

    // Waits for the target to note something; its notes follow the host's last byte.
    bool WaitForEvent(eSimEventKind kind, const std::string& text) const { return Count(kind, text, 1) > 0; }

    CFLASHDevice device{"ZT21F064", &comms, true};
};

class KernelRun : public ::testing::Test, public CKernelSession {};

TEST_F(KernelRun, ResidentKernelErasesWritesReadsAndSwapsModules)
{
    ASSERT_TRUE(StartResident({{"Byte Timeout", "200"}}));
    EXPECT_EQ(device.GetDeviceID()->GetLineSize(), 64);
    EXPECT_EQ(device.GetDeviceID()->GetFieldWidth(), 3);

    target.LoadFLASH(0x1000, std::vector<BYTE>(16, 0x00));
    ASSERT_TRUE(device.EraseFLASHBlock(Block(1)));
    EXPECT_NE(device.GetFunctionMap()->GetFunction(fnErase), 0);

    const std::vector<BYTE> data = Pattern(0x1000 + 100, 0x31);
    ASSERT_TRUE(device.EraseFLASHBlock(Block(2)));
    ASSERT_TRUE(Write(0x1000, data));
    // Only the most recent module lives beside the kernel on this device.
    EXPECT_EQ(device.GetFunctionMap()->GetFunction(fnErase), 0);
    EXPECT_NE(device.GetFunctionMap()->GetFunction(fnWrite), 0);
    EXPECT_TRUE(Block(1)->m_bWritten);
    EXPECT_TRUE(Block(2)->m_bWritten);

    // The padding to a whole line leaves the FLASH erased.
    EXPECT_TRUE(FLASHHolds(target, {{0x1000, data}, {0x1000 + static_cast<DWORD>(data.size()), {0xFF}}}));

    std::vector<BYTE> back(data.size());
    ASSERT_TRUE(device.ReadData(0x1000, static_cast<unsigned long>(back.size()), back.data()));
    EXPECT_EQ(back, data);

    bool blank = true;
    ASSERT_TRUE(device.BlankCheck(&blank, 0x1000, 0x1000));
    EXPECT_FALSE(blank);
    ASSERT_TRUE(device.BlankCheck(&blank, 0x3000, 0x1000));
    EXPECT_TRUE(blank);
    EXPECT_TRUE(device.IsReallyConnected());
    // The padding to a whole line is announced but not sent; the kernel fills it.
    EXPECT_EQ(Events(ekViolation), "write: the last 28 announced bytes never came; taken as H'FF\n");
    EXPECT_EQ(Events(ekRefusal), "");

    ASSERT_TRUE(device.Disconnect(false));
    EXPECT_TRUE(target.WaitForState(ssMainKernel, 1000));
}

TEST(KernelIdentity, FaultsAreReportedAndNothingIsConnected)
{
    const struct
    {
        CSimOverrides fault;
        std::vector<std::pair<std::string, WORD>> shown;
        bool wrongKernel;
    } cases[] = {
        {{{"Wrong Handshake", "1"}}, {{"Incorrect handshake received from target.", 15055}}, true},
        {{{"User Kernel Running", "1"}},
         {{"The target device has a USER mode kernel running.", 0}, {"Unable to download DeviceID from target", 15007}},
         true},
        // The identifier echoed in the handshake arrives corrupted.
        {{{"Corrupt Target Byte", "9"}}, {{"Unable to download DeviceID from target", 15007}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown.front().first);
        CKernelSession run;
        ASSERT_TRUE(run.StartResident(c.fault, false));
        EXPECT_FALSE(run.device.InitialiseBOOTModeKernel());
        for (const auto& [text, id] : c.shown)
            EXPECT_TRUE(run.Shown(text, id)) << text;
        EXPECT_EQ(run.device.IsWrongKernel(), c.wrongKernel);
        EXPECT_FALSE(run.device.IsConnected());
    }
}

// A chunk answered 0x10 counts as written: the write ends exactly at the end
// of the data, in step with the kernel. The next write's failed final status
// is a quiet false. (Erase and chunk failures run against the 1K kernel.)
TEST_F(KernelRun, AcceptedChunkKeepsStepAndAFailedFinalStatusIsQuiet)
{
    ASSERT_TRUE(StartResident({{"Accept Write Chunk", "2"}, {"Fail Write", "2"}}));
    ASSERT_TRUE(device.EraseFLASHBlock(Block(4)));
    const std::vector<BYTE> data = Pattern(0x0C00, 0x55);
    ASSERT_TRUE(Write(0x4000, data));
    ASSERT_GT(device.GetBufferSize(), 0u);
    ASSERT_LT(device.GetBufferSize(), data.size() / 2); // at least three chunks
    ASSERT_TRUE(WaitForEvent(ekFault, "answered with H'10"));
    ASSERT_TRUE(WaitForEvent(ekNote, "wrote H'00004000 + H'00000C00"));
    EXPECT_TRUE(FLASHHolds(target, {{0x4000, data}, {0x4000 + static_cast<DWORD>(data.size()), {0xFF}}}));
    EXPECT_EQ(Events(ekViolation), "");
    EXPECT_TRUE(device.IsReallyConnected());

    const size_t shown = host.shown.size();
    EXPECT_FALSE(Write(0x4C00, Pattern(256, 3)));
    EXPECT_EQ(host.shown.size(), shown);
}

TEST_F(KernelRun, CancelFromAnotherThreadStopsReadAndWrite)
{
    ASSERT_TRUE(StartResident());
    // An erase after a cancel would stop polling at once: the flag is left
    // for the caller and only reads and writes clear it.
    ASSERT_TRUE(device.EraseFLASHBlock(Block(4)));
    std::vector<BYTE> buffer(0x8000);
    ASSERT_TRUE(device.ReadData(0, 1, buffer.data()));
    // Paced to the line from here, so that the transfers take long enough to cancel.
    target.SetThrottle(true);

    // 32 KiB at 38400 would take seconds; each cancel comes once data flows.
    const auto cancelled = [this](DWORD progress, const std::function<bool()>& transfer) {
        device.GetProgress() = 0;
        return WhileRunning(transfer, [&] { return device.GetProgress() >= progress; }, [&] { device.Cancel(); });
    };
    EXPECT_TRUE(cancelled(512, [&] { return device.ReadData(0, 0x8000, buffer.data()); }));
    EXPECT_TRUE(WaitForEvent(ekNote, "read cancelled by the host"));
    EXPECT_TRUE(cancelled(256, [&] { return Write(0x4000, Pattern(0x4000, 1)); }));
    EXPECT_TRUE(WaitForEvent(ekNote, "write cancelled by the host"));
    EXPECT_TRUE(device.IsReallyConnected());
}

TEST_F(KernelRun, KernelLargerThanRamIsNotTaken)
{
    settings.Write("[Serial]\nGeneralMultiplier=1\n");
    // The USER loader in its own program, through the rate exchange kept at 9600
    // (the interface's work in real use).
    ASSERT_TRUE(Start({{"Start Mode", "USER"}}, "9600,n,8,1"));
    ASSERT_TRUE(target.WaitForState(ssUserProgram, 5000));
    const BYTE ask[2] = {0x44, 0x04};
    ASSERT_TRUE(comms.WriteBytes(ask, 2, false));
    BYTE brr = 0;
    ASSERT_TRUE(comms.ReadBytes(&brr, 1, nullptr, false));
    ASSERT_TRUE(comms.WriteBytes(&brr, 1, false));
    const BYTE check[4] = {1, 2, 3, 4};
    BYTE echo[4] = {};
    ASSERT_TRUE(comms.WriteBytes(check, 4, false));
    ASSERT_TRUE(comms.ReadBytes(echo, 4, nullptr, false));

    TempDir dir;
    const std::string big = dir.File("big.bin");
    std::ofstream(big, std::ios::binary) << std::string(4096, '\x5A');
    info.m_strUserMainKernel = big.c_str();
    const std::uint64_t taken = target.GetHostBytesTaken();
    EXPECT_FALSE(device.DownloadUSERModeKernel());
    // One try: the kernel goes out once behind its size, and is not sent again.
    EXPECT_LT(target.GetHostBytesTaken() - taken, 2 * 4096u);
    EXPECT_TRUE(Shown("Unable to download DeviceID from target", 15007));
    EXPECT_FALSE(device.IsConnected());
}

} // namespace
