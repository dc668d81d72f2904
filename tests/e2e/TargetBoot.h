#pragma once
// For the e2e tests of the later kernels: a sample definition loaded into the
// virtual target and the library, and the chip booted through the direct
// interface up to its micro-kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "comms/FLASHComms.h"
#include "devicedb/DeviceInfo.h"
#include "interface/FLASHGENInterface.h"
#include "sim/SimTarget.h"

class CTargetBoot
{
public:
    // *pCode gets the boot rate code.
    void Boot(const std::string& sample, const CSimOverrides& overrides, unsigned char* pCode)
    {
        const char* src = std::getenv("ZFLASH_SOURCE_DIR");
        const std::string definition = std::string(src ? src : ".") + "/devices/" + sample;
        CString error;
        ASSERT_TRUE(target.Load(definition.c_str(), &error, overrides) && target.Start(&error)) << error.GetString();
        info.LoadDeviceInfo(definition.c_str());
        ASSERT_TRUE(comms.Open(target.GetPortName()));
        iface.SetDeviceInfo(&info);
        ASSERT_TRUE(iface.BootSCI(pCode));
        std::ifstream in(info.ResolvePath(info.m_strMicroKernel).str(), std::ios::binary);
        std::vector<unsigned char> code((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_TRUE(iface.Download(code.data(), static_cast<unsigned long>(code.size())));
    }

    CBlockItem* Block(int n) { return static_cast<CBlockItem*>(info.m_EraseBlocks.GetAt(info.m_EraseBlocks.FindIndex(n))); }

    void Inject(DWORD CSimFaults::*fault, DWORD n) { CSimFaults f; f.*fault = n; target.SetFaults(f); }

    bool Shown(const std::string& t) const
    {
        return std::any_of(host.shown.begin(), host.shown.end(), [&](const auto& s) { return s.text == t; });
    }

    // How many of the target's events of one kind hold the text, waiting a
    // little for at least `expected` (the target notes after the host's last byte).
    std::size_t Count(eSimEventKind kind, const std::string& text, std::size_t expected = 0) const
    {
        std::size_t n = 0;
        for (int i = 0; i < 300 && n < expected + (i == 0); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(i ? 10 : 0));
            n = 0;
            for (const CSimEvent& e : target.GetEvents(kind))
                n += e.m_strText.str().find(text) != std::string::npos;
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

inline std::vector<BYTE> Pattern(std::size_t n, BYTE seed)
{
    std::vector<BYTE> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<BYTE>(seed + i * 11 + (i >> 7));
    return v;
}
