// The boot program and the micro-kernel, walked byte by byte by a scripted host.
#include <gtest/gtest.h>

#include <chrono>

#include "SimTestSupport.h"

using namespace simtest;

namespace {
const std::string kUKernel = "kernels/tt08/tt08_ukernel.bin";
const std::string kMain = "kernels/tt08/tt08_main.bin";

// Host bytes the target took as garbage.
int GarbledFromHost(const CSimTarget& target)
{
    int n = 0;
    for (const CSimByteEntry& e : target.GetTranscript().GetBytes())
        n += e.m_eDirection == sdHostToTarget && (e.m_byFlags & sfGarbled);
    return n;
}
} // namespace

TEST(SimBoot, BootsAtEachBootRateAndStartsTheMainKernelAt115200)
{
    const struct
    {
        DWORD rate;
        BYTE brr; // 3.6864 MHz: clock / (32 rate) - 1
    } cases[] = {{9600, 11}, {4800, 23}, {2400, 47}, {1200, 95}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        CSimRun run;
        ASSERT_TRUE(run.Start(DataPath("TT08.ini"), {{"Boot Rate", std::to_string(c.rate)}}));
        EXPECT_EQ(run.host.Boot(), c.rate);
        // The 0x00 bytes sent at the rates above the boot rate reached the chip as garbage, unanswered.
        EXPECT_EQ(GarbledFromHost(run.target), c.rate == 9600 ? 0 : 3 * (c.rate == 4800 ? 1 : c.rate == 2400 ? 2 : 3));
        EXPECT_EQ(run.host.Acknowledge(), 0xAA);
        ASSERT_TRUE(run.host.DownloadEchoed(ReadFile(DataPath(kUKernel))));
        ASSERT_TRUE(run.target.WaitForState(ssMicroKernel, 5000));
        BYTE present = 0, sent = 0;
        ASSERT_TRUE(run.host.ChangeBaud(115200, c.rate, true, &present, &sent));
        EXPECT_EQ(present, c.brr);
        EXPECT_EQ(sent, 0);
        EXPECT_EQ(run.target.GetTargetRate(), 115200u);
        run.host.DownloadKernel(ReadFile(DataPath(kMain)));
        ASSERT_TRUE(run.target.WaitForState(ssMainKernel, 5000));
        CScriptedHost::Identity id;
        ASSERT_TRUE(run.host.Identify(7, &id));
        EXPECT_EQ(id.handshake, 92);
        EXPECT_EQ(id.identifier, 7);
        // The micro-kernel sits at the top of RAM, the main kernel at 0.
        const std::vector<BYTE> ram = run.target.GetRAM();
        const std::vector<BYTE> main = ReadFile(DataPath(kMain)), micro = ReadFile(DataPath(kUKernel));
        EXPECT_TRUE(std::equal(main.begin(), main.end(), ram.begin()));
        EXPECT_TRUE(std::equal(micro.begin(), micro.end(), ram.end() - micro.size()));
        EXPECT_EQ(run.Events(ekViolation), "");
    }
}

TEST(SimBoot, TheAcknowledgeCanFailOrNeverCome)
{
    for (const char* answer : {"FF", "None"}) {
        SCOPED_TRACE(answer);
        CSimRun run;
        ASSERT_TRUE(run.Start(DataPath("TT08.ini"), {{"Boot Answer", answer}}));
        ASSERT_EQ(run.host.Boot(), 9600u);
        run.host.Send(0x55);
        if (answer[0] == 'F') {
            EXPECT_EQ(run.host.Receive(1), std::vector<BYTE>{0xFF});
        }
        EXPECT_TRUE(run.host.Silent());
        EXPECT_TRUE(run.target.WaitForState(ssHalted, 5000));
        EXPECT_NE(run.Events(ekFault), "");
        // A halted chip hears nothing until it is reset.
        run.host.Send({0x00, 0x55});
        EXPECT_TRUE(run.host.Silent());
        run.target.Reset();
        ASSERT_TRUE(run.target.WaitForState(ssBootProgram, 5000));
        run.host.Send(0x00);
        EXPECT_EQ(run.host.Receive(1), std::vector<BYTE>{0x00});
    }
}

TEST(SimBoot, ExtraZerosAfterMatchingGetNoSecondAnswer)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini")));
    ASSERT_EQ(run.host.Boot(), 9600u);
    run.host.Send({0x00, 0x00});
    EXPECT_TRUE(run.host.Silent());
    EXPECT_EQ(run.host.Acknowledge(), 0xAA);
}

TEST(SimBoot, ACorruptedMicroKernelIsCaughtAndTheChipStops)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini")));
    ASSERT_EQ(run.host.Boot(), 9600u);
    ASSERT_EQ(run.host.Acknowledge(), 0xAA);
    std::vector<BYTE> code = ReadFile(DataPath(kUKernel));
    code[40] ^= 0x10;
    // Every byte is echoed as it arrived, so the host sees nothing wrong.
    EXPECT_TRUE(run.host.DownloadEchoed(code));
    ASSERT_TRUE(run.target.WaitForState(ssHalted, 5000));
    EXPECT_NE(run.Events(ekViolation).find("at offset 40"), std::string::npos) << run.Events(ekViolation);
    run.host.Send({0x44, 0x04});
    EXPECT_TRUE(run.host.Silent());
}

TEST(SimBoot, ALineFaultDuringTheDownloadShowsInTheEcho)
{
    CSimRun run;
    // Host bytes: one 0x00, 0x55, the two size bytes, then the code: byte 10 is code[5].
    CSimOverrides faults = {{"Corrupt Host Byte", "10"}};
    ASSERT_TRUE(run.Start(DataPath("TT08.ini"), faults));
    ASSERT_EQ(run.host.Boot(), 9600u);
    ASSERT_EQ(run.host.Acknowledge(), 0xAA);
    const std::vector<BYTE> code = ReadFile(DataPath(kUKernel));
    EXPECT_FALSE(run.host.DownloadEchoed(code));
    const auto bytes = run.target.GetTranscript().GetBytes();
    const auto corrupted = std::count_if(bytes.begin(), bytes.end(), [&](const CSimByteEntry& e) {
        return (e.m_byFlags & sfCorrupted) && e.m_bySent == code[5] && e.m_bySeen == (code[5] ^ CSimFaults::kCorruptMask);
    });
    EXPECT_EQ(corrupted, 1);
}

TEST(SimBoot, AWrongBRRFailsTheLinkCheckAndTheOldRateComesBack)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini")));
    ASSERT_EQ(run.host.Boot(), 9600u);
    ASSERT_EQ(run.host.Acknowledge(), 0xAA);
    ASSERT_TRUE(run.host.DownloadEchoed(ReadFile(DataPath(kUKernel))));
    // BRR 1 puts the chip at 57600 while the host goes to 115200.
    run.host.Send({0x44, 0x04});
    EXPECT_EQ(run.host.Receive(1), std::vector<BYTE>{11});
    run.host.Send(1);
    ASSERT_TRUE(run.host.SetRate(115200));
    run.host.Send({0x01, 0x02, 0x03, 0x04});
    const std::vector<BYTE> echo = run.host.Receive(4);
    ASSERT_EQ(echo.size(), 4u);
    EXPECT_NE(echo, (std::vector<BYTE>{0x01, 0x02, 0x03, 0x04}));
    ASSERT_TRUE(run.host.Silent());
    EXPECT_EQ(run.target.GetTargetRate(), 9600u);
    EXPECT_NE(run.Events(ekNote).find("instead of 01 02 03 04"), std::string::npos);
    // The micro-kernel is still there and takes a proper change.
    ASSERT_TRUE(run.host.SetRate(9600));
    ASSERT_TRUE(run.host.ChangeBaud(115200, 9600, true));
    run.host.DownloadKernel(ReadFile(DataPath(kMain)));
    EXPECT_TRUE(run.target.WaitForState(ssMainKernel, 5000));
}

TEST(SimBoot, AMainKernelThatIsNotTheFileHaltsTheChip)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini")));
    ASSERT_EQ(run.host.Boot(), 9600u);
    ASSERT_EQ(run.host.Acknowledge(), 0xAA);
    ASSERT_TRUE(run.host.DownloadEchoed(ReadFile(DataPath(kUKernel))));
    ASSERT_TRUE(run.host.ChangeBaud(115200, 9600, true));
    // The USER main kernel is not what a BOOT-mode micro-kernel must receive.
    run.host.DownloadKernel(ReadFile(DataPath("kernels/tt08/tt08_user_main.bin")));
    ASSERT_TRUE(run.target.WaitForState(ssHalted, 5000));
    EXPECT_NE(run.Events(ekViolation).find("tt08_main.bin"), std::string::npos) << run.Events(ekViolation);
    run.host.Send(0x09);
    EXPECT_TRUE(run.host.Silent());
}

TEST(SimBoot, TheBootProgramErasesTheFlashOfAnAutoEraseDevice)
{
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail);
        CSimRun run;
        CSimOverrides o;
        if (fail)
            o.emplace_back("Fail Auto Erase", "1");
        ASSERT_TRUE(run.Start(DevicePath("ZT33F128E.ini"), o));
        ASSERT_TRUE(run.target.LoadFLASH(0x5000, Pattern(100, 3)));
        ASSERT_EQ(run.host.Boot(), 9600u);
        ASSERT_EQ(run.host.Acknowledge(), 0xAA);
        ASSERT_TRUE(run.host.DownloadEchoed(ReadFile(DevicePath("kernels/zt31/zt31_ukernel.bin"))));
        EXPECT_EQ(run.host.Receive(1), std::vector<BYTE>{static_cast<BYTE>(fail ? 0xFF : 0xAA)});
        const std::vector<BYTE> flash = run.target.GetFLASH();
        EXPECT_EQ(std::all_of(flash.begin(), flash.end(), [](BYTE b) { return b == 0xFF; }), !fail);
        EXPECT_TRUE(run.target.WaitForState(fail ? ssHalted : ssMicroKernel, 5000));
    }
}

TEST(SimBoot, PowerAndResetStartTheBootProgramAgain)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini")));
    ASSERT_EQ(run.host.Boot(), 9600u);
    ASSERT_EQ(run.host.Acknowledge(), 0xAA);
    run.target.PowerOff();
    ASSERT_TRUE(run.target.WaitForState(ssPoweredOff, 5000));
    run.host.Send({0x00, 0x00});
    EXPECT_TRUE(run.host.Silent());
    run.target.PowerOn();
    ASSERT_TRUE(run.target.WaitForState(ssBootProgram, 5000));
    // What was sent without power is gone: matching starts from scratch.
    EXPECT_EQ(run.host.Boot(), 9600u);
    EXPECT_NE(run.Events(ekNote).find("power off"), std::string::npos);
    EXPECT_NE(run.Events(ekNote).find("sent to the chip without power were lost"), std::string::npos);
}

TEST(SimBoot, ThrottlingTakesTheLinesTimePerByte)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini"), {{"Throttle", "1"}}));
    ASSERT_EQ(run.host.Boot(), 9600u);
    ASSERT_EQ(run.host.Acknowledge(), 0xAA);
    const std::vector<BYTE> code = ReadFile(DataPath(kUKernel));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.host.DownloadEchoed(code));
    const auto took = std::chrono::steady_clock::now() - start;
    // Each of the 98 bytes crosses twice, 10 bits at 9600 baud each way: at least 204 ms.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 2 * 98 * 10 * 1000 / 9600);
}

TEST(SimBoot, ASimpleDividerChipChangesRateFromItsLowestBootRate)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DevicePath("ZT21F064.ini"), {{"Boot Rate", "1200"}}));
    ASSERT_EQ(run.host.Boot(), 1200u);
    ASSERT_EQ(run.host.Acknowledge(), 0xAA);
    ASSERT_TRUE(run.host.DownloadEchoed(ReadFile(DevicePath("kernels/zt21/zt21_ukernel.bin"))));
    BYTE present = 0, sent = 0;
    // 4.9152 MHz / (32 x 128) is 1200 baud; 38400 is 32 times faster: BRR 4.
    ASSERT_TRUE(run.host.ChangeBaud(38400, 1200, false, &present, &sent));
    EXPECT_EQ(present, 128);
    EXPECT_EQ(sent, 4);
    run.host.DownloadKernel(ReadFile(DevicePath("kernels/zt21/zt21_main.bin")));
    CScriptedHost::Identity id;
    ASSERT_TRUE(run.host.Identify(9, &id));
    EXPECT_EQ(id.handshake, 33);
    EXPECT_EQ(id.lineSize, 64);
    EXPECT_EQ(run.host.m_nWidth, 3);
    EXPECT_EQ(run.host.m_nRegisters, 1);
}
