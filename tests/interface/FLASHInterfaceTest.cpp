#include <gtest/gtest.h>

#include <numeric>

#include "FakeComms.h"

using namespace zftest;

TEST(BaudArithmetic, FormulasRoundingAndRefusals)
{
    const struct
    {
        unsigned long newRate, present;
        int type, received, expected; // -1: no register value, refused
    } cases[] = {
        {38400, 0xB3, ctPavFormula, 64, 15}, // 19.968 MHz: 15.25
        {38400, 9600, ctSimpleDivide, 64, 16},
        {38400, 9600, ctSimpleDivide, 66, 16}, // 16.5: a half rounds down
        {38400, 9600, ctSimpleDivide, 67, 17}, // 16.75
        {38400, 0xB3, ctSimpleDivide, 64, 16}, // a boot code stands for its rate
        {70000, 0xB3, ctSimpleDivide, 16, 2},  // ratio 7 in integer division
        {19200, 0xB3, ctPavFormula, 2, 0},     // 0.5
        {38400, 0xB3, ctPavFormula, 6, 1},     // 0.75
        {115200, 0xB0, ctPavFormula, 191, 1},  // 7.3728 MHz from every boot code
        {115200, 0xB1, ctRivFormula, 95, 1},
        {9600, 0xB2, ctLomFormula, 47, 23},
        {1200, 0xB4, ctPavFormula, 11, 191},
        {38400, 0xB3, 4, 77, 77}, // unknown formula: echoed
        {38400, 9600, ctPavFormula, 64, -1},   // a formula needs a boot code
        {4800, 9600, ctSimpleDivide, 64, -1},  // ratio 0
        {115200, 0xB0, ctPavFormula, 1, -1},   // clock too slow: negative
        {1200, 0xB4, ctPavFormula, 255, -1},   // over 255
    };
    for (const auto& c : cases) {
        BYTE out = 0xEE;
        const bool ok = CFLASHInterface::CalculateBRR(c.newRate, c.present, static_cast<BaudCalcType>(c.type),
                                                      static_cast<BYTE>(c.received), &out);
        EXPECT_EQ(ok, c.expected >= 0) << c.newRate << " " << c.present << " " << c.type;
        EXPECT_EQ(out, c.expected >= 0 ? c.expected : 0xEE) << c.newRate << " " << c.present << " " << c.type;
    }
}

TEST(BaudArithmetic, MicroKernelExchange)
{
    {
        CInterfaceFixture f;
        f.comms.Reply({64});
        EXPECT_TRUE(f.iface.PerformMicroKernelBaudChange(38400, 0xB3, CFLASHInterface::ctPavFormula));
        EXPECT_EQ(f.comms.written, Bytes{15});
        EXPECT_EQ(f.host.Texts(skAdvanced), (Texts{"BRR Received = 64", "BRR Value = 15"}));
        EXPECT_EQ(f.comms.GetStatusUpdate(), &f.iface); // left attached on success
    }
    // Silence (the channel's time-out reaches the sink through the interface),
    // BRR 0, and a rate the simple divider cannot reach: nothing sent, detached.
    const struct
    {
        int reply;
        CFLASHInterface::BaudCalcType type;
        eStatusKind kind;
        std::vector<WORD> ids;
    } failures[] = {
        {CFakeComms::kGap, CFLASHInterface::ctPavFormula, skError, {15005, 15048}},
        {0, CFLASHInterface::ctPavFormula, skAdvanced, {0, 15049}},
        {16, CFLASHInterface::ctSimpleDivide, skError, {0}},
    };
    for (const auto& c : failures) {
        CInterfaceFixture f;
        f.comms.Reply({c.reply});
        EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange(4800, 0xB3, c.type));
        EXPECT_TRUE(f.comms.written.empty());
        EXPECT_EQ(f.host.Ids(c.kind), c.ids);
        EXPECT_EQ(f.comms.GetStatusUpdate(), &f.comms);
    }
}

// The plain frame is checked through ChangeBaud_ProtocolB.
TEST(ProtocolBBaudChange, FrameAndSumCheck)
{
    // The alternative command, the clock rounded (12.5 down, 65535.4 down),
    // divisors cut to 8 bits; the sum of every frame is 0.
    BYTE frame[CFLASHInterface::kProtocolBFrameSize];
    CFLASHInterface::BuildProtocolBFrame(9600, 12.5f, 0x104, 0x203, true, frame);
    EXPECT_EQ(Bytes(frame, frame + 9), (Bytes{0x7F, 0x07, 0x00, 0x60, 0x00, 0x0C, 0x02, 0x03, 0x04}));
    EXPECT_EQ(std::accumulate(std::begin(frame), std::end(frame), 0u) % 256, 0u);
    CFLASHInterface::BuildProtocolBFrame(38499, 65535.4f, 0, 0, false, frame);
    EXPECT_EQ(Bytes(frame + 2, frame + 6), (Bytes{0x01, 0x80, 0xFF, 0xFF}));
}

TEST(ProtocolBBaudChange, AnswersAndErrorTexts)
{
    const std::pair<std::vector<int>, Texts> answers[] = {
        {{0xBF, 0x11}, {"Sum check error"}},
        {{0xBF, 0x24}, {"Unable setting baud rate error"}},
        {{0xBF, 0x25}, {"Input clock error"}},
        {{0xBF, 0x26}, {"Invalid mulitplication ratio error"}},
        {{0xBF, 0x27}, {"Operating frequency error"}},
        {{0xBF, 0x30}, {"Unknown error - Change baud rate"}},
        {{0xBF}, {""}}, // the error code never came
        {{0x15}, {}},
        {{}, {}},
    };
    for (const auto& [reply, texts] : answers) {
        CInterfaceFixture f;
        f.comms.Reply(reply);
        EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange_Protcol_B(115200, 0, ctRivFormula, 16.0f, 1, 1, false));
        EXPECT_EQ(f.host.Texts(skAdvanced), texts);
    }
    // Values wider than the frame's 16 bits are refused before anything is sent.
    CInterfaceFixture f;
    EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange_Protcol_B(115200, 0, ctRivFormula, -1.0f, 1, 1, false));
    EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange_Protcol_B(115200, 0, ctRivFormula, 70000.0f, 1, 1, false));
    EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange_Protcol_B(7000000, 0, ctRivFormula, 16.0f, 1, 1, false));
    EXPECT_TRUE(f.comms.written.empty());
    EXPECT_EQ(f.host.Ids(skError).size(), 3u);
}
