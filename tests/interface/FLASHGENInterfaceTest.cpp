#include <gtest/gtest.h>

#include "FakeComms.h"
#include "devicedb/DeviceInfo.h"

using namespace zftest;
using Bytes = std::vector<unsigned char>;
using Texts = std::vector<std::string>;

namespace {

struct Fixture
{
    Fixture()
    {
        iface.SetAdvancedUser(true);
        iface.SetDeviceInfo(&info);
        comms.SetStatusUpdate(&comms);
    }
    // A target whose boot program matches only at bootRate and then answers 0x55 with answer55.
    void BootTarget(unsigned long bootRate, std::initializer_list<int> answer55)
    {
        std::vector<int> after(answer55);
        comms.onWrite = [this, bootRate, after](unsigned char b) {
            if (b == 0x00 && comms.rate == bootRate)
                comms.replies.push_back(0x00);
            else if (b == 0x55)
                comms.replies.insert(comms.replies.end(), after.begin(), after.end());
        };
    }
    std::size_t Count(unsigned char value) const
    {
        return static_cast<std::size_t>(std::count(comms.written.begin(), comms.written.end(), value));
    }

    ScopedSettings settings;
    AnsweringHost host;
    CDeviceInfo info;
    CFakeComms comms;
    CTestInterface iface{&comms};
};

} // namespace

TEST(GENBootSCI, SkipsRatesAboveTheHighestAndTriesEachInTurn)
{
    Fixture f;
    f.iface.m_dwHighestBootRate = 2400;
    f.BootTarget(1200, {0xAA});
    unsigned char code = 0;
    EXPECT_TRUE(f.iface.BootSCI(&code));
    EXPECT_EQ(code, 0xB0);
    EXPECT_EQ(f.host.Texts(skAdvanced), (Texts{"Skipping 9600", "Skipping 4800", "Attempting 2400", "Attempting 1200"}));
    EXPECT_EQ(f.comms.settings, (std::vector<std::string>{"9600, n, 8, 1", "4800, n, 8, 1", "2400, n, 8, 1",
                                                          "1200, n, 8, 1"}));
    EXPECT_EQ(f.host.Texts(skMessage), Texts{"Initiating BOOT SCI sequence"});
    EXPECT_EQ(f.iface.GetProgressString(), "Booting the device");
    // 100 zeros at 2400, then the first one at 1200 matched, then 0x55.
    EXPECT_EQ(f.Count(0x00), 101u);
    EXPECT_EQ(f.comms.written.back(), 0x55);
}

TEST(GENBootSCI, EachRateGivesItsCode)
{
    const std::pair<unsigned long, unsigned char> rates[] = {{9600, 0xB3}, {4800, 0xB2}, {2400, 0xB1}, {1200, 0xB0}};
    for (auto [rate, expected] : rates) {
        Fixture f;
        f.BootTarget(rate, {0xAA});
        unsigned char code = 0;
        EXPECT_TRUE(f.iface.BootSCI(&code));
        EXPECT_EQ(code, expected);
        // 0 stands for 9600 and is stored back.
        EXPECT_EQ(f.iface.m_dwHighestBootRate, 9600u);
        EXPECT_EQ(f.host.Texts(skAdvanced).back(), "Attempting " + std::to_string(rate));
    }
}

TEST(GENBootSCI, SilentTargetCostsOneHundredTriesPerRate)
{
    Fixture f;
    unsigned char code = 0x77;
    EXPECT_FALSE(f.iface.BootSCI(&code));
    EXPECT_EQ(code, 0x77);
    EXPECT_EQ(f.comms.written, Bytes(400, 0x00));
    // Quick time-outs for the matching, the default after each rate.
    EXPECT_EQ(std::count(f.comms.timeouts.begin(), f.comms.timeouts.end(), ttSuperQuick), 4);
    EXPECT_EQ(f.comms.timeouts.back(), ttDefault);
    // A port that refuses the rate ends the search at once.
    Fixture g;
    g.comms.failSettings = true;
    EXPECT_FALSE(g.iface.BootSCI(&code));
    EXPECT_EQ(g.comms.settings.size(), 1u);
}

TEST(GENBootSCI, CancelDuringTheSearchGivesCodeZero)
{
    Fixture f;
    int zeros = 0;
    f.comms.onWrite = [&](unsigned char b) {
        if (b == 0x00 && ++zeros == 5)
            f.iface.Cancel();
    };
    unsigned char code = 0x77;
    EXPECT_TRUE(f.iface.BootSCI(&code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(zeros, 5);
}

TEST(GENZeroTransmission, AnswersToTheAcknowledgeRequest)
{
    {
        Fixture f;
        f.BootTarget(9600, {0xAA});
        EXPECT_TRUE(f.iface.ZeroTransmission());
        EXPECT_EQ(f.comms.written, (Bytes{0x00, 0x55}));
        EXPECT_EQ(f.comms.timeouts, (std::vector<eTimeoutType>{ttSuperQuick, ttDefault}));
    }
    {
        Fixture f;
        f.BootTarget(9600, {0xFF});
        EXPECT_FALSE(f.iface.ZeroTransmission());
        EXPECT_EQ(f.host.Texts(skWarning), Texts{"Device failed to erase"});
    }
    {
        Fixture f;
        f.BootTarget(9600, {0x42});
        EXPECT_FALSE(f.iface.ZeroTransmission());
        EXPECT_TRUE(f.host.shown.empty());
    }
    for (eQueryType answer : {qtYes, qtNo}) {
        Fixture f;
        f.BootTarget(9600, {CFakeComms::kSilence});
        f.host.answer = answer;
        EXPECT_EQ(f.iface.ZeroTransmission(), answer == qtYes);
        ASSERT_EQ(f.host.questions.size(), 1u);
        EXPECT_EQ(f.host.questions[0].text, "Device did not send Zentra acknowledge byte, ignore?");
        EXPECT_EQ(f.host.questions[0].style, qtYesNo);
    }
}

TEST(GENZeroTransmission, EraseWaitQuestions)
{
    {
        // Silence twice (keep waiting), then the confirmation.
        Fixture f;
        f.info.m_bBOOTModeAutoErase = 1;
        f.settings.Write("[Serial]\nEraseTimeout=7\n");
        f.BootTarget(9600, {CFakeComms::kSilence, CFakeComms::kSilence, CFakeComms::kSilence, 0xAA});
        f.host.answer = qtYes;
        EXPECT_TRUE(f.iface.ZeroTransmission());
        EXPECT_EQ(f.iface.GetProgressString(), "Device is erasing...");
        EXPECT_EQ(f.comms.timedWaits, (std::vector<int>{7, 7, 7}));
        ASSERT_EQ(f.host.questions.size(), 2u);
        EXPECT_EQ(f.host.questions[0].text,
                  "The device has not confirmed its erasure, would you like to keep waiting?");
    }
    {
        // No stops the wait and sets the cancel flag: the next search is cut short... but
        // ZeroTransmission clears it again at its start, so check the result only.
        Fixture f;
        f.info.m_bBOOTModeAutoErase = 1;
        f.BootTarget(9600, {CFakeComms::kSilence, CFakeComms::kSilence});
        f.host.answer = qtNo;
        EXPECT_FALSE(f.iface.ZeroTransmission());
        EXPECT_EQ(f.host.questions.size(), 1u);
        EXPECT_EQ(f.comms.timedWaits, std::vector<int>{30});
    }
    {
        Fixture f;
        f.info.m_bBOOTModeAutoErase = 1;
        f.BootTarget(9600, {CFakeComms::kSilence, 0xFF});
        EXPECT_FALSE(f.iface.ZeroTransmission());
        EXPECT_EQ(f.host.Texts(skWarning), Texts{"Device failed to erase"});
    }
    {
        // An unknown byte: Retry waits again, then Ignore accepts.
        Fixture f;
        f.info.m_bBOOTModeAutoErase = 1;
        f.BootTarget(9600, {CFakeComms::kSilence, 0x3C, 0x0A});
        f.host.answers = {qtRetry, qtIgnore};
        EXPECT_TRUE(f.iface.ZeroTransmission());
        ASSERT_EQ(f.host.questions.size(), 2u);
        EXPECT_EQ(f.host.questions[0].text, "The device sent an unrecognised response, (0x3c).\nWhat would you like to do");
        EXPECT_EQ(f.host.questions[1].text, "The device sent an unrecognised response, (0x0a).\nWhat would you like to do");
        EXPECT_EQ(f.host.questions[0].style, qtAbortRetryIgnore);
    }
    {
        Fixture f;
        f.info.m_bBOOTModeAutoErase = 1;
        f.BootTarget(9600, {CFakeComms::kSilence, 0x3C, 0xAA});
        f.host.answer = qtAbort;
        EXPECT_FALSE(f.iface.ZeroTransmission());
        EXPECT_EQ(f.host.questions.size(), 1u);
    }
}

TEST(GENDownload, SizeFirstThenEveryByteEchoed)
{
    Fixture f;
    f.comms.Echo();
    Bytes kernel(0x0123);
    for (std::size_t i = 0; i < kernel.size(); ++i)
        kernel[i] = static_cast<unsigned char>(i * 7 + 1);
    EXPECT_TRUE(f.iface.Download(kernel.data(), static_cast<unsigned long>(kernel.size())));
    ASSERT_EQ(f.comms.written.size(), kernel.size() + 2);
    EXPECT_EQ(f.comms.written[0], 0x01);
    EXPECT_EQ(f.comms.written[1], 0x23);
    EXPECT_TRUE(std::equal(kernel.begin(), kernel.end(), f.comms.written.begin() + 2));
    EXPECT_EQ(f.iface.GetProgress().load(), 0x122u * 100 / 0x123);
    EXPECT_EQ(f.host.Texts(skMessage), Texts{"micro-Kernel download successful"});
}

TEST(GENDownload, EchoFailures)
{
    {
        // A wrong echo of a code byte stops the download there.
        Fixture f;
        Bytes kernel(50, 0x11);
        f.comms.onWrite = [&](unsigned char b) {
            f.comms.replies.push_back(f.comms.written.size() == 12 ? b ^ 0x5A : b);
        };
        EXPECT_FALSE(f.iface.Download(kernel.data(), 50));
        EXPECT_EQ(f.comms.written.size(), 12u);
        EXPECT_EQ(f.host.Ids(skError), std::vector<WORD>{15009});
        EXPECT_EQ(f.host.Texts(skError), Texts{"Failed to download the Micro Kernel"});
    }
    {
        // A missing echo: the channel's time-out, then 15009.
        Fixture f;
        Bytes kernel(5, 0x22);
        f.comms.Reply({0x00, 0x05, 0x22, CFakeComms::kSilence});
        EXPECT_FALSE(f.iface.Download(kernel.data(), 5));
        EXPECT_EQ(f.host.Ids(skError), (std::vector<WORD>{15005, 15009}));
    }
    {
        // A size byte not echoed ends it at once with no download message.
        Fixture f;
        Bytes kernel(5, 0x22);
        f.comms.Reply({0x00, 0x04});
        EXPECT_FALSE(f.iface.Download(kernel.data(), 5));
        EXPECT_EQ(f.comms.written, (Bytes{0x00, 0x05}));
        EXPECT_TRUE(f.host.Ids(skError).empty());
    }
    {
        // Too long for a 16-bit size: refused with nothing sent.
        Fixture f;
        Bytes kernel(0x10000, 0x22);
        EXPECT_FALSE(f.iface.Download(kernel.data(), 0x10000));
        EXPECT_TRUE(f.comms.written.empty());
        EXPECT_EQ(f.host.Texts(skError).size(), 1u);
    }
}

TEST(GENDownload, AutomaticEraseAfterTheKernel)
{
    const std::pair<int, const char*> outcomes[] = {
        {0xAA, nullptr},
        {CFakeComms::kSilence, "The device has not confirmed its erasure"},
        {0xFF, "Device failed to erase"},
        {0x31, "The device sent an unrecognised response, (0x31)"},
    };
    for (auto [answer, error] : outcomes) {
        Fixture f;
        f.info.m_bBOOTModeAutoErase = 1;
        Bytes kernel{1, 2, 3};
        f.comms.Reply({0x00, 0x03, 1, 2, 3, answer});
        EXPECT_EQ(f.iface.Download(kernel.data(), 3), error == nullptr);
        EXPECT_EQ(f.iface.GetProgressString(), "Device is erasing...");
        if (error) {
            EXPECT_EQ(f.host.Texts(skError).back(), error);
        } else {
            EXPECT_EQ(f.host.Texts(skMessage), Texts{"micro-Kernel download successful"});
        }
    }
}

TEST(GENSetupSCI, RateCodesAndTheLinkCheck)
{
    {
        Fixture f;
        f.comms.Echo();
        unsigned char params[4] = {0, 9, 1, 0};
        EXPECT_TRUE(f.iface.SetupSCI(params, nullptr));
        EXPECT_TRUE(f.comms.settings.empty());
        EXPECT_EQ(f.comms.written, (Bytes{1, 2, 3, 4}));
    }
    for (unsigned char code = 0; code < 8; ++code) {
        Fixture f;
        f.comms.Echo();
        unsigned char params[4] = {0, code, 1, 0};
        EXPECT_TRUE(f.iface.SetupSCI(params, nullptr));
        static const char* const names[] = {"1200",  "2400",  "4800",  "9600",
                                            "19200", "38400", "57600", "115200"};
        EXPECT_EQ(f.comms.settings, std::vector<std::string>{std::string(names[code]) + ",n,8,1"});
    }
    {
        Fixture f;
        f.comms.Reply({1, 2, 7, 4});
        unsigned char params[4] = {0, 3, 1, 0};
        EXPECT_FALSE(f.iface.SetupSCI(params, nullptr));
        EXPECT_EQ(f.host.Ids(skError), std::vector<WORD>{15010});
        EXPECT_EQ(f.comms.reads, 3);
    }
}

TEST(GENChangeBaud, CommandBRRAndTheNewRate)
{
    Fixture f;
    f.comms.Reply({64});
    // The micro-kernel echoes the link check once it has the new BRR.
    f.comms.onWrite = [&](unsigned char b) {
        if (f.comms.written.size() > 3)
            f.comms.replies.push_back(b);
    };
    unsigned char work[4] = {};
    EXPECT_TRUE(f.iface.ChangeBaud(38400, 0xB3, work, CFLASHInterface::ctPavFormula));
    EXPECT_EQ(f.comms.written, (Bytes{0x44, 0x04, 15, 1, 2, 3, 4}));
    EXPECT_EQ(f.comms.settings, std::vector<std::string>{"38400,n,8,1"});
    // The interface has given the channel back.
    EXPECT_EQ(f.comms.GetStatusUpdate(), &f.comms);

    // A rate that has no code goes to 9600 on the PC side.
    Fixture g;
    g.comms.Reply({64, 1, 2, 3, 4});
    EXPECT_TRUE(g.iface.ChangeBaud(31250, 9600, work, CFLASHInterface::ctSimpleDivide));
    EXPECT_EQ(g.comms.settings, std::vector<std::string>{"9600,n,8,1"});

    // A failing write sends nothing more.
    Fixture h;
    h.comms.failWrites = true;
    EXPECT_FALSE(h.iface.ChangeBaud(38400, 0xB3, work, CFLASHInterface::ctPavFormula));
    EXPECT_EQ(h.comms.written, Bytes{0x44});
}

TEST(GENChangeBaud, ProtocolBConfirmation)
{
    for (int confirm : {0x06, 0x15}) {
        Fixture f;
        f.comms.Reply({0x06, confirm});
        unsigned char work[4] = {};
        EXPECT_EQ(f.iface.ChangeBaud_ProtocolB(115200, 0xB3, work, CFLASHInterface::ctRivFormula, 2000.0f, 2, 1),
                  confirm == 0x06);
        EXPECT_EQ(f.comms.written,
                  (Bytes{0x3F, 0x07, 0x04, 0x80, 0x07, 0xD0, 0x02, 0x01, 0x02, 0x5A, 0x06}));
        EXPECT_EQ(f.comms.settings, std::vector<std::string>{"115200,n,8,1"});
        EXPECT_EQ(f.host.Texts(skAdvanced), Texts{confirm == 0x06 ? "Set baud rate value = 115200"
                                                                  : "Unable to set baud rate value = 115200"});
    }
    Fixture f;
    f.comms.Reply({0x06});
    f.comms.failSettings = true;
    unsigned char work[4] = {};
    EXPECT_FALSE(f.iface.ChangeBaud_ProtocolB(57600, 0xB3, work, CFLASHInterface::ctRivFormula, 16.0f, 1, 1));
    EXPECT_EQ(f.host.Texts(skAdvanced), Texts{"Unable to set baud rate value = 57600"});
    EXPECT_EQ(f.comms.written.size(), 10u);
}

TEST(GENAdapter, FramesAndAnswers)
{
    struct Case
    {
        std::function<bool(CTestInterface&)> call;
        Bytes frame;
        int answer;
        const char* text;
    };
    const Case cases[] = {
        {[](CTestInterface& i) { return i.Enable12V(true); }, {0xAA, 0x03, 0x01, 0x00, 0x55}, 0xE3,
         "Enabling 12V supply"},
        {[](CTestInterface& i) { return i.Enable12V(false); }, {0xAA, 0x03, 0x01, 0xFF, 0x55}, 0xE3,
         "Disabling 12V supply"},
        {[](CTestInterface& i) { return i.EnableVpp(true); }, {0xAA, 0x04, 0x01, 0x00, 0x55}, 0xE4,
         "Enabling Vpp supply"},
        {[](CTestInterface& i) { return i.EnableMDx(false); }, {0xAA, 0x05, 0x01, 0xFF, 0x55}, 0xE5,
         "Disabling MDx"},
        {[](CTestInterface& i) { return i.GoTransparent(true); }, {0xAA, 0x08, 0x00, 0x55}, 0xE8,
         "Setting the interface to transparent mode"},
        {[](CTestInterface& i) { return i.SetReset(true); }, {0xAA, 0x0E, 0x00, 0x55}, 0xEE,
         "Taking RESET line low (Reset On)"},
        {[](CTestInterface& i) { return i.SetReset(false); }, {0xAA, 0x0F, 0x00, 0x55}, 0xEF,
         "Taking RESET line high (Reset Off)"},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.comms.Reply({c.answer, 0x00, 0x00});
        EXPECT_TRUE(c.call(f.iface)) << c.text;
        EXPECT_EQ(f.comms.written, c.frame) << c.text;
        EXPECT_EQ(f.host.Texts(skAdvanced), Texts{c.text});
        // Wrong answer code, failed status, silence.
        for (std::initializer_list<int> bad : {std::initializer_list<int>{c.answer + 1, 0, 0},
                                               std::initializer_list<int>{c.answer, 0, 0x01},
                                               std::initializer_list<int>{}}) {
            Fixture g;
            g.comms.Reply(bad);
            EXPECT_FALSE(c.call(g.iface)) << c.text;
        }
    }
}

TEST(GENAdapter, ResponseReadsDataIntoTheBuffer)
{
    Fixture f;
    f.comms.Reply({0xE3, 0x03, 0x10, 0x20, 0x30, 0x00});
    unsigned char buffer[3] = {};
    EXPECT_TRUE(f.iface.Response(buffer, 0xE3));
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x10, 0x20, 0x30}));
    EXPECT_TRUE(f.comms.replies.empty());
}

TEST(GENAdapter, VersionAndMDyNeedNoTraffic)
{
    Fixture f;
    unsigned short version = 0;
    EXPECT_TRUE(f.iface.GetVersion(&version));
    EXPECT_EQ(version, 0x6969);
    EXPECT_TRUE(f.iface.EnableMDy(true));
    EXPECT_TRUE(f.iface.EnableMDy(false));
    EXPECT_TRUE(f.iface.SetupSCIMax());
    EXPECT_TRUE(f.iface.SetupSCIMin());
    EXPECT_TRUE(f.comms.written.empty());
}
