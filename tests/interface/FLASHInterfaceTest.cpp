#include <gtest/gtest.h>

#include "FakeComms.h"

using namespace zftest;
using Bytes = std::vector<unsigned char>;

namespace {

struct Fixture
{
    Fixture()
    {
        iface.SetAdvancedUser(true);
        // The channel forwards to the interface only while the interface works.
        comms.SetStatusUpdate(&comms);
    }
    AnsweringHost host;
    CFakeComms comms;
    CTestInterface iface{&comms};
};

BYTE Brr(unsigned long newRate, unsigned long present, BaudCalcType type, BYTE received)
{
    BYTE out = 0xEE;
    EXPECT_TRUE(CFLASHInterface::CalculateBRR(newRate, present, type, received, &out))
        << newRate << " " << present << " " << type << " " << int(received);
    return out;
}

} // namespace

TEST(BaudArithmetic, WorkedExamplesAndRounding)
{
    // A 19.968 MHz clock: 15.25 goes down to 15.
    EXPECT_EQ(Brr(38400, 0xB3, CFLASHInterface::ctPavFormula, 64), 15);
    // The three offset formulas agree.
    EXPECT_EQ(Brr(38400, 0xB3, CFLASHInterface::ctLomFormula, 64), 15);
    EXPECT_EQ(Brr(38400, 0xB3, CFLASHInterface::ctRivFormula, 64), 15);
    // Simple divide with a plain present rate: 16, 16.5 (a half rounds down), 16.75.
    EXPECT_EQ(Brr(38400, 9600, CFLASHInterface::ctSimpleDivide, 64), 16);
    EXPECT_EQ(Brr(38400, 9600, CFLASHInterface::ctSimpleDivide, 66), 16);
    EXPECT_EQ(Brr(38400, 9600, CFLASHInterface::ctSimpleDivide, 67), 17);
    // Simple divide with a boot code, and the ratio's integer division (57600 / 9600 = 6).
    EXPECT_EQ(Brr(38400, 0xB3, CFLASHInterface::ctSimpleDivide, 64), 16);
    EXPECT_EQ(Brr(57600, 0xB3, CFLASHInterface::ctSimpleDivide, 16), 3);
    EXPECT_EQ(Brr(70000, 0xB3, CFLASHInterface::ctSimpleDivide, 16), 2); // ratio 7: 2.29
    // Offset formulas at an exact half (0.5 -> 0) and above it (0.75 -> 1, 1.5 -> 1).
    EXPECT_EQ(Brr(19200, 0xB3, CFLASHInterface::ctPavFormula, 2), 0);
    EXPECT_EQ(Brr(38400, 0xB3, CFLASHInterface::ctPavFormula, 6), 1);
    EXPECT_EQ(Brr(19200, 0xB3, CFLASHInterface::ctPavFormula, 4), 1);
    // Unknown formula: the received value goes back.
    EXPECT_EQ(Brr(38400, 0xB3, static_cast<BaudCalcType>(4), 77), 77);
    EXPECT_EQ(Brr(38400, 0xB3, static_cast<BaudCalcType>(9), 3), 3);
}

TEST(BaudArithmetic, EveryBootCodeGivesTheSameClock)
{
    // A 7.3728 MHz chip reports these BRR values at each boot rate; every one
    // leads to the register value for 115200 (1) and 9600 (23).
    const std::pair<unsigned long, BYTE> codes[] = {{0xB0, 191}, {0xB1, 95}, {0xB2, 47}, {0xB3, 23}, {0xB4, 11}};
    for (auto [code, received] : codes) {
        EXPECT_EQ(Brr(115200, code, CFLASHInterface::ctPavFormula, received), 1) << std::hex << code;
        EXPECT_EQ(Brr(9600, code, CFLASHInterface::ctRivFormula, received), 23) << std::hex << code;
    }
    EXPECT_EQ(CFLASHInterface::BootCodeRate(0xB0), 1200u);
    EXPECT_EQ(CFLASHInterface::BootCodeRate(0xB4), 19200u);
    EXPECT_EQ(CFLASHInterface::BootCodeRate(0xB5), 0u);
    EXPECT_EQ(CFLASHInterface::BootCodeRate(9600), 0u);
}

TEST(BaudArithmetic, RefusesValuesThatGiveNoRegisterValue)
{
    BYTE out = 0xEE;
    // A formula type needs a boot code.
    EXPECT_FALSE(CFLASHInterface::CalculateBRR(38400, 9600, CFLASHInterface::ctPavFormula, 64, &out));
    EXPECT_FALSE(CFLASHInterface::CalculateBRR(38400, 0, CFLASHInterface::ctLomFormula, 64, &out));
    // Simple divide to a slower rate: ratio 0.
    EXPECT_FALSE(CFLASHInterface::CalculateBRR(4800, 9600, CFLASHInterface::ctSimpleDivide, 64, &out));
    EXPECT_FALSE(CFLASHInterface::CalculateBRR(38400, 0, CFLASHInterface::ctSimpleDivide, 64, &out));
    // A clock too slow for the new rate (negative) or too fast for the register (over 255).
    EXPECT_FALSE(CFLASHInterface::CalculateBRR(115200, 0xB0, CFLASHInterface::ctPavFormula, 1, &out));
    EXPECT_FALSE(CFLASHInterface::CalculateBRR(1200, 0xB4, CFLASHInterface::ctPavFormula, 255, &out));
    EXPECT_EQ(out, 0xEE);
}

TEST(MicroKernelBaudChange, SendsTheNewValueAndShowsBoth)
{
    Fixture f;
    f.comms.Reply({64});
    EXPECT_TRUE(f.iface.PerformMicroKernelBaudChange(38400, 0xB3, CFLASHInterface::ctPavFormula));
    EXPECT_EQ(f.comms.written, Bytes{15});
    EXPECT_EQ(f.host.Texts(skAdvanced), (std::vector<std::string>{"BRR Received = 64", "BRR Value = 15"}));
    // Left attached on success.
    EXPECT_EQ(f.comms.GetStatusUpdate(), &f.iface);
}

TEST(MicroKernelBaudChange, FailuresReportAndDetach)
{
    {
        // Nothing comes: the channel's time-out reaches the sink through the interface, then 15048.
        Fixture f;
        EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange(38400, 0xB3, CFLASHInterface::ctPavFormula));
        EXPECT_EQ(f.host.Ids(skError), (std::vector<WORD>{15005, 15048}));
        EXPECT_TRUE(f.comms.written.empty());
        EXPECT_EQ(f.comms.GetStatusUpdate(), &f.comms);
    }
    {
        Fixture f;
        f.comms.Reply({0});
        EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange(38400, 0xB3, CFLASHInterface::ctPavFormula));
        ASSERT_EQ(f.host.shown.size(), 2u);
        EXPECT_EQ(f.host.shown[1].kind, skAdvanced);
        EXPECT_EQ(f.host.shown[1].id, 15049);
        EXPECT_EQ(f.host.shown[1].text, "Invalid BRR value returned - the micro kernel may not be executing");
        EXPECT_TRUE(f.comms.written.empty());
        EXPECT_EQ(f.comms.GetStatusUpdate(), &f.comms);
    }
    {
        // Simple divide down to a slower rate sends nothing and says why.
        Fixture f;
        f.comms.Reply({16});
        EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange(4800, 0xB3, CFLASHInterface::ctSimpleDivide));
        EXPECT_TRUE(f.comms.written.empty());
        ASSERT_EQ(f.host.Texts(skError).size(), 1u);
        EXPECT_NE(f.host.Texts(skError)[0].find("4800"), std::string::npos);
    }
}

TEST(ProtocolBBaudChange, FrameAndSumCheck)
{
    Fixture f;
    f.comms.Reply({0x06});
    EXPECT_TRUE(f.iface.PerformMicroKernelBaudChange_Protcol_B(115200, 0xB3, CFLASHInterface::ctRivFormula, 2000.0f,
                                                               2, 1, false));
    EXPECT_EQ(f.comms.written, (Bytes{0x3F, 0x07, 0x04, 0x80, 0x07, 0xD0, 0x02, 0x01, 0x02, 0x5A}));

    // Alternative command, rounding of the clock (1999.6 -> 2000, 12.5 -> 12) and the sum.
    const struct
    {
        unsigned long rate;
        float freq;
        int ckp, ckm;
        bool alt;
        BYTE r0, r1, f0, f1;
    } cases[] = {
        {115200, 1999.6f, 2, 1, true, 0x04, 0x80, 0x07, 0xD0},
        {9600, 12.5f, 0x104, 0x203, false, 0x00, 0x60, 0x00, 0x0C},
        {38499, 65535.4f, 255, 255, false, 0x01, 0x80, 0xFF, 0xFF},
    };
    for (const auto& c : cases) {
        BYTE frame[CFLASHInterface::kProtocolBFrameSize];
        CFLASHInterface::BuildProtocolBFrame(c.rate, c.freq, c.ckp, c.ckm, c.alt, frame);
        EXPECT_EQ(frame[0], c.alt ? 0x7F : 0x3F);
        EXPECT_EQ(frame[2], c.r0);
        EXPECT_EQ(frame[3], c.r1);
        EXPECT_EQ(frame[4], c.f0);
        EXPECT_EQ(frame[5], c.f1);
        EXPECT_EQ(frame[7], static_cast<BYTE>(c.ckm));
        EXPECT_EQ(frame[8], static_cast<BYTE>(c.ckp));
        unsigned sum = 0;
        for (BYTE b : frame)
            sum += b;
        EXPECT_EQ(sum % 256, 0u) << c.rate;
    }
}

TEST(ProtocolBBaudChange, AnswersAndErrorTexts)
{
    const std::pair<int, const char*> errors[] = {
        {0x11, "Sum check error"},
        {0x24, "Unable setting baud rate error"},
        {0x25, "Input clock error"},
        {0x26, "Invalid mulitplication ratio error"},
        {0x27, "Operating frequency error"},
        {0x30, "Unknown error - Change baud rate"},
    };
    for (auto [code, text] : errors) {
        Fixture f;
        f.comms.Reply({0xBF, code});
        EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange_Protcol_B(115200, 0, CFLASHInterface::ctRivFormula, 16.0f,
                                                                    1, 1, false));
        EXPECT_EQ(f.host.Texts(skAdvanced), std::vector<std::string>{text});
    }
    {
        // The error code never comes: an empty line after the channel's time-out.
        Fixture f;
        f.comms.Reply({0xBF});
        EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange_Protcol_B(115200, 0, CFLASHInterface::ctRivFormula, 16.0f,
                                                                    1, 1, false));
        EXPECT_EQ(f.host.Texts(skAdvanced), std::vector<std::string>{""});
    }
    for (int answer : {0x15, CFakeComms::kSilence}) {
        Fixture f;
        f.comms.Reply({answer});
        EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange_Protcol_B(115200, 0, CFLASHInterface::ctRivFormula, 16.0f,
                                                                    1, 1, false));
        EXPECT_TRUE(f.host.Texts(skAdvanced).empty());
    }
    {
        // Values that do not fit the frame's 16 bits are refused before anything is sent.
        Fixture f;
        EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange_Protcol_B(115200, 0, CFLASHInterface::ctRivFormula,
                                                                    -1.0f, 1, 1, false));
        EXPECT_FALSE(f.iface.PerformMicroKernelBaudChange_Protcol_B(115200, 0, CFLASHInterface::ctRivFormula,
                                                                    70000.0f, 1, 1, false));
        EXPECT_TRUE(f.comms.written.empty());
        EXPECT_EQ(f.host.Texts(skError).size(), 2u);
    }
}

TEST(InterfaceBase, DefaultsDoNothingButSucceed)
{
    AnsweringHost host;
    CFakeComms comms;
    CFLASHInterface base(&comms);
    unsigned char buffer[4] = {};
    unsigned short version = 0x1234;
    EXPECT_TRUE(base.ResetTarget(true));
    EXPECT_TRUE(base.BootSCI(buffer));
    EXPECT_TRUE(base.Download(buffer, 4));
    EXPECT_TRUE(base.GetVersion(&version));
    EXPECT_EQ(version, 0x1234);
    EXPECT_TRUE(base.SetupSCI(buffer, buffer));
    EXPECT_TRUE(base.ChangeBaud_ProtocolB(115200, 0xB3, buffer, ctRivFormula, 16.0f, 1, 1));
    EXPECT_TRUE(comms.written.empty());
    // Only the classic baud change writes: a single 0x00.
    EXPECT_TRUE(base.ChangeBaud(115200, 0xB3, buffer, ctPavFormula));
    EXPECT_EQ(comms.written, Bytes{0x00});
    // The channel can be replaced.
    CFakeComms other;
    base.SetFLASHComms(&other);
    EXPECT_TRUE(base.ChangeBaud(115200, 0xB3, buffer, ctPavFormula));
    EXPECT_EQ(other.written, Bytes{0x00});
    EXPECT_EQ(comms.written.size(), 1u);
}
