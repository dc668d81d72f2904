#include <gtest/gtest.h>

#include "protocol/FLASH1KProtocol.h"
#include "protocol/ScriptedDevice.h"

using namespace zftest;

namespace {

// A download as the 1K kernels take it: length in two bytes, then the code.
std::vector<BYTE> Download(size_t size, BYTE seed)
{
    return Join({Bytes({static_cast<int>(size >> 8), static_cast<int>(size & 0xFF)}), FileBytes(size, seed)});
}

// 1024 bytes of RAM, 128 for the kernel's work area, a 512-byte main kernel.
class Device1KTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(run.Start({4, 128, 0x09})); }

    const std::vector<BYTE> kernel = Download(512, 0x11);
    CScriptedDevice run{1024, 512, true};
    CFakeComms& comms = run.comms;
    CBlockItem* block0 = static_cast<CBlockItem*>(run.info.m_EraseBlocks.GetHead());
};

// A refused chunk still bringing the kernel back runs in DeviceFaultsTest.
TEST_F(Device1KTest, WritePadsTheLastChunkAndSendsTheKernelAgain)
{
    std::vector<BYTE> data = FileBytes(10, 0x80);
    comms.Reply({0x00, 0x00});
    ASSERT_TRUE(run.device->WriteVerifyFLASH(0x100, 10, data.data(), 0));
    // Command announcing 12; write module at 0; buffer map 92 / 804; data, two 0xFF, continue.
    EXPECT_EQ(comms.written, Join({Bytes({0x22, 12, 0x00, 0x01, 0x00}), Download(90, 0x21),
                                   Bytes({0x00, 92, 0x03, 0x24}), data, Bytes({0xFF, 0xFF, 0x01}), kernel}));
    EXPECT_EQ(run.device->GetBufferAddress(), 92u);
    EXPECT_EQ(run.device->GetBufferSize(), 384u);
}

TEST_F(Device1KTest, EraseSendsTheCommandBeforeItsModule)
{
    comms.Reply({0x29, 0x29, 0x24});
    block0->m_bWritten = 1;
    ASSERT_TRUE(run.device->EraseFLASHBlock(block0));
    // The second address is one past the block.
    EXPECT_EQ(comms.written, Join({Bytes({0x03}), Download(50, 0x22), Bytes({0, 0, 0, 0, 0x10, 0x00, 0x01}), kernel}));
    EXPECT_FALSE(block0->m_bWritten);

    comms.written.clear();
    block0->m_bWritten = 1;
    comms.Reply({0x29, 0x30});
    EXPECT_FALSE(run.device->EraseFLASHBlock(block0));
    EXPECT_TRUE(block0->m_bWritten);
    EXPECT_EQ(comms.written.size(), 1u + 52u + 7u + kernel.size());

    // Without its module the range does not follow the command.
    comms.written.clear();
    run.info.m_strEraseModule = "gone/erase.bin";
    EXPECT_FALSE(run.device->EraseFLASHBlock(block0));
    EXPECT_EQ(comms.written, Join({Bytes({0x03}), kernel}));
}

TEST_F(Device1KTest, ReadPlacesItsModuleAfterTheCommand)
{
    const std::vector<BYTE> data = FileBytes(8, 0x40);
    comms.Reply(data);
    std::vector<BYTE> buffer(8);
    ASSERT_TRUE(run.device->ReadData(0x20, 8, buffer.data()));
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(comms.written, Join({Bytes({0x24, 8, 0, 0, 0x20}), Download(40, 0x23), Bytes({0x00}), kernel}));
}

TEST_F(Device1KTest, WithoutAutomaticModulesOnlyTheKernelIsSent)
{
    run.device->SetAutomaticModules(false);
    comms.Reply({0x26});
    bool blank = false;
    ASSERT_TRUE(run.device->BlankCheck(&blank, 0, 0x100));
    EXPECT_TRUE(blank);
    EXPECT_EQ(comms.written, Join({Bytes({0x05, 0, 0, 0, 0, 0x01, 0x00}), kernel}));
}

TEST(Device1KStart, UserKernelAndKernelDownload)
{
    CScriptedDevice run(1024, 1000, true);
    run.ScriptIdentity({4, 128, 0x09}, kHandshake, true, 0x0400);
    ASSERT_TRUE(run.device->InitialiseUSERModeKernel());
    EXPECT_NE(dynamic_cast<CFLASH1KUserModeProtocol*>(run.Protocol()), nullptr);
    EXPECT_FALSE(run.Shown("The main kernel is larger than the available RAM", 15053));
    EXPECT_EQ(run.device->GetFreeRAM(), 0u);
    run.comms.written.clear();
    ASSERT_TRUE(static_cast<CFLASH1KDevice*>(run.device.get())->ReDownloadMainKernel());
    EXPECT_EQ(Slice(run.comms.written, 0, 3), Bytes({0x03, 0xE8, 0x12}));

    CScriptedDevice boot(1024, 300, true);
    boot.ScriptIdentity({4, 128, 0x09});
    ASSERT_TRUE(boot.device->DownloadBOOTModeKernel());
    EXPECT_EQ(Slice(boot.comms.written, 0, 302), Download(300, 0x11));
    EXPECT_EQ(boot.comms.written[302], 0x09);
}

} // namespace
