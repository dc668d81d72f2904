#include <gtest/gtest.h>

#include "devicedb/BlockItem.h"
#include "protocol/ScriptedDevice.h"

using namespace zftest;

namespace {

// The frame closed by its sum check: its bytes from `from` on then add up to 0.
std::vector<BYTE> Closed(std::vector<BYTE> v, size_t from)
{
    BYTE sum = 0;
    for (size_t i = from; i < v.size(); ++i)
        sum = static_cast<BYTE>(sum - v[i]);
    v.push_back(sum);
    return v;
}

// The boot program's answer to the status inquiry.
std::vector<BYTE> Status(BYTE status, BYTE error = 0)
{
    return Bytes({0x5F, 0x02, status, error, 0x00});
}

class ProtocolBTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        run.device->SetProtocol(1);
        comms.Reply({0x37, 0x02, 0x00, 0x80, 0x47, 0x06, 0x06});
        ASSERT_TRUE(run.device->DownloadBOOTModeKernel_ProtocolB());
        started.swap(comms.written);
    }
    std::vector<BYTE> started;
    CScriptedDevice run{16384, 512};
    CFakeComms& comms = run.comms;
    CBlockItem eb0{"EB0", 0, 0x1000, 0, 0, 0};
};

TEST_F(ProtocolBTest, LineSizeInquiryAndKernelDownload)
{
    EXPECT_EQ(started, Closed(Join({Bytes({0x27, 0x40, 0x00, 0x00, 0x02, 0x00}), FileBytes(512, 0x11)}), 2));
    EXPECT_EQ(run.device->GetDeviceID()->GetLineSize(), 128);
    EXPECT_EQ(run.device->GetDeviceID()->GetFieldWidth(), 4);
    // Liveness is the status inquiry.
    comms.Reply(Status(0));
    EXPECT_TRUE(run.device->IsReallyConnected());
    comms.Reply(Status(0, 0x11));
    EXPECT_FALSE(run.device->IsReallyConnected());
}

TEST(ProtocolBStart, RefusalsAreReported)
{
    // A wrong answer code leaves the line size unknown; the boot program then refuses 0x40.
    CScriptedDevice run(16384, 512);
    run.comms.Reply({0x38, 0x00, 0x15});
    EXPECT_FALSE(run.device->DownloadBOOTModeKernel_ProtocolB());
    EXPECT_TRUE(run.Shown("Unable to get line size"));
    EXPECT_TRUE(run.Shown("Unable to download main kernel"));

    CScriptedDevice missing;
    missing.info.m_strMainKernel = "none.bin";
    EXPECT_FALSE(missing.device->DownloadBOOTModeKernel_ProtocolB());
    EXPECT_TRUE(missing.Shown("Unable to locate main kernel 'none.bin'", 15006));
    EXPECT_TRUE(missing.comms.written.empty());
}

TEST_F(ProtocolBTest, EraseByBlockNumberAndEndFrame)
{
    eb0.m_bWritten = 1;
    eb0.m_bEraseRequest = 1;
    comms.Reply(Status(2));
    comms.Reply({0x06, 0x06});
    ASSERT_TRUE(run.device->EraseFLASHBlock_ProtocolB(&eb0));
    ASSERT_TRUE(run.device->EraseFLASHBlock_End());
    EXPECT_EQ(comms.written, Bytes({0x4F, 0x58, 0x01, 0x00, 0xA7, 0x58, 0x01, 0xFF, 0xA8}));
    EXPECT_FALSE(eb0.m_bWritten);
    EXPECT_FALSE(eb0.m_bEraseRequest);
    EXPECT_EQ(comms.waits.back(), 30);

    // Failures keep the block written; an error code's text runs in DeviceFaultsTest.
    eb0.m_bWritten = 1;
    comms.Reply(Status(2));
    comms.Reply({0x15});
    EXPECT_FALSE(run.device->EraseFLASHBlock_ProtocolB(&eb0));
    EXPECT_TRUE(run.Shown("Unexpected answer H'15 from the boot program to the erase command"));
    EXPECT_TRUE(eb0.m_bWritten);
    EXPECT_FALSE(run.device->EraseFLASHBlock_End()); // silence
    EXPECT_EQ(comms.replies.size(), 0u);
}

TEST_F(ProtocolBTest, BlockNamesWithoutANumberSendNothing)
{
    for (const char* name : {"EB", "E", "EBx1", "EB1a", "EB255", "EB-1", "EB99999"}) {
        CBlockItem block(name, 0, 0x1000, 0, 0, 0);
        EXPECT_FALSE(run.device->EraseFLASHBlock_ProtocolB(&block)) << name;
    }
    EXPECT_TRUE(comms.written.empty());
    EXPECT_TRUE(run.Shown("Erase block 'EB255' has no block number: its name must be EB followed by 0 to 254"));
    EXPECT_EQ(CFLASHDevice::BlockNumber("EB254"), 254);
    EXPECT_EQ(CFLASHDevice::BlockNumber("EB007"), 7);
}

TEST_F(ProtocolBTest, ModuleDownloadedOnlyWhenNotInPlace)
{
    comms.Reply(Status(4)); // the write module is there, not the erase module
    comms.Reply({0x06, 0x06, 0x06});
    ASSERT_TRUE(run.device->EraseFLASHBlock_ProtocolB(&eb0));
    // 4F, 48, length 50, code, sum, then the erase frame.
    EXPECT_EQ(Slice(comms.written, 0, 57), Closed(Join({Bytes({0x4F, 0x48, 0, 0, 0, 50}), FileBytes(50, 0x22)}), 2));
    EXPECT_EQ(comms.written.size(), 57u + 4u);
    EXPECT_EQ(run.device->GetFreeRAM(), 16384u - 512u - 50u);

    // A refused sum.
    comms.Reply(Status(0));
    comms.Reply({0x06, 0xC3, 0x11});
    std::vector<BYTE> data(16, 0);
    EXPECT_FALSE(run.device->WriteVerifyFLASH_ProtocolB(0, 16, data.data(), 0));
    EXPECT_TRUE(run.Shown("Unable to download operation module"));
}

TEST_F(ProtocolBTest, WriteAnswers)
{
    std::vector<BYTE> data(256, 0x5A);
    comms.Reply(Status(4));
    comms.Reply({0xD0, 0x28});
    EXPECT_FALSE(run.device->WriteVerifyFLASH_ProtocolB(0, 256, data.data(), 0));
    EXPECT_TRUE(run.Shown("Invalid write address error"));
    EXPECT_EQ(comms.written.size(), 1u + 134u);

    // A zero code and an unknown byte both count as acknowledged.
    comms.Reply(Status(4));
    comms.Reply({0xD0, 0x00, 0x99});
    EXPECT_TRUE(run.device->WriteVerifyFLASH_ProtocolB(0, 256, data.data(), 0));
    EXPECT_TRUE(run.Shown("Unexpected answer H'99 to a written line taken as an acknowledge"));

    // A status inquiry that gets no answer ends the write before any data.
    comms.written.clear();
    EXPECT_FALSE(run.device->WriteVerifyFLASH_ProtocolB(0, 256, data.data(), 0));
    EXPECT_EQ(comms.written, Bytes({0x4F}));
}

TEST_F(ProtocolBTest, ReadThatStopsComingSpendsTheRetryBudget)
{
    std::vector<BYTE> buffer(40);
    // Data that stops coming spends the retry budget and names the port.
    comms.Reply({0x52, 0x00, 0x00, 0x00, 40});
    comms.Reply(std::vector<BYTE>(20, 0x11));
    EXPECT_FALSE(run.device->ReadData_ProtocolB(0, 40, buffer.data()));
    EXPECT_EQ(comms.flushes, CFLASHProtocol::kReadRetries);
    EXPECT_TRUE(run.Shown("'FAKE:' read time out", 15005));
}

} // namespace
