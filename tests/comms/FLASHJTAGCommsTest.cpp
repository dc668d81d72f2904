#include <gtest/gtest.h>

#include <array>
#include <deque>

#include "PtyPeer.h"
#include "TestSupport.h"
#include "comms/FLASHJTAGComms.h"
#include "devicedb/DeviceInfo.h"
#include "operations/SettingsKeys.h"
#include "platform/PrivateProfile.h"

using namespace zftest;
using Word = std::array<unsigned char, 4>;
using Texts = std::vector<std::string>;

namespace {
class CScriptedAdapter : public CScanletBackend
{
public:
    bool IsInstalled() override { return installed; }
    bool OpenPort(CString& error) override
    {
        if (!portFree)
            error = "port busy";
        return portFree;
    }
    void ClosePort() override { calls.push_back("close"); }
    void SetClockInput(unsigned char c, int) override { calls.push_back("clkin " + std::to_string(c)); }
    void SetClockDivider(unsigned char d) override { calls.push_back("cdiv " + std::to_string(d)); }
    void SetOutputsEnabled(bool) override { calls.push_back("toe"); }
    void ResetTestLogic() override { calls.push_back("tms"); }
    int ScanIR(const unsigned char*, unsigned long bits, unsigned char*) override
    {
        calls.push_back("scan " + std::to_string(bits));
        return scanResult;
    }
    int WriteWord(const unsigned char w[4], unsigned long t) override
    {
        written.push_back({w[0], w[1], w[2], w[3]});
        wordTimeouts.push_back(t);
        return writeResult;
    }
    int ReadWord(unsigned char w[4], unsigned long t) override
    {
        wordTimeouts.push_back(t);
        if (words.empty())
            return SCANLET_TIMEOUT;
        std::copy(words.front().begin(), words.front().end(), w);
        words.pop_front();
        return SCANLET_OK;
    }

    bool installed = true;
    bool portFree = true;
    int scanResult = SCANLET_OK;
    int writeResult = SCANLET_OK;
    std::deque<Word> words;
    std::vector<Word> written;
    std::vector<unsigned long> wordTimeouts;
    std::vector<std::string> calls;
};

struct JTAGFixture
{
    JTAGFixture() { SetScanletBackend(adapter); }
    ~JTAGFixture() { SetScanletBackend(nullptr); }
    Texts Shown(eStatusKind kind) const
    {
        Texts out;
        for (const ShownStatus& s : host.shown)
            if (s.kind == kind)
                out.push_back(s.text);
        return out;
    }

    ScopedSettings store;
    RecordingHost host;
    std::shared_ptr<CScriptedAdapter> adapter = std::make_shared<CScriptedAdapter>();
    CFLASHJTAGComms comms;
};
} // namespace

TEST(JTAGOpen, RefusesWithoutAdapterSoftwareOrPort)
{
    JTAGFixture f;
    SetScanletBackend(nullptr); // the default back-end: nothing installed
    EXPECT_FALSE(f.comms.Open());
    EXPECT_EQ(f.Shown(skError), (Texts{"The Quarn Pelto has not been configured.",
                                       "Use the 'Pelto Setup' Control Panel applet to configure Pelto."}));

    SetScanletBackend(f.adapter);
    f.host.shown.clear();
    f.adapter->portFree = false;
    EXPECT_FALSE(f.comms.Open());
    EXPECT_EQ(f.comms.GetStatus(), psClosed);
    EXPECT_EQ(f.Shown(skError), (Texts{"Quarn Pelto : port busy", "Unable to open JTAG comms"}));
}

TEST(JTAGOpen, ConfiguresTheAdapterAndTestsTheConnection)
{
    JTAGFixture f;
    f.store.Write("[FLASHJTAGComms]\nDefault=321\n");
    ASSERT_TRUE(f.comms.Open());
    EXPECT_EQ(f.adapter->calls, (Texts{"clkin 0", "cdiv 2", "toe", "tms", "scan 4"}));
    EXPECT_EQ(f.Shown(skMessage), (Texts{"Successfully opened JTAG Comms"}));
    EXPECT_EQ(f.comms.GetWordTimeout(), 321u);
    EXPECT_STREQ(f.comms.GetPortName(), "Quarn Pelto");
    EXPECT_EQ(f.comms.GetBaudRate(), 0u);

    JTAGFixture g;
    CDeviceInfo info;
    info.m_wJTAGDefaultCLK = 0x1234;
    info.m_wJTAGDefaultTCKDiv = 0x0107;
    g.comms.SetDeviceInfo(&info);
    g.adapter->scanResult = 1999;
    EXPECT_FALSE(g.comms.Open());
    EXPECT_EQ(g.adapter->calls, (Texts{"clkin 52", "cdiv 7", "toe", "tms", "scan 4", "close"}));
    EXPECT_EQ(g.comms.GetStatus(), psClosed);
    // The driver's own report comes before the channel's.
    EXPECT_EQ(g.Shown(skError), (Texts{"Quarn Pelto : adapter error 1999", "SCAN IR Failed!"}));
}

TEST(JTAGWords, CarryBytesWithTheSwapRuleReversed)
{
    JTAGFixture f;
    ASSERT_TRUE(f.comms.Open());
    const unsigned char data[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(f.comms.WriteBytes(data, 2, false));
    EXPECT_TRUE(f.comms.WriteBytes(data, 2, true));
    EXPECT_TRUE(f.comms.WriteBytes(data, 6, false));
    EXPECT_TRUE(f.comms.WriteBytes(data, 3, true));
    EXPECT_EQ(f.adapter->written, (std::vector<Word>{{2, 1, 0, 0}, {1, 2, 0, 0}, {1, 2, 3, 4}, {6, 5, 0, 0},
                                                     {1, 2, 3, 0}}));

    f.adapter->words = {{9, 8, 7, 6}, {5, 4, 0xEE, 0xEE}};
    unsigned char in[7] = {0, 0, 0, 0, 0, 0, 0x77};
    unsigned long got = 0;
    EXPECT_TRUE(f.comms.ReadBytes(in, 6, &got, true));
    EXPECT_EQ(got, 6u);
    EXPECT_EQ((std::vector<unsigned char>(in, in + 7)), (std::vector<unsigned char>{9, 8, 7, 6, 5, 4, 0x77}));
    EXPECT_EQ(f.adapter->wordTimeouts.back(), 500u);

    // A byte wait polls word by word and keeps the first byte of each.
    f.adapter->words = {{0x11, 0, 0, 0}, {0x4B, 0, 0, 0}};
    unsigned char expected = 0x4B;
    EXPECT_FALSE(f.comms.GetTimedResponse(&expected, 1));
    EXPECT_EQ(expected, 0x11);
    expected = 0x4B;
    EXPECT_TRUE(f.comms.GetTimedResponse(&expected, 1));
}

TEST(JTAGWords, FailuresReportAndLeaveTheChannelUsable)
{
    JTAGFixture f;
    unsigned char buf[4] = {};
    EXPECT_FALSE(f.comms.ReadBytes(buf, 4, nullptr, false)); // not open
    EXPECT_FALSE(f.comms.WriteBytes(buf, 4, false));
    EXPECT_NE(f.comms.DoReadMudri(buf), SCANLET_OK);
    ASSERT_TRUE(f.comms.Open());
    f.host.shown.clear();

    unsigned long got = 99;
    EXPECT_FALSE(f.comms.ReadBytes(buf, 4, &got, false));
    EXPECT_EQ(got, 99u);
    EXPECT_TRUE(f.host.shown.empty());
    EXPECT_FALSE(f.comms.ReadBytes(buf, 4, nullptr, false));
    f.adapter->writeResult = SCANLET_TIMEOUT;
    EXPECT_FALSE(f.comms.WriteBytes(buf, 4, false));
    ASSERT_EQ(f.host.shown.size(), 2u);
    EXPECT_EQ(f.host.shown[0].text, "'Quarn Pelto:' read time out");
    EXPECT_EQ(f.host.shown[0].id, 15005);
    EXPECT_EQ(f.host.shown[1].text, "'Quarn Pelto:' write time out");
    EXPECT_EQ(f.host.shown[1].id, 15004);

    f.adapter->writeResult = SCANLET_OK;
    f.adapter->words = {{1, 2, 3, 4}};
    EXPECT_TRUE(f.comms.WriteBytes(buf, 4, false));
    EXPECT_EQ(f.comms.DoReadMudri(buf), SCANLET_OK);
    EXPECT_EQ(buf[3], 4);
}

TEST(JTAGTimeouts, KindsPickTheirKeysAndCloseStoresAllSeven)
{
    JTAGFixture f;
    ASSERT_TRUE(f.comms.Open());
    f.comms.SetTimeouts(ttLong);
    EXPECT_TRUE(f.comms.SetTimeouts(ttStandard));
    EXPECT_EQ(f.comms.GetWordTimeout(), 2000u);
    f.comms.SetTimeouts(ttSuperQuick);
    EXPECT_EQ(f.comms.GetWordTimeout(), 100u);

    EXPECT_TRUE(f.comms.Close());
    EXPECT_EQ(f.comms.GetStatus(), psClosed);
    EXPECT_EQ(f.Shown(skMessage).back(), "JTAG Connection closed");
    for (const SSettingInt* key : {&Settings::JTAGExtraLong, &Settings::JTAGQuick, &Settings::JTAGSuperQuick,
                                   &Settings::JTAGLong, &Settings::JTAGDefault, &Settings::JTAGMudriTimeout,
                                   &Settings::JTAGInternalTimeout})
        EXPECT_EQ(GetPrivateProfileIntA(key->pszSection, key->pszKey, -1, f.store.Path().c_str()), key->nDefault)
            << key->pszKey;
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
    EXPECT_TRUE(f.adapter->written.empty());

    // The remembered settings come back when the link is opened again.
    ASSERT_TRUE(f.comms.UseAlternateComms(false, true));
    ASSERT_TRUE(f.comms.UseAlternateComms(true, true));
    EXPECT_EQ(board.Speed(), B19200);
    f.comms.Close();
    EXPECT_FALSE(f.comms.WriteBytes(data, 2, false)); // routing ended with the adapter closed
}
