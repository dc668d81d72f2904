// The programmer against the virtual target over a real pty: every direct
// connection type, writing with each protection type, read-back, erasing,
// disconnecting, production jobs, cancellation and a target that goes away.
#include <atomic>
#include <filesystem>
#include <ostream>
#include <regex>
#include <thread>

#include "ProgrammerFixture.h"

using namespace zftest;

namespace {

struct SRoadCase
{
    const char* definition;
    eConnectionType type;
    const char* startMode;
    long nProtocol;
};

// Keeps ctest's listing readable: gtest would print the bytes of the struct.
void PrintTo(const SRoadCase& c, std::ostream* os)
{
    *os << c.definition << " type " << c.type;
}

using Road = CProgrammerCases<SRoadCase>;

} // namespace

TEST_P(Road, ConnectsWritesReadsBackErasesAndDisconnects)
{
    const SRoadCase& c = GetParam();
    const bool bClassic = c.nProtocol == 0;
    settings.Write("[Programmer]\nReadbackVerify=1\n");
    ASSERT_TRUE(Start(c.definition, c.startMode, c.type, {}, c.nProtocol));
    // The device knows its sizes before it is connected.
    EXPECT_EQ(programmer->GetFLASHDevice()->GetRAMSize(), programmer->GetDeviceInfo()->m_dwRAMSize);
    EXPECT_EQ(programmer->GetFLASHDevice()->GetFLASHSize(), programmer->GetDeviceInfo()->m_dwFLASHROMSize);
    CBlockItem* b2 = Block(2);
    // Data in block 2 before the connection; Protocol B does not look for it.
    if (bClassic)
        target.LoadFLASH(static_cast<DWORD>(b2->m_lStart), std::vector<BYTE>(16, 0x00));

    ASSERT_TRUE(programmer->Connect()) << Errors();
    EXPECT_TRUE(Shown(bClassic ? "Device is not blank." : "Device is blank."));
    EXPECT_TRUE(Shown("Connection complete", 15056));
    EXPECT_EQ(Shown("Kernel initialised"), bClassic); // once a classic kernel has identified itself
    EXPECT_FALSE(Block(0)->m_bWritten);
    EXPECT_EQ(b2->m_bWritten, bClassic);
    // Connecting again on the live connection costs one liveness exchange (and,
    // on a one-program device, the main kernel the last operation displaced).
    ASSERT_TRUE(target.WaitUntilIdle(target.GetHostBytesTaken(), 2000));
    const auto before = target.GetHostBytesTaken();
    ASSERT_TRUE(programmer->Connect());
    ASSERT_TRUE(target.WaitUntilIdle(target.GetHostBytesTaken(), 2000));
    EXPECT_GT(target.GetHostBytesTaken(), before);
    if (!programmer->GetDeviceInfo()->m_nMainFunctionOverlay) {
        EXPECT_LT(target.GetHostBytesTaken(), before + 8);
    }
    EXPECT_EQ(Count(host.shown, "Configuration:"), 1);

    // One range in block 0, one across blocks 2 and 3, one half way up.
    const DWORD half = programmer->GetFLASHSize() / 2;
    const std::vector<SImageRange> ranges = {{0x0100, Pattern(300, 0x11)},
                                             {b2->m_lStart + 0x80, Pattern(b2->m_lSize + 0x100, 0x22)},
                                             {half + 0x10, Pattern(64, 0x33)}};
    // The written block the image touches is erased first, the blank ones are not.
    programmer->SetProtectionType(ptEraseAutomatically);
    ASSERT_TRUE(Writes(ranges));
    EXPECT_EQ(target.GetEraseCounts()[2], bClassic ? 1u : 0u);
    EXPECT_EQ(target.GetEraseCounts()[3], 0u);
    CString erasing;
    erasing.Format("Erasing block %s (H'%08X - H'%08X)", b2->m_strBlockName.GetString(),
                   static_cast<unsigned>(b2->m_lStart), static_cast<unsigned>(b2->m_lStart + b2->m_lSize - 1));
    EXPECT_EQ(Shown(erasing.str()), bClassic);
    // Ranges are whole lines.
    const unsigned line = programmer->GetFLASHDevice()->GetDeviceID()->GetLineSize();
    const unsigned last = (0x100 + 300 + line - 1) / line * line - 1;
    CString position;
    position.Format(" H'00000100 - H'%08X      Length : H'%08X", last, last - 0xFF);
    EXPECT_TRUE(Shown(position.str()));
    EXPECT_TRUE(Shown("Verification OK. You have successfully programmed the device"));

    EXPECT_TRUE(ReadsBackRight(ranges[1].first, 0x100));

    CObList chosen;
    for (CObject* p : programmer->GetDeviceInfo()->m_EraseBlocks)
        if (static_cast<CBlockItem*>(p)->IsBlockAddress(static_cast<long>(half)))
            chosen.AddTail(p);
    ASSERT_TRUE(programmer->EraseFLASHBlocks(&chosen));
    EXPECT_EQ(target.GetFLASH()[half + 0x10], 0xFF);
    EXPECT_TRUE(FLASHHolds(target, {ranges[0]}));

    // A direct connection cannot reset: nobody is asked, whatever the caller offers.
    EXPECT_TRUE(programmer->Disconnect(1, 0));
    EXPECT_FALSE(programmer->IsConnected());
    EXPECT_EQ(Count(host.questions, "Would you like to reset the device?"), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryDirectTypeAndProtocol, Road,
                         ::testing::Values(SRoadCase{"ZT31F256.ini", ctGENBootMode, "BOOT", 0},
                                           SRoadCase{"ZT31F256.ini", ctGENUserMode, "USER", 0},
                                           SRoadCase{"ZT31F256.ini", ctGENBootDirect, "BOOT Resident", 0},
                                           SRoadCase{"ZT31F256.ini", ctGENUserDirect, "USER Resident", 0},
                                           SRoadCase{"ZT52F128.ini", ctGENBootMode, "BOOT", 1},
                                           SRoadCase{"ZT10F016.ini", ctGENBootMode, "BOOT", 0},
                                           SRoadCase{"ZT10F016.ini", ctGENUserMode, "USER", 0},
                                           SRoadCase{"ZT10F016.ini", ctGENBootDirect, "BOOT Resident", 0},
                                           SRoadCase{"ZT10F016.ini", ctGENUserDirect, "USER Resident", 0}));

using Programmer = CProgrammerFixture;

TEST_F(Programmer, ProtectionTypesDecideWhetherWrittenBlocksAreErased)
{
    settings.Write("[Programmer]\nReadbackVerify=2\n");
    ASSERT_TRUE(Start("ZT31F256.ini", "BOOT Resident", ctGENBootDirect));
    target.LoadFLASH(0x2000, std::vector<BYTE>(16, 0x0F));
    ASSERT_TRUE(programmer->Connect()) << Errors();
    const std::vector<SImageRange> ranges = {{0x2000, Pattern(256, 0x40)}};
    auto image = LoadImage(ranges);

    // Asked for each block and answered No: nothing is erased, the write goes ahead.
    host.answer = qtNo;
    programmer->SetProtectionType(ptAskBeforeErase);
    ASSERT_TRUE(programmer->WriteImage(image.get()));
    EXPECT_EQ(Count(host.questions, "The block BLK2 (H'00002000 - H'00002FFF) should be erased before "
                                    "writing.\nWould you like to erase this block?"), 1);
    EXPECT_EQ(target.GetEraseCounts()[2], 0u);
    EXPECT_FALSE(Shown("Erase complete."));
    EXPECT_EQ(target.GetFLASH()[0x2000], ranges[0].second[0] & 0x0F);

    // Answered Yes: erased, then written.
    host.answer = qtYes;
    ASSERT_TRUE(programmer->WriteImage(image.get()));
    EXPECT_EQ(target.GetEraseCounts()[2], 1u);
    EXPECT_TRUE(Shown("Erase complete."));
    EXPECT_TRUE(FLASHHolds(target, ranges));

    // Cancel in the question ends the write at once, with the cancel flag left set.
    host.answer = qtCancel;
    ASSERT_TRUE(programmer->BuildBlockEraseList());
    EXPECT_TRUE(programmer->WriteImage(image.get()));
    EXPECT_TRUE(programmer->GetCancelFlag());
    EXPECT_EQ(target.GetEraseCounts()[2], 1u);
}

TEST_F(Programmer, AutoEraseSkipsTheBlankCheckAndTellsTheUserOnce)
{
    ASSERT_TRUE(Start("ZT33F128E.ini", "BOOT", ctGENBootMode));
    ASSERT_TRUE(programmer->Connect()) << Errors();
    EXPECT_TRUE(programmer->IsAutoErased());
    EXPECT_FALSE(Shown("Checking for blank device"));

    // A reconnection that erased the device again: told once, no erase of its own.
    ASSERT_TRUE(programmer->Disconnect(0, 0));
    target.Reset();
    const DWORD before = target.GetEraseCounts()[0];
    ASSERT_TRUE(programmer->EraseFLASH());
    EXPECT_EQ(Count(host.questions, "The device was automatically Erased during connection."), 1);
    EXPECT_EQ(target.GetEraseCounts()[0], before + 1);
    // On the live connection the erase is real and nobody is told again.
    ASSERT_TRUE(programmer->EraseFLASH());
    EXPECT_EQ(Count(host.questions, "The device was automatically Erased during connection."), 1);
    EXPECT_EQ(target.GetEraseCounts()[0], before + 2);
}

TEST_F(Programmer, CancelDuringAWriteStopsItAndLeavesTheProgrammerUsable)
{
    settings.Write("[Programmer]\nReadbackVerify=2\n");
    ASSERT_TRUE(Start("ZT31F256.ini", "BOOT Resident", ctGENBootDirect));
    ASSERT_TRUE(programmer->Connect()) << Errors();
    const std::vector<SImageRange> big = {{0x10000, Pattern(0x10000, 0x55)}};
    auto image = LoadImage(big);
    const auto start = target.GetHostBytesTaken();
    EXPECT_TRUE(WriteWhile(image.get(), 4096, [&] { programmer->Cancel(); }));
    EXPECT_TRUE(programmer->GetCancelFlag());
    // Well short of the whole image reached the target.
    EXPECT_LT(target.GetHostBytesTaken(), start + 0x8000);
    EXPECT_FALSE(FLASHHolds(target, big));

    EXPECT_TRUE(Writes({{0x0400, Pattern(128, 0x66)}}));
}

TEST_F(Programmer, ACommandAfterACancelledEraseDoesNotTakeTheEraseAnswerForItsOwn)
{
    // Seconds per block: the cancel comes while the chip is still erasing.
    ASSERT_TRUE(Start("ZT31F256.ini", "BOOT Resident", ctGENBootDirect, {{"Erase Time", "4000"}}));
    ASSERT_TRUE(programmer->Connect()) << Errors();
    CBlockItem* pErased = Block(1);
    CBlockItem* pKept = Block(3);
    const std::vector<BYTE> kept = Pattern(64, 0x5C);
    target.LoadFLASH(static_cast<DWORD>(pErased->m_lStart), std::vector<BYTE>(16, 0x00));
    target.LoadFLASH(static_cast<DWORD>(pKept->m_lStart), kept);
    const auto before = target.GetEraseCounts()[1];

    // The chip's first "still erasing" byte: the command is whole on its side.
    const auto polls = [&] {
        std::size_t n = 0;
        for (const CSimByteEntry& e : target.GetTranscript().GetBytes())
            n += e.m_eDirection == sdTargetToHost && e.m_ePhase == phErase;
        return n;
    };
    const std::size_t pollsBefore = polls();
    CObList chosen;
    chosen.AddTail(pErased);
    WhileRunning([&] { return programmer->EraseFLASHBlocks(&chosen); }, [&] { return polls() > pollsBefore; },
                 [&] { programmer->Cancel(); });
    EXPECT_TRUE(programmer->GetCancelFlag());

    // The chip answers the erase when it is done; the read waits for that answer and drops it.
    EXPECT_TRUE(ReadsBackRight(static_cast<DWORD>(pKept->m_lStart), static_cast<DWORD>(kept.size())));
    EXPECT_TRUE(FLASHHolds(target, {{static_cast<DWORD>(pKept->m_lStart), kept}}));
    EXPECT_EQ(target.GetEraseCounts()[1], before + 1);
    EXPECT_TRUE(Writes({{static_cast<DWORD>(pErased->m_lStart), Pattern(128, 0x67)}}));
}

TEST_F(Programmer, ALostTargetEndsTheWriteAndIsAskedAboutOnTheNextConnect)
{
    ASSERT_TRUE(Start("ZT31F256.ini", "BOOT Resident", ctGENBootDirect));
    ASSERT_TRUE(programmer->Connect()) << Errors();
    auto image = LoadImage({{0x10000, Pattern(0x10000, 0x77)}});
    EXPECT_FALSE(WriteWhile(image.get(), 2048, [&] { target.Stop(); }));
    EXPECT_FALSE(Errors().empty());

    host.answer = qtNo;
    EXPECT_FALSE(programmer->Connect());
    EXPECT_EQ(Count(host.questions, "The connection has been lost, re-connect?"), 1);
    EXPECT_FALSE(programmer->IsConnected());
}

TEST_F(Programmer, TwoProgrammersOnTwoTargetsDoNotInterfere)
{
    settings.Write("[Programmer]\nReadbackVerify=1\n");
    ASSERT_TRUE(Start("ZT31F256.ini", "BOOT Resident", ctGENBootDirect));
    CSimTarget second;
    ASSERT_TRUE(StartSim(second, "ZT31F256.ini", {{"Start Mode", "BOOT Resident"}}));
    auto other = MakeProgrammer(second, "ZT31F256.ini", ctGENBootDirect);

    const std::vector<SImageRange> one = {{0x1000, Pattern(0x2000, 0x01)}};
    const std::vector<SImageRange> two = {{0x1000, Pattern(0x2000, 0x02)}, {0x30000, Pattern(0x800, 0x03)}};
    auto imageOne = LoadImage(one), imageTwo = LoadImage(two);
    std::atomic<bool> bOther{false};
    std::thread t([&] { bOther = other->WriteImage(imageTwo.get()); });
    EXPECT_TRUE(programmer->WriteImage(imageOne.get())) << Errors();
    t.join();
    EXPECT_TRUE(bOther) << Errors();
    EXPECT_TRUE(FLASHHolds(target, one));
    EXPECT_TRUE(FLASHHolds(second, two));
}

TEST_F(Programmer, ProductionJobsAppendTheirRecordsToTheLog)
{
    settings.Write("[Programmer]\nReadbackVerify=2\n");
    ASSERT_TRUE(Start("ZT31F256.ini", "BOOT Resident", ctGENBootDirect, {{"Fail Write", "2"}}));
    auto image = LoadImage({{0x0200, Pattern(200, 0x12)}});
    COTPConfig config(dir.File("job.log").c_str(), "42", "Ann", true);

    ASSERT_TRUE(programmer->OTPWriteFLASH(image.get(), &config)) << Errors();
    EXPECT_TRUE(Shown("OTP operation completed successfully"));
    // The second job finds the kernel still running; its write fails on the target.
    EXPECT_FALSE(programmer->OTPWriteFLASH(image.get(), &config));

    const std::string stars = "\\*{80}";
    const std::string record = stars + "\r\n" + stars + "\r\nJob Number : 42\r\nOperator Name : Ann\r\n" +
                               "Started : [A-Z][a-z]+day, [A-Z][a-z]+ \\d\\d, \\d{4}  \\d\\d:\\d\\d:\\d\\d\r\n";
    const std::regex log("^" + record + "Result : FLASH Programming OK\\.\r\nElapsed time : \\d+ seconds \r\n\r\n\r\n" +
                         record + "Result : FLASH Programming Failed\\.\r\n\r\n\r\n$");
    const std::string text = ReadAll(dir.File("job.log"));
    EXPECT_TRUE(std::regex_match(text, log)) << text;
}

TEST_F(Programmer, BadImagesAndAVanishedKernelGetTheirReports)
{
    // A copy of the definition whose micro-kernel can be taken away.
    namespace fs = std::filesystem;
    fs::create_directories(dir.Path() / "kernels/zt31");
    fs::copy(SourcePath("devices/kernels/zt31"), dir.Path() / "kernels/zt31", fs::copy_options::recursive);
    fs::copy_file(SourcePath("devices/ZT31F256.ini"), dir.File("ZT31F256.ini"));
    ASSERT_TRUE(Start(dir.File("ZT31F256.ini"), "BOOT", ctGENBootMode));
    ASSERT_TRUE(programmer->Connect()) << Errors();

    host.answer = qtNo;
    CFLASHBinaryImage empty(static_cast<int>(programmer->GetFLASHSize()), nullptr);
    EXPECT_TRUE(programmer->WriteImage(&empty));
    EXPECT_TRUE(Shown("0 Bytes programmed in 0 seconds"));
    EXPECT_EQ(Count(host.questions, "Would you like to perform read-back verification?"), 1);

    auto outside = LoadImage({{0x3FF00, Pattern(0x200, 0x44)}}, 0);
    EXPECT_FALSE(programmer->WriteImage(outside.get()));
    EXPECT_TRUE(Shown("The image holds data at H'0003FF00 - H'000400FF, outside the device's FLASH "
                      "(H'00000000 - H'0003FFFF)"));

    ASSERT_TRUE(programmer->Disconnect(0, 0));
    fs::remove(dir.Path() / "kernels/zt31/zt31_ukernel.bin");
    target.Reset();
    EXPECT_FALSE(programmer->Connect());
    EXPECT_TRUE(Shown("Unable to locate micro-Kernel 'kernels/zt31/zt31_ukernel.bin'", 15018));
}

TEST_F(Programmer, AUserCommandWakesTheTargetsLoaderFirst)
{
    // The delay gives the target's program time to start its loader, as on a real board.
    settings.Write("[Direct Connection]\nPreVelkUserModeCommand=RUN!\nPreVelkUserModeCommandBaud=19200\n"
                   "PreVelkUserModePostCommandDelay=200\n");
    ASSERT_TRUE(Start("ZT31F256.ini", "USER", ctGENUserMode, {{"User Command", "RUN!"}, {"User Command Baud", "19200"}}));
    ASSERT_TRUE(programmer->Connect()) << Errors();
    EXPECT_TRUE(Shown("Sending command string : 'RUN!'"));
    EXPECT_TRUE(Shown("Waiting 200 milliseconds"));
}
