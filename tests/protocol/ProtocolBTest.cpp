#include <gtest/gtest.h>

#include "devicedb/BlockItem.h"
#include "protocol/ScriptedDevice.h"

using namespace zftest;

namespace {

// A frame is sound when its bytes, sum check included, add up to 0.
int SumOf(const std::vector<BYTE>& v, size_t from, size_t to)
{
    int sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += v[i];
    return sum & 0xFF;
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
        comms.written.clear();
    }
    CScriptedDevice run{16384, 512};
    CFakeComms& comms = run.comms;
    CBlockItem eb0{"EB0", 0, 0x1000, 0, 0, 0};
};

TEST(ProtocolBStart, LineSizeInquiryAndKernelDownload)
{
    CScriptedDevice run(16384, 512);
    run.device->SetProtocol(1);
    run.comms.Reply({0x37, 0x02, 0x00, 0x80, 0x47, 0x06, 0x06});
    ASSERT_TRUE(run.device->DownloadBOOTModeKernel_ProtocolB());
    const auto& w = run.comms.written;
    ASSERT_EQ(w.size(), 6u + 512u + 1u);
    EXPECT_EQ(Slice(w, 0, 6), Bytes({0x27, 0x40, 0x00, 0x00, 0x02, 0x00}));
    EXPECT_EQ(Slice(w, 6, 512), FileBytes(512, 0x11));
    EXPECT_EQ(SumOf(w, 2, w.size()), 0);
    EXPECT_EQ(run.device->GetDeviceID()->GetLineSize(), 128);
    EXPECT_EQ(run.device->GetDeviceID()->GetFieldWidth(), 4);
    EXPECT_EQ(run.device->GetFreeRAM(), 16384u - 512u);
    EXPECT_EQ(run.device->GetBufferSize(), 1024u);
    // Liveness is the status inquiry.
    run.comms.Reply(Status(0));
    EXPECT_TRUE(run.device->IsReallyConnected());
    run.comms.Reply(Status(0, 0x11));
    EXPECT_FALSE(run.device->IsReallyConnected());
}

TEST(ProtocolBStart, RefusalsAreReported)
{
    // A wrong answer code leaves the line size unknown; the boot program then refuses 0x40.
    CScriptedDevice run(16384, 512);
    run.comms.Reply({0x38, 0x00, 0x15});
    EXPECT_FALSE(run.device->DownloadBOOTModeKernel_ProtocolB());
    EXPECT_TRUE(run.Shown("Unable to get line size"));
    EXPECT_TRUE(run.Shown("Invalid data found in DeviceID assuming lineSize of 1!"));
    EXPECT_TRUE(run.Shown("Unable to download main kernel"));

    CScriptedDevice noAck(16384, 512);
    noAck.comms.Reply({0x37, 0x02, 0x00, 0x80, 0x47, 0x06, 0xC0});
    EXPECT_FALSE(noAck.device->DownloadBOOTModeKernel_ProtocolB());
    EXPECT_TRUE(noAck.Shown("Unable to get acknowledgement after the download main kernel"));

    CScriptedDevice missing;
    missing.info.m_strMainKernel = "none.bin";
    EXPECT_FALSE(missing.device->DownloadBOOTModeKernel_ProtocolB());
    EXPECT_TRUE(missing.Shown("Unable to locate main kernel 'none.bin'", 15006));
    EXPECT_TRUE(missing.comms.written.empty());
}

TEST_F(ProtocolBTest, EraseByBlockNumberThenEndFrame)
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

    comms.written.clear();
    CBlockItem eb12("EB12", 0x3000, 0x1000, 0, 0, 0);
    comms.Reply(Status(2));
    comms.Reply({0x06});
    ASSERT_TRUE(run.device->EraseFLASHBlock_ProtocolB(&eb12));
    EXPECT_EQ(Slice(comms.written, 1, 3), Bytes({0x58, 0x01, 0x0C}));
    EXPECT_EQ(SumOf(comms.written, 1, comms.written.size()), 0);
    EXPECT_EQ(comms.waits.back(), 30);
}

TEST_F(ProtocolBTest, EraseFailuresKeepTheBlockWritten)
{
    eb0.m_bWritten = 1;
    comms.Reply(Status(2));
    comms.Reply({0xD8, 0x11});
    EXPECT_FALSE(run.device->EraseFLASHBlock_ProtocolB(&eb0));
    EXPECT_TRUE(run.Shown("Sum-check error"));
    EXPECT_TRUE(eb0.m_bWritten);

    comms.Reply(Status(2));
    comms.Reply({0x15});
    EXPECT_FALSE(run.device->EraseFLASHBlock_ProtocolB(&eb0));
    EXPECT_TRUE(run.Shown("Unexpected answer H'15 from the boot program to the erase command"));
    EXPECT_FALSE(run.device->EraseFLASHBlock_End()); // silence
    EXPECT_EQ(comms.Pending(), 0u);
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
    EXPECT_FALSE(run.Protocol()->EraseFLASHBlock_ProtocolB(255, 1));
    EXPECT_TRUE(comms.written.empty());
}

TEST_F(ProtocolBTest, ModuleDownloadedOnlyWhenNotInPlace)
{
    comms.Reply(Status(4)); // the write module is there, not the erase module
    comms.Reply({0x06, 0x06, 0x06});
    ASSERT_TRUE(run.device->EraseFLASHBlock_ProtocolB(&eb0));
    const auto& w = comms.written;
    // 4F, 48, length 50, code, sum, then the erase frame.
    ASSERT_EQ(w.size(), 1u + 1u + 4u + 50u + 1u + 4u);
    EXPECT_EQ(Slice(w, 0, 6), Bytes({0x4F, 0x48, 0x00, 0x00, 0x00, 50}));
    EXPECT_EQ(Slice(w, 6, 50), FileBytes(50, 0x22));
    EXPECT_EQ(SumOf(w, 2, 57), 0);
    EXPECT_EQ(run.device->GetFreeRAM(), 16384u - 512u - 50u);
    EXPECT_TRUE(run.Shown("Download operation module successfully"));

    // A refused sum, then a boot program that wants no module.
    comms.written.clear();
    comms.Reply(Status(0));
    comms.Reply({0x06, 0xC3, 0x11});
    std::vector<BYTE> data(16, 0);
    EXPECT_FALSE(run.device->WriteVerifyFLASH_ProtocolB(0, 16, data.data(), 0));
    EXPECT_TRUE(run.Shown("Unable to download operation module"));
    EXPECT_EQ(comms.written[1], 0x43);
    comms.written.clear();
    comms.Reply({0x77});
    EXPECT_TRUE(run.Protocol()->DownloadFunction_ProtocolB(fnWrite, 4, data.data()));
    EXPECT_EQ(comms.written, Bytes({0x43}));
    EXPECT_FALSE(run.Protocol()->DownloadFunction_ProtocolB(fnRead, 4, data.data()));
}

TEST_F(ProtocolBTest, WriteGoesLineByLine)
{
    std::vector<BYTE> data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(i * 7);
    comms.Reply(Status(4));
    comms.Reply({0x06, 0x06, 0x06});
    ASSERT_TRUE(run.device->WriteVerifyFLASH_ProtocolB(0x0F80, 300, data.data(), 0));
    const auto& w = comms.written;
    ASSERT_EQ(w.size(), 1u + 134u + 134u + 50u);
    const size_t starts[3] = {1, 135, 269};
    const unsigned long addresses[3] = {0x0F80, 0x1000, 0x1080};
    const size_t sizes[3] = {128, 128, 44};
    for (int i = 0; i < 3; ++i) {
        const unsigned long a = addresses[i];
        EXPECT_EQ(Slice(w, starts[i], 5), Bytes({0x50, 0, 0, static_cast<int>(a >> 8), static_cast<int>(a & 0xFF)}));
        EXPECT_EQ(Slice(w, starts[i] + 5, sizes[i]), Slice(data, a - 0x0F80, sizes[i]));
        EXPECT_EQ(SumOf(w, starts[i], starts[i] + 5 + sizes[i] + 1), 0) << i;
    }
    // The range crosses into the second block.
    auto* pBlock1 = static_cast<CBlockItem*>(run.info.m_EraseBlocks.GetAt(run.info.m_EraseBlocks.FindIndex(1)));
    EXPECT_TRUE(pBlock1->m_bWritten);
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
    comms.Reply(Status(4, 0x11));
    EXPECT_FALSE(run.device->WriteVerifyFLASH_ProtocolB(0, 256, data.data(), 0));
    EXPECT_EQ(comms.written, Bytes({0x4F, 0x4F}));
}

TEST_F(ProtocolBTest, ReadFrameAndAnswers)
{
    std::vector<BYTE> data(40);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(0xC0 + i);
    comms.Reply({0x52, 0x00, 0x00, 0x00, 40});
    comms.Reply(data);
    comms.Reply({0x00});
    std::vector<BYTE> buffer(40);
    ASSERT_TRUE(run.device->ReadData_ProtocolB(0x00012345, 40, buffer.data()));
    EXPECT_EQ(comms.written,
              Bytes({0x52, 0x09, 0x00, 0x00, 0x01, 0x23, 0x45, 0x00, 0x00, 0x00, 40, 0x14}));
    EXPECT_EQ(buffer, data);

    comms.Reply({0xD2, 0x2A});
    EXPECT_FALSE(run.device->ReadData_ProtocolB(0, 40, buffer.data()));
    EXPECT_TRUE(run.Shown("Invalid memory read address error"));
    comms.Reply({0x06});
    EXPECT_FALSE(run.device->ReadData_ProtocolB(0, 40, buffer.data()));
    EXPECT_TRUE(run.Shown("Unexpected answer H'06 from the boot program to the read command"));

    // Data that stops coming spends the retry budget and names the port.
    comms.Reply({0x52, 0x00, 0x00, 0x00, 40});
    comms.Reply(std::vector<BYTE>(20, 0x11));
    EXPECT_FALSE(run.device->ReadData_ProtocolB(0, 40, buffer.data()));
    EXPECT_EQ(comms.flushes, CFLASHProtocol::kReadRetries);
    EXPECT_TRUE(run.Shown("'FAKE:' read time out", 15005));
}

TEST_F(ProtocolBTest, BlankCheckCoversTheWholeFlash)
{
    bool blank = false;
    comms.Reply({0x06});
    ASSERT_TRUE(run.device->BlankCheck_ProtocolB(&blank, 0x100, 0x200));
    EXPECT_TRUE(blank);
    comms.Reply({0xCD, 0x00});
    ASSERT_TRUE(run.device->BlankCheck_ProtocolB(&blank, 0, 1));
    EXPECT_FALSE(blank);
    EXPECT_EQ(comms.written, Bytes({0x4D, 0x4D}));
    EXPECT_EQ(comms.waits.back(), 10);
    comms.Reply({0x26});
    EXPECT_FALSE(run.device->BlankCheck_ProtocolB(&blank, 0, 1));
    EXPECT_FALSE(run.device->BlankCheck_ProtocolB(&blank, 0, 1));
}

TEST(ProtocolBErrors, TextsDependOnTheOperation)
{
    using P = CFLASHProtocol;
    EXPECT_EQ(P::ErrorCodeText(P::kEraseError, 0x11), "Sum-check error");
    EXPECT_EQ(P::ErrorCodeText(P::kReadError, 0x11), "Check sum error");
    EXPECT_EQ(P::ErrorCodeText(P::kWriteError, 0x11), "Sum check error");
    EXPECT_EQ(P::ErrorCodeText(P::kWriteError, 0x53), "Write image error");
    EXPECT_EQ(P::ErrorCodeText(P::kReadError, 0x2B), "Data length error");
    EXPECT_EQ(P::ErrorCodeText(P::kEraseError, 0x28), "Unknown error");
    EXPECT_EQ(P::ErrorCodeText(P::kReadError, 0x99), "Unknown error");
    EXPECT_EQ(P::ErrorCodeText(P::kWriteError, 0x00), "");
}

} // namespace
