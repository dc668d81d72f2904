// Faults on the line that, taken literally, would let wrong data through: the
// programmer against the virtual target must either come out right or fail.
#include "ProgrammerFixture.h"

using namespace zftest;

namespace {

using Integrity = CProgrammerFixture;

struct SLostAck
{
    const char* what;
    DWORD nAck;     // which acknowledge is lost
    bool bRepeated; // the chunks around it hold the same bytes
    DWORD CSimFaults::*fault = &CSimFaults::m_dwLoseReadAck; // or which chip byte is dropped
    long nProtocol = 0;
};

void PrintTo(const SLostAck& c, std::ostream* os)
{
    *os << c.what << " " << c.nAck << (c.bRepeated ? " repeated" : "");
}

using LostReadAcknowledge = CProgrammerCases<SLostAck>;

} // namespace

// The kernel answers the request to send again with the chunk whose
// acknowledge it never saw; taken as the next chunk it would shift the rest.
// A Protocol B reply with a bad sum is asked for again.
TEST_P(LostReadAcknowledge, ReadComesBackUnshifted)
{
    const SLostAck& c = GetParam();
    ASSERT_TRUE(Start(c.nProtocol ? "ZT52F128.ini" : "ZT31F256.ini", "BOOT", ctGENBootMode, {}, c.nProtocol));
    std::vector<BYTE> data = Pattern(0x200, 0x21);
    if (c.bRepeated)
        std::fill(data.begin() + 0x20 * (c.nAck - 1), data.begin() + 0x20 * (c.nAck + 1), 0x00);
    ASSERT_TRUE(target.LoadFLASH(0x1000, data));
    ASSERT_NO_FATAL_FAILURE(ConnectThen(c.fault, c.nAck));
    EXPECT_TRUE(ReadsBackRight(0x1000, 0x200));
    EXPECT_EQ(target.GetEvents(ekFault).size(), 1u);
    // The connection is still in step afterwards.
    EXPECT_TRUE(ReadsBackRight(0x1100, 0x40));
}

INSTANTIATE_TEST_SUITE_P(Chunks, LostReadAcknowledge,
                         ::testing::Values(SLostAck{"ack", 1, false}, SLostAck{"ack", 5, false},
                                           SLostAck{"ack", 3, true}, SLostAck{"ack", 15, false},
                                           SLostAck{"dropped byte", 100, false, &CSimFaults::m_dwDropTargetByte},
                                           SLostAck{"bad read sum", 1, false, &CSimFaults::m_dwCorruptReadReply, 1}));

// A boot program that answers late, or answers every 0x00 of the train,
// leaves answers on the line that belong to no step after the match.
using BootAnswers = CProgrammerCases<std::tuple<std::string, int>>;

TEST_P(BootAnswers, AreTakenOnlyOnce)
{
    const auto& [definition, nCase] = GetParam();
    const CSimOverrides cases[] = {
        {{"Repeat Boot Answer", "1"}},
        {{"Late Boot Answer", "40"}},
        {{"Late Boot Answer", "20"}, {"Repeat Boot Answer", "1"}},
    };
    const long nProtocol = definition == "ZT52F128.ini";
    ASSERT_TRUE(Start(definition, "BOOT", ctGENBootMode, cases[nCase], nProtocol));
    EXPECT_TRUE(programmer->Connect()) << Errors();
    // A prompt first answer leaves the host nothing to repeat.
    if (nCase > 0) {
        EXPECT_FALSE(target.GetEvents(ekFault).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(BothKindsOfDevice, BootAnswers,
                         ::testing::Combine(::testing::Values(std::string("ZT31F256.ini"), std::string("ZT52F128.ini")),
                                            ::testing::Values(0, 1, 2)));

// A bent erase register takes BLK4 with BLK2; the image's own ranges still
// write and verify, so only a look at the blocks kept tells.
TEST_F(Integrity, CollateralEraseIsNamed)
{
    settings.Write("[Programmer]\nReadbackVerify=1\n");
    ASSERT_TRUE(Start("ZT31F256.ini", "BOOT", ctGENBootMode));
    const std::vector<BYTE> kept = Pattern(0x40, 0x66);
    ASSERT_TRUE(target.LoadFLASH(BlockStart(2), Pattern(0x40, 0x55)));
    ASSERT_TRUE(target.LoadFLASH(BlockStart(4), kept));
    ASSERT_NO_FATAL_FAILURE(ConnectThen(&CSimFaults::m_dwCorruptEraseRegisters, 1));
    programmer->SetProtectionType(ptEraseAutomatically);
    auto image = LoadImage({{BlockStart(2), Pattern(0x80, 0x11)}});
    EXPECT_FALSE(programmer->WriteImage(image.get()));
    EXPECT_TRUE(Shown(skError, "The erase also erased BLK4, which held data and were not to be erased: that data is "
                               "gone"))
        << Errors();
    EXPECT_EQ(target.GetEraseCounts()[4], 1u);
}

// BLK1's register bit lies in the bend, so its erase takes BLK3, BLK4 and
// BLK6 instead: the chip answers that it erased, yet BLK1 keeps its data.
using MissedErase = CProgrammerCases<bool>;

TEST_P(MissedErase, FailsNamingTheBlock)
{
    const bool bAll = GetParam();
    ASSERT_TRUE(Start("ZT31F256.ini", "BOOT", ctGENBootMode));
    ASSERT_TRUE(target.LoadFLASH(BlockStart(1), Pattern(0x40, 0x55)));
    ASSERT_NO_FATAL_FAILURE(ConnectThen(&CSimFaults::m_dwCorruptEraseRegisters, bAll ? 2 : 1));
    CObList chosen;
    chosen.AddTail(Block(1));
    EXPECT_FALSE(bAll ? programmer->EraseFLASH() : programmer->EraseFLASHBlocks(&chosen));
    EXPECT_TRUE(Shown(skError, "The erase left BLK1 holding data: the chip did not erase what it was asked to"))
        << Errors();
    EXPECT_EQ(target.GetEraseCounts()[1], 0u);
}

INSTANTIATE_TEST_SUITE_P(NamedOrAll, MissedErase, ::testing::Bool());

struct SBlankRun
{
    const char* definition;
    long nProtocol;
    eProtectionType protection;
    bool bWritten; // the program succeeds, the run reading back as H'FF
};

void PrintTo(const SBlankRun& c, std::ostream* os)
{
    *os << c.definition << " protocol " << c.nProtocol << " protection " << c.protection;
}

using FileSetsBlank = CProgrammerCases<SBlankRun>;

// The file's run of H'FF falls in a block of its own that holds data.
TEST_P(FileSetsBlank, ReadsBackAsTheFileSaysOrFails)
{
    const SBlankRun& c = GetParam();
    settings.Write("[Programmer]\nReadbackVerify=1\n");
    ASSERT_TRUE(Start(c.definition, "BOOT", ctGENBootMode, {}, c.nProtocol));
    const DWORD run = BlockStart(3) + 0x100;
    ASSERT_TRUE(target.LoadFLASH(run - 0x10, std::vector<BYTE>(0x200, 0x00)));
    ASSERT_TRUE(programmer->Connect()) << Errors();
    programmer->SetProtectionType(c.protection);
    auto image = LoadImage({{0x100, Pattern(0x80, 0x11)}, {run, std::vector<BYTE>(0x100, 0xFF)}});
    EXPECT_EQ(programmer->WriteImage(image.get()), c.bWritten) << Errors();
    const std::vector<BYTE> flash = target.GetFLASH();
    const bool bBlank = std::all_of(&flash[run], &flash[run + 0x100], [](BYTE b) { return b == 0xFF; });
    EXPECT_EQ(bBlank, c.bWritten);
    if (!c.bWritten) {
        CString text;
        text.Format("The file sets H'FF at H'%08X - H'%08X, but the device holds H'00 at H'%08X: its block was not "
                    "erased",
                    static_cast<unsigned>(run), static_cast<unsigned>(run + 0xFF), static_cast<unsigned>(run));
        EXPECT_TRUE(Shown(skError, text.str())) << Errors();
    }
}

INSTANTIATE_TEST_SUITE_P(
    ProtectionAndProtocol, FileSetsBlank,
    ::testing::Values(SBlankRun{"ZT31F256.ini", 0, ptEraseAutomatically, true},
                      SBlankRun{"ZT31F256.ini", 0, ptNeverErase, false},
                      SBlankRun{"ZT52F128.ini", 1, ptEraseAutomatically, false}));
