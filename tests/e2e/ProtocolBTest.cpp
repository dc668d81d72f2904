// A Protocol B device against the virtual target over a real pty: booted, the
// line raised with the new-bit-rate command, the main kernel and modules sent,
// blocks erased by number, lines written, read back and blank-checked with the
// target's FLASH looked at; then injected faults and the error codes.
#include <gtest/gtest.h>

#include "TargetBoot.h"
#include "device/FLASHDevice.h"

using namespace e2etest;

namespace {
class ProtocolBRun : public ::testing::Test, public CTargetBoot
{
protected:
    // Boots ZT52F128 at 9600, raises the line to 115200 (16 MHz, x4 and x4)
    // and downloads the main kernel.
    void Connect(const CSimOverrides& overrides = {})
    {
        ASSERT_TRUE(Start("ZT52F128.ini", overrides));
        unsigned char code = 0;
        ASSERT_TRUE(BootMicroKernel(&code));
        unsigned char work[4] = {};
        ASSERT_TRUE(iface.ChangeBaud_ProtocolB(115200, code, work, info.m_eBRRFormula, 1600.0f, 4, 4));
        EXPECT_EQ(target.GetTargetRate(), 117647u);
        device.SetDeviceInfo(&info);
        device.SetProtocol(1);
        device.Initialise();
        ASSERT_TRUE(device.DownloadBOOTModeKernel_ProtocolB());
        EXPECT_EQ(device.GetDeviceID()->GetLineSize(), 128);
    }

    // What the programmer sends after the last range of an image.
    bool CloseWriting()
    {
        for (unsigned char b : {0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4})
            comms.WriteByte(b);
        unsigned char reply = 0;
        return comms.ReadBytes(&reply, 1, nullptr, true) && reply == 0x06;
    }

    CFLASHDevice device{"ZT52F128", &comms, true};
};
} // namespace

TEST_F(ProtocolBRun, ErasesByBlockWritesReadsBackAndBlankChecks)
{
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_TRUE(target.LoadFLASH(0x1000, std::vector<BYTE>(0x2000, 0x00)));
    bool blank = true;
    ASSERT_TRUE(device.BlankCheck_ProtocolB(&blank, 0, 0x20000));
    EXPECT_FALSE(blank);
    Block(1)->m_bWritten = true;
    ASSERT_TRUE(device.EraseFLASHBlock_ProtocolB(Block(1)));
    ASSERT_TRUE(device.EraseFLASHBlock_ProtocolB(Block(2)));
    ASSERT_TRUE(device.EraseFLASHBlock_End());
    EXPECT_FALSE(Block(1)->m_bWritten);
    EXPECT_EQ(target.GetEraseCounts(), (std::vector<DWORD>{0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(device.BlankCheck_ProtocolB(&blank, 0, 0x20000));
    EXPECT_TRUE(blank);

    // Across the EB1/EB2 border and into the 32 KiB block, in 128-byte lines.
    const std::vector<BYTE> data = Pattern(0x1000 + 0x80 * 9, 0x3C);
    std::vector<BYTE> copy = data;
    ASSERT_TRUE(device.WriteVerifyFLASH_ProtocolB(0x1800, static_cast<unsigned long>(copy.size()), copy.data(), 0));
    EXPECT_TRUE(CloseWriting());
    const std::vector<BYTE> flash = target.GetFLASH();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x1800));
    EXPECT_EQ(flash[0x1800 - 1], 0xFF);
    EXPECT_EQ(flash[0x1800 + data.size()], 0xFF);

    std::vector<BYTE> back(data.size() + 5);
    ASSERT_TRUE(device.ReadData_ProtocolB(0x17FE, static_cast<unsigned long>(back.size()), back.data()));
    EXPECT_TRUE(std::equal(flash.begin() + 0x17FE, flash.begin() + 0x17FE + back.size(), back.begin()));
    ASSERT_TRUE(device.BlankCheck_ProtocolB(&blank, 0, 0x20000));
    EXPECT_FALSE(blank);

    // Erasing after writing sends the erase module again, then the write module.
    ASSERT_TRUE(device.EraseFLASHBlock_ProtocolB(Block(8)));
    ASSERT_TRUE(device.EraseFLASHBlock_End());
    copy = data;
    ASSERT_TRUE(device.WriteVerifyFLASH_ProtocolB(0x8000, 0x100, copy.data(), 0));
    EXPECT_EQ(Count(ekNote, "erase module '", 2), 2u);
    EXPECT_EQ(Count(ekNote, "write module '", 2), 2u);
    EXPECT_EQ(Events(ekViolation), "");
    EXPECT_EQ(Events(ekRefusal), "");
}

TEST_F(ProtocolBRun, ErrorCodesAndInjectedFaultsGiveTheirMessagesAndFalse)
{
    ASSERT_NO_FATAL_FAILURE(Connect());
    std::vector<BYTE> buffer(64);
    EXPECT_FALSE(device.ReadData_ProtocolB(0x20000, 64, buffer.data()));
    EXPECT_TRUE(Shown("Invalid memory read address error"));
    EXPECT_FALSE(device.ReadData_ProtocolB(0x1FFF0, 64, buffer.data()));
    EXPECT_TRUE(Shown("Data length error"));
    std::vector<BYTE> data = Pattern(256, 0x10);
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x1040, 128, data.data(), 0));
    EXPECT_TRUE(Shown("Invalid write address error"));

    CSimFaults faults = target.GetFaults();
    faults.m_dwFailErase = 1;
    faults.m_dwFailWrite = 1;
    target.SetFaults(faults);
    EXPECT_FALSE(device.EraseFLASHBlock_ProtocolB(Block(3)));
    EXPECT_TRUE(Shown("Unknown error"));
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x3000, 256, data.data(), 0));
    EXPECT_TRUE(Shown("Write image error"));

    // The erase module is in place: status 0x4F, then 0x58 0x01 0x04 and its
    // sum. The block number arrives bent, so the sum does not close the frame.
    ASSERT_TRUE(device.EraseFLASHBlock_ProtocolB(Block(3)));
    faults = CSimFaults();
    faults.m_dwCorruptHostByte = 4;
    target.SetFaults(faults);
    EXPECT_FALSE(device.EraseFLASHBlock_ProtocolB(Block(4)));
    EXPECT_TRUE(Shown("Sum-check error"));
    EXPECT_NE(Events(ekViolation).find("erase: the sum check"), std::string::npos);

    // A status inquiry that reports an error stops the write before any line.
    faults = CSimFaults();
    faults.m_dwFailStatus = 1;
    target.SetFaults(faults);
    const std::uint64_t before = target.GetHostBytesTaken();
    EXPECT_FALSE(device.WriteVerifyFLASH_ProtocolB(0x5000, 128, data.data(), 0));
    EXPECT_EQ(target.GetHostBytesTaken(), before + 1);

    // A target that goes silent.
    settings.Write("[Serial]\nCheckBlankTimeout = 1\n");
    faults = CSimFaults();
    faults.m_dwStopAfterHostBytes = 1;
    target.SetFaults(faults);
    bool blank = true;
    EXPECT_FALSE(device.BlankCheck_ProtocolB(&blank, 0, 0x20000));
    EXPECT_FALSE(device.ReadData_ProtocolB(0, 64, buffer.data()));
}
