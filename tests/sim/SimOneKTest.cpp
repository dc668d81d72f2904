// The 1K main kernel walked by a scripted host: each operation's module comes
// inside its command and replaces the kernel, which must be downloaded again
// before the next command; a module that is not the one needed is refused.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

using namespace simtest;

namespace {
using Bytes = std::vector<BYTE>;

std::string Kernel(const char* part)
{
    return DevicePath(std::string("kernels/zt10/zt10_") + part + ".bin");
}

// ZT10F016 with its BOOT main kernel running at 19200, identified as 0x21.
class OneK : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(run.Start(DevicePath("ZT10F016.ini"), {{"Start Mode", "BOOT Resident"}, {"Byte Timeout", "200"}}));
        ASSERT_TRUE(run.target.WaitForState(ssMainKernel, 5000));
        ASSERT_TRUE(run.host.SetRate(19200));
        CScriptedHost::Identity id;
        ASSERT_TRUE(run.host.Identify(0x21, &id));
        EXPECT_EQ(run.host.m_nWidth, 2);
    }

    // The operation is over: the main kernel goes back in, and answers.
    void Reload()
    {
        run.host.DownloadKernel(mainKernel);
        EXPECT_EQ(run.host.Handshake(), (Bytes{16, 0x21}));
    }

    size_t KernelStarts()
    {
        size_t n = 0;
        run.host.Settle();
        for (const CSimEvent& e : run.target.GetEvents(ekNote))
            n += e.m_strText.str().find("main kernel") != std::string::npos &&
                 e.m_strText.str().find("started") != std::string::npos;
        return n;
    }

    CSimRun run;
    const Bytes mainKernel = ReadFile(Kernel("main"));
    const Bytes writeModule = ReadFile(Kernel("write"));
    const Bytes eraseModule = ReadFile(Kernel("erase"));
    const Bytes readModule = ReadFile(Kernel("read"));
    const Bytes blankModule = ReadFile(Kernel("blank"));
};
} // namespace

TEST_F(OneK, EachOperationBringsItsModuleAndNeedsTheKernelBack)
{
    ASSERT_TRUE(run.target.LoadFLASH(0x400, Bytes(8, 0x00)));
    run.host.m_Overlay = CScriptedHost::Overlay(eraseModule);
    EXPECT_EQ(run.host.Erase(0x400, 0x800, {0x02}), (Bytes{0x29, 0x29, 0x24}));
    // The module sits where the kernel was.
    Bytes ram = run.target.GetRAM();
    EXPECT_EQ(Bytes(ram.begin(), ram.begin() + eraseModule.size()), eraseModule);
    Reload();
    ram = run.target.GetRAM();
    EXPECT_EQ(Bytes(ram.begin(), ram.begin() + mainKernel.size()), mainKernel);

    // 112 bytes through a 48-byte buffer behind the write module.
    const Bytes data = Pattern(112, 0x44);
    std::vector<BYTE> replies;
    run.host.m_Overlay = CScriptedHost::Overlay(writeModule, 224, 48);
    ASSERT_TRUE(run.host.Write(0x400, data, 48, &replies));
    EXPECT_EQ(replies, (Bytes{0x00, 0x00, 0x00, 0x00}));
    Reload();
    const Bytes flash = run.target.GetFLASH();
    EXPECT_EQ(Bytes(flash.begin() + 0x400, flash.begin() + 0x470), data);

    Bytes back;
    run.host.m_Overlay = CScriptedHost::Overlay(readModule);
    ASSERT_TRUE(run.host.Read(0x400, 112, &back, 1));
    EXPECT_EQ(back, data);
    Reload();
    run.host.m_Overlay = CScriptedHost::Overlay(blankModule);
    EXPECT_EQ(run.host.BlankCheck(0x800, 0x3800), 0x26);
    Reload();
    EXPECT_EQ(KernelStarts(), 4u);
    EXPECT_EQ(run.Events(ekViolation), "");
}

TEST_F(OneK, TheWrongModuleIsRefusedAndAWrongKernelHaltsTheChip)
{
    run.host.m_Overlay = CScriptedHost::Overlay(readModule);
    EXPECT_EQ(run.host.Erase(0x000, 0x400, {0x01}), Bytes{0x3F});
    Reload();
    Bytes garbage = blankModule;
    garbage[30] ^= 0x01;
    run.host.m_Overlay = CScriptedHost::Overlay(garbage);
    EXPECT_EQ(run.host.BlankCheck(0, 0x400), 0x3F);
    Reload();
    // The classic function map is not this kernel's.
    run.host.Send(0x38);
    EXPECT_TRUE(run.host.Silent());
    const std::string refused = run.Events(ekRefusal);
    EXPECT_NE(refused.find("erase refused: RAM at H'0000 holds the read module, not the erase module"),
              std::string::npos)
        << refused;
    EXPECT_NE(refused.find("holds none of the module files, not the check blank module"), std::string::npos);
    EXPECT_NE(run.Events(ekViolation).find("H'38 is not a command of this kernel"), std::string::npos);

    run.host.m_Overlay = CScriptedHost::Overlay(blankModule);
    EXPECT_EQ(run.host.BlankCheck(0, 0x400), 0x26);
    Bytes other = mainKernel;
    other[200] ^= 0x02;
    run.host.DownloadKernel(other);
    EXPECT_TRUE(run.target.WaitForState(ssHalted, 5000));
    EXPECT_NE(run.Events(ekViolation).find("the main kernel download differs"), std::string::npos)
        << run.Events(ekViolation);
}
