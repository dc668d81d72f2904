// The board connection types against the virtual Kivu board and chip:
// connecting, taking over a running kernel, stopping after the mode switch,
// the board's failures and the reset through the board on disconnection.
#include <chrono>
#include <thread>

#include "ProgrammerFixture.h"
#include "sim/SimPelto.h"

using namespace zftest;

namespace {

struct SBoardCase
{
    eConnectionType type;
    const char* startMode;
    long nBaudRate; // 0: the definition's
};

class CBoardFixture : public CProgrammerFixture
{
protected:
    ::testing::AssertionResult StartBoard(const char* startMode, eConnectionType type, CSimOverrides overrides = {},
                                          long nBaudRate = 0)
    {
        overrides.insert(overrides.begin(), {"Kivu Board", "1"});
        if (nBaudRate)
            overrides.push_back({"Resident Rate", std::to_string(nBaudRate).c_str()});
        auto started = Start("ZT31F256.ini", startMode, type, overrides);
        if (started && nBaudRate)
            programmer->SetBaudRate(nBaudRate);
        return started;
    }
    // What the board noted and the host was shown, for failure messages.
    std::string Dump()
    {
        std::string all;
        for (const CSimEvent& e : Board().GetEvents(ekNote))
            all += "board: " + e.m_strText.str() + "\n";
        for (const CSimEvent& e : target.GetEvents(ekViolation))
            all += "chip: " + e.m_strText.str() + "\n";
        for (const ShownStatus& s : host.shown)
            all += "host: " + s.text + "\n";
        return all;
    }
    CSimKivuBoard& Board() { return *target.GetBoard(); }
    int BoardNotes(const std::string& text)
    {
        int n = 0;
        for (const CSimEvent& e : Board().GetEvents(ekNote))
            n += e.m_strText.str().find(text) != std::string::npos;
        return n;
    }
};

class BoardRoad : public CBoardFixture, public ::testing::WithParamInterface<SBoardCase>
{
};

using KivuConnect = CBoardFixture;

} // namespace

TEST_P(BoardRoad, ConnectsThroughTheBoardAndResetsOnDisconnection)
{
    const SBoardCase& c = GetParam();
    settings.Write("[Programmer]\nDisconnectReset=1\n");
    ASSERT_TRUE(StartBoard(c.startMode, c.type, {}, c.nBaudRate));
    ASSERT_TRUE(programmer->Connect()) << Dump();
    EXPECT_TRUE(programmer->IsConnected());
    EXPECT_TRUE(Shown("Connection complete", 15056));
    EXPECT_TRUE(Board().IsTransparent());
    EXPECT_EQ(target.GetState(), c.type == ctKivuUserDirect ? ssUserMainKernel : ssMainKernel);
    EXPECT_EQ(Shown("Found initialised device"), c.type != ctKivuBootMode);
    if (c.type == ctKivuBootMode) {
        EXPECT_TRUE(Board().IsMDxOn() && Board().IsMDyOn() && Board().Is12VOn() && Board().IsVppOn());
        EXPECT_EQ(Board().GetPCRate(), 115200u);
    }

    // Reset without a question: the kernel restarts the chip, the board
    // switches it off and lets it start its own program.
    const int nBoardResets = BoardNotes("board reset");
    const DWORD nStarts = target.GetStartCount();
    ASSERT_TRUE(programmer->Disconnect(0, 0));
    EXPECT_TRUE(host.questions.empty());
    EXPECT_FALSE(programmer->IsConnected());
    EXPECT_FALSE(Board().Is12VOn() || Board().IsVppOn());
    EXPECT_GT(target.GetStartCount(), nStarts) << Dump();
    EXPECT_FALSE(Shown("Device did not reset!"));
    EXPECT_FALSE(Shown("Invalid response received from the Kivu"));
    // A USER type leaves the mode pins and the board itself alone.
    EXPECT_EQ(BoardNotes("board reset") - nBoardResets, c.type == ctKivuUserDirect ? 0 : 1);
}

// Resident kernels are looked for at the programmer's rate, which the board
// still has at 9600 before anything raised it.
INSTANTIATE_TEST_SUITE_P(EveryBoardType, BoardRoad,
                         ::testing::Values(SBoardCase{ctKivuBootMode, "USER", 0},
                                           SBoardCase{ctKivuBootDirect, "BOOT Resident", 9600},
                                           SBoardCase{ctKivuUserDirect, "USER Resident", 9600}),
                         [](const auto& test) { return "type" + std::to_string(test.param.type); });

TEST_F(KivuConnect, TakesOverAKernelStillRunningWithoutResettingIt)
{
    ASSERT_TRUE(StartBoard("BOOT", ctKivuBootMode));
    ASSERT_TRUE(programmer->Connect()) << Dump();
    ASSERT_TRUE(programmer->Disconnect(1, 1)); // the kernel keeps running
    EXPECT_TRUE(host.questions.empty());
    const DWORD nStarts = target.GetStartCount();
    const int nBoardResets = BoardNotes("board reset");
    host.shown.clear();

    ASSERT_TRUE(programmer->Connect()) << Dump();
    EXPECT_TRUE(programmer->IsConnected());
    EXPECT_TRUE(Shown("Found initialised device"));
    EXPECT_TRUE(Shown("Connection complete", 15056));
    EXPECT_FALSE(Shown("Using micro-Kernel : 'kernels/zt31/zt31_ukernel.bin'"));
    EXPECT_EQ(target.GetStartCount(), nStarts);
    EXPECT_EQ(BoardNotes("board reset"), nBoardResets);
    EXPECT_EQ(Errors(), "");
}

TEST_F(KivuConnect, ModeSwitchAnsweredNoLeavesTheTargetInTheNewMode)
{
    settings.Write("[Programmer]\nKivuCancelOnModeSwitch=1\n");
    host.answer = qtNo;
    ASSERT_TRUE(StartBoard("USER", ctKivuBootMode));
    EXPECT_TRUE(programmer->Connect());
    EXPECT_FALSE(programmer->IsConnected());
    EXPECT_EQ(Count(host.questions, "Device is now in BOOT Mode, continue connection?"), 1);
    EXPECT_TRUE(target.WaitForState(ssBootProgram, 5000));
    EXPECT_EQ(Board().GetPCRate(), 9600u); // the link went back to 9600
    EXPECT_EQ(BoardNotes("boot program matched"), 0);
    EXPECT_NE(programmer->GetFLASHComms()->GetStatus(), psOpen);

    programmer->SetConnectionType(ctKivuUserMode);
    EXPECT_TRUE(programmer->Connect());
    EXPECT_FALSE(programmer->IsConnected());
    EXPECT_EQ(Count(host.questions, "Device is now in USER Mode, continue connection?"), 1);
    EXPECT_TRUE(Board().Is12VOn() && Board().IsVppOn());
    EXPECT_TRUE(Board().IsTransparent());
    EXPECT_FALSE(Shown("Changing baud rate to 115200 bps"));
}

TEST_F(KivuConnect, ResetOnDisconnectionFollowsTheSettingAndTheArguments)
{
    ASSERT_TRUE(StartBoard("BOOT", ctKivuBootMode));
    struct
    {
        const char* setting;
        int offer, forbid;
        eQueryType answer;
        bool bAsked;
    } cases[] = {{"0", 1, 0, qtNo, true}, {"2", 1, 0, qtYes, false}, {"1", 0, 1, qtYes, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        settings.Write(std::string("[Programmer]\nDisconnectReset=") + c.setting + "\n");
        ASSERT_TRUE(programmer->Connect()) << Dump();
        host.questions.clear();
        host.answer = c.answer;
        ASSERT_TRUE(programmer->Disconnect(c.offer, c.forbid));
        EXPECT_EQ(Count(host.questions, "Would you like to reset the device?"), c.bAsked ? 1 : 0);
        EXPECT_FALSE(programmer->IsConnected());
        EXPECT_EQ(target.GetState(), ssMainKernel) << "not reset";
        EXPECT_TRUE(Board().Is12VOn());
    }
    // Cancel keeps the connection as it was.
    settings.Write("[Programmer]\nDisconnectReset=0\n");
    ASSERT_TRUE(programmer->Connect());
    host.answer = qtCancel;
    EXPECT_TRUE(programmer->Disconnect(1, 0));
    EXPECT_TRUE(programmer->IsConnected());
    EXPECT_EQ(programmer->GetFLASHComms()->GetStatus(), psOpen);
}

// Before the search, clears what is left of the stray answer and the board's
// exit signal; lets the board answer again once the search reaches a rate.
class CSearchHost : public RecordingHost
{
public:
    CSearchHost(CSimKivuBoard& board, CFLASHComms& comms, const std::string& text)
        : m_board(board), m_comms(comms), m_text(text)
    {
    }
    eQueryType MessageBox(const CString& text, eQueryType style, eMessageIcon icon) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        m_comms.FlushBuffers();
        return RecordingHost::MessageBox(text, style, icon);
    }
    void ShowStatus(eStatusKind kind, const CString& text, WORD id) override
    {
        if (text.str() == m_text)
            m_board.SetFaults(CSimBoardSettings());
        RecordingHost::ShowStatus(kind, text, id);
    }

private:
    CSimKivuBoard& m_board;
    CFLASHComms& m_comms;
    std::string m_text;
};

TEST_F(KivuConnect, LooksForTheBoardAtOtherRatesAfterAnInvalidAnswer)
{
    settings.Write("[Programmer]\nDisconnectReset=1\n");
    ASSERT_TRUE(StartBoard("BOOT", ctKivuBootMode));
    ASSERT_TRUE(programmer->Connect()) << Dump();
    // A stray kernel answer waits where the board's exit signal should be;
    // the board keeps quiet until the search reaches its rate, which is no
    // longer the programmer's.
    const BYTE handshake = 0x0A;
    ASSERT_TRUE(programmer->GetFLASHComms()->WriteBytes(&handshake, 1, false));
    programmer->SetBaudRate(57600);
    CSimBoardSettings silent;
    silent.m_bSilent = true;
    Board().SetFaults(silent);
    CSearchHost search(Board(), *programmer->GetFLASHComms(), "Attempting 115200");

    ASSERT_TRUE(programmer->Disconnect(0, 0));
    std::vector<std::string> attempts;
    for (const ShownStatus& s : search.shown)
        if (s.text.rfind("Attempting", 0) == 0)
            attempts.push_back(s.text);
    EXPECT_EQ(attempts, (std::vector<std::string>{"Attempting 57600", "Attempting 115200"}));
    const auto shown = [&](const std::string& text) {
        return std::any_of(search.shown.begin(), search.shown.end(), [&](const auto& s) { return s.text == text; });
    };
    EXPECT_TRUE(shown("Invalid response received from the Kivu"));
    EXPECT_FALSE(shown("Kivu not found!"));
    ASSERT_EQ(search.questions.size(), 1u);
    EXPECT_EQ(search.questions[0].text, "Would you like Velk to keep looking for the Kivu?");
    EXPECT_FALSE(Board().Is12VOn()) << "the target was reset";
    EXPECT_FALSE(programmer->IsConnected());
}

TEST_F(KivuConnect, AFailingBoardStepIsReportedWithItsIdentifier)
{
    // Answers: version major and minor, SCI set-up, reset, reset on, 12 V.
    ASSERT_TRUE(StartBoard("BOOT", ctKivuBootMode, {{"Kivu Short Frame", "6"}}));
    EXPECT_FALSE(programmer->Connect());
    EXPECT_TRUE(Shown("Enable12V() failed", 15011)) << Dump();
    EXPECT_FALSE(Board().IsVppOn()); // the later steps were skipped
    EXPECT_EQ(BoardNotes("board reset"), 2) << "the board is reset after the failure";
    EXPECT_EQ(Board().GetPCRate(), 9600u) << Dump();
    EXPECT_FALSE(programmer->IsConnected());
}

namespace {

// The board on its serial link beside the JTAG adapter, which reaches the chip.
class KivuOverJTAG : public CBoardFixture
{
protected:
    ~KivuOverJTAG() override
    {
        programmer.reset();
        SetScanletBackend(nullptr);
    }
    ::testing::AssertionResult StartJTAG(const char* startMode, eConnectionType type, const std::string& extra = "")
    {
        auto started = StartBoard(startMode, type);
        if (!started)
            return started;
        m_pPelto = std::make_shared<CSimPelto>(target);
        SetScanletBackend(m_pPelto);
        settings.Write("[FLASHJTAGComms]\nKivuSerial=" + target.GetPortName().str() + "\n" + extra);
        programmer->SetCommsPort(CFLASHProgrammer::kJTAGPortName);
        if (CString(programmer->GetFLASHComms()->GetPortName()) != CFLASHProgrammer::kJTAGPortName)
            return ::testing::AssertionFailure() << "no JTAG channel";
        return ::testing::AssertionSuccess();
    }
    std::shared_ptr<CSimPelto> m_pPelto;
};

} // namespace

TEST_F(KivuOverJTAG, ResidentKernelsAreLookedForWithoutTheBoard)
{
    for (eConnectionType type : {ctKivuBootDirect, ctKivuUserDirect}) {
        SCOPED_TRACE(type);
        ASSERT_TRUE(StartJTAG(type == ctKivuBootDirect ? "BOOT Resident" : "USER Resident", type));
        programmer->Connect();
        EXPECT_TRUE(Shown("Successfully opened JTAG Comms"));
        EXPECT_GT(m_pPelto->GetWordsWritten(), 0u) << "the kernel is asked over the adapter";
        EXPECT_FALSE(Board().IsTransparent()) << "no second attempt through the board";
        EXPECT_EQ(BoardNotes("transparent"), 0);
        programmer.reset();
        SetScanletBackend(nullptr);
        target.Stop();
        host.shown.clear();
    }
}

TEST_F(KivuOverJTAG, BoardStepsGoToTheBoardsSerialLinkAndTheKernelToTheAdapter)
{
    ASSERT_TRUE(StartJTAG("USER", ctKivuBootMode));
    programmer->Connect();
    // Switched, booted and given both kernels through the board...
    EXPECT_TRUE(Board().IsMDxOn() && Board().IsMDyOn());
    EXPECT_EQ(BoardNotes("boot program matched"), 1);
    EXPECT_TRUE(Shown("Main kernel download complete...")) << Dump();
    EXPECT_TRUE(target.WaitForState(ssMainKernel, 5000)) << target.GetTranscript().FormatText("c").str();
    // ...then spoken to over the adapter.
    EXPECT_GT(m_pPelto->GetWordsWritten(), 0u);
}

TEST_F(KivuOverJTAG, UserModeWakesTheTargetOverTheAdapter)
{
    ASSERT_TRUE(StartJTAG("USER", ctKivuUserMode, "[Programmer]\nKivuCancelOnModeSwitch=1\n"));
    host.answer = qtNo;
    EXPECT_TRUE(programmer->Connect());
    EXPECT_EQ(Count(host.questions, "Device is now in USER Mode, continue connection?"), 1);
    EXPECT_TRUE(Board().Is12VOn() && Board().IsVppOn() && Board().IsTransparent());
}
