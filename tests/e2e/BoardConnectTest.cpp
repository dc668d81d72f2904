// The board connection types against the virtual Kivu board and chip, over
// a serial port and beside the JTAG adapter, and the adapter's faults at opening.
#include <chrono>
#include <thread>

#include "ProgrammerFixture.h"
#include "comms/FLASHJTAGComms.h"
#include "sim/SimPelto.h"

using namespace zftest;

namespace {

class KivuConnect : public CProgrammerFixture
{
protected:
    ~KivuConnect() override { programmer.reset(), SetScanletBackend(nullptr); }
    // By default the programmer's rate is the board's own at the start, so
    // that a look for a running kernel reaches it as plain noise.
    ::testing::AssertionResult StartBoard(const char* startMode, eConnectionType type, bool bJTAG = false,
                                          CSimOverrides overrides = {}, long nRate = 9600)
    {
        overrides.insert(overrides.end(), {{"Kivu Board", "1"}, {"Resident Rate", "9600"}});
        auto started = Start("ZT31F256.ini", startMode, type, overrides);
        if (started)
            programmer->SetBaudRate(nRate);
        if (started && bJTAG) {
            m_pPelto = std::make_shared<CSimPelto>(target);
            SetScanletBackend(m_pPelto);
            m_strJTAG = "[FLASHJTAGComms]\nKivuSerial=" + target.GetPortName().str() + "\n";
            Configure(m_strProgrammer);
            programmer->SetCommsPort(CFLASHProgrammer::kJTAGPortName);
        }
        return started;
    }
    // The programmer's settings, beside the adapter's link to the board.
    void Configure(const std::string& keys)
    {
        m_strProgrammer = keys;
        settings.Write(m_strJTAG + "[Programmer]\n" + keys);
    }
    CSimKivuBoard& Board() { return *target.GetBoard(); }
    int BoardNotes(const std::string& text)
    {
        const auto n = Board().GetEvents(ekNote);
        return std::count_if(n.begin(), n.end(), [&](auto& e) { return e.m_strText.str().find(text) != std::string::npos; });
    }
    std::shared_ptr<CSimPelto> m_pPelto;
    std::string m_strJTAG;
    std::string m_strProgrammer;
};

struct SBoardRoad
{
    eConnectionType type;
    const char* startMode;
    bool bJTAG;
};

// Test names stay the same from run to run (the default prints raw bytes).
void PrintTo(const SBoardRoad& road, std::ostream* os)
{
    *os << "type " << road.type << (road.bJTAG ? " over JTAG" : " over serial");
}

class BoardRoad : public KivuConnect, public ::testing::WithParamInterface<SBoardRoad> {};

} // namespace

TEST_P(BoardRoad, ConnectsThroughTheBoardAndResetsOnDisconnection)
{
    const auto [type, startMode, bJTAG] = GetParam();
    Configure("DisconnectReset=1\n");
    ASSERT_TRUE(StartBoard(startMode, type, bJTAG));
    const bool bUser = type == ctKivuUserMode || type == ctKivuUserDirect;
    ASSERT_TRUE(programmer->Connect()) << Errors();
    // No kernel was running yet: the first look for one is not reported as an error.
    EXPECT_EQ(Errors(), "");
    // Beside the adapter, the board relays only what comes before the main
    // kernel, which answers in words; a resident kernel needs no board at all.
    const bool bResident = type == ctKivuBootDirect || type == ctKivuUserDirect;
    EXPECT_TRUE(Shown("Connection complete", 15056));
    EXPECT_EQ(Board().IsTransparent(), !bJTAG || !bResident);
    if (bJTAG) {
        EXPECT_TRUE(m_pPelto->GetWordsWritten() > 0 && m_pPelto->GetWordsRead() > 0);
    }
    EXPECT_EQ(target.GetState(), bUser ? ssUserMainKernel : ssMainKernel);
    EXPECT_EQ(Shown("Found initialised device"), type == ctKivuBootDirect || type == ctKivuUserDirect);
    EXPECT_TRUE(type != ctKivuBootMode || (Board().IsMDxOn() && Board().IsMDyOn()));
    // The board answered its own transparent-mode frame; the chip never saw it.
    EXPECT_EQ(BoardNotes("transparent-mode frame while relaying"), type == ctKivuUserMode && !bJTAG ? 1 : 0);
    EXPECT_EQ(target.GetEvents(ekViolation).size(), 0u);

    // The kernel reached through the board writes and reads back.
    Configure(m_strProgrammer + "ReadbackVerify=2\n");
    ASSERT_TRUE(Writes({{0x0200, Pattern(200, 0x5C)}}));
    EXPECT_TRUE(ReadsBackRight(0x0200, 200));

    // The kernel left running is taken over as it is.
    ASSERT_TRUE(programmer->Disconnect(1, 1));
    const int nBoardResets = BoardNotes("board reset");
    const DWORD nStarts = target.GetStartCount();
    host.shown.clear();
    ASSERT_TRUE(programmer->Connect()) << Errors();
    EXPECT_TRUE(Shown("Found initialised device") && Errors().empty() && target.GetStartCount() == nStarts);

    // A USER type leaves the mode pins and the board itself alone. A board that
    // was never made transparent sends no exit signal: it is looked for first.
    ASSERT_TRUE(programmer->Disconnect(0, 0));
    const bool bSearched = bJTAG && bResident;
    EXPECT_EQ(Count(host.questions, "Would you like Velk to keep looking for the Kivu?"), bSearched ? 1 : 0);
    EXPECT_EQ(Shown("Invalid response received from the Kivu"), bSearched);
    EXPECT_TRUE(!Board().Is12VOn() && !Board().IsVppOn());
    EXPECT_EQ(Count(host.questions, "Would you like to reset the device?"), 0); // the settings say reset
    EXPECT_GT(target.GetStartCount(), nStarts);
    EXPECT_FALSE(Shown("Device did not reset!"));
    EXPECT_EQ(BoardNotes("board reset") - nBoardResets, bUser ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(EveryBoardType, BoardRoad,
                         ::testing::Values(SBoardRoad{ctKivuBootMode, "USER", false},
                                           SBoardRoad{ctKivuUserMode, "USER", false},
                                           SBoardRoad{ctKivuBootDirect, "BOOT Resident", false},
                                           SBoardRoad{ctKivuUserDirect, "USER Resident", false},
                                           SBoardRoad{ctKivuBootMode, "USER", true},
                                           SBoardRoad{ctKivuUserMode, "USER", true},
                                           SBoardRoad{ctKivuBootDirect, "BOOT Resident", true},
                                           SBoardRoad{ctKivuUserDirect, "USER Resident", true}));

TEST_F(KivuConnect, AFailingBoardStepIsReportedWithItsIdentifier)
{
    // Answers: version major and minor, SCI set-up, reset, reset on, 12 V.
    ASSERT_TRUE(StartBoard("BOOT", ctKivuBootMode, false, {{"Kivu Short Frame", "6"}}));
    EXPECT_FALSE(programmer->Connect());
    EXPECT_TRUE(Shown("Enable12V() failed", 15011)) << Errors();
    EXPECT_TRUE(BoardNotes("board reset") == 2 && !Board().IsVppOn()) << "the board is reset after the failure";
}

TEST_F(KivuConnect, LooksForTheBoardAtOtherRatesAfterAnInvalidAnswer)
{
    // Clears the stray answer left on the line once the search is agreed, and
    // keeps the board quiet until the search reaches its rate.
    struct CSearchHost : RecordingHost
    {
        CFLASHComms* comms = nullptr;
        CSimKivuBoard* board = nullptr;
        eQueryType MessageBox(const CString& text, eQueryType style, eMessageIcon icon) override
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(200)), comms->FlushBuffers();
            return RecordingHost::MessageBox(text, style, icon);
        }
        void ShowStatus(eStatusKind kind, const CString& text, WORD id) override
        {
            if (text.str() == "Attempting 115200")
                board->SetFaults(CSimBoardSettings());
            RecordingHost::ShowStatus(kind, text, id);
        }
    };
    Configure("DisconnectReset=1\n");
    ASSERT_TRUE(StartBoard("BOOT", ctKivuBootMode, false, {}, 115200));
    ASSERT_TRUE(programmer->Connect()) << Errors();
    const BYTE handshake = 0x0A; // its answer stands where the board's exit signal should be
    ASSERT_TRUE(programmer->GetFLASHComms()->WriteBytes(&handshake, 1, false));
    programmer->SetBaudRate(57600);
    Board().SetFaults({.m_bSilent = true});
    CSearchHost search;
    search.comms = programmer->GetFLASHComms(), search.board = &Board();

    ASSERT_TRUE(programmer->Disconnect(0, 0));
    for (const char* text : {"Invalid response received from the Kivu", "Attempting 57600", "Attempting 115200"})
        EXPECT_EQ(Count(search.shown, text), 1) << text;
    EXPECT_EQ(Count(search.questions, "Would you like Velk to keep looking for the Kivu?"), 1);
    EXPECT_FALSE(Board().Is12VOn()) << "the target was reset";
}

TEST_F(KivuConnect, OverJTAGAUserModeSwitchAnsweredNoLeavesTheProgramRunning)
{
    // The board's steps go to its serial link; the chip's own program is not woken.
    host.answer = qtNo;
    ASSERT_TRUE(StartBoard("USER", ctKivuUserMode, true));
    Configure("KivuCancelOnModeSwitch=1\n");
    EXPECT_TRUE(programmer->Connect());
    EXPECT_EQ(Count(host.questions, "Device is now in USER Mode, continue connection?"), 1);
    EXPECT_TRUE(Board().Is12VOn() && Board().IsVppOn() && Board().IsTransparent());
    EXPECT_FALSE(programmer->IsConnected());
    EXPECT_EQ(target.GetState(), ssUserProgram);
}

namespace {
// The adapter's faults at opening: the channel is left closed.
struct SPeltoFault
{
    const char* key;
    const char* value;
    const char* shown;
    int scans;
};

void PrintTo(const SPeltoFault& f, std::ostream* os)
{
    *os << f.key;
}

class PeltoFault : public KivuConnect, public ::testing::WithParamInterface<SPeltoFault> {};
} // namespace

TEST_P(PeltoFault, AtOpeningClosesTheChannel)
{
    const auto [key, value, shown, scans] = GetParam();
    ASSERT_TRUE(StartBoard("BOOT", ctKivuBootMode, true, {{key, value}}));
    CFLASHJTAGComms comms;
    EXPECT_FALSE(comms.Open());
    EXPECT_TRUE(Shown(shown)) << Errors();
    EXPECT_EQ(comms.GetStatus(), psClosed);
    EXPECT_EQ(m_pPelto->GetScans(), scans);
}

INSTANTIATE_TEST_SUITE_P(Adapter, PeltoFault,
                         ::testing::Values(SPeltoFault{"Pelto Scan Result", "1005", "SCAN IR Failed!", 1},
                                           SPeltoFault{"Pelto Port Unavailable", "1",
                                                       "Quarn Pelto : the adapter's port is in use by another program", 0}));
