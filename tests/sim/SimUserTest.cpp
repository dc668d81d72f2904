// The chip's own program in USER mode: the user command, a kernel sent
// without a baud change, and a resident USER kernel's work area.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

using namespace simtest;

TEST(SimUser, TheLoaderHearsNothingBeforeItsCommand)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini"),
                          {{"Start Mode", "USER"}, {"User Command", "PROG\\r"}, {"User Command Baud", "19200"}}));
    ASSERT_TRUE(run.target.WaitForState(ssUserProgram, 5000));
    // Before its command the program listens at 19200 and knows nothing of a baud change.
    ASSERT_TRUE(run.host.SetRate(9600));
    run.host.Send({0x44, 0x04});
    EXPECT_TRUE(run.host.Silent());
    ASSERT_TRUE(run.host.SetRate(19200));
    run.host.Send({'x', 'P', 'R', 'O', 'G', '\r'});
    EXPECT_TRUE(run.host.Silent());
    EXPECT_THAT(run.Events(ekNote), HasSubstr("the user command arrived"));
    ASSERT_TRUE(run.host.SetRate(9600));
    EXPECT_TRUE(run.host.ChangeBaud(115200, 9600));
}

TEST(SimUser, WithoutARateChangeTheLoaderTakesTheKernelAt9600)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini"), {{"Start Mode", "USER"}}));
    ASSERT_TRUE(run.target.WaitForState(ssUserProgram, 5000));
    // FF FF and FF before the length are too long for a kernel and are passed over.
    run.host.Send({0xFF});
    run.host.DownloadKernel(ReadFile(DataPath("kernels/tt08/tt08_user_main.bin")));
    ASSERT_TRUE(run.target.WaitForState(ssUserMainKernel, 5000)) << run.Events(ekViolation);
    const int bits = run.host.Identify(7);
    EXPECT_TRUE(bits >= 0 && (bits & 0x40)) << bits;
    EXPECT_THAT(run.Events(ekNote), HasSubstr("no baud change"));
}

TEST(SimUser, AResidentUserKernelGuardsItsWorkArea)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini"), {{"Start Mode", "USER Resident"}, {"Resident Rate", "38400"}}));
    ASSERT_TRUE(run.target.WaitForState(ssUserMainKernel, 5000));
    ASSERT_TRUE(run.host.SetRate(38400));
    ASSERT_GE(run.host.Identify(0x99), 0);

    // A USER kernel serves the same commands; its work area sits below RAM top.
    run.host.DownloadModule(0x0120, ReadFile(DataPath("kernels/tt08/tt08_blank.bin")));
    run.host.FunctionMap({0, 0, 0, 0x0120}, 0x0140, 0x0540);
    EXPECT_EQ(run.host.BlankCheck(0, 0x2000), 0x26);
    EXPECT_EQ(run.Events(ekViolation), "");
    run.host.FunctionMap({0, 0, 0, 0x0120}, 0x0140, 0x0560);
    EXPECT_THAT(run.Events(ekViolation), HasSubstr("reaches into the kernel's work area (from H'0680)"));
}
