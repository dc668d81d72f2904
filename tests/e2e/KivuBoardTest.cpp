// The board interface against the virtual Kivu board and chip over a real
// pty: pins and supplies, the reset sequence, the BOOT road through the board
// with each firmware (boot, micro-kernel, baud change in transparent mode) and
// the board's faults.
#include <gtest/gtest.h>

#include <cstdio>

#include "TargetSession.h"
#include "interface/FLASHKivuInterface.h"

using namespace zftest;

namespace {

class CBoardSession : public CTargetSession<CFLASHKivuInterface>
{
public:
    CBoardSession()
    {
        settings.Write("[Serial]\nEraseTimeout=2\n[Quarn Kivu]\nVppBefore12V=1\n");
        iface.SetAdvancedUser(true);
    }
    ~CBoardSession()
    {
        if (::testing::Test::HasFailure() && target.GetBoard()) // both sides of the board, for the reader
            std::fprintf(stderr, "%s\n%s\n", target.GetBoard()->GetTranscript().FormatText("board").GetString(),
                         target.GetTranscript().FormatText("chip").GetString());
    }

    ::testing::AssertionResult Start(CSimOverrides overrides = {}, const std::string& file = "ZT31F256.ini")
    {
        overrides.insert(overrides.begin(), {"Kivu Board", "1"});
        return CTargetSession::Start(file, overrides);
    }

    CSimKivuBoard& Board() { return *target.GetBoard(); }

    // Pins for BOOT mode and the chip's boot program reached, as the BOOT
    // connection through the board does it.
    bool BootMode()
    {
        return iface.SetupSCIMax() && iface.Reset() && iface.SetReset(true) && iface.Enable12V(true) &&
               iface.EnableVpp(true) && iface.EnableMDx(true) && iface.EnableMDy(true) && iface.SetReset(false) &&
               target.WaitForState(ssBootProgram, 5000);
    }
    // The board's notes, in order, one per line.
    std::string BoardNotes() { return EventTexts(Board().GetEvents(ekNote)); }
};

// The board's version and variant are read on the road below (each firmware).
TEST(KivuBoard, DrivesPinsAndSupplies)
{
    CBoardSession s;
    ASSERT_TRUE(s.Start({{"Start Mode", "USER"}}));
    EXPECT_FALSE(s.Board().IsMDyOn());
    ASSERT_TRUE(s.iface.EnableMDy(true));
    EXPECT_TRUE(s.Board().IsMDyOn());
    ASSERT_TRUE(s.iface.EnableVpp(true));
    unsigned char status[4] = {};
    ASSERT_TRUE(s.iface.Status(status));
    EXPECT_EQ(status[0], 0x01 | 0x02 | 0x08); // 12 V, Vpp, MDy

    // Holding the reset line stops the chip; letting go starts it in the
    // mode the pins now give.
    ASSERT_TRUE(s.iface.EnableMDx(true));
    ASSERT_TRUE(s.iface.SetReset(true));
    EXPECT_TRUE(s.target.WaitForState(ssHeldInReset, 5000));
    ASSERT_TRUE(s.iface.SetReset(false));
    EXPECT_TRUE(s.target.WaitForState(ssBootProgram, 5000));
}

TEST(KivuBoard, ResetSequenceFullAndPartial)
{
    CBoardSession s;
    ASSERT_TRUE(s.Start());
    ASSERT_TRUE(s.iface.Enable12V(true) && s.iface.EnableVpp(true) && s.iface.EnableMDy(true));

    ASSERT_TRUE(s.iface.ResetTarget(true));
    EXPECT_TRUE(!s.Board().Is12VOn() && !s.Board().IsVppOn());
    EXPECT_TRUE(s.Board().IsMDxOn() && s.Board().IsMDyOn()); // a partial reset leaves the pins
    EXPECT_EQ(s.Board().Port(0xFFE1), 0x2F); // SCI1 set up for a later board
    const std::string notes = s.BoardNotes();
    EXPECT_LT(notes.find("Vpp supply off"), notes.find("12 V supply off")) << notes;
    EXPECT_EQ(notes.find("board reset"), std::string::npos) << notes;

    ASSERT_TRUE(s.iface.ResetTarget(false));
    EXPECT_TRUE(!s.Board().IsMDxOn() && !s.Board().IsMDyOn() && !s.Board().IsResetHeld());
    EXPECT_THAT(s.BoardNotes(), HasSubstr("board reset"));
    // The chip was reset and starts its own program.
    EXPECT_TRUE(s.target.WaitForState(ssUserProgram, 5000));
    EXPECT_TRUE(s.ErrorIds().empty());
}

class KivuBoardRoad : public ::testing::TestWithParam<WORD> {};

TEST_P(KivuBoardRoad, BootsDownloadsAndChangesBaudThroughTheBoard)
{
    const WORD firmware = GetParam();
    const unsigned long rate = firmware < 0x0200 ? 38400 : 115200;
    CBoardSession s;
    // Older firmware waits for an erase answer this device never sends.
    ASSERT_TRUE(s.Start({{"Kivu Firmware", std::to_string(firmware).c_str()}, {"Kivu Erase Wait", "100"}}));
    ASSERT_TRUE(s.BootMode());
    EXPECT_EQ(s.Board().GetPCRate(), rate);

    unsigned char code = 0;
    ASSERT_TRUE(s.ReachMicroKernel(&code));
    EXPECT_EQ(code, 0xB3);
    // Option byte only for firmware from 3.00: this device does not erase itself.
    EXPECT_EQ(s.Board().Port(0xFF7E), firmware >= 0x0300 ? 1 : 0);

    ASSERT_TRUE(s.iface.SetupSCIMin());
    EXPECT_EQ(s.Board().GetPCRate(), 9600u);
    ASSERT_TRUE(s.iface.GoTransparent(true));
    unsigned char work[4] = {};
    ASSERT_TRUE(s.iface.ChangeBaud(rate, code, work, s.info.m_eBRRFormula)) << s.BoardNotes();
    EXPECT_EQ(s.Board().GetPCRate(), rate);
    EXPECT_EQ(s.Board().GetChipRate(), rate);
    EXPECT_THAT(s.BoardNotes(),
                HasSubstr("link check with the micro-kernel at " + std::to_string(rate) + " baud passed"));
    EXPECT_TRUE(s.ErrorIds().empty());
}

// Both ends of the firmware range that takes the old baud command, and the first after it.
INSTANTIATE_TEST_SUITE_P(Firmware, KivuBoardRoad, ::testing::Values(0x0103, 0x0106, 0x0107, 0x0200, 0x0300));

// A silent board, wrong answers and a boot erase that failed are the
// interface's unit tests; here the faults that need the board and chip.
TEST(KivuBoard, BoardFaultsGiveTheirReports)
{
    {
        CBoardSession s;
        ASSERT_TRUE(s.Start({{"Kivu Reset Detected", "1"}}));
        EXPECT_FALSE(s.iface.SetupSCIMin());
        EXPECT_TRUE(s.Shown("Reset detected"));
        EXPECT_EQ(s.ErrorIds().back(), 15040);
        EXPECT_TRUE(s.iface.SetupSCIMin()); // the next set-up is answered
    }
    {
        CBoardSession s;
        ASSERT_TRUE(s.Start({{"Fail Auto Erase", "1"}}, "ZT33F128E.ini"));
        ASSERT_TRUE(s.BootMode());
        unsigned char code = 0;
        ASSERT_TRUE(s.iface.BootSCI(&code));
        EXPECT_FALSE(s.Download(s.info.m_strMicroKernel));
        EXPECT_EQ(s.ErrorIds().back(), 15031);
        EXPECT_EQ(s.Board().Port(0xFF7E), 0); // told that the chip erases itself
    }
}

} // namespace
