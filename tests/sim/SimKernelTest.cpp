// The classic main kernel, walked byte by byte by a scripted host, for what
// the library never sends: operations without their modules, erase registers
// that disagree with the addresses, writes over unerased bits, protocol
// mistakes and a dropped identifier.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

using namespace simtest;

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
    EXPECT_THAT(refused, HasSubstr("erase refused: no function map has been received"));
    EXPECT_THAT(refused, HasSubstr("blank check refused"));
    EXPECT_THAT(refused, HasSubstr("read refused"));

    // A map that points at the right places before the modules are there.
    run.host.FunctionMap({kWriteAt, kEraseAt}, kBufferAt, 256);
    std::vector<BYTE> replies;
    // The refused write still takes its chunk, so the data is not read as commands.
    EXPECT_FALSE(run.host.Write(0x400, std::vector<BYTE>(32, 0x03), &replies));
    EXPECT_EQ(replies, std::vector<BYTE>{0x3F});
    EXPECT_EQ(run.host.Erase(0x0000, 0x03FF, {0x01, 0x00}), std::vector<BYTE>{0x3F});
    EXPECT_EQ(run.host.BlankCheck(0, 16), 0x3F);
    refused = run.Events(ekRefusal);
    EXPECT_THAT(refused, HasSubstr("RAM at H'0100 does not hold the write module"));
    EXPECT_THAT(refused, HasSubstr("RAM at H'0140 does not hold the erase module"));
    EXPECT_THAT(refused, HasSubstr("the function map has no check blank entry (2 entries)"));

    // A module download that is not the file is caught when it arrives, and the
    // operation stays refused.
    std::vector<BYTE> erase = ReadFile(DataPath("kernels/tt08/tt08_erase.bin"));
    erase[9] ^= 0xFF;
    run.host.DownloadModule(kEraseAt, erase);
    EXPECT_EQ(run.host.Erase(0x0000, 0x03FF, {0x01, 0x00}), std::vector<BYTE>{0x3F});
    EXPECT_THAT(run.Events(ekViolation), HasSubstr("none of the module files: it differs from the erase module"));
    EXPECT_THAT(run.Events(ekRefusal), HasSubstr("first difference at offset 9"));
    // The kernel is still in step with the host.
    EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x41}));
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
    EXPECT_THAT(run.Events(ekViolation),
                HasSubstr("the erase registers select {B1 B4} but H'00000000 - H'000003FF covers {B0}"));
    // Registers that select nothing fail the erase.
    EXPECT_EQ(run.host.Erase(0x000, 0x3FF, {0x00, 0x00}).back(), 0x30);
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
        const bool ok = run.host.Write(0, std::vector<BYTE>(64, 0xF0), &replies);
        EXPECT_EQ(ok, !strict);
        EXPECT_EQ(replies, (strict ? std::vector<BYTE>{0x23} : std::vector<BYTE>{0x00, 0x00}));
        EXPECT_EQ(run.target.GetFLASH()[0x20], 0x00); // the cell keeps old AND new
        EXPECT_THAT(run.Events(ekViolation), HasSubstr("1 bytes ask 0 bits to become 1 (first at H'00000020)"));
        // Either way the kernel is back at its command loop.
        EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x41}));
    }
}

TEST(SimKernel, RecordsProtocolMistakesOfTheHost)
{
    CSimRun run;
    ASSERT_TRUE(run.StartResident());
    // A small module announced with the long-module command.
    const std::vector<BYTE> blank = ReadFile(DataPath("kernels/tt08/tt08_blank.bin"));
    run.host.DownloadModule(kBlankAt, blank, 0x48);
    // A buffer over the check-blank module, not a whole number of lines.
    run.host.FunctionMap({0, 0, 0, kBlankAt}, kBlankAt + 8, 250);
    run.host.Send(0x77);
    // An out-of-range blank check.
    EXPECT_EQ(run.host.BlankCheck(0x1F00, 0x200), 0x3F);
    EXPECT_EQ(run.host.BlankCheck(0x1F00, 0x100), 0x26);
    const std::string v = run.Events(ekViolation);
    EXPECT_THAT(v, HasSubstr("a module of 32 bytes announced with H'48"));
    EXPECT_THAT(v, HasSubstr("the data buffer overlaps the check blank module at H'0198"));
    EXPECT_THAT(v, HasSubstr("not a multiple of the line size 16"));
    EXPECT_THAT(v, HasSubstr("unknown command H'77 ignored"));
    EXPECT_THAT(v, HasSubstr("reaches beyond the FLASH"));

    // A module over the main kernel: the kernel overwrites itself and stops.
    run.host.DownloadModule(0x0080, blank);
    ASSERT_TRUE(run.target.WaitForState(ssHalted, 5000));
    run.host.Send(0x0A);
    EXPECT_TRUE(run.host.Silent());
}

TEST(SimKernel, ADroppedIdentifierIsTakenFromTheNextByte)
{
    // The kernel gives up on the identity command, and the next 0x0A is read
    // as the identifier instead of as a handshake request.
    CSimRun run;
    ASSERT_TRUE(run.Start(DataPath("TT08.ini"),
                          {{"Start Mode", "BOOT Resident"}, {"Resident Rate", "115200"}, {"Drop Host Byte", "2"}}));
    ASSERT_TRUE(run.host.SetRate(115200));
    run.host.Send(0x09);
    EXPECT_EQ(run.host.Receive(7).size(), 7u);
    run.host.Send({0x5E, 0x0A});
    EXPECT_TRUE(run.host.Silent());
    EXPECT_EQ(run.host.Handshake(), (std::vector<BYTE>{92, 0x0A}));
}
