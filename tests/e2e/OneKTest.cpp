// A 1K device against the virtual target over a real pty: booted, its main
// kernel downloaded, then erase, write, read and blank check, each with its
// module inside the command and a fresh main kernel afterwards; then faults.
#include <gtest/gtest.h>

#include "TargetBoot.h"
#include "device/FLASH1KDevice.h"

using namespace e2etest;

namespace {
class OneKRun : public ::testing::Test, public CTargetBoot
{
protected:
    // Boots ZT10F016, raises the line to 19200 and starts its main kernel.
    void Connect(const CSimOverrides& overrides = {})
    {
        ASSERT_TRUE(Start("ZT10F016.ini", overrides));
        unsigned char code = 0;
        ASSERT_TRUE(BootMicroKernel(&code));
        unsigned char work[4] = {};
        ASSERT_TRUE(iface.ChangeBaud(19200, code, work, info.m_eBRRFormula));
        device.SetDeviceInfo(&info);
        device.SetProtocol(0);
        device.Initialise();
        ASSERT_TRUE(device.DownloadBOOTModeKernel());
        ASSERT_TRUE(target.WaitForState(ssMainKernel, 5000));
    }

    std::size_t KernelStarts(std::size_t expected) const { return Count(ekNote, "BOOT main kernel '", expected); }

    CFLASH1KDevice device{"ZT10F016", &comms, true};
};
} // namespace

TEST_F(OneKRun, EveryOperationIsFollowedByAFreshMainKernel)
{
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(KernelStarts(1), 1u);
    ASSERT_TRUE(target.LoadFLASH(0x400, std::vector<BYTE>(0x400, 0x00)));
    ASSERT_TRUE(device.EraseFLASHBlock(Block(1)));
    EXPECT_EQ(target.GetEraseCounts(), (std::vector<DWORD>{0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(KernelStarts(2), 2u);

    // 1000 bytes: one full buffer and a short last chunk padded to the line.
    const std::vector<BYTE> data = Pattern(1000, 0x52);
    std::vector<BYTE> copy = data;
    ASSERT_TRUE(device.WriteVerifyFLASH(0x400, 1000, copy.data(), 0));
    EXPECT_EQ(KernelStarts(3), 3u);
    const std::vector<BYTE> flash = target.GetFLASH();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x400));
    EXPECT_EQ(flash[0x400 + 1000], 0xFF);

    std::vector<BYTE> back(1000);
    ASSERT_TRUE(device.ReadData(0x400, 1000, back.data()));
    EXPECT_EQ(back, data);
    EXPECT_EQ(KernelStarts(4), 4u);
    bool blank = false;
    ASSERT_TRUE(device.BlankCheck(&blank, 0x800, 0x3800));
    EXPECT_TRUE(blank);
    ASSERT_TRUE(device.BlankCheck(&blank, 0x400, 0x400));
    EXPECT_FALSE(blank);
    EXPECT_EQ(KernelStarts(6), 6u);

    // The kernel that runs now is the main kernel, and it still knows the host.
    const std::vector<BYTE> ram = target.GetRAM();
    const std::vector<BYTE> kernel = FileBytes(info.ResolvePath(info.m_strMainKernel));
    EXPECT_TRUE(std::equal(kernel.begin(), kernel.end(), ram.begin()));
    EXPECT_TRUE(device.IsReallyConnected());
    EXPECT_EQ(Events(ekViolation), "");
    EXPECT_EQ(Events(ekRefusal), "");
}

TEST_F(OneKRun, FailuresStillBringTheMainKernelBack)
{
    ASSERT_NO_FATAL_FAILURE(Connect({{"Fail Erase", "1"}, {"Fail Write Chunk", "1"}}));
    EXPECT_FALSE(device.EraseFLASHBlock(Block(2)));
    EXPECT_EQ(KernelStarts(2), 2u);
    std::vector<BYTE> data = Pattern(64, 0x01);
    EXPECT_FALSE(device.WriteVerifyFLASH(0x800, 64, data.data(), 0));
    EXPECT_TRUE(Shown("Write failed", 15028));
    EXPECT_EQ(KernelStarts(3), 3u);
    EXPECT_TRUE(device.IsReallyConnected());

    settings.Write("[Serial]\nCheckBlankTimeout = 1\n");
    CSimFaults faults;
    faults.m_dwStopAfterHostBytes = 1;
    target.SetFaults(faults);
    bool blank = false;
    EXPECT_FALSE(device.BlankCheck(&blank, 0, 0x400));
    EXPECT_FALSE(device.IsReallyConnected());
}
