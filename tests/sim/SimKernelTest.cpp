// The classic main kernel, walked byte by byte by a scripted host: identity,
// modules and function map, erase, blank check, read, write, end of
// connection, and what it does with faults and protocol mistakes.
#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "platform/Time.h"

using namespace simtest;

TEST(SimKernel, AnswersTheIdentityRequestAndTheHandshake)
{
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini"), {{"Start Mode", "BOOT Resident"}, {"Resident Rate", "115200"}}));
    ASSERT_TRUE(run.host.SetRate(115200));
    run.host.Send(0x09);
    // Kernel word as configured, line size 16 and work area 128 low byte first, bits 0x06.
    EXPECT_EQ(run.host.Receive(7), (std::vector<BYTE>{0x0A, 0x01, 0x10, 0x00, 0x80, 0x00, 0x06}));
    run.host.Send(0x33);
    EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x33}));
    // The liveness check answers the same until a new identity request.
    EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x33}));
    // Without reset the kernel keeps running and remembers the identifier.
    run.host.End(false);
    EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x33}));
    // With reset the chip restarts: a resident kernel comes back fresh.
    run.host.End(true);
    ASSERT_TRUE(run.host.Silent());
    EXPECT_NE(run.Events(ekNote).find("reset: the chip restarts"), std::string::npos);
    EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x00}));
    EXPECT_EQ(run.Events(ekViolation), "");
}

TEST(SimKernel, InjectedIdentityFaults)
{
    CSimRun run;
    ASSERT_TRUE(run.StartResident({{"Wrong Handshake", "1"}, {"User Kernel Running", "True"}}));
    run.host.Send(0x09);
    const std::vector<BYTE> reply = run.host.Receive(7);
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ(reply[6], 0x46); // a USER-mode kernel answers
    run.host.Send(0x12);
    EXPECT_EQ(run.host.Receive(2), (std::vector<BYTE>{0x07, 0x00})); // its RAM top
    EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{static_cast<BYTE>(~92), 0x12}));
}

TEST(SimKernel, RefusesOperationsWhoseModuleIsNotInPlaceAndSaysWhy)
{
    CSimRun run;
    ASSERT_TRUE(run.StartResident());
    EXPECT_EQ(run.host.Erase(0x0000, 0x03FF, {0x01, 0x00}), std::vector<BYTE>{0x3F});
    EXPECT_EQ(run.host.BlankCheck(0, 0x2000), 0x3F);
    run.host.Send({0x24, 16, 0x00, 0x00});
    EXPECT_EQ(run.host.Receive(1), std::vector<BYTE>{0x3F}); // the refusal instead of data
    EXPECT_TRUE(run.host.Silent());
    std::string refused = run.Events(ekRefusal);
    EXPECT_NE(refused.find("erase refused: no function map has been received"), std::string::npos) << refused;
    EXPECT_NE(refused.find("blank check refused"), std::string::npos);
    EXPECT_NE(refused.find("read refused"), std::string::npos);

    // A map that points at the right places before the modules are there.
    run.host.FunctionMap({kWriteAt, kEraseAt}, kBufferAt, 256);
    std::vector<BYTE> replies;
    // The refused write still takes its chunk, so the data is not read as commands.
    EXPECT_FALSE(run.host.Write(0x400, std::vector<BYTE>(32, 0x03), 256, &replies));
    EXPECT_EQ(replies, std::vector<BYTE>{0x3F});
    EXPECT_EQ(run.host.Erase(0x0000, 0x03FF, {0x01, 0x00}), std::vector<BYTE>{0x3F});
    EXPECT_EQ(run.host.BlankCheck(0, 16), 0x3F);
    refused = run.Events(ekRefusal);
    EXPECT_NE(refused.find("RAM at H'0100 does not hold the write module"), std::string::npos) << refused;
    EXPECT_NE(refused.find("RAM at H'0140 does not hold the erase module"), std::string::npos) << refused;
    EXPECT_NE(refused.find("the function map has no check blank entry (2 entries)"), std::string::npos) << refused;

    // A module download that is not the file is caught when it arrives, and the
    // operation stays refused.
    std::vector<BYTE> erase = ReadFile(DataPath("kernels/tt08/tt08_erase.bin"));
    erase[9] ^= 0xFF;
    run.host.DownloadModule(kEraseAt, erase);
    EXPECT_EQ(run.host.Erase(0x0000, 0x03FF, {0x01, 0x00}), std::vector<BYTE>{0x3F});
    EXPECT_NE(run.Events(ekViolation).find("none of the module files: it differs from the erase module"),
              std::string::npos)
        << run.Events(ekViolation);
    EXPECT_NE(run.Events(ekRefusal).find("first difference at offset 9"), std::string::npos);
    // The kernel is still in step with the host.
    EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x41}));
}

TEST(SimKernel, ErasesWritesReadsBackAndBlankChecksABlock)
{
    CSimRun run;
    ASSERT_TRUE(run.StartResident());
    ASSERT_TRUE(run.target.LoadFLASH(0x400, Pattern(0x400, 0x11)));
    run.LoadModules(256);
    EXPECT_EQ(run.host.BlankCheck(0x400, 0x400), 0x25);
    // Three "still erasing" bytes, then done.
    EXPECT_EQ(run.host.Erase(0x400, 0x7FF, {0x02, 0x00}), (std::vector<BYTE>{0x29, 0x29, 0x29, 0x24}));
    EXPECT_EQ(run.target.GetEraseCounts(), (std::vector<DWORD>{0, 1, 0, 0, 0}));
    EXPECT_EQ(run.host.BlankCheck(0x400, 0x400), 0x26);

    const std::vector<BYTE> data = Pattern(0x400, 0x5A);
    std::vector<BYTE> replies;
    ASSERT_TRUE(run.host.Write(0x400, data, 256, &replies));
    EXPECT_EQ(replies, (std::vector<BYTE>{0x00, 0x00, 0x00, 0x00, 0x00}));
    const std::vector<BYTE> flash = run.target.GetFLASH();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x400));
    // The last chunk went through the RAM buffer.
    const std::vector<BYTE> ram = run.target.GetRAM();
    EXPECT_TRUE(std::equal(data.end() - 256, data.end(), ram.begin() + kBufferAt));

    std::vector<BYTE> back;
    ASSERT_TRUE(run.host.Read(0x400, 0x400, &back, 5));
    EXPECT_EQ(back, data);
    EXPECT_NE(run.Events(ekNote).find("(1 chunks sent again)"), std::string::npos);
    // An odd length ends with a short chunk.
    ASSERT_TRUE(run.host.Read(0x410, 45, &back));
    EXPECT_EQ(back, std::vector<BYTE>(data.begin() + 0x10, data.begin() + 0x10 + 45));
    EXPECT_EQ(run.host.BlankCheck(0x400, 0x400), 0x25);
    EXPECT_EQ(run.host.BlankCheck(0x800, 0x1800), 0x26);
    EXPECT_EQ(run.Events(ekViolation), "");
}

TEST(SimKernel, TheEraseRegistersPickTheBlocks)
{
    CSimRun run;
    ASSERT_TRUE(run.StartResident());
    ASSERT_TRUE(run.target.LoadFLASH(0, std::vector<BYTE>(0x2000, 0x00)));
    run.LoadModules();
    // The addresses say B0, the registers say B1 and B4: the registers win.
    EXPECT_EQ(run.host.Erase(0x000, 0x3FF, {0x02, 0x01}).back(), 0x24);
    EXPECT_EQ(run.target.GetEraseCounts(), (std::vector<DWORD>{0, 1, 0, 0, 1}));
    EXPECT_NE(run.Events(ekViolation).find("the erase registers select {B1 B4} but H'00000000 - H'000003FF covers {B0}"),
              std::string::npos)
        << run.Events(ekViolation);
    // Registers that select nothing fail the erase.
    EXPECT_EQ(run.host.Erase(0x000, 0x3FF, {0x00, 0x00}).back(), 0x30);
}

TEST(SimKernel, InjectedEraseFaults)
{
    CSimRun run;
    ASSERT_TRUE(run.StartResident({{"Fail Erase", "2"}, {"Erase Polls", "40"}}));
    run.LoadModules();
    std::vector<BYTE> slow(40, 0x29);
    slow.push_back(0x24);
    EXPECT_EQ(run.host.Erase(0x000, 0x3FF, {0x01, 0x00}), slow);
    slow.back() = 0x30;
    EXPECT_EQ(run.host.Erase(0x400, 0x7FF, {0x02, 0x00}), slow);
    EXPECT_EQ(run.target.GetEraseCounts(), (std::vector<DWORD>{1, 0, 0, 0, 0}));
    EXPECT_NE(run.Events(ekFault).find("erase 2 fails"), std::string::npos);
}

TEST(SimKernel, WritesOverUnerasedBitsAreViolationsAndCanFail)
{
    for (bool strict : {false, true}) {
        SCOPED_TRACE(strict);
        CSimRun run;
        CSimOverrides o;
        if (strict)
            o.emplace_back("Fail Overwrite", "1");
        ASSERT_TRUE(run.StartResident(o));
        ASSERT_TRUE(run.target.LoadFLASH(0x20, {0x0F}));
        run.LoadModules();
        std::vector<BYTE> replies;
        const bool ok = run.host.Write(0, std::vector<BYTE>(64, 0xF0), 256, &replies);
        EXPECT_EQ(ok, !strict);
        EXPECT_EQ(replies, (strict ? std::vector<BYTE>{0x23} : std::vector<BYTE>{0x00, 0x00}));
        EXPECT_EQ(run.target.GetFLASH()[0x20], 0x00); // the cell keeps old AND new
        EXPECT_NE(run.Events(ekViolation).find("1 bytes ask 0 bits to become 1 (first at H'00000020)"),
                  std::string::npos)
            << run.Events(ekViolation);
        // Either way the kernel is back at its command loop.
        EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x41}));
    }
}

TEST(SimKernel, InjectedWriteFaultsAndCancellation)
{
    CSimRun run;
    ASSERT_TRUE(run.StartResident({{"Fail Write Chunk", "3"}, {"Fail Write", "1"}}));
    run.LoadModules(128);
    std::vector<BYTE> replies;
    // Write 1: two chunks, then the failing final status.
    EXPECT_TRUE(run.host.Write(0x000, Pattern(256, 1), 128, &replies));
    EXPECT_EQ(replies, (std::vector<BYTE>{0x00, 0x00, 0x23}));
    // Write 2: its first chunk is chunk 3 overall.
    EXPECT_FALSE(run.host.Write(0x400, Pattern(256, 2), 128, &replies));
    EXPECT_EQ(replies, std::vector<BYTE>{0x23});
    // Write 3: cancelled after its first chunk; that chunk stays written.
    EXPECT_TRUE(run.host.Write(0x800, Pattern(384, 3), 128, &replies, 0));
    EXPECT_EQ(replies, (std::vector<BYTE>{0x00, 0x23}));
    const std::vector<BYTE> flash = run.target.GetFLASH();
    EXPECT_EQ(flash[0x800], Pattern(1, 3)[0]);
    EXPECT_EQ(flash[0x880], 0xFF);
    EXPECT_NE(run.Events(ekNote).find("write cancelled by the host after 128 of 384 bytes"), std::string::npos);
    // A read cancelled in its second chunk.
    std::vector<BYTE> back;
    EXPECT_TRUE(run.host.Read(0, 256, &back, -1, 1));
    EXPECT_NE(run.Events(ekNote).find("read cancelled by the host after 32 of 256 bytes"), std::string::npos);
    EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x41}));
}

TEST(SimKernel, AnnouncedPaddingThatNeverComesIsTakenAsErased)
{
    CSimRun run;
    ASSERT_TRUE(run.StartResident({{"Byte Timeout", "50"}}));
    run.LoadModules(256);
    // 20 bytes announced as 32 (two lines of 16), only 20 sent.
    run.host.Send({0x22, 32});
    run.host.SendNumber(0x100, 2);
    run.host.Send(Pattern(20, 9));
    EXPECT_EQ(run.host.Receive(1), std::vector<BYTE>{0x00});
    run.host.Send(0x01);
    EXPECT_EQ(run.host.Receive(1), std::vector<BYTE>{0x00});
    EXPECT_NE(run.Events(ekViolation).find("the last 12 announced bytes never came"), std::string::npos);
    const std::vector<BYTE> flash = run.target.GetFLASH();
    EXPECT_EQ(std::vector<BYTE>(flash.begin() + 0x100, flash.begin() + 0x114), Pattern(20, 9));
    EXPECT_EQ(flash[0x114], 0xFF);
}

TEST(SimKernel, RecordsProtocolMistakesOfTheHost)
{
    CSimRun run;
    ASSERT_TRUE(run.StartResident());
    // A small module announced with the long-module command.
    const std::vector<BYTE> blank = ReadFile(DataPath("kernels/tt08/tt08_blank.bin"));
    run.host.Send(0x48);
    run.host.SendNumber(static_cast<DWORD>(blank.size()), 2);
    run.host.SendNumber(kBlankAt, 2);
    run.host.Send(blank);
    // A buffer over the check-blank module, not a whole number of lines.
    run.host.FunctionMap({0, 0, 0, kBlankAt}, kBlankAt + 8, 250);
    run.host.Send(0x77);
    // An out-of-range blank check.
    EXPECT_EQ(run.host.BlankCheck(0x1F00, 0x200), 0x3F);
    EXPECT_EQ(run.host.BlankCheck(0x1F00, 0x100), 0x26);
    const std::string v = run.Events(ekViolation);
    EXPECT_NE(v.find("a module of 32 bytes announced with H'48"), std::string::npos) << v;
    EXPECT_NE(v.find("the data buffer overlaps the check blank module at H'0198"), std::string::npos) << v;
    EXPECT_NE(v.find("not a multiple of the line size 16"), std::string::npos) << v;
    EXPECT_NE(v.find("unknown command H'77 ignored"), std::string::npos) << v;
    EXPECT_NE(v.find("reaches beyond the FLASH"), std::string::npos) << v;

    // A module over the main kernel: the kernel overwrites itself and stops.
    run.host.DownloadModule(0x0080, blank);
    ASSERT_TRUE(run.target.WaitForState(ssHalted, 5000));
    run.host.Send(0x0A);
    EXPECT_TRUE(run.host.Silent());
}

TEST(SimKernel, InjectedLineFaults)
{
    {
        // Byte 3 of the identity reply is corrupted, byte 5 lost.
        CSimRun run;
        ASSERT_TRUE(run.Start(DataPath("TT08.ini"), {{"Start Mode", "BOOT Resident"},
                                                     {"Resident Rate", "115200"},
                                                     {"Corrupt Target Byte", "3"},
                                                     {"Drop Target Byte", "5"}}));
        ASSERT_TRUE(run.host.SetRate(115200));
        run.host.Send(0x09);
        EXPECT_EQ(run.host.Receive(6),
                  (std::vector<BYTE>{0x0A, 0x01, 0x10 ^ CSimFaults::kCorruptMask, 0x00, 0x00, 0x06}));
        EXPECT_TRUE(run.host.Silent());
    }
    {
        // The identifier (host byte 2) is dropped: the kernel gives up on the
        // command, and the next 0x0A is taken as the identifier instead.
        CSimRun run;
        ASSERT_TRUE(run.Start(DataPath("TT08.ini"),
                              {{"Start Mode", "BOOT Resident"}, {"Resident Rate", "115200"}, {"Drop Host Byte", "2"}}));
        ASSERT_TRUE(run.host.SetRate(115200));
        run.host.Send(0x09);
        EXPECT_EQ(run.host.Receive(7).size(), 7u);
        run.host.Send(0x5E);
        run.host.Send(0x0A);
        EXPECT_TRUE(run.host.Silent());
        EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x0A}));
    }
    {
        // From the second host byte on the target says nothing more.
        CSimRun run;
        ASSERT_TRUE(run.Start(DataPath("TT08.ini"), {{"Start Mode", "BOOT Resident"},
                                                     {"Resident Rate", "115200"},
                                                     {"Stop After Host Bytes", "2"}}));
        ASSERT_TRUE(run.host.SetRate(115200));
        EXPECT_EQ(run.host.Handshake().size(), 2u);
        run.host.Send(0x0A);
        EXPECT_TRUE(run.host.Silent());
        EXPECT_NE(run.Events(ekFault).find("the target stops answering"), std::string::npos);
    }
}

TEST(SimKernel, BytesAtTheWrongRateAreGarbageBothWays)
{
    CSimRun run;
    ASSERT_TRUE(run.StartResident({{"Erase Time", "2000"}}));
    ASSERT_TRUE(run.host.SetRate(9600));
    run.host.Send(0x0A);
    ASSERT_TRUE(run.host.Silent());
    const auto bytes = run.target.GetTranscript().GetBytes();
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back().m_byFlags, sfGarbled);
    EXPECT_EQ(bytes.back().m_bySeen, CSimBaud::Garble(0x0A, 9600, 115200));
    EXPECT_NE(run.Events(ekViolation).find("unknown command"), std::string::npos);
    // The target's answers reach a host at the wrong rate as garbage too: the
    // host changes rate while a two-second erase runs.
    ASSERT_TRUE(run.host.SetRate(115200));
    run.LoadModules();
    CSimFaults faults = run.target.GetFaults();
    faults.m_dwErasePolls = 0;
    run.target.SetFaults(faults);
    const std::uint64_t taken = run.target.GetHostBytesTaken() + 7;
    run.host.Send({0x03, 0x00, 0x00, 0x03, 0xFF, 0x01, 0x00});
    // Change rate only once the chip has the whole command, or a slow target
    // thread would read the command itself as garbage.
    for (int i = 0; i < 1000 && run.target.GetHostBytesTaken() < taken; ++i)
        Sleep(10);
    ASSERT_GE(run.target.GetHostBytesTaken(), taken);
    ASSERT_TRUE(run.host.SetRate(9600));
    EXPECT_EQ(run.host.Receive(1, 10000), std::vector<BYTE>{CSimBaud::Garble(0x24, 115200, 9600)});
}
