// A classic read has no check sum: a byte bent, doubled or misread on its way
// must still never reach the file. The chip is preloaded (zflash-sim --load)
// with a blank first block, so a file that starts at the first data is caught too.
#include <gmock/gmock.h>

#include <fstream>

#include "ExitCode.h"
#include "TestSupport.h"
#include "ToolProcess.h"

namespace {
struct SReadFault
{
    const char* name;
    std::vector<std::string> sets;
};

void PrintTo(const SReadFault& c, std::ostream* os)
{
    *os << c.name;
}

using ReadFault = TToolRun<testing::TestWithParam<SReadFault>>;
} // namespace

TEST_P(ReadFault, TheFileHoldsWhatTheChipHolds)
{
    std::string chip(0x3000, '\xFF');
    for (std::size_t i = 0x1000; i < chip.size(); ++i)
        chip[i] = static_cast<char>((i * 37 + i / 251) & 0xFF);
    std::ofstream(dir.File("chip.bin"), std::ios::binary) << chip;
    std::vector<std::string> options{"--load", dir.File("chip.bin"), "--set", "Start Mode=BOOT Resident"};
    for (const std::string& s : GetParam().sets)
        options.insert(options.end(), {"--set", s});
    CSimProcess sim("devices/ZT21F064.ini", options);
    ASSERT_FALSE(sim.Port().empty()) << sim.Err();
    const SToolResult r = RunZflash({"-d", zftest::SourcePath("devices/ZT21F064.ini"), "-p", sim.Port(), "-c",
                                     "boot-resident", "--yes", "read", dir.File("out.bin"), "--format", "raw", "--start", "0",
                                     "--length", "0x3000"});
    if (GetParam().sets.empty() || r.code == ecSuccess) {
        ASSERT_EQ(r.code, ecSuccess) << r.err;
        EXPECT_EQ(zftest::ReadAll(dir.File("out.bin")), chip);
        return;
    }
    // A fault may also end the read, cleanly and with its reason, never in a wrong file.
    EXPECT_THAT(r.code, testing::AnyOf(ecRead, ecConnection)) << r.err;
    EXPECT_THAT(r.err, testing::HasSubstr("error:"));
    EXPECT_FALSE(std::ifstream(dir.File("out.bin")).good());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReadFault,
    testing::Values(SReadFault{"None", {}},
                    SReadFault{"BentByte", {"Corrupt Target Byte=200", "Fault Phase=read"}},
                    SReadFault{"DoubledByte", {"Duplicate Target Byte=150", "Fault Phase=read"}},
                    SReadFault{"CellMisread", {"Flip Read Bit=0x1805"}}),
    [](const testing::TestParamInfo<SReadFault>& p) { return p.param.name; });
