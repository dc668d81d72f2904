#include <gtest/gtest.h>

#include <map>
#include <numeric>

#include "FakeComms.h"
#include "interface/FLASHKivuInterface.h"
#include "platform/SettingsKeys.h"

using namespace zftest;

namespace {
// A board behind the fake channel: answers whole frames and keeps its ports.
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
        const int cmd = f[1], port = f.size() > 5 ? f[3] << 8 | f[4] : 0;
        commands.push_back(cmd);
        if (answers.count(cmd))
            comms.Reply(answers[cmd]);
        else if (cmd == 0x0A)
            comms.Reply({0xEA, 1, ports[port], 0});
        else if (cmd == 0x0B)
            ports[port] = f[5], comms.Reply({0xEB, 0, 0});
        else if (cmd == 0x09) // the PC link answers "U", then "Y" to the PC's "W" at the new rate
            waitW = f[3] == 0, comms.Reply(waitW ? Ints{0xE9, 0, 0x55} : Ints{0xE9, 0, 0x56, 0});
        else
            comms.Reply({0xE0 + cmd, 0, 0});
    }
    CFakeComms& comms;
    Bytes frame;
    bool waitW = false;
    std::map<int, int> ports{{0xFE, 1}, {0xFF, 0}, {0xFFE4, 0x80}};
    std::map<int, Ints> answers;
    Ints commands;
};

class CTestKivu : public CFLASHKivuInterface
{
public:
    using CFLASHKivuInterface::CFLASHKivuInterface;
    using CFLASHKivuInterface::m_wFirmwareVersion;
};

// Keeps each multi-byte write with its swap flag and the progress position at the time.
struct CBlockComms : CFakeComms
{
    bool WriteBytes(const unsigned char* p, unsigned long n, bool bSwap) override
    {
        if (n > 1)
            blocks.push_back({Bytes(p, p + n), bSwap, progress()});
        return CFakeComms::WriteBytes(p, n, bSwap);
    }
    std::vector<std::tuple<Bytes, bool, DWORD>> blocks;
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
    void Clear() { comms.written.clear(), board.commands.clear(), host.shown.clear(); }
    ScopedSettings store;
    AnsweringHost host;
    CDeviceInfo info;
    CBlockComms comms;
    CFakeBoard board{comms};
    CTestKivu iface{&comms};
};

} // namespace

TEST(KivuControl, VariantAndModeByte)
{
    KivuFixture f;
    EXPECT_TRUE(f.iface.GetVersion(nullptr) && f.iface.Initialise());
    f.board.ports[0xFE] = 2;
    EXPECT_TRUE(f.iface.GetVersion(nullptr) && f.iface.Initialise() && f.iface.ResetSCI1());
    EXPECT_EQ(f.host.Texts(skMessage), (Texts{"Looking for Tarrow interface...", "Interface found.",
                                              "Looking for Ellund interface...", "Interface found."}));
    EXPECT_EQ(f.board.ports[0xFFE1], 0x2F);

    // The mode byte waits for SCI1 to be ready: 100 more polls, then no write.
    f.Clear();
    f.board.ports[0xFFE4] = 0;
    EXPECT_TRUE(f.iface.GoTransparent(true));
    EXPECT_EQ(f.board.commands.size(), 102u); // 101 status reads and the transparent frame
    EXPECT_EQ(f.host.Texts(skError), (Texts{"PMODE Command failed"}));
}

TEST(KivuControl, AFailingResetStepEndsTheSequence)
{
    KivuFixture f;
    f.board.answers[0x04] = {0xE4, 0x00, 0x01}; // Vpp refused: nothing further is tried
    EXPECT_FALSE(f.iface.ResetTarget(false));
    EXPECT_EQ(f.board.commands.back(), 0x04);
    EXPECT_EQ(f.host.Ids(skError), Ids{15012});
    EXPECT_EQ(f.iface.GetProgress(), 10u);
}

TEST(KivuDownload, BlockModeSendsStoredOrderAndVerifies)
{
    for (unsigned size : {300u, 258u}) {
        KivuFixture f;
        Bytes kernel(size);
        std::iota(kernel.begin(), kernel.end(), 3);
        f.comms.onWrite = nullptr; // the board takes the kernel, echoes it and confirms the erase
        f.comms.Reply({0xE7, 0x04, 0x44});
        f.comms.Reply(Ints(kernel.begin(), kernel.end()));
        f.comms.Reply({0x4B, 0x00});
        ASSERT_TRUE(f.iface.Download(kernel.data(), size)) << size;
        EXPECT_EQ(Bytes(f.comms.written.begin(), f.comms.written.begin() + 8),
                  (Bytes{0xAA, 0x07, 0x04, 0, 0, std::uint8_t(size >> 8), std::uint8_t(size), 0x55}));
        ASSERT_EQ(f.comms.blocks.size(), 3u);
        EXPECT_EQ(std::get<2>(f.comms.blocks[1]), 33u);
        EXPECT_EQ(f.comms.blocks[2], std::tuple(Bytes(kernel.begin() + 256, kernel.end()), false, DWORD{66}));
        EXPECT_EQ(f.host.Texts(skMessage), (Texts{"Downloading  micro-Kernel", "Downloading micro kernel...",
                                                  "Verifying micro kernel...", "micro-Kernel download successful"}));
    }
}

TEST(KivuDownload, SingleByteEchoesAndOptionByte)
{
    KivuFixture f;
    Settings::UseSingleByteWrites.Write(1);
    Bytes kernel(20);
    std::iota(kernel.begin(), kernel.end(), 3);
    f.comms.onWrite = [&](unsigned char b) { // echoes the 7th kernel byte wrong
        if (f.comms.written.size() > 8)
            f.comms.replies.push_back(f.comms.written.size() == 15 ? b ^ 1 : b);
    };
    f.comms.Reply({0xE7, 0x04, 0x44});
    EXPECT_FALSE(f.iface.Download(kernel.data(), 20));
    EXPECT_EQ(f.comms.written.size(), 15u);
    EXPECT_EQ(f.host.Ids(skError), Ids{15009});
    EXPECT_EQ(f.host.Texts(skMessage), Texts{"Downloading  micro-Kernel"});

    // Firmware 3 sends the option byte first; a board not ready for data gets none.
    KivuFixture g;
    g.iface.m_wFirmwareVersion = 0x0300;
    g.info.m_bBOOTModeAutoErase = 1;
    g.board.answers[0x07] = {0xE7, 0x04, 0x00, 0x4B, 0x00};
    EXPECT_TRUE(g.iface.Download(kernel.data(), 20));
    EXPECT_EQ(g.board.ports.at(0xFF7E), 0);
    EXPECT_EQ(g.comms.written.size(), 16u);
}

// The command per firmware and the PC link rates are exercised through the
// virtual board; here only the silent board after the baud command.
TEST(KivuBaud, NoExitSignalIsReported)
{
    KivuFixture f;
    f.comms.Reply({64});
    EXPECT_FALSE(f.iface.ChangeBaud(38400, 9600, nullptr, CFLASHInterface::ctSimpleDivide));
    EXPECT_EQ(f.host.Ids(skError), (Ids{15005, 15051}));
}

TEST(KivuBadAnswers, FailWithTheirReportsAndLeaveTheChannelUsable)
{
    KivuFixture f;
    // Wrong answer code, short frame, nonzero status, silence.
    for (const Ints& bad : {Ints{0xE1, 0, 0}, Ints{0xE0, 2, 1}, Ints{0xE0, 0, 7}, Ints{}}) {
        f.Clear();
        f.board.answers[0x00] = bad;
        EXPECT_FALSE(f.iface.Initialise());
        EXPECT_EQ(f.host.Ids(skError).back(), 15034);
        f.comms.replies.clear();
        f.board.answers.clear();
        EXPECT_TRUE(f.iface.Initialise());
    }
    EXPECT_EQ(f.host.Ids(skError), (Ids{15005, 15034})); // silence shows the channel's time-out too

    // A target whose boot erase failed; the waits stay within "EraseTimeout".
    f.board.answers[0x06] = {0xE6, 1, 0xB3, 0xFF};
    unsigned char code = 0;
    EXPECT_FALSE(f.iface.BootSCI(&code));
    EXPECT_EQ(f.host.Ids(skError).back(), 15031);
    EXPECT_EQ(f.comms.waits, (Ints{30, 30}));
}
