// A 1K device against the virtual target over a real pty: erase, write, read
// and blank check, each with its module inside the command and a fresh main
// kernel afterwards, also when the operation fails or is refused. (A silent
// target is the Protocol B test's matter: the channel fails the same way.)
#include <gtest/gtest.h>

#include "TargetBoot.h"
#include "device/FLASH1KDevice.h"

namespace {
class OneKRun : public ::testing::Test, public CTargetBoot
{
protected:
    // ZT10F016 at 19200 with its main kernel running.
    void Connect(const CSimOverrides& overrides = {})
    {
        unsigned char code = 0, work[4] = {};
        ASSERT_NO_FATAL_FAILURE(Boot("ZT10F016.ini", overrides, &code));
        ASSERT_TRUE(iface.ChangeBaud(19200, code, work, info.m_eBRRFormula));
        device.SetDeviceInfo(&info);
        device.SetProtocol(0);
        device.Initialise();
        ASSERT_TRUE(device.DownloadBOOTModeKernel());
    }

    std::size_t KernelStarts(std::size_t expected) const { return Count(ekNote, "BOOT main kernel '", expected); }

    CFLASH1KDevice device{"ZT10F016", &comms, true};
};
} // namespace

TEST_F(OneKRun, EveryOperationIsFollowedByAFreshMainKernel)
{
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_TRUE(target.LoadFLASH(0x400, std::vector<BYTE>(0x400, 0x00)));
    ASSERT_TRUE(device.EraseFLASHBlock(Block(1)));
    EXPECT_EQ(target.GetEraseCounts(), (std::vector<DWORD>{0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(KernelStarts(2), 2u);
    // A full 544-byte buffer, then a short chunk padded to the 16-byte line.
    const std::vector<BYTE> data = Pattern(1000, 0x52);
    std::vector<BYTE> copy = data;
    ASSERT_TRUE(device.WriteVerifyFLASH(0x400, 1000, copy.data(), 0));
    EXPECT_EQ(KernelStarts(3), 3u);
    const std::vector<BYTE> flash = target.GetFLASH();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x400));
    std::vector<BYTE> back(1000);
    ASSERT_TRUE(device.ReadData(0x400, 1000, back.data()));
    EXPECT_EQ(back, data);
    bool blank = false;
    ASSERT_TRUE(device.BlankCheck(&blank, 0x800, 0x3800));
    EXPECT_TRUE(blank);
    EXPECT_EQ(KernelStarts(5), 5u);
    EXPECT_EQ(Count(ekViolation, "") + Count(ekRefusal, ""), 0u);
}

TEST_F(OneKRun, FailuresAndRefusalsStillBringTheMainKernelBack)
{
    ASSERT_NO_FATAL_FAILURE(Connect({{"Fail Erase", "1"}, {"Fail Write Chunk", "1"}}));
    EXPECT_FALSE(device.EraseFLASHBlock(Block(2)));
    std::vector<BYTE> data = Pattern(64, 0x01);
    EXPECT_FALSE(device.WriteVerifyFLASH(0x800, 64, data.data(), 0));
    EXPECT_TRUE(Shown("Write failed"));
    // The read module named as erase module: the kernel refuses the erase.
    info.m_strEraseModule = info.m_strReadModule;
    EXPECT_FALSE(device.EraseFLASHBlock(Block(2)));
    EXPECT_EQ(Count(ekRefusal, "holds the read module, not the erase module", 1), 1u);
    EXPECT_EQ(KernelStarts(4), 4u);
    EXPECT_TRUE(device.IsReallyConnected());
}
