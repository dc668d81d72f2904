// A Protocol B device against the virtual target over a real pty: booted, the
// line raised with the new-bit-rate command, blocks erased by number, lines
// written, read back and blank-checked; then error codes and injected faults.
#include <gtest/gtest.h>

#include "TargetBoot.h"
#include "device/FLASHDevice.h"

namespace {
class ProtocolBRun : public ::testing::Test, public CTargetBoot
{
protected:
    // ZT52F128 at 115200 (16 MHz, ratios 4 and 4) with its main kernel running.
    void Connect(const CSimOverrides& overrides = {})
    {
        unsigned char code = 0, work[4] = {};
        ASSERT_NO_FATAL_FAILURE(Boot("ZT52F128.ini", overrides, &code));
        ASSERT_TRUE(iface.ChangeBaud_ProtocolB(115200, code, work, info.m_eBRRFormula, 1600.0f, 4, 4));
        device.SetDeviceInfo(&info);
        device.SetProtocol(1);
        device.Initialise();
        ASSERT_TRUE(device.DownloadBOOTModeKernel_ProtocolB());
    }

    CFLASHDevice device{"ZT52F128", &comms, true};
};
} // namespace

TEST_F(ProtocolBRun, ErasesByBlockWritesReadsBackAndBlankChecks)
{
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_TRUE(target.LoadFLASH(0x1000, std::vector<BYTE>(0x2000, 0x00)));
    bool blank = false;
    ASSERT_TRUE(device.EraseFLASHBlock_ProtocolB(Block(1)));
    ASSERT_TRUE(device.EraseFLASHBlock_ProtocolB(Block(2)));
    ASSERT_TRUE(device.EraseFLASHBlock_End());
    EXPECT_EQ(target.GetEraseCounts(), (std::vector<DWORD>{0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(device.BlankCheck_ProtocolB(&blank, 0, 0x20000));
    EXPECT_TRUE(blank);

    // Across the EB1/EB2 border, then the programmer's closing frame.
    const std::vector<BYTE> data = Pattern(0x1480, 0x3C);
    std::vector<BYTE> copy = data;
    ASSERT_TRUE(device.WriteVerifyFLASH_ProtocolB(0x1800, static_cast<unsigned long>(copy.size()), copy.data(), 0));
    for (unsigned char b : {0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4})
        comms.WriteByte(b);
    unsigned char ack = 0;
    EXPECT_TRUE(comms.ReadBytes(&ack, 1, nullptr, true) && ack == 0x06);
    EXPECT_TRUE(device.BlankCheck_ProtocolB(&blank, 0, 0x20000) && !blank);
    const std::vector<BYTE> flash = target.GetFLASH();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x1800));
    std::vector<BYTE> back(data.size() + 5);
    ASSERT_TRUE(device.ReadData_ProtocolB(0x17FE, static_cast<unsigned long>(back.size()), back.data()));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), flash.begin() + 0x17FE));
    // Erasing after writing brings the erase module back, then the write module.
    ASSERT_TRUE(device.EraseFLASHBlock_ProtocolB(Block(8)));
    ASSERT_TRUE(device.WriteVerifyFLASH_ProtocolB(0x8000, 0x100, copy.data(), 0));
    EXPECT_EQ(Count(ekNote, "write module '", 2), 2u);
    EXPECT_EQ(Count(ekNote, "erase module '", 2), 2u);
    EXPECT_EQ(Count(ekViolation, "") + Count(ekRefusal, ""), 0u);
}

TEST_F(ProtocolBRun, ErrorCodesAndInjectedFaultsGiveTheirMessagesAndFalse)
{
    ASSERT_NO_FATAL_FAILURE(Connect());
    std::vector<BYTE> data = Pattern(256, 0x10);
    EXPECT_FALSE(device.ReadData_ProtocolB(0x20000, 64, data.data()));
    EXPECT_TRUE(Shown("Invalid memory read address error"));
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x1040, 128, data.data(), 0));
    EXPECT_TRUE(Shown("Invalid write address error"));

    CSimFaults faults;
    faults.m_dwFailErase = faults.m_dwFailWrite = 1;
    target.SetFaults(faults);
    EXPECT_FALSE(device.EraseFLASHBlock_ProtocolB(Block(3)));
    EXPECT_TRUE(Shown("Unknown error"));
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x3000, 256, data.data(), 0));
    EXPECT_TRUE(Shown("Write image error"));
    // Erase module in place: 4F, then 58 01 04 and the sum; a bent block number
    // leaves a sum that does not close the frame.
    ASSERT_TRUE(device.EraseFLASHBlock_ProtocolB(Block(3)));
    Inject(&CSimFaults::m_dwCorruptHostByte, 4);
    EXPECT_FALSE(device.EraseFLASHBlock_ProtocolB(Block(4)));
    EXPECT_TRUE(Shown("Sum-check error"));

    // A status inquiry that reports an error stops the write.
    Inject(&CSimFaults::m_dwFailStatus, 1);
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x5000, 128, data.data(), 0));
    // The wrong file named as write module is taken, but the line is refused.
    info.m_strWriteModule = info.m_strEraseModule;
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x5000, 128, data.data(), 0));
    EXPECT_EQ(Count(ekRefusal, "write refused: the write module is not in place (status H'01)", 1), 1u);

    settings.Write("[Serial]\nCheckBlankTimeout = 1\n");
    Inject(&CSimFaults::m_dwStopAfterHostBytes, 1);
    bool blank = true;
    EXPECT_FALSE(device.BlankCheck_ProtocolB(&blank, 0, 0x20000));
    EXPECT_FALSE(device.ReadData_ProtocolB(0, 64, data.data()));
}
