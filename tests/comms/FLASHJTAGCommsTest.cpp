#include <gtest/gtest.h>

#include <array>

#include "PtyPeer.h"
#include "comms/FLASHJTAGComms.h"
#include "interface/FakeComms.h"
#include "platform/PrivateProfile.h"
#include "platform/SettingsKeys.h"

using namespace zftest;
using Word = std::array<unsigned char, 4>;

namespace {
class CScriptedAdapter : public CScanletBackend
{
public:
    bool IsInstalled() override { return true; }
    bool OpenPort(CString& error) override
    {
        error = portFree ? "" : "port busy";
        return portFree;
    }
    void ClosePort() override { calls.push_back("close"); }
    void SetClockInput(unsigned char c, int) override { calls.push_back("clkin " + std::to_string(c)); }
    void SetClockDivider(unsigned char d) override { calls.push_back("cdiv " + std::to_string(d)); }
    void SetOutputsEnabled(bool) override { calls.push_back("toe"); }
    void ResetTestLogic() override { calls.push_back("tms"); }
    int ScanIR(const unsigned char*, unsigned long n, unsigned char*) override
    {
        calls.push_back("scan " + std::to_string(n));
        return scanResult;
    }
    int WriteWord(const unsigned char w[4], unsigned long) override
    {
        written.push_back({w[0], w[1], w[2], w[3]});
        return writeResult;
    }
    int ReadWord(unsigned char w[4], unsigned long t) override
    {
        lastTimeout = t;
        if (words.empty())
            return SCANLET_TIMEOUT;
        std::copy(words.front().begin(), words.front().end(), w);
        words.pop_front();
        return SCANLET_OK;
    }

    bool portFree = true;
    int scanResult = SCANLET_OK, writeResult = SCANLET_OK;
    unsigned long lastTimeout = 0;
    std::deque<Word> words;
    std::vector<Word> written;
    Texts calls;
};

struct JTAGFixture
{
    JTAGFixture() { SetScanletBackend(adapter); }
    ~JTAGFixture() { SetScanletBackend(nullptr); }
    ScopedSettings store;
    AnsweringHost host;
    std::shared_ptr<CScriptedAdapter> adapter = std::make_shared<CScriptedAdapter>();
    CFLASHJTAGComms comms;
};
} // namespace

TEST(JTAGOpen, RefusalsConfigurationAndConnectionTest)
{
    JTAGFixture f;
    SetScanletBackend(nullptr); // the default back-end: nothing installed
    EXPECT_FALSE(f.comms.Open());
    EXPECT_EQ(f.host.Texts(skError), (Texts{"The Quarn Pelto has not been configured.",
                                       "Use the 'Pelto Setup' Control Panel applet to configure Pelto."}));

    SetScanletBackend(f.adapter);
    f.host.shown.clear();
    f.adapter->portFree = false;
    EXPECT_FALSE(f.comms.Open());
    EXPECT_EQ(f.host.Texts(skError), (Texts{"Quarn Pelto : port busy", "Unable to open JTAG comms"}));

    f.adapter->portFree = true;
    f.store.Write("[FLASHJTAGComms]\nDefault=321\n");
    ASSERT_TRUE(f.comms.Open());
    EXPECT_EQ(f.adapter->calls, (Texts{"clkin 0", "cdiv 2", "toe", "tms", "scan 4"}));
    EXPECT_EQ(f.host.Texts(skMessage), (Texts{"Successfully opened JTAG Comms"}));
    EXPECT_EQ(f.comms.GetWordTimeout(), 321u);

    JTAGFixture g;
    CDeviceInfo info;
    info.m_wJTAGDefaultCLK = 0x1234;
    info.m_wJTAGDefaultTCKDiv = 0x0107;
    g.comms.SetDeviceInfo(&info);
    g.adapter->scanResult = 1999;
    EXPECT_FALSE(g.comms.Open());
    EXPECT_EQ(g.adapter->calls, (Texts{"clkin 52", "cdiv 7", "toe", "tms", "scan 4", "close"}));
    // The driver's own report comes before the channel's.
    EXPECT_EQ(g.host.Texts(skError), (Texts{"Quarn Pelto : adapter error 1999", "SCAN IR Failed!"}));
}

TEST(JTAGWords, SwapRuleReversedFailuresAndTimeoutKeys)
{
    JTAGFixture f;
    ASSERT_TRUE(f.comms.Open());
    const unsigned char data[6] = {1, 2, 3, 4, 5, 6};
    for (auto [count, swap] : {std::pair{2ul, false}, {2ul, true}, {6ul, false}, {3ul, true}})
        EXPECT_TRUE(f.comms.WriteBytes(data, count, swap));
    EXPECT_EQ(f.adapter->written, (std::vector<Word>{{2, 1, 0, 0}, {1, 2, 0, 0}, {1, 2, 3, 4}, {6, 5, 0, 0},
                                                     {1, 2, 3, 0}}));

    f.adapter->words = {{9, 8, 7, 6}, {5, 4, 0xEE, 0xEE}};
    unsigned char in[7] = {0, 0, 0, 0, 0, 0, 0x77};
    unsigned long got = 0;
    EXPECT_TRUE(f.comms.ReadBytes(in, 6, &got, true));
    EXPECT_EQ(got, 6u);
    EXPECT_EQ((std::vector<unsigned char>(in, in + 7)), (std::vector<unsigned char>{9, 8, 7, 6, 5, 4, 0x77}));
    EXPECT_EQ(f.adapter->lastTimeout, 500u);

    // Failures report, a quiet poll does not, and the channel goes on working.
    unsigned char buf[4] = {};
    f.host.shown.clear();
    EXPECT_FALSE(f.comms.ReadBytes(buf, 4, &got, false)); // a quiet poll
    EXPECT_FALSE(f.comms.ReadBytes(buf, 4, nullptr, false));
    f.adapter->writeResult = SCANLET_TIMEOUT;
    EXPECT_FALSE(f.comms.WriteBytes(buf, 4, false));
    EXPECT_EQ(f.host.Texts(skError), (Texts{"'Quarn Pelto:' read time out", "'Quarn Pelto:' write time out"}));
    EXPECT_EQ(f.host.Ids(skError), (std::vector<WORD>{15005, 15004}));
    f.adapter->words = {{1, 2, 3, 4}};
    EXPECT_EQ(f.comms.DoReadMudri(buf), SCANLET_OK);

    // Time-out kinds pick their keys, and closing stores all seven.
    EXPECT_TRUE(f.comms.SetTimeouts(ttLong) && f.comms.SetTimeouts(ttStandard));
    EXPECT_EQ(f.comms.GetWordTimeout(), 2000u);

    EXPECT_TRUE(f.comms.Close());
    EXPECT_EQ(f.host.Texts(skMessage).back(), "JTAG Connection closed");
    for (const SSettingInt* key : {&Settings::JTAGExtraLong, &Settings::JTAGQuick, &Settings::JTAGSuperQuick,
                                   &Settings::JTAGLong, &Settings::JTAGDefault, &Settings::JTAGMudriTimeout,
                                   &Settings::JTAGInternalTimeout})
        EXPECT_EQ(GetPrivateProfileIntA(key->pszSection, key->pszKey, -1, f.store.Path().c_str()), key->nDefault);
}

TEST(JTAGRouting, TrafficAndSettingsGoToTheBoardLink)
{
    JTAGFixture f;
    CPtyPeer board;
    f.store.Write("[FLASHJTAGComms]\nKivuSerial=" + board.Path() + "\n");
    ASSERT_TRUE(f.comms.Open());
    ASSERT_TRUE(f.comms.UseAlternateComms(true, true));
    EXPECT_TRUE(f.comms.Settings("19200,n,8,1"));
    const unsigned char data[2] = {0xA1, 0xB2};
    EXPECT_TRUE(f.comms.WriteBytes(data, 2, false)); // the serial rule: no swap, buffer order
    EXPECT_EQ(board.Receive(2), (std::vector<unsigned char>{0xA1, 0xB2}));

    // The remembered settings come back when the link is opened again.
    ASSERT_TRUE(f.comms.UseAlternateComms(false, true));
    ASSERT_TRUE(f.comms.UseAlternateComms(true, true));
    EXPECT_EQ(board.OutputRate(), 19200u);
}
