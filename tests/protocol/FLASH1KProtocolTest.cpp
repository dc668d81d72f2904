#include <gtest/gtest.h>

#include "protocol/FLASH1KProtocol.h"
#include "protocol/ScriptedDevice.h"

using namespace zftest;

namespace {

// A 1K device with its kernel running: with the write module placed in its
// 1024 bytes of RAM, the buffer takes 804 bytes at 92.
class OneKWriteTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(run.Start({4, 128, 0x09})); }

    // What goes out before the data: the command with a length of nWidth
    // bytes and a 3-byte start, the write module and the buffer map.
    static size_t Preamble(size_t nWidth) { return 1 + nWidth + 3 + 2 + 90 + 4; }

    CScriptedDevice run{1024, 512, true};
    CFakeComms& comms = run.comms;
};

TEST_F(OneKWriteTest, PaddingFollowsOnlyTheLastChunk)
{
    const std::vector<BYTE> data = FileBytes(1000, 0x40);
    std::vector<BYTE> copy = data;
    comms.Reply({0x00, 0x10, 0x00});
    ASSERT_TRUE(run.Protocol()->WriteVerifyFLASHData(0x100, 1000, copy.data(), 2, 0));
    EXPECT_EQ(Slice(comms.written, 0, 6), Bytes({0x42, 0x03, 0xEA, 0x00, 0x01, 0x00}));
    EXPECT_EQ(Slice(comms.written, 6 + 2 + 90, 4), Bytes({0x00, 92, 0x03, 0x24}));
    std::vector<BYTE> want(data.begin(), data.begin() + 804);
    want.push_back(0x01);
    want.insert(want.end(), data.begin() + 804, data.end());
    want.insert(want.end(), {0xFF, 0xFF, 0x01});
    EXPECT_EQ(Slice(comms.written, Preamble(2), comms.written.size()), want);
    EXPECT_EQ(comms.replies.size(), 0u);
}

// Bytes go one at a time, so a failure stops the data where it happened,
// in the chunk or in the padding.
TEST_F(OneKWriteTest, FailedSendStopsAtTheByteThatFailed)
{
    for (const size_t stop : {Preamble(1) + 7, Preamble(1) + 10}) {
        comms.written.clear();
        comms.failWrites = false;
        comms.onWrite = [this, stop](BYTE) {
            if (comms.written.size() == stop)
                comms.failWrites = true;
        };
        std::vector<BYTE> data = FileBytes(10, 0x80);
        EXPECT_FALSE(run.Protocol()->WriteVerifyFLASHData(0x100, 10, data.data(), 4, 0));
        EXPECT_EQ(comms.written.size(), stop);
        EXPECT_TRUE(run.Shown("Data transfer failed"));
    }
}

TEST_F(OneKWriteTest, CancelAndRefusedChunk)
{
    std::vector<BYTE> data = FileBytes(1200, 0);
    comms.Reply({0x00, 0x00});
    comms.onWrite = [this](BYTE) {
        if (comms.written.size() == Preamble(2) + 804)
            run.Protocol()->Cancel();
    };
    EXPECT_TRUE(run.Protocol()->WriteVerifyFLASHData(0x100, 1200, data.data(), 0, 0));
    EXPECT_EQ(comms.written.size(), Preamble(2) + 804 + 1);
    EXPECT_EQ(comms.written.back(), 0xFF);

    comms.onWrite = nullptr;
    comms.written.clear();
    comms.Reply({0x23});
    EXPECT_FALSE(run.Protocol()->WriteVerifyFLASHData(0x100, 1200, data.data(), 0, 0));
    EXPECT_TRUE(run.Shown("Write failed", 15028));
    // Nothing follows the refused chunk.
    EXPECT_EQ(comms.written.size(), Preamble(2) + 804);
}

} // namespace
