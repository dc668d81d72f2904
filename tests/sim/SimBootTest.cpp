// The boot program and the micro-kernel, walked byte by byte by a scripted
// host, for what the library never sends: extra zeros, a corrupted
// micro-kernel, the wrong main kernel, power cuts.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

using namespace simtest;

namespace {
const std::string kUKernel = "kernels/tt08/tt08_ukernel.bin";
} // namespace

TEST(SimBoot, ExtraZerosAfterMatchingGetNoSecondAnswer)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini")));
    ASSERT_EQ(run.host.Boot(), 9600u);
    run.host.Send({0x00, 0x00});
    EXPECT_TRUE(run.host.Silent());
    EXPECT_EQ(run.host.Acknowledge(), 0xAA);
}

TEST(SimBoot, ADownloadThatIsNotTheFileHaltsTheChip)
{
    // A micro-kernel with a bit flipped (each byte is echoed as it arrived, so
    // the host sees nothing wrong), or the other mode's main kernel.
    const struct
    {
        const char* mode;
        int flip;
        const char* kernel;
        const char* why;
    } cases[] = {
        {"BOOT", 40, nullptr, "at offset 40"},
        {"BOOT", -1, "kernels/tt08/tt08_user_main.bin", "tt08_main.bin"},
        {"USER", -1, "kernels/tt08/tt08_main.bin", "tt08_user_main.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        CSimRun run;
        ASSERT_TRUE(run.Start(DataPath("TT08.ini"), {{"Start Mode", c.mode}}));
        if (c.mode[0] == 'B') {
            ASSERT_EQ(run.host.Boot(), 9600u);
            ASSERT_EQ(run.host.Acknowledge(), 0xAA);
            std::vector<BYTE> code = ReadFile(DataPath(kUKernel));
            if (c.flip >= 0)
                code[c.flip] ^= 0x10;
            EXPECT_TRUE(run.host.DownloadEchoed(code));
        }
        if (c.kernel) {
            ASSERT_TRUE(run.host.ChangeBaud(115200, 9600));
            run.host.DownloadKernel(ReadFile(DataPath(c.kernel)));
        }
        ASSERT_TRUE(run.target.WaitForState(ssHalted, 5000));
        EXPECT_THAT(run.Events(ekViolation), HasSubstr(c.why));
        run.host.Send({0x44, 0x04, 0x09});
        EXPECT_TRUE(run.host.Silent());
    }
}

TEST(SimBoot, PowerAndResetStartTheBootProgramAgain)
{
    CSimRun run;
    ASSERT_TRUE(run.StartBooted(DataPath("TT08.ini")));
    run.target.PowerOff();
    ASSERT_TRUE(run.target.WaitForState(ssPoweredOff, 5000));
    run.host.Send({0x00, 0x00});
    EXPECT_TRUE(run.host.Silent());
    run.target.PowerOn();
    ASSERT_TRUE(run.target.WaitForState(ssBootProgram, 5000));
    // What was sent without power is gone: matching starts from scratch.
    EXPECT_EQ(run.host.Boot(), 9600u);
    EXPECT_THAT(run.Events(ekNote), HasSubstr("power off"));
    EXPECT_THAT(run.Events(ekNote), HasSubstr("sent to the chip without power were lost"));
}
