// A 1K device against the virtual target over a real pty: an erase or write
// that fails, or one the kernel refuses, still leaves a fresh main kernel
// behind. (The working operations run in the programmer's road test.)
#include <gtest/gtest.h>

#include "TargetSession.h"
#include "device/FLASH1KDevice.h"

using namespace zftest;

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
