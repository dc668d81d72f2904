#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "TestSupport.h"
#include "devicedb/DeviceDB.h"

namespace {
namespace fs = std::filesystem;

fs::path DevicesFolder()
{
    return zftest::SourcePath("devices");
}

std::unique_ptr<CDeviceInfo> Load(const char* name)
{
    const std::string path = (DevicesFolder() / name).string();
    EXPECT_TRUE(g_FLASHDeviceDB.FindDevice(path.c_str())) << path;
    return std::unique_ptr<CDeviceInfo>(g_FLASHDeviceDB.GetDeviceInfo(path.c_str()));
}

std::vector<const CBlockItem*> Blocks(const CDeviceInfo& info)
{
    std::vector<const CBlockItem*> v;
    for (const CObject* p : info.m_EraseBlocks)
        v.push_back(static_cast<const CBlockItem*>(p));
    return v;
}
} // namespace

TEST(SampleDevices, EveryDefinitionIsCompleteAndConsistent)
{
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(DevicesFolder())) {
        if (entry.path().extension() != ".ini")
            continue;
        ++seen;
        SCOPED_TRACE(entry.path().string());
        auto info = Load(entry.path().filename().c_str());
        ASSERT_TRUE(info);
        EXPECT_GT(info->m_dwRAMSize, 0u);
        EXPECT_GT(info->m_dwBaudRate0, 0u);
        EXPECT_GT(info->m_dEVBClock, 0.0);
        EXPECT_NE(info->m_byKernelHandshake, 0);
        EXPECT_FALSE(info->m_strDeviceCode.IsEmpty());
        EXPECT_TRUE(BaudCalcTypeFromText(info->m_strBRRFormula, nullptr));
        // Contiguous blocks from 0 that cover the FLASH exactly.
        long next = 0;
        for (const CBlockItem* b : Blocks(*info)) {
            EXPECT_EQ(b->m_lStart, next) << b->m_strBlockName.GetString();
            EXPECT_GT(b->m_lSize, 0);
            next += b->m_lSize;
        }
        EXPECT_EQ(static_cast<DWORD>(next), info->m_dwFLASHROMSize);
        // Every named kernel and module file exists beside the definition, whatever the working folder.
        for (const CString* file : {&info->m_strMicroKernel, &info->m_strMainKernel, &info->m_strWriteModule,
                                    &info->m_strEraseModule, &info->m_strUserMicroKernel, &info->m_strUserMainKernel,
                                    &info->m_strReadModule, &info->m_strCheckBlankModule}) {
            if (!file->IsEmpty()) {
                EXPECT_FALSE(fs::path(file->str()).is_absolute());
                EXPECT_TRUE(fs::is_regular_file(info->ResolvePath(*file).str())) << file->GetString();
            }
        }
        for (const CString* file : {&info->m_strMainKernel, &info->m_strWriteModule, &info->m_strEraseModule})
            EXPECT_FALSE(file->IsEmpty());
    }
    EXPECT_EQ(seen, 5);
}

TEST(SampleDevices, EachDeviceHasTheFactsItIsMadeFor)
{
    auto classic = Load("ZT31F256.ini");
    ASSERT_TRUE(classic);
    EXPECT_EQ(classic->m_nProtocol, 0);
    EXPECT_EQ(classic->m_dwFLASHROMSize, 256u * 1024);
    EXPECT_EQ(classic->m_dwRAMSize, 8u * 1024);
    EXPECT_EQ(classic->m_eBRRFormula, ctPavFormula);
    EXPECT_EQ(classic->m_bJTAGAvailable, 1);
    const auto blocks = Blocks(*classic);
    ASSERT_EQ(blocks.size(), 12u);
    EXPECT_EQ(blocks[0]->m_lSize, 0x1000);
    EXPECT_EQ(blocks[8]->m_lSize, 0x8000);
    EXPECT_EQ(blocks[11]->m_lSize, 0x10000);
    EXPECT_EQ(blocks[9]->m_byEBR1, 2);

    auto small = Load("ZT21F064.ini");
    ASSERT_TRUE(small);
    EXPECT_EQ(small->m_dwRAMSize, 2048u);
    EXPECT_FALSE(small->m_strReadModule.IsEmpty());
    EXPECT_FALSE(small->m_strCheckBlankModule.IsEmpty());

    auto overlay = Load("ZT10F016.ini");
    ASSERT_TRUE(overlay);
    EXPECT_NE(overlay->m_nMainFunctionOverlay, 0);
    EXPECT_EQ(overlay->m_dwRAMSize, 1024u);

    auto protocolB = Load("ZT52F128.ini");
    ASSERT_TRUE(protocolB);
    EXPECT_EQ(protocolB->m_nProtocol, 1);
    int index = 0;
    for (const CBlockItem* b : Blocks(*protocolB))
        EXPECT_EQ(std::atoi(b->m_strBlockName.Mid(2)), index++) << b->m_strBlockName.GetString();

    auto autoErase = Load("ZT33F128E.ini");
    ASSERT_TRUE(autoErase);
    EXPECT_NE(autoErase->m_bBOOTModeAutoErase, 0);
    EXPECT_EQ(classic->m_bBOOTModeAutoErase, 0);
    // It runs the kernels of its base device, so it expects their handshake.
    EXPECT_EQ(autoErase->GetBaseDeviceName(), "ZT31F256");
    EXPECT_EQ(autoErase->ResolvePath(autoErase->m_strMainKernel), classic->ResolvePath(classic->m_strMainKernel));
    EXPECT_EQ(autoErase->m_byKernelHandshake, classic->m_byKernelHandshake);
}
