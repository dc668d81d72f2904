#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "protocol/ScriptedDevice.h"

using namespace zftest;

namespace {

using ProtocolTest = CStartedDevice;

TEST(ProtocolIdentity, BootKernelIdentifiesAndHandshakes)
{
    CScriptedDevice run;
    const BYTE id = static_cast<BYTE>(CFLASHDevice::m_sCurrentUniqueID.Current() + 1);
    run.ScriptIdentity({32, 256, 0x0E});
    ASSERT_TRUE(run.device->InitialiseBOOTModeKernel());
    // 09, identifier, 0A; then the liveness check 0A.
    EXPECT_EQ(run.comms.written, Bytes({0x09, id, 0x0A, 0x0A}));
    // The reply's fields are decoded as DeviceIDTest shows; the work area is taken.
    EXPECT_EQ(run.device->GetAvailableRAM(), 4096u - 256u);
    EXPECT_EQ(run.device->GetFreeRAM(), 4096u - 256u - 512u);
    EXPECT_EQ(run.device->GetIdentifier(), id);
}

TEST(ProtocolIdentity, BootKernelAnsweringUserInitialisationIsRefused)
{
    CScriptedDevice run;
    run.ScriptIdentity({});
    EXPECT_FALSE(run.device->InitialiseUSERModeKernel());
    EXPECT_TRUE(run.Shown("The target device has a BOOT mode kernel running."));
    EXPECT_TRUE(run.device->IsWrongKernel());
}

TEST(ProtocolIdentity, UserKernelReportsRamTop)
{
    CScriptedDevice run(2048, 512);
    run.ScriptIdentity({64, 128, 0x09}, kHandshake, true, 0x0700);
    ASSERT_TRUE(run.device->InitialiseUSERModeKernel());
    // Both follow from the RAM top the kernel reported.
    EXPECT_EQ(run.device->GetAvailableRAM(), 0x0700u - 128u);
    EXPECT_EQ(run.device->GetFreeRAM(), 0x0700u - 128u - 512u);
}

TEST(ProtocolIdentity, ClosedChannelSendsNothing)
{
    CScriptedDevice run;
    run.comms.status = psClosed;
    EXPECT_FALSE(run.device->InitialiseBOOTModeKernel());
    EXPECT_TRUE(run.comms.written.empty());
    EXPECT_TRUE(run.Shown("Unable to download DeviceID from target", 15007));
}

// Reads with one- and two-byte lengths run against the virtual target.
TEST(ProtocolCommand, LengthWidthGrowsWithTheLength)
{
    EXPECT_EQ(CFLASHProtocol::LengthWidth(0xFFFF), 2);
    EXPECT_EQ(CFLASHProtocol::LengthWidth(0x10000), 3);
    EXPECT_EQ(CFLASHProtocol::LengthWidth(0x1000000), 4);
}

// The kernel answers every request to send again with the whole chunk; what
// reaches the host first may be short, late, or pieced from two copies.
TEST_F(ProtocolTest, AChunkAfterARequestToSendAgainIsTakenOnlyWhenTwoCopiesAgree)
{
    const std::vector<BYTE> data = FileBytes(40, 0);
    const std::vector<BYTE> first(data.begin(), data.begin() + 32), tail(data.begin() + 32, data.end());
    std::vector<BYTE> pieced(first.begin() + 20, first.end());
    pieced.insert(pieced.end(), first.begin(), first.begin() + 20);
    enum { kShort, kLate, kPieced };
    for (int nCase : {kShort, kLate, kPieced}) {
        SCOPED_TRACE(nCase == kShort ? "first chunk short" : nCase == kLate ? "first chunk late" : "copies pieced");
        comms.written.clear();
        comms.replies.clear();
        if (nCase == kShort) {
            comms.Reply(std::vector<BYTE>(10, 0xEE));
            comms.Reply({CFakeComms::kGap});
            comms.Reply(std::vector<BYTE>(22, 0xEE));
        } else {
            comms.Reply({CFakeComms::kGap}); // nothing in time
        }
        int nAsked = 0;
        const std::vector<BYTE>* current = &first;
        comms.onWrite = [&](BYTE b) {
            if (b == 0x01) {
                if (++nAsked == 1 && nCase == kLate)
                    comms.Reply(first); // the late chunk, then the copy asked for
                if (nAsked == 1 && nCase == kPieced) {
                    comms.Reply(pieced); // the rest of the second copy comes too late
                    comms.Reply({CFakeComms::kGap});
                } else {
                    comms.Reply(*current);
                }
            } else if (b == 0x00 && nAsked > 0 && current == &first) {
                current = &tail;
                comms.Reply(tail);
            }
        };
        std::vector<BYTE> buffer(40);
        ASSERT_TRUE(run.Protocol()->ReadData(0, 40, buffer.data()));
        EXPECT_EQ(buffer, data);
        const std::vector<BYTE> replies(comms.written.begin() + 5, comms.written.end());
        EXPECT_EQ(std::count(replies.begin(), replies.end(), 0x00), 2) << "one acknowledge per chunk";
    }
}

// Blank FLASH: a copy pieced from two looks whole, and the rest of the second
// must not become the start of the next chunk.
TEST_F(ProtocolTest, BytesLeftFromACopyNeverStartTheNextChunk)
{
    const std::vector<BYTE> blank(32, 0xFF), tail{1, 2, 3, 4, 5, 6, 7, 8};
    comms.Reply({CFakeComms::kGap});
    int nAsked = 0;
    bool acked = false;
    comms.onWrite = [&](BYTE b) {
        if (b == 0x01 && acked) {
            comms.Reply(tail);
        } else if (b == 0x01 && ++nAsked == 1) {
            comms.Reply(blank);
            comms.Reply({CFakeComms::kGap});
        } else if (b == 0x01) {
            comms.Reply(blank);
            comms.Reply(std::vector<BYTE>(5, 0xFF)); // the head of one more copy
        } else if (b == 0x00 && nAsked > 0 && !acked) {
            acked = true;
            comms.Reply(tail);
        }
    };
    std::vector<BYTE> buffer(40);
    ASSERT_TRUE(run.Protocol()->ReadData(0, 40, buffer.data()));
    EXPECT_EQ(std::vector<BYTE>(buffer.begin() + 32, buffer.end()), tail);
}

TEST_F(ProtocolTest, SilentReadSpendsItsRetryBudgetAndNamesThePort)
{
    std::vector<BYTE> buffer(64);
    EXPECT_FALSE(run.Protocol()->ReadData(0, 64, buffer.data()));
    EXPECT_EQ(comms.flushes, CFLASHProtocol::kReadRetries);
    EXPECT_TRUE(run.Shown("'FAKE:' read time out", 15005));
    EXPECT_EQ(comms.timeouts.back(), ttDefault);
}

TEST_F(ProtocolTest, EraseSendsFieldsAndPolls)
{
    const BYTE ebr[3] = {0x04, 0x99, 0x99};
    comms.Reply({0x29, 0x29, 0x29, 0x24});
    EXPECT_TRUE(run.Protocol()->EraseFLASHBlock(0x2000, 0x2FFF, ebr));
    EXPECT_EQ(comms.written, Bytes({0x03, 0x00, 0x20, 0x00, 0x00, 0x2F, 0xFF, 0x04}));
    EXPECT_EQ(comms.waits.front(), 15); // half of the 30 s default; the polls after it 20 s each
    EXPECT_EQ(comms.replies.size(), 0u);

    comms.Reply({0x24});
    EXPECT_TRUE(run.Protocol()->EraseFLASHBlock(0, 0xFFF, ebr));
    comms.Reply({0x30});
    EXPECT_FALSE(run.Protocol()->EraseFLASHBlock(0, 0xFFF, ebr));
    EXPECT_TRUE(run.Shown("PreWrite Failed"));
    const size_t shown = run.host.shown.size();
    comms.Reply({0x29, 0x41});
    EXPECT_FALSE(run.Protocol()->EraseFLASHBlock(0, 0xFFF, ebr));
    comms.Reply({0x77});
    EXPECT_FALSE(run.Protocol()->EraseFLASHBlock(0, 0xFFF, ebr));
    EXPECT_EQ(run.host.shown.size(), shown); // nonsense ends without a message
    EXPECT_FALSE(run.Protocol()->EraseFLASHBlock(0, 0xFFF, ebr)); // silence
}

TEST_F(ProtocolTest, BlankCheckAnswers)
{
    bool blank = false;
    comms.Reply({0x26});
    EXPECT_TRUE(run.Protocol()->BlankCheck(&blank, 0x100, 0x200));
    EXPECT_TRUE(blank);
    EXPECT_EQ(comms.written, Bytes({0x05, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00}));
    EXPECT_EQ(comms.waits.back(), 10);
    comms.Reply({0x25});
    EXPECT_TRUE(run.Protocol()->BlankCheck(&blank, 0, 1));
    EXPECT_FALSE(blank);
    EXPECT_FALSE(run.Protocol()->BlankCheck(&blank, 0, 1));
}

TEST_F(ProtocolTest, WriteFailuresReportTheirTexts)
{
    std::vector<BYTE> data(64, 0);
    run.device->SetBufferSize(64);
    // A refused chunk's report runs against the virtual target (DeviceFaultsTest).
    EXPECT_FALSE(run.Protocol()->WriteVerifyFLASHData(0, 64, data.data(), 0, 0));
    EXPECT_TRUE(run.Shown("Target did not respond within the specified time"));

    comms.Reply({0x00});
    EXPECT_FALSE(run.Protocol()->WriteVerifyFLASHData(0, 64, data.data(), 0, 0));
    EXPECT_TRUE(run.Shown("Failed to receive acknowledge byte."));

    comms.failWrites = true;
    EXPECT_FALSE(run.Protocol()->WriteVerifyFLASHData(0, 64, data.data(), 0, 0));
    EXPECT_TRUE(run.Shown("Failed to send command parameters"));
}

TEST_F(ProtocolTest, AnAnswerACancelledWaitLeftOwedIsNotTakenForTheNextOne)
{
    constexpr int kCancel = CFakeComms::kCancelled;
    constexpr int kGap = CFakeComms::kGap;
    std::vector<BYTE> data(64, 0);
    run.device->SetBufferSize(64);
    const BYTE ebr[3] = {0x04, 0x99, 0x99};
    bool blank = false;
    const struct
    {
        const char* name;
        std::vector<int> before; // what the chip sends up to the cancel and just after it
        std::function<void()> cancelled;
        std::vector<int> late; // what it sends later, before the next answer
    } cases[] = {
        // The chunk's answer comes just after the cancel, the final status after the abort.
        {"write chunk", {kCancel, 0x00, 0x23},
         [&] { EXPECT_TRUE(run.Protocol()->WriteVerifyFLASHData(0, 64, data.data(), 0, 0)); }, {}},
        // Neither the chunk's answer nor the final status came before the write gave up.
        {"write chunk, answer late", {kCancel, kGap},
         [&] { EXPECT_TRUE(run.Protocol()->WriteVerifyFLASHData(0, 64, data.data(), 0, 0)); }, {0x00, 0x23}},
        {"erase", {kCancel}, [&] { EXPECT_FALSE(run.Protocol()->EraseFLASHBlock(0, 0xFFF, ebr)); },
         {0x29, 0x29, 0x24}},
        // A cancel seen between two polls.
        {"erase poll", {0x29}, [&] { EXPECT_FALSE(run.Protocol()->EraseFLASHBlock(0, 0xFFF, ebr)); }, {0x29, 0x30}},
        {"blank check", {kCancel}, [&] { run.Protocol()->BlankCheck(&blank, 0, 1); }, {0x25}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        comms.replies.clear();
        comms.Reply(c.before);
        comms.onWrite = [&](BYTE) { run.Protocol()->Cancel(); };
        c.cancelled();
        comms.onWrite = nullptr;
        EXPECT_TRUE(comms.replies.empty());
        const size_t sent = comms.written.size();
        comms.Reply(c.late);
        comms.Reply({0x26});
        blank = false;
        EXPECT_TRUE(run.Protocol()->BlankCheck(&blank, 0x100, 0x200));
        EXPECT_TRUE(blank);
        EXPECT_TRUE(comms.replies.empty());
        EXPECT_EQ(Slice(comms.written, sent, 100), Bytes({0x05, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00}));
    }
}

TEST_F(ProtocolTest, LargeBufferStretchesTheWriteTimeout)
{
    run.settings.Write("[Serial]\nWriteTimeout=3\n");
    run.device->SetBufferSize(2048);
    std::vector<BYTE> data(100, 0);
    comms.Reply({0x00, 0x00});
    ASSERT_TRUE(run.Protocol()->WriteVerifyFLASHData(0, 100, data.data(), 0, 0));
    EXPECT_EQ(comms.waits, std::vector<int>{6});
}

// The function map and module code run against the virtual target (KernelTest);
// here the command each length takes.
TEST_F(ProtocolTest, ModuleCommandByLengthAndEndOfConnection)
{
    std::vector<BYTE> code(0x100, 0x77);
    run.Protocol()->DownloadFunction(0x0204, 0xFF, code.data());
    EXPECT_EQ(Slice(comms.written, 0, 5), Bytes({0x28, 0x00, 0xFF, 0x02, 0x04}));
    comms.written.clear();
    run.Protocol()->DownloadFunction(0x0300, 0x100, code.data());
    EXPECT_EQ(run.Protocol()->GetLastCommand(), 0x48);
    EXPECT_EQ(Slice(comms.written, 0, 5), Bytes({0x48, 0x01, 0x00, 0x03, 0x00}));

    comms.written.clear();
    EXPECT_TRUE(run.device->Disconnect(true));
    EXPECT_TRUE(run.device->Disconnect(false));
    EXPECT_EQ(comms.written, Bytes({0x0B, 0x55, 0x0B, 0x00}));
    EXPECT_EQ(run.device->GetBufferSize(), 0u);
}

} // namespace
