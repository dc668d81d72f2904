// A Protocol B and a 1K device against the virtual target over a real pty:
// error codes, injected faults and refusals, and for the 1K device a fresh
// main kernel after each of them. (Erasing, writing and reading back run in
// the programmer's road test.)
#include <gtest/gtest.h>

#include "TargetSession.h"
#include "device/FLASH1KDevice.h"
#include "device/FLASHDevice.h"

using namespace zftest;

namespace {
// ZT52F128 (Protocol B) at 115200 (16 MHz, ratios 4 and 4), or ZT10F016 (1K
// kernels) at 19200, with its main kernel running.
template <class TDevice, int nProtocol>
class CDeviceRun : public ::testing::Test, public CTargetBoot
{
protected:
    void Connect(const CSimOverrides& overrides = {})
    {
        unsigned char code = 0, work[4] = {};
        ASSERT_TRUE(Start(nProtocol ? "ZT52F128.ini" : "ZT10F016.ini", overrides));
        ASSERT_TRUE(ReachMicroKernel(&code, nProtocol ? ssProtocolB : ssMicroKernel));
        ASSERT_TRUE(nProtocol ? iface.ChangeBaud_ProtocolB(115200, code, work, info.m_eBRRFormula, 1600.0f, 4, 4)
                              : iface.ChangeBaud(19200, code, work, info.m_eBRRFormula));
        device.SetDeviceInfo(&info);
        device.SetProtocol(nProtocol);
        device.Initialise();
        ASSERT_TRUE(nProtocol ? device.DownloadBOOTModeKernel_ProtocolB() : device.DownloadBOOTModeKernel());
    }

    TDevice device{nProtocol ? "ZT52F128" : "ZT10F016", &comms, true};
};
using ProtocolBRun = CDeviceRun<CFLASHDevice, 1>;
using OneKRun = CDeviceRun<CFLASH1KDevice, 0>;
} // namespace

TEST_F(ProtocolBRun, ErrorCodesAndInjectedFaultsGiveTheirMessagesAndFalse)
{
    ASSERT_NO_FATAL_FAILURE(Connect());
    std::vector<BYTE> data = Pattern(256, 0x10);
    EXPECT_FALSE(device.ReadData_ProtocolB(0x20000, 64, data.data()));
    EXPECT_TRUE(Shown("Invalid memory read address error"));
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x1040, 128, data.data(), 0));
    EXPECT_TRUE(Shown("Invalid write address error"));

    target.SetFaults({.m_dwFailErase = 1, .m_dwFailWrite = 1});
    EXPECT_FALSE(device.EraseFLASHBlock_ProtocolB(Block(3)));
    EXPECT_TRUE(Shown("Unknown error"));
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x3000, 256, data.data(), 0));
    EXPECT_TRUE(Shown("Write image error"));
    // Erase module in place: 4F, then 58 01 04 and the sum; a bent block number
    // leaves a sum that does not close the frame.
    ASSERT_TRUE(device.EraseFLASHBlock_ProtocolB(Block(3)));
    target.SetFaults({.m_dwCorruptHostByte = 4});
    EXPECT_FALSE(device.EraseFLASHBlock_ProtocolB(Block(4)));
    EXPECT_TRUE(Shown("Sum-check error"));

    // A status inquiry that reports an error stops the write.
    target.SetFaults({.m_dwFailStatus = 1});
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x5000, 128, data.data(), 0));
    // The wrong file named as write module is taken, but the line is refused.
    info.m_strWriteModule = info.m_strEraseModule;
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x5000, 128, data.data(), 0));
    EXPECT_EQ(Count(ekRefusal, "write refused: the write module is not in place (status H'01)", 1), 1u);

    settings.Write("[Serial]\nCheckBlankTimeout = 1\n");
    target.SetFaults({.m_dwStopAfterHostBytes = 1});
    bool blank = true;
    EXPECT_FALSE(device.BlankCheck_ProtocolB(&blank, 0, 0x20000));
    EXPECT_FALSE(device.ReadData_ProtocolB(0, 64, data.data()));
}

TEST_F(OneKRun, FailuresAndRefusalsStillBringTheMainKernelBack)
{
    ASSERT_NO_FATAL_FAILURE(Connect({{"Fail Erase", "1"}, {"Fail Write Chunk", "1"}}));
    EXPECT_FALSE(device.EraseFLASHBlock(Block(2)));
    std::vector<BYTE> data = Pattern(64, 0x01);
    EXPECT_FALSE(device.WriteVerifyFLASH(0x800, 64, data.data(), 0));
    EXPECT_TRUE(Shown("Write failed", 15028));
    // The read module named as erase module: the kernel refuses the erase.
    info.m_strEraseModule = info.m_strReadModule;
    EXPECT_FALSE(device.EraseFLASHBlock(Block(2)));
    EXPECT_EQ(Count(ekRefusal, "holds the read module, not the erase module", 1), 1u);
    EXPECT_EQ(Count(ekNote, "BOOT main kernel '", 4), 4u);
    EXPECT_TRUE(device.IsReallyConnected());
}
