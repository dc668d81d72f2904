// The whole BOOT-mode road over a real pty, with the library's own parts only:
// the direct interface boots the chip and raises the link, then the device
// downloads its main kernel and programs real data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "TestSupport.h"
#include "comms/FLASHComms.h"
#include "device/FLASHDevice.h"
#include "devicedb/DeviceInfo.h"
#include "interface/FLASHGENInterface.h"
#include "platform/File.h"
#include "sim/SimTarget.h"

namespace {
std::string Definition()
{
    const char* src = std::getenv("ZFLASH_SOURCE_DIR");
    return std::string(src ? src : ".") + "/devices/ZT31F256.ini";
}
} // namespace

TEST(BootPath, BootsRaisesTheLinkAndProgramsABlock)
{
    zftest::ScopedSettings settings;
    zftest::RecordingHost host;
    CSimTarget target;
    CString error;
    ASSERT_TRUE(target.Load(Definition().c_str(), &error)) << error.GetString();
    ASSERT_TRUE(target.Start(&error)) << error.GetString();

    CDeviceInfo info;
    info.LoadDeviceInfo(Definition().c_str());
    CFLASHComms comms;
    ASSERT_TRUE(comms.Open(target.GetPortName()));

    CFLASHGENInterface iface(&comms);
    iface.SetDeviceInfo(&info);
    unsigned char code = 0;
    ASSERT_TRUE(iface.BootSCI(&code));
    const CString microKernel = info.ResolvePath(info.m_strMicroKernel);
    CFile f;
    ASSERT_TRUE(f.Open(microKernel, CFile::modeRead)) << microKernel.GetString();
    std::vector<unsigned char> ukernel(static_cast<std::size_t>(f.GetLength()));
    ASSERT_EQ(f.Read(ukernel.data(), static_cast<UINT>(ukernel.size())), ukernel.size());
    ASSERT_TRUE(iface.Download(ukernel.data(), static_cast<unsigned long>(ukernel.size())));
    unsigned char work[4] = {};
    ASSERT_TRUE(iface.ChangeBaud(115200, code, work, info.m_eBRRFormula));
    EXPECT_EQ(target.GetTargetRate(), 115200u);

    CFLASHDevice device("ZT31F256", &comms, true);
    device.SetDeviceInfo(&info);
    device.SetProtocol(0);
    device.Initialise();
    ASSERT_TRUE(device.DownloadBOOTModeKernel());
    ASSERT_TRUE(device.InitialiseBOOTModeKernel());
    ASSERT_TRUE(target.WaitForState(ssMainKernel, 5000)) << CSimTarget::StateName(target.GetState());

    auto* block = static_cast<CBlockItem*>(info.m_EraseBlocks.GetAt(info.m_EraseBlocks.FindIndex(1)));
    target.LoadFLASH(static_cast<DWORD>(block->m_lStart), std::vector<BYTE>(64, 0x00));
    ASSERT_TRUE(device.EraseFLASHBlock(block));

    std::vector<unsigned char> data(static_cast<std::size_t>(block->m_lSize));
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 13 + (i >> 7));
    std::vector<unsigned char> copy = data;
    ASSERT_TRUE(device.WriteVerifyFLASH(static_cast<unsigned long>(block->m_lStart),
                                        static_cast<unsigned long>(copy.size()), copy.data(), 0));

    const std::vector<BYTE> flash = target.GetFLASH();
    ASSERT_GE(flash.size(), static_cast<std::size_t>(block->m_lStart + block->m_lSize));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + block->m_lStart));

    std::vector<unsigned char> back(data.size());
    ASSERT_TRUE(device.ReadData(static_cast<unsigned long>(block->m_lStart), static_cast<unsigned long>(back.size()),
                                back.data()));
    EXPECT_EQ(back, data);

    auto* next = static_cast<CBlockItem*>(info.m_EraseBlocks.GetAt(info.m_EraseBlocks.FindIndex(2)));
    bool blank = false;
    ASSERT_TRUE(device.BlankCheck(&blank, static_cast<unsigned long>(next->m_lStart),
                                  static_cast<unsigned long>(next->m_lSize)));
    EXPECT_TRUE(blank);
    ASSERT_TRUE(device.BlankCheck(&blank, static_cast<unsigned long>(block->m_lStart),
                                  static_cast<unsigned long>(block->m_lSize)));
    EXPECT_FALSE(blank);
    EXPECT_TRUE(target.GetEvents(ekViolation).empty());
    comms.Close();
    target.Stop();
}
