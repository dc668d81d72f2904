#include <gtest/gtest.h>

#include <numeric>

#include "FakeComms.h"

using namespace zftest;

namespace {
// A boot program that matches only at bootRate and answers 0x55 with the given bytes.
void BootTarget(CFakeComms& comms, unsigned long bootRate, std::vector<int> answer)
{
    comms.onWrite = [&comms, bootRate, answer](unsigned char b) {
        if (b == 0x00 && comms.rate == bootRate)
            comms.replies.push_back(0x00);
        else if (b == 0x55)
            comms.replies.insert(comms.replies.end(), answer.begin(), answer.end());
    };
}
} // namespace

TEST(GENBootSCI, TriesTheRatesInTurn)
{
    CInterfaceFixture f;
    f.iface.m_dwHighestBootRate = 2400;
    BootTarget(f.comms, 1200, {0xAA});
    unsigned char code = 0;
    EXPECT_TRUE(f.iface.BootSCI(&code));
    EXPECT_EQ(code, 0xB0);
    EXPECT_EQ(f.host.Texts(skAdvanced), (Texts{"Skipping 9600", "Skipping 4800", "Attempting 2400", "Attempting 1200"}));
    EXPECT_EQ(f.comms.settings, (Texts{"9600, n, 8, 1", "4800, n, 8, 1", "2400, n, 8, 1", "1200, n, 8, 1"}));
    // 100 zeros at 2400, one at 1200, then the acknowledge request.
    EXPECT_EQ(f.comms.written.size(), 102u);
    EXPECT_EQ(f.comms.written.back(), 0x55);

    // The code for each rate is checked against the virtual target.
    CInterfaceFixture g;
    BootTarget(g.comms, 9600, {0xAA});
    EXPECT_TRUE(g.iface.BootSCI(&code));
    EXPECT_EQ(g.iface.m_dwHighestBootRate, 9600u); // 0 stands for 9600 and is stored
}

TEST(GENBootSCI, SilenceAndCancel)
{
    CInterfaceFixture f;
    unsigned char code = 0x77;
    EXPECT_FALSE(f.iface.BootSCI(&code));
    EXPECT_EQ(code, 0x77);
    EXPECT_EQ(f.comms.written, Bytes(400, 0x00));
    EXPECT_EQ(std::count(f.comms.timeouts.begin(), f.comms.timeouts.end(), ttSuperQuick), 4);
    EXPECT_EQ(f.comms.timeouts.back(), ttDefault);

    // A cancel during the search: true with code 0.
    CInterfaceFixture g;
    g.comms.onWrite = [&](unsigned char) {
        if (g.comms.written.size() == 5)
            g.iface.Cancel();
    };
    EXPECT_TRUE(g.iface.BootSCI(&code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(g.comms.written.size(), 5u);
}

TEST(GENZeroTransmission, AcknowledgeAndEraseWait)
{
    const int S = CFakeComms::kGap;
    const std::string kIgnore = "Device did not send Zentra acknowledge byte, ignore?";
    const std::string kWait = "The device has not confirmed its erasure, would you like to keep waiting?";
    const std::string kOdd = "The device sent an unrecognised response, (0x3c).\nWhat would you like to do";
    const struct
    {
        bool autoErase;
        std::vector<int> answer; // to 0x55, then to the erase waits
        std::deque<eQueryType> answers;
        bool result;
        Texts questions;
        Texts warnings;
    } cases[] = {
        {false, {0xAA}, {}, true, {}, {}},
        {false, {0xFF}, {}, false, {}, {"Device failed to erase"}},
        {false, {0x42}, {}, false, {}, {}},
        {false, {S}, {qtYes}, true, {kIgnore}, {}},
        {false, {S}, {qtNo}, false, {kIgnore}, {}},
        {true, {S, S, 0xAA}, {qtYes}, true, {kWait}, {}},
        {true, {S, S}, {qtNo}, false, {kWait}, {}},
        {true, {S, 0xFF}, {}, false, {}, {"Device failed to erase"}},
        {true, {S, 0x3C, 0x0A}, {qtRetry, qtIgnore}, true,
         {kOdd, "The device sent an unrecognised response, (0x0a).\nWhat would you like to do"}, {}},
        {true, {S, 0x3C}, {qtAbort}, false, {kOdd}, {}},
    };
    for (const auto& c : cases) {
        CInterfaceFixture f;
        f.settingsStore.Write("[Serial]\nEraseTimeout=7\n");
        f.info.m_bBOOTModeAutoErase = c.autoErase;
        BootTarget(f.comms, 9600, c.answer);
        f.host.answers = c.answers;
        EXPECT_EQ(f.iface.ZeroTransmission(), c.result) << c.answer.size();
        EXPECT_EQ(f.host.Questions(), c.questions);
        EXPECT_EQ(f.host.Texts(skWarning), c.warnings);
        EXPECT_EQ(f.comms.written, (Bytes{0x00, 0x55}));
        EXPECT_EQ(f.comms.timeouts.front(), ttSuperQuick);
        if (c.autoErase) {
            EXPECT_EQ(f.comms.waits, std::vector<int>(c.answer.size() - 1, 7));
            EXPECT_EQ(f.iface.GetProgressString(), "Device is erasing...");
        }
    }
}

TEST(GENDownload, EchoedBytesAndTheirFailures)
{
    {
        CInterfaceFixture f;
        f.comms.Echo();
        Bytes kernel(0x0123);
        std::iota(kernel.begin(), kernel.end(), 1);
        EXPECT_TRUE(f.iface.Download(kernel.data(), 0x0123));
        EXPECT_EQ(Bytes(f.comms.written.begin(), f.comms.written.begin() + 2), (Bytes{0x01, 0x23}));
        EXPECT_EQ(Bytes(f.comms.written.begin() + 2, f.comms.written.end()), kernel);
        EXPECT_EQ(f.iface.GetProgress().load(), 0x122u * 100 / 0x123);
        EXPECT_EQ(f.host.Texts(skMessage), Texts{"micro-Kernel download successful"});
    }
    const int S = CFakeComms::kGap;
    const struct
    {
        std::vector<int> echo;
        unsigned size;
        std::size_t written;
        std::vector<WORD> errors;
    } failures[] = {
        {{0x00, 0x03, 0x11, 0x4B}, 3, 4, {15009}},     // a damaged code byte ends the download there
        {{0x00, 0x03, 0x11, S}, 3, 4, {15005, 15009}}, // a lost one after the channel's time-out
        {{0x00, 0x02}, 3, 2, {}},                      // a size byte not echoed: false at once
        {{}, 0x10000, 0, {0}},                         // too long for the 16-bit size: refused, nothing sent
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(&c - failures);
        CInterfaceFixture f;
        f.comms.Reply(c.echo);
        Bytes kernel(c.size, 0x11);
        EXPECT_FALSE(f.iface.Download(kernel.data(), c.size));
        EXPECT_EQ(f.comms.written.size(), c.written);
        EXPECT_EQ(f.host.Ids(skError), c.errors);
    }
    // A cancel between bytes ends the download with true and no report.
    CInterfaceFixture f;
    f.comms.onWrite = [&](unsigned char b) {
        f.comms.replies.push_back(b);
        if (f.comms.written.size() == 10)
            f.iface.Cancel();
    };
    Bytes kernel(100, 0x5A);
    EXPECT_TRUE(f.iface.Download(kernel.data(), 100));
    EXPECT_EQ(f.comms.written.size(), 10u);
    EXPECT_TRUE(f.host.shown.empty());
}

TEST(GENDownload, AutomaticEraseAfterTheKernel)
{
    const std::pair<int, const char*> outcomes[] = {
        {0xAA, nullptr},
        {CFakeComms::kGap, "The device has not confirmed its erasure"},
        {0xFF, "Device failed to erase"},
        {0x31, "The device sent an unrecognised response, (0x31)"},
    };
    for (auto [answer, error] : outcomes) {
        CInterfaceFixture f;
        f.info.m_bBOOTModeAutoErase = 1;
        Bytes kernel{1, 2, 3};
        f.comms.Reply({0x00, 0x03, 1, 2, 3, answer});
        EXPECT_EQ(f.iface.Download(kernel.data(), 3), error == nullptr);
        EXPECT_EQ(f.comms.waits, std::vector<int>{30});
        EXPECT_EQ(f.host.Texts(skError).empty() ? "" : f.host.Texts(skError).back(), error ? error : "");
    }
}

// The command, BRR and link check of a rate change are exercised against the
// virtual target; rate code 9 is the link check without a rate change.
TEST(GENChangeBaud, RateCodeNineOnlyChecksTheLink)
{
    CInterfaceFixture h;
    h.comms.Echo();
    unsigned char params[4] = {0, 9, 1, 0};
    EXPECT_TRUE(h.iface.SetupSCI(params, nullptr));
    EXPECT_TRUE(h.comms.settings.empty());
    EXPECT_EQ(h.comms.written, (Bytes{1, 2, 3, 4}));
}

TEST(GENChangeBaud, ProtocolBConfirmation)
{
    for (int confirm : {0x06, 0x15}) {
        CInterfaceFixture f;
        f.comms.Reply({0x06, confirm});
        unsigned char work[4] = {};
        EXPECT_EQ(f.iface.ChangeBaud_ProtocolB(115200, 0xB3, work, ctRivFormula, 2000.0f, 2, 1), confirm == 0x06);
        EXPECT_EQ(f.comms.written, (Bytes{0x3F, 0x07, 0x04, 0x80, 0x07, 0xD0, 0x02, 0x01, 0x02, 0x5A, 0x06}));
        EXPECT_EQ(f.comms.settings, Texts{"115200,n,8,1"});
        EXPECT_EQ(f.host.Texts(skAdvanced), Texts{confirm == 0x06 ? "Set baud rate value = 115200"
                                                                  : "Unable to set baud rate value = 115200"});
    }
}

TEST(GENAdapter, FramesAndAnswers)
{
    const struct
    {
        bool (CFLASHGENInterface::*call)(bool);
        bool on;
        Bytes frame;
        int answer;
        const char* text;
    } cases[] = {
        {&CFLASHGENInterface::Enable12V, true, {0xAA, 0x03, 0x01, 0x00, 0x55}, 0xE3, "Enabling 12V supply"},
        {&CFLASHGENInterface::EnableVpp, false, {0xAA, 0x04, 0x01, 0xFF, 0x55}, 0xE4, "Disabling Vpp supply"},
        {&CFLASHGENInterface::EnableMDx, true, {0xAA, 0x05, 0x01, 0x00, 0x55}, 0xE5, "Enabling MDx"},
        {&CFLASHGENInterface::GoTransparent, true, {0xAA, 0x08, 0x00, 0x55}, 0xE8,
         "Setting the interface to transparent mode"},
        {&CFLASHGENInterface::SetReset, false, {0xAA, 0x0F, 0x00, 0x55}, 0xEF, "Taking RESET line high (Reset Off)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CInterfaceFixture f;
        f.comms.Reply({c.answer, 0x00, 0x00});
        EXPECT_TRUE((f.iface.*c.call)(c.on));
        EXPECT_EQ(f.comms.written, c.frame);
        EXPECT_EQ(f.host.Texts(skAdvanced), Texts{c.text});
        for (const std::vector<int>& bad : {std::vector<int>{c.answer + 1, 0, 0}, {c.answer, 0, 1}, {}}) {
            CInterfaceFixture g;
            g.comms.Reply(bad);
            EXPECT_FALSE((g.iface.*c.call)(c.on));
        }
    }
    // Answer data goes to the caller's buffer.
    CInterfaceFixture f;
    f.comms.Reply({0xE3, 0x02, 0x10, 0x20, 0x00});
    unsigned char buffer[2] = {};
    EXPECT_TRUE(f.iface.Response(buffer, 0xE3));
    EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0x10, 0x20}));
}
