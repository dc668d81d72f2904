#pragma once
// A device started over the scripted channel, with kernel and module files in
// a temporary folder, so that protocol and device tests begin from a running kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "TestSupport.h"
#include "device/FLASH1KDevice.h"
#include "device/FLASHDevice.h"
#include "devicedb/DeviceInfo.h"
#include "protocol/FLASHProtocol.h"
#include "protocol/FakeComms.h"

namespace zftest {

// Whether this exact text with this id reached the host.
inline bool Shown(const RecordingHost& host, const std::string& text, WORD id = 0)
{
    return std::any_of(host.shown.begin(), host.shown.end(),
                       [&](const ShownStatus& s) { return s.text == text && s.id == id; });
}

constexpr BYTE kHandshake = 0x21;

struct SIdentity
{
    WORD lineSize = 64;
    WORD workArea = 128;
    BYTE bitFields = 0x09; // W = 3, E = 1
};

class CScriptedDevice
{
public:
    explicit CScriptedDevice(DWORD ramSize = 4096, DWORD kernelSize = 512, bool b1K = false)
    {
        info.m_dwRAMSize = ramSize;
        info.m_dwFLASHROMSize = 0x10000;
        info.m_byKernelHandshake = kHandshake;
        info.m_strMainKernel = MakeFile("main.bin", kernelSize, 0x11).c_str();
        info.m_strUserMainKernel = MakeFile("user_main.bin", kernelSize, 0x12).c_str();
        info.m_strWriteModule = MakeFile("write.bin", 90, 0x21).c_str();
        info.m_strEraseModule = MakeFile("erase.bin", 50, 0x22).c_str();
        info.m_strReadModule = MakeFile("read.bin", 40, 0x23).c_str();
        info.m_strCheckBlankModule = MakeFile("blank.bin", 30, 0x24).c_str();
        for (int i = 0; i < 4; ++i)
            info.m_EraseBlocks.AddTail(new CBlockItem("B", i * 0x1000, 0x1000, static_cast<BYTE>(1 << i), 0, 0));
        if (b1K)
            device = std::make_unique<CFLASH1KDevice>("TEST", &comms, true);
        else
            device = std::make_unique<CFLASHDevice>("TEST", &comms, true);
        device->SetDeviceInfo(&info);
        device->SetProtocol(0);
        device->Initialise();
    }

    std::string MakeFile(const std::string& name, size_t size, BYTE seed)
    {
        std::string path = dir.File(name);
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i)
            out.put(static_cast<char>(seed + i));
        return path;
    }

    // Scripts the kernel's side of a BOOT-mode initialisation.
    void ScriptIdentity(const SIdentity& id, BYTE handshake = kHandshake, bool user = false, WORD ramTop = 0)
    {
        const BYTE next = static_cast<BYTE>(CFLASHDevice::m_sCurrentUniqueID.Current() + 1);
        comms.Reply({0x01, 0x00, id.lineSize & 0xFF, id.lineSize >> 8, id.workArea & 0xFF, id.workArea >> 8,
                     user ? (id.bitFields | 0x40) : id.bitFields});
        if (user)
            comms.Reply({ramTop >> 8, ramTop & 0xFF});
        comms.Reply({handshake, next, handshake, next});
    }

    bool Start(const SIdentity& id = {})
    {
        ScriptIdentity(id);
        bool ok = device->InitialiseBOOTModeKernel();
        comms.written.clear();
        return ok;
    }

    CFLASHProtocol* Protocol() { return device->GetFLASHProtocol(); }

    bool Shown(const std::string& text, WORD id = 0) const { return zftest::Shown(host, text, id); }

    RecordingHost host;
    ScopedSettings settings;
    TempDir dir;
    CDeviceInfo info;
    CFakeComms comms;
    std::unique_ptr<CFLASHDevice> device;
};

// A device with 4096 bytes of RAM whose 512-byte main kernel is running.
class CStartedDevice : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(run.Start()); }
    CScriptedDevice run;
    CFakeComms& comms = run.comms;
};

inline std::vector<BYTE> Bytes(std::initializer_list<int> v)
{
    return std::vector<BYTE>(v.begin(), v.end());
}

// Bytes [from, from + count) of what was written.
inline std::vector<BYTE> Slice(const std::vector<BYTE>& v, size_t from, size_t count)
{
    if (from >= v.size())
        return {};
    return std::vector<BYTE>(v.begin() + static_cast<long>(from),
                             v.begin() + static_cast<long>(std::min(v.size(), from + count)));
}

// Expected traffic, pieces joined.
inline std::vector<BYTE> Join(std::initializer_list<std::vector<BYTE>> parts)
{
    std::vector<BYTE> v;
    for (const auto& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

// The bytes a scripted file of this size and seed holds.
inline std::vector<BYTE> FileBytes(size_t size, BYTE seed)
{
    std::vector<BYTE> v(size);
    for (size_t i = 0; i < size; ++i)
        v[i] = static_cast<BYTE>(seed + i);
    return v;
}

} // namespace zftest
