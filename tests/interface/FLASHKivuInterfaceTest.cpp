#include <gtest/gtest.h>

#include <map>

#include "FakeComms.h"
#include "interface/FLASHKivuInterface.h"
#include "operations/SettingsKeys.h"

using namespace zftest;
using Bytes = std::vector<unsigned char>;
using Texts = std::vector<std::string>;

namespace {
// A board behind the fake channel that answers whole frames from its ports.
struct CFakeBoard
{
    explicit CFakeBoard(CFakeComms& c) : comms(c) { c.onWrite = [this](unsigned char b) { OnByte(b); }; }
    void OnByte(unsigned char b)
    {
        if (std::exchange(waitW, false) && b == 0x57)
            return comms.Reply({0x59, 0x00});
        frame.push_back(b);
        if (frame[0] != 0xAA)
            frame.clear();
        else if (frame.size() >= 4 && frame.size() == 4u + frame[2])
            Answer(std::exchange(frame, {}));
    }
    void Answer(const Bytes& f)
    {
        const int cmd = f[1];
        const unsigned short port = static_cast<unsigned short>(f.size() > 4 ? f[3] << 8 | f[4] : 0);
        commands.push_back(cmd);
        if (answers.count(cmd))
            comms.Reply(answers[cmd]);
        else if (cmd == 0x0A)
            comms.Reply({0xEA, 1, ports[port], 0});
        else if (cmd == 0x0B)
            portWrites.push_back({port, ports[port] = f[5]}), comms.Reply({0xEB, 0, 0});
        else if (cmd == 0x09 && f[3] == 0)
            waitW = true, comms.Reply({0xE9, 0, 0x55});
        else if (cmd == 0x09)
            comms.Reply({0xE9, 0, 0x56, 0});
        else
            comms.Reply({0xE0 + cmd, 0, 0});
    }
    CFakeComms& comms;
    Bytes frame;
    bool waitW = false;
    std::map<unsigned short, int> ports{{0xFE, 1}, {0xFF, 0}, {0xFFE4, 0x80}};
    std::map<int, std::vector<int>> answers;
    std::vector<int> commands;
    std::vector<std::pair<int, int>> portWrites;
};

class CTestKivu : public CFLASHKivuInterface
{
public:
    using CFLASHKivuInterface::CFLASHKivuInterface;
    using CFLASHKivuInterface::m_wFirmwareVersion;
};

// Records the progress position at every message and every multi-byte write.
struct CProgressComms : CFakeComms
{
    bool WriteBytes(const unsigned char* p, unsigned long n, bool bSwap) override
    {
        if (n > 1)
            blocks.push_back({Bytes(p, p + n), bSwap, progress()});
        return CFakeComms::WriteBytes(p, n, bSwap);
    }
    struct Block { Bytes bytes; bool swap; DWORD progress; };
    std::vector<Block> blocks;
    std::function<DWORD()> progress;
};

struct KivuFixture
{
    KivuFixture()
    {
        iface.SetAdvancedUser(true);
        iface.SetDeviceInfo(&info);
        comms.progress = [this] { return iface.GetProgress().load(); };
    }
    void Clear() { comms.written.clear(), board.commands.clear(), board.portWrites.clear(), host.shown.clear(); }
    ScopedSettings store;
    AnsweringHost host;
    CDeviceInfo info;
    CProgressComms comms;
    CFakeBoard board{comms};
    CTestKivu iface{&comms};
};

Bytes Kernel(unsigned n)
{
    Bytes k(n);
    for (unsigned i = 0; i < n; ++i)
        k[i] = static_cast<unsigned char>(i * 7 + 3);
    return k;
}

// A board that takes the kernel, echoes it and confirms the erase.
void ScriptDownload(KivuFixture& f, const Bytes& kernel)
{
    f.comms.onWrite = nullptr;
    f.comms.Reply({0xE7, 0x04, 0x44});
    f.comms.Reply(std::vector<int>(kernel.begin(), kernel.end()));
    f.comms.Reply({0x4B, 0x00});
}
} // namespace

TEST(KivuControl, VersionVariantAndPortWrites)
{
    KivuFixture f;
    unsigned short version = 0;
    EXPECT_TRUE(f.iface.GetVersion(&version) && f.iface.Initialise());
    EXPECT_EQ(version, 0x0100);
    f.board.ports[0xFE] = 2;
    f.board.ports[0xFF] = 5;
    EXPECT_TRUE(f.iface.GetVersion(&version) && f.iface.Initialise() && f.iface.ResetSCI1());
    EXPECT_EQ(version, 0x0205);
    EXPECT_EQ(f.host.Texts(skMessage), (Texts{"Looking for Tarrow interface...", "Interface found.",
                                              "Looking for Ellund interface...", "Interface found."}));
    EXPECT_EQ(f.board.portWrites, (std::vector<std::pair<int, int>>{{0xFFE1, 0x2F}}));

    f.Clear();
    EXPECT_TRUE(f.iface.EnableMDy(true) && f.iface.EnableMDy(false));
    EXPECT_EQ(f.comms.written, (Bytes{0xAA, 0x0B, 0x04, 0xFF, 0xB3, 0xDF, 0x01, 0x55,
                                      0xAA, 0x0B, 0x04, 0xFF, 0xB3, 0x20, 0x02, 0x55}));

    // The mode byte waits for SCI1 to be ready: 100 more polls, then no write.
    f.Clear();
    f.board.ports[0xFFE4] = 0;
    EXPECT_TRUE(f.iface.GoTransparent(true));
    std::vector<int> polls(101, 0x0A);
    polls.push_back(0x08);
    EXPECT_EQ(f.board.commands, polls);
    EXPECT_EQ(f.host.Texts(skError), (Texts{"PMODE Command failed"}));
    f.board.ports[0xFFE4] = 0x81;
    f.Clear();
    EXPECT_TRUE(f.iface.RunPMODECommand());
    EXPECT_EQ(f.board.portWrites, (std::vector<std::pair<int, int>>{{0xFFE3, 0x55}, {0xFFE4, 0x01}}));
}

TEST(KivuControl, ResetSequenceFullPartialAndFailing)
{
    KivuFixture f;
    EXPECT_TRUE(f.iface.ResetTarget(false));
    EXPECT_EQ(f.board.commands, (std::vector<int>{0x0A, 0x0A, 0x0A, 0x0A, 0x09, 0x0E, 0x03, 0x04, 0x05, 0x0B, 0x0B,
                                                  0x02, 0x0F, 0x00}));
    EXPECT_EQ(f.iface.GetProgress(), 10u);
    EXPECT_EQ(f.comms.settings.back(), "9600, n, 8, 1");

    f.Clear();
    Settings::VppBefore12V.Write(1);
    EXPECT_TRUE(f.iface.ResetTarget(true));
    EXPECT_EQ(f.board.commands, (std::vector<int>{0x0A, 0x0A, 0x0A, 0x0A, 0x09, 0x0E, 0x04, 0x03, 0x0B, 0x0F, 0x00}));

    f.Clear();
    f.board.answers[0x04] = {0xE4, 0x00, 0x01}; // Vpp refused
    EXPECT_FALSE(f.iface.ResetTarget(false));
    EXPECT_EQ(f.board.commands.back(), 0x04);
    EXPECT_EQ(f.host.Ids(skError), (std::vector<WORD>{15012}));
    EXPECT_EQ(f.iface.GetProgress(), 10u);
}

TEST(KivuDownload, BlockModeSendsStoredOrderAndVerifies)
{
    for (unsigned size : {300u, 258u}) {
        KivuFixture f;
        const Bytes kernel = Kernel(size);
        ScriptDownload(f, kernel);
        f.host.shown.clear();
        ASSERT_TRUE(f.iface.Download(Bytes(kernel).data(), size)) << size;
        EXPECT_EQ(Bytes(f.comms.written.begin(), f.comms.written.begin() + 8),
                  (Bytes{0xAA, 0x07, 0x04, 0x00, 0x00, static_cast<unsigned char>(size >> 8),
                         static_cast<unsigned char>(size), 0x55}));
        ASSERT_EQ(f.comms.blocks.size(), 3u);
        EXPECT_EQ(f.comms.blocks[0].progress, 0u);
        EXPECT_EQ(f.comms.blocks[1].progress, 33u);
        EXPECT_EQ(f.comms.blocks[2].progress, 66u);
        EXPECT_EQ(f.comms.blocks[2].bytes, Bytes(kernel.begin() + 256, kernel.end()));
        EXPECT_FALSE(f.comms.blocks[2].swap);
        EXPECT_EQ(f.host.Texts(skMessage), (Texts{"Downloading  micro-Kernel", "Downloading micro kernel...",
                                                  "Verifying micro kernel...", "micro-Kernel download successful"}));
    }
}

TEST(KivuDownload, SingleByteEchoesAndFailures)
{
    KivuFixture f;
    Settings::UseSingleByteWrites.Write(1);
    Bytes kernel = Kernel(20);
    f.comms.onWrite = [&](unsigned char b) {
        if (f.comms.written.size() > 8)
            f.comms.replies.push_back(f.comms.written.size() == 8 + 7 ? b ^ 1 : b);
    };
    f.comms.Reply({0xE7, 0x04, 0x44});
    EXPECT_FALSE(f.iface.Download(kernel.data(), 20));
    EXPECT_EQ(f.comms.written.size(), 8u + 7u); // stopped at the first bad echo
    EXPECT_EQ(f.host.Ids(skError), (std::vector<WORD>{15009}));
    EXPECT_TRUE(f.host.Texts(skMessage) == Texts{"Downloading  micro-Kernel"});

    // Firmware 3 sends the option byte first; a board not ready for data gets none.
    for (auto [autoErase, option] : {std::pair{1, 0}, {0, 1}}) {
        KivuFixture g;
        g.iface.m_wFirmwareVersion = 0x0300;
        g.info.m_bBOOTModeAutoErase = autoErase;
        g.board.answers[0x07] = {0xE7, 0x04, 0x00, 0x4B, 0x00};
        EXPECT_TRUE(g.iface.Download(kernel.data(), 20));
        EXPECT_EQ(g.board.portWrites, (std::vector<std::pair<int, int>>{{0xFF7E, option}}));
        EXPECT_EQ(g.comms.written.size(), 8u + 8u);
        g.Clear();
        g.iface.m_wFirmwareVersion = 0x0250;
        g.board.answers[0x07] = {0xE7, 0x04, 0x00, 0x4C};
        EXPECT_FALSE(g.iface.Download(kernel.data(), 20));
        EXPECT_EQ(g.board.commands, std::vector<int>{0x07});
        EXPECT_EQ(g.host.Ids(skError), (std::vector<WORD>{15031}));
    }
}

TEST(KivuBaud, FirmwareChoosesCommandAndRates)
{
    for (auto [firmware, command] : {std::pair{0x0105, 0x09}, {0x0200, 0x04}}) {
        KivuFixture f;
        f.iface.m_wFirmwareVersion = static_cast<unsigned short>(firmware);
        f.comms.Reply({64, 0x66}); // the micro-kernel's BRR, then the board leaving transparent mode
        unsigned char work[4] = {};
        EXPECT_TRUE(f.iface.ChangeBaud(38400, 9600, work, CFLASHInterface::ctSimpleDivide));
        EXPECT_EQ(Bytes(f.comms.written.begin(), f.comms.written.begin() + 3), 
                  (Bytes{0x55, static_cast<unsigned char>(command), 16}));
        EXPECT_EQ(f.board.commands, (std::vector<int>{0x09, 0x09}));
        EXPECT_EQ(f.comms.settings, Texts{"38400,n,8,1"});
    }
    KivuFixture f;
    f.comms.Reply({64});
    EXPECT_FALSE(f.iface.ChangeBaud(38400, 9600, nullptr, CFLASHInterface::ctSimpleDivide));
    EXPECT_EQ(f.host.Ids(skError), (std::vector<WORD>{15005, 15051}));

    for (auto [major, rate] : {std::pair{1, "38400"}, {2, "115200"}}) {
        KivuFixture g;
        g.board.ports[0xFE] = major;
        EXPECT_TRUE(g.iface.SetupSCIMax());
        EXPECT_EQ(g.comms.settings, (Texts{"9600,n,8,1", rate + std::string(",n,8,1"), rate + std::string(", n, 8, 1")}));
    }
}

TEST(KivuBadAnswers, FailWithTheirReportsAndLeaveTheChannelUsable)
{
    KivuFixture f;
    f.comms.onWrite = nullptr;
    for (const std::vector<int>& bad : {std::vector<int>{0xE1, 0, 0}, {0xE0, 2, 1}, {0xE0, 0, 7}, {}}) {
        f.Clear();
        f.comms.replies.assign(bad.begin(), bad.end());
        EXPECT_FALSE(f.iface.Initialise());
        EXPECT_EQ(f.host.Ids(skError).back(), 15034);
        f.comms.replies = {0xE0, 0, 0};
        EXPECT_TRUE(f.iface.Initialise());
    }
    EXPECT_EQ(f.host.Ids(skError), (std::vector<WORD>{15005, 15034})); // silence shows the channel's time-out too

    CFakeBoard board(f.comms);
    board.answers[0x09] = {0x88};
    f.Clear();
    EXPECT_FALSE(f.iface.SetupSCIMin());
    EXPECT_EQ(f.host.Texts(skAdvanced), Texts{"Reset detected"});
    EXPECT_EQ(f.host.Ids(skError), (std::vector<WORD>{15040}));
    board.answers[0x09] = {0xE9, 0, 0x54};
    EXPECT_FALSE(f.iface.SetupSCIMin());
    EXPECT_EQ(f.host.Ids(skError).back(), 15041);

    // The board boots the target: erase failure, silence, success; waits bounded by "EraseTimeout".
    for (auto [answer, id] : {std::pair{std::vector<int>{0xE6, 1, 0xB3, 0xFF}, 15031}, {std::vector<int>{}, 15047}}) {
        board.answers[0x06] = answer;
        f.Clear();
        unsigned char code = 0;
        EXPECT_FALSE(f.iface.BootSCI(&code));
        EXPECT_EQ(f.host.Ids(skError).back(), id);
    }
    board.answers[0x06] = {0xE6, 1, 0xB3, 0x00};
    unsigned char code = 0;
    EXPECT_TRUE(f.iface.BootSCI(&code));
    EXPECT_EQ(code, 0xB3);
    for (int wait : f.comms.timedWaits)
        EXPECT_TRUE(wait >= 1 && wait <= 30) << wait;
}
