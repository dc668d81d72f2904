// The Protocol B boot program walked frame by frame: the checks of the
// new-bit-rate command, the status answer, a module before the main kernel.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

using namespace simtest;

namespace {
using Bytes = std::vector<BYTE>;

Bytes Framed(Bytes bytes)
{
    BYTE sum = 0;
    for (BYTE b : bytes)
        sum = static_cast<BYTE>(sum - b);
    bytes.push_back(sum);
    return bytes;
}

Bytes Ask(CSimRun& run, const Bytes& frame, std::size_t replyBytes)
{
    run.host.Send(frame);
    return run.host.Receive(replyBytes, 3000);
}

// 115200 baud at the given input clock (MHz x 100) and ratios.
Bytes NewRate(WORD clock, BYTE ckm, BYTE ckp)
{
    return Framed({0x3F, 0x07, 0x04, 0x80, static_cast<BYTE>(clock >> 8), static_cast<BYTE>(clock), 0x02, ckm, ckp});
}

// ZT52F128 with its micro-kernel taking frames.
::testing::AssertionResult StartProtocolB(CSimRun& run)
{
    auto started = run.StartBooted(DevicePath("ZT52F128.ini"));
    if (started && !(run.host.DownloadEchoed(ReadFile(DevicePath("kernels/zt52/zt52_ukernel.bin"))) &&
                     run.target.WaitForState(ssProtocolB, 5000)))
        return ::testing::AssertionFailure() << "no micro-kernel";
    return started;
}
} // namespace

TEST(SimProtocolB, ChecksEveryFrameItIsSent)
{
    CSimRun run;
    ASSERT_TRUE(StartProtocolB(run));

    Bytes bad = NewRate(1600, 4, 4);
    bad.back() ^= 0x01;
    EXPECT_EQ(Ask(run, bad, 2), (Bytes{0xBF, 0x11}));
    EXPECT_EQ(Ask(run, NewRate(2000, 4, 4), 2), (Bytes{0xBF, 0x25})); // not this chip's clock
    EXPECT_EQ(Ask(run, NewRate(1600, 3, 1), 2), (Bytes{0xBF, 0x26}));
    EXPECT_EQ(Ask(run, NewRate(1600, 1, 2), 2), (Bytes{0xBF, 0x27}));
    EXPECT_EQ(Ask(run, NewRate(1600, 1, 1), 2), (Bytes{0xBF, 0x24})); // 16 MHz makes no 115200
    // A confirmation that does not arrive intact puts the old rate back.
    EXPECT_EQ(Ask(run, NewRate(1600, 4, 4), 1), Bytes{0x06});
    ASSERT_TRUE(run.host.SetRate(38400));
    run.host.Send(0x06);
    EXPECT_TRUE(run.host.Silent());
    EXPECT_EQ(run.target.GetTargetRate(), 9600u);
    ASSERT_TRUE(run.host.SetRate(9600));
    EXPECT_EQ(Ask(run, NewRate(1600, 4, 4), 1), Bytes{0x06});
    ASSERT_TRUE(run.host.SetRate(115200));
    EXPECT_EQ(Ask(run, {0x06}, 1), Bytes{0x06});
    EXPECT_EQ(run.target.GetTargetRate(), 117647u);

    EXPECT_EQ(Ask(run, {0x4F}, 5), (Bytes{0x5F, 0x02, 0x00, 0x00, 0x9F})); // status and error closed by a sum
    EXPECT_EQ(Ask(run, {0x43}, 2), (Bytes{0xC3, 0x54})); // no main kernel to take it
    EXPECT_THAT(run.Events(ekViolation), HasSubstr("does not close the frame (H'E6 was due)"));
}

// Before any kernel: each refused or malformed frame gets its error reply and
// code, and the boot program notes why; the answers it gives close with a sum.
TEST(SimProtocolB, RefusedFramesAnswerTheirCodeAndSayWhy)
{
    CSimRun run;
    ASSERT_TRUE(StartProtocolB(run));

    EXPECT_EQ(Ask(run, {0x27}, 5), Framed({0x37, 0x02, 0x00, 0x80})); // 128-byte lines
    EXPECT_EQ(Ask(run, Framed({0x52, 0x09, 0x00, 0, 0, 0, 0, 0, 0, 0, 2}), 8), Framed({0x52, 0, 0, 0, 2, 0xFF, 0xFF}));

    EXPECT_EQ(Ask(run, Framed({0x52, 0x08, 0, 0, 0, 0, 0, 0, 0, 2}), 2), (Bytes{0xD2, 0x2B}));
    EXPECT_EQ(Ask(run, Framed({0x52, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0, 2}), 2), (Bytes{0xD2, 0x2A}));
    Bytes bent = Framed({0x58, 0x01, 0x00});
    bent.back() ^= 0x80;
    EXPECT_EQ(Ask(run, bent, 2), (Bytes{0xD8, 0x11}));
    EXPECT_EQ(Ask(run, Framed({0x58, 0x01, 0x00}), 2), (Bytes{0xD8, 0x54}));
    EXPECT_EQ(Ask(run, Framed({0x50, 0xFF, 0xFF, 0xFF, 0xFF}), 2), (Bytes{0xD0, 0x54}));

    const std::string violations = run.Events(ekViolation);
    EXPECT_THAT(violations, HasSubstr("read: 8 bytes before the sum instead of 9"));
    EXPECT_THAT(violations, HasSubstr("read: area 1, address H'00000000 is not in the user FLASH"));
    EXPECT_THAT(violations, HasSubstr("erase: the sum check H'"));
    const std::string refusals = run.Events(ekRefusal);
    EXPECT_EQ(refusals, "erase refused: the erase module is not in place (status H'00)\n"
                        "end of writing refused: no main kernel is running\n");
}
