#pragma once
// What the e2e tests of the later kernels share: a sample definition loaded
// into both the virtual target and the library, the line opened, and the
// chip booted through the direct interface up to its micro-kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "comms/FLASHComms.h"
#include "devicedb/DeviceInfo.h"
#include "interface/FLASHGENInterface.h"
#include "platform/File.h"
#include "sim/SimTarget.h"

namespace e2etest {

inline std::string SamplePath(const std::string& name)
{
    const char* src = std::getenv("ZFLASH_SOURCE_DIR");
    return std::string(src ? src : ".") + "/devices/" + name;
}

inline std::vector<BYTE> FileBytes(const CString& path)
{
    std::ifstream in(path.str(), std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<BYTE> Pattern(std::size_t n, BYTE seed)
{
    std::vector<BYTE> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<BYTE>(seed + i * 11 + (i >> 7));
    return v;
}

class CTargetBoot
{
public:
    ::testing::AssertionResult Start(const std::string& sample, const CSimOverrides& overrides = {})
    {
        const std::string definition = SamplePath(sample);
        CString error;
        if (!target.Load(definition.c_str(), &error, overrides) || !target.Start(&error))
            return ::testing::AssertionFailure() << error.GetString();
        info.LoadDeviceInfo(definition.c_str());
        if (!comms.Open(target.GetPortName()))
            return ::testing::AssertionFailure() << "cannot open " << target.GetPortName().GetString();
        iface.SetDeviceInfo(&info);
        return ::testing::AssertionSuccess();
    }

    // Bit-rate matching and the echoed micro-kernel; the boot rate code in *pCode.
    ::testing::AssertionResult BootMicroKernel(unsigned char* pCode)
    {
        if (!iface.BootSCI(pCode))
            return ::testing::AssertionFailure() << "no boot";
        CFile f;
        if (!f.Open(info.ResolvePath(info.m_strMicroKernel), CFile::modeRead))
            return ::testing::AssertionFailure() << "no micro-kernel file";
        std::vector<unsigned char> code(static_cast<std::size_t>(f.GetLength()));
        f.Read(code.data(), static_cast<UINT>(code.size()));
        if (!iface.Download(code.data(), static_cast<unsigned long>(code.size())))
            return ::testing::AssertionFailure() << "micro-kernel download failed";
        return ::testing::AssertionSuccess();
    }

    CBlockItem* Block(int n)
    {
        return static_cast<CBlockItem*>(info.m_EraseBlocks.GetAt(info.m_EraseBlocks.FindIndex(n)));
    }

    bool Shown(const std::string& text, WORD id = 0) const
    {
        return std::any_of(host.shown.begin(), host.shown.end(),
                           [&](const zftest::ShownStatus& s) { return s.text == text && s.id == id; });
    }

    // The target's events of one kind, once it has dealt with all it was sent.
    std::string Events(eSimEventKind kind) const
    {
        target.WaitUntilIdle(target.GetHostBytesTaken(), 3000);
        std::string all;
        for (const CSimEvent& e : target.GetEvents(kind))
            all += e.m_strText.str() + "\n";
        return all;
    }

    // How often the text is in the target's events of one kind. The target
    // notes things after the host's last byte, so this waits (up to a few
    // seconds) for the count to reach at least `expected`.
    std::size_t Count(eSimEventKind kind, const std::string& text, std::size_t expected = 0) const
    {
        std::size_t n = 0;
        for (int i = 0; i < 500; ++i) {
            n = 0;
            for (const CSimEvent& e : target.GetEvents(kind))
                n += e.m_strText.str().find(text) != std::string::npos;
            if (n >= expected)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return n;
    }

    zftest::RecordingHost host;
    zftest::ScopedSettings settings;
    CSimTarget target;
    CDeviceInfo info;
    CFLASHComms comms;
    CFLASHGENInterface iface{&comms};
};

} // namespace e2etest
