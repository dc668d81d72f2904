// The programmer on a virtual line paced like a real UART, at the slowest and
// the fastest rate of each protocol: it connects, writes and reads back, and
// the transcript shows a line that was never faster than the wire.
#include <cstdio>

#include "ProgrammerFixture.h"

using namespace zftest;

namespace {

struct SPacedCase
{
    const char* definition;
    long nProtocol;
    long nRate;
    int nClockRatio; // Protocol B: system and peripheral multiplication
};

void PrintTo(const SPacedCase& c, std::ostream* os)
{
    *os << c.definition << " at " << c.nRate;
}

std::int64_t ByteNs(DWORD rate)
{
    return static_cast<std::int64_t>((10000000000ull + rate - 1) / rate);
}

// The rate in force in each direction at each byte, from the line's notes.
std::vector<DWORD> FastestRateAtEachByte(const CSimTranscript& transcript, std::size_t nBytes)
{
    std::vector<DWORD> rates(nBytes, 9600);
    DWORD host = 9600, chip = 9600;
    for (const CSimEvent& e : transcript.GetEvents(ekNote)) {
        unsigned long r = 0;
        if (std::sscanf(e.m_strText.GetString(), "host line rate now %lu baud", &r) == 1 && r)
            host = static_cast<DWORD>(r);
        else if (std::sscanf(e.m_strText.GetString(), "target line rate now %lu baud", &r) == 1 && r)
            chip = static_cast<DWORD>(r);
        std::fill(rates.begin() + static_cast<long>(std::min(e.m_nBytesBefore, nBytes)), rates.end(), std::max(host, chip));
    }
    return rates;
}

// No byte ends sooner than a byte time after the one before it in its own
// direction, and no chip byte starts before the last host byte it took ended.
::testing::AssertionResult NeverFasterThanTheWire(const CSimTranscript& transcript)
{
    const std::vector<CSimByteEntry> bytes = transcript.GetBytes();
    const std::vector<DWORD> rates = FastestRateAtEachByte(transcript, bytes.size());
    std::int64_t lastEnd[2] = {-1, -1};
    std::size_t checked = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const CSimByteEntry& b = bytes[i];
        if (b.m_byFlags & (sfDropped | sfSuppressed))
            continue;
        // Around a change of rate the faster of the two stands.
        const DWORD rate = std::max(rates[i], i ? rates[i - 1] : rates[i]);
        const auto end = static_cast<std::int64_t>(b.m_qwNanoseconds);
        const int d = b.m_eDirection;
        if (lastEnd[d] >= 0 && end - lastEnd[d] < ByteNs(rate))
            return ::testing::AssertionFailure() << "byte " << i << " ended " << end - lastEnd[d]
                                                 << " ns after its predecessor at " << rate << " baud";
        // The chip answers what it has taken; the host may send while it hears.
        if (d == sdTargetToHost && lastEnd[sdHostToTarget] >= 0 && end - ByteNs(rate) < lastEnd[sdHostToTarget])
            return ::testing::AssertionFailure() << "chip byte " << i << " started "
                                                 << lastEnd[sdHostToTarget] - (end - ByteNs(rate))
                                                 << " ns before the host's last byte ended";
        lastEnd[d] = end;
        ++checked;
    }
    if (checked < 100)
        return ::testing::AssertionFailure() << "only " << checked << " bytes crossed";
    return ::testing::AssertionSuccess();
}

using PacedLine = CProgrammerCases<SPacedCase>;

} // namespace

TEST_P(PacedLine, ConnectsWritesAndReadsBackWithoutOutrunningTheWire)
{
    const SPacedCase& c = GetParam();
    ASSERT_TRUE(Start(c.definition, "BOOT", ctGENBootMode, {{"Throttle", "1"}}, c.nProtocol, c.nClockRatio));
    programmer->SetProtectionType(ptEraseAutomatically);
    programmer->SetBaudRate(c.nRate);
    ASSERT_TRUE(programmer->Connect()) << Errors();

    ASSERT_TRUE(Writes({{0x0100, Pattern(300, 0x21)}}));
    EXPECT_TRUE(ReadsBackRight(0x100, 300));
    EXPECT_TRUE(NeverFasterThanTheWire(target.GetTranscript()));
}

INSTANTIATE_TEST_SUITE_P(SlowestAndFastestRates, PacedLine,
                         ::testing::Values(SPacedCase{"ZT31F256.ini", 0, 9600, 4},
                                           SPacedCase{"ZT31F256.ini", 0, 115200, 4},
                                           SPacedCase{"ZT52F128.ini", 1, 9600, 4},
                                           SPacedCase{"ZT52F128.ini", 1, 2000000, 8}));

using PacedLineCancel = CProgrammerFixture;

// What a cancelled read leaves in flight must not spoil the next run on the port.
TEST_F(PacedLineCancel, ANewRunAfterACancelledReadConnectsAndReads)
{
    ASSERT_TRUE(Start("ZT31F256.ini", "BOOT", ctGENBootMode));
    ASSERT_TRUE(programmer->Connect()) << Errors();
    target.LoadFLASH(0x8000, Pattern(64, 0x44));
    target.SetThrottle(true);
    const auto start = target.GetTargetBytesSent();
    WhileRunning([&] { return std::unique_ptr<CFLASHBinaryImage>(programmer->ReadImage(0, nullptr, 0, 0x20000)); },
                 [&] { return target.GetTargetBytesSent() >= start + 2000; }, [&] { programmer->Cancel(); });
    EXPECT_TRUE(programmer->GetCancelFlag());
    programmer.reset();

    // The next run finds the kernel still running, as a new process would.
    programmer = MakeProgrammer(target, "ZT31F256.ini", ctGENBootDirect);
    ASSERT_TRUE(programmer->Connect()) << Errors();
    EXPECT_TRUE(ReadsBackRight(0x8000, 64));
}
