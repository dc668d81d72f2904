// The direct interface against the virtual target over a real pty: boot at
// each boot rate, micro-kernel download, baud change with each BRR formula,
// and the rates a simple divider cannot reach. (The micro-kernel's faults in
// the baud change are the interface's unit tests.)
#include <gtest/gtest.h>

#include <fstream>

#include "TargetSession.h"

using namespace zftest;

namespace {

// A copy of ZT31F256's definition with another BRR formula.
std::string WithFormula(const TempDir& dir, const std::string& formula)
{
    const std::string path = dir.File(formula + ".ini");
    std::ofstream(path) << DefinitionText("ZT31F256.ini", "BRR Formula = ctPavFormula", "BRR Formula = " + formula);
    return path;
}

class CSession : public CTargetBoot
{
public:
    CSession()
    {
        // Short waits for the erase confirmation so that the silent cases stay quick.
        settings.Write("[Serial]\nEraseTimeout=1\n");
        iface.SetAdvancedUser(true);
    }

    bool ChangeBaud(unsigned long rate, unsigned char code)
    {
        unsigned char work[4] = {};
        return iface.ChangeBaud(rate, code, work, info.m_eBRRFormula);
    }
};

} // namespace

TEST(InterfaceBoot, BootsAtEachBootRateAndChangesToEachStandardRateWithEachFormula)
{
    struct SCase
    {
        std::string definition;
        DWORD bootRate;
        unsigned char code;
        unsigned long rate;
    };
    std::vector<SCase> cases = {{"ZT31F256.ini", 4800, 0xB2, 115200},
                                {"ZT31F256.ini", 2400, 0xB1, 115200},
                                {"ZT31F256.ini", 1200, 0xB0, 115200}};
    TempDir dir;
    for (const std::string& definition : {std::string("ZT31F256.ini"), WithFormula(dir, "ctLomFormula"),
                                          WithFormula(dir, "ctRivFormula")})
        for (unsigned long rate : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200})
            cases.push_back({definition, 9600, 0xB3, rate});
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.definition + " " + std::to_string(c.bootRate) + " " + std::to_string(c.rate));
        CSession s;
        ASSERT_TRUE(s.Start(c.definition, {{"Boot Rate", std::to_string(c.bootRate)}}));
        // As the programmer does for slow boot rates; 4800 also walks down from 9600.
        s.iface.m_dwHighestBootRate = c.bootRate == 4800 ? 0 : c.bootRate;
        unsigned char code = 0;
        ASSERT_TRUE(s.ReachMicroKernel(&code));
        EXPECT_EQ(code, c.code);
        EXPECT_TRUE(s.Shown(skMessage, "micro-Kernel download successful"));
        // The micro-kernel sits byte for byte at the top of RAM.
        const std::vector<BYTE> ram = s.target.GetRAM();
        const std::vector<unsigned char> micro = s.ReadKernel(s.info.m_strMicroKernel);
        EXPECT_TRUE(std::equal(micro.begin(), micro.end(), ram.end() - static_cast<long>(micro.size())));
        // The new BRR follows from the value the micro-kernel reports for its boot rate.
        EXPECT_TRUE(s.ChangeBaud(c.rate, code));
        EXPECT_EQ(s.target.GetTargetRate(), c.rate);
        EXPECT_EQ(s.comms.GetBaudRate(), c.rate);
        EXPECT_TRUE(s.ErrorIds().empty());
        EXPECT_EQ(s.Events(ekViolation), "");
    }
}

TEST(InterfaceBoot, SimpleDividerReachesOnlyMultiplesOfTheBootRate)
{
    // 4.9152 MHz, BRR 16 at 9600: 19200 and 38400 divide exactly; 115200
    // gives 153600, which the link check catches; slower rates give no
    // divider and nothing is sent. 57600 gives BRR 3, 51200 baud: the chip
    // reads the check as 81 82 83 84 and goes back to 9600, but its echo,
    // sampled at 57600, comes back as 01 02 03 04, so the PC believes the link.
    const std::pair<unsigned long, bool> rates[] = {{9600, true},   {19200, true}, {38400, true},
                                                    {115200, false}, {4800, false}, {57600, true}};
    for (auto [rate, reachable] : rates) {
        SCOPED_TRACE(rate);
        CSession s;
        ASSERT_TRUE(s.Start("ZT21F064.ini"));
        unsigned char code = 0;
        ASSERT_TRUE(s.ReachMicroKernel(&code));
        EXPECT_EQ(s.ChangeBaud(rate, code), reachable);
        if (rate == 57600) {
            EXPECT_EQ(s.comms.GetBaudRate(), 57600u);
            EXPECT_TRUE(s.target.WaitUntilIdle(s.target.GetHostBytesTaken(), 2000));
            EXPECT_EQ(s.target.GetTargetRate(), 9600u);
        } else if (reachable) {
            EXPECT_EQ(s.target.GetTargetRate(), rate);
            EXPECT_TRUE(s.ErrorIds().empty());
        } else if (rate > 9600) {
            EXPECT_EQ(s.ErrorIds(), std::vector<WORD>{15010});
        } else {
            ASSERT_EQ(s.ErrorIds(), std::vector<WORD>{0});
            EXPECT_EQ(s.target.GetTargetRate(), 9600u);
        }
    }
}
