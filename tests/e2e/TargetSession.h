#pragma once
// For the e2e tests below the programmer: a device definition loaded into the
// virtual target and the library, the port open, and an interface of the
// given kind on it.
#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "comms/FLASHComms.h"
#include "devicedb/DeviceInfo.h"
#include "interface/FLASHGENInterface.h"
#include "sim/SimTarget.h"

namespace zftest {

using ::testing::HasSubstr;

// Bytes without runs of H'FF, so that an image keeps them as one range.
inline std::vector<BYTE> Pattern(size_t n, BYTE seed)
{
    std::vector<BYTE> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<BYTE>((seed + i * 7 + (i >> 8)) % 0xFF);
    return v;
}

using SImageRange = std::pair<DWORD, std::vector<BYTE>>;

inline ::testing::AssertionResult FLASHHolds(const CSimTarget& t, const std::vector<SImageRange>& ranges)
{
    const std::vector<BYTE> flash = t.GetFLASH();
    for (const auto& [address, bytes] : ranges)
        if (address + bytes.size() > flash.size() || !std::equal(bytes.begin(), bytes.end(), &flash[address]))
            return ::testing::AssertionFailure() << "FLASH differs in the range at " << std::hex << address;
    return ::testing::AssertionSuccess();
}

// Runs work while another thread waits for ready() and then runs action; the
// end of work also lets it go, so that a failure never leaves it waiting.
template <class TWork>
auto WhileRunning(TWork work, const std::function<bool()>& ready, const std::function<void()>& action)
{
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!ready() && !done)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        action();
    });
    auto result = work();
    done = true;
    other.join();
    return result;
}

inline CBlockItem* BlockAt(CObList& blocks, int n)
{
    return static_cast<CBlockItem*>(blocks.GetAt(blocks.FindIndex(n)));
}

// The events' texts, one per line.
inline std::string EventTexts(const std::vector<CSimEvent>& events)
{
    std::string all;
    for (const CSimEvent& e : events)
        all += e.m_strText.str() + "\n";
    return all;
}

// A file under devices/, or an absolute path.
inline std::string DefinitionPath(const std::string& definition)
{
    return definition.front() == '/' ? definition : SourcePath("devices/" + definition);
}

inline ::testing::AssertionResult StartSim(CSimTarget& t, const std::string& definition,
                                           const CSimOverrides& overrides = {})
{
    CString error;
    if (!t.Load(DefinitionPath(definition).c_str(), &error, overrides) || !t.Start(&error))
        return ::testing::AssertionFailure() << error.GetString();
    return ::testing::AssertionSuccess();
}

// A host that records what is shown, and the questions the tests ask about it.
class CShownChecks
{
public:
    // Whether a text was shown with this id (a plain message has 0), or as this kind.
    bool Shown(const std::string& t, WORD id = 0) const
    {
        return std::any_of(host.shown.begin(), host.shown.end(), [&](auto& s) { return s.text == t && s.id == id; });
    }
    bool Shown(eStatusKind kind, const std::string& t) const
    {
        return std::any_of(host.shown.begin(), host.shown.end(), [&](auto& s) { return s.text == t && s.kind == kind; });
    }
    std::vector<WORD> ErrorIds() const
    {
        std::vector<WORD> ids;
        for (const ShownStatus& s : host.shown)
            if (s.kind == skError)
                ids.push_back(s.id);
        return ids;
    }
    std::string Errors() const
    {
        std::string all;
        for (const ShownStatus& s : host.shown)
            all += s.kind == skError ? s.text + " (" + std::to_string(s.id) + ")\n" : "";
        return all;
    }
    // How often a text was shown (host.shown) or asked (host.questions).
    template <class T>
    static int Count(const std::vector<T>& seen, const std::string& text)
    {
        return static_cast<int>(std::count_if(seen.begin(), seen.end(), [&](const T& s) { return s.text == text; }));
    }

    RecordingHost host;
};

template <class TInterface>
class CTargetSession : public CShownChecks
{
public:
    // A file under devices/, or an absolute path.
    ::testing::AssertionResult Start(const std::string& definition, const CSimOverrides& overrides = {})
    {
        if (auto started = StartSim(target, definition, overrides); !started)
            return started;
        const CString path = DefinitionPath(definition).c_str();
        info.LoadDeviceInfo(path);
        iface.SetDeviceInfo(&info);
        if (!comms.Open(target.GetPortName()))
            return ::testing::AssertionFailure() << "cannot open " << target.GetPortName().GetString();
        return ::testing::AssertionSuccess();
    }

    // A kernel or module file the definition names.
    std::vector<unsigned char> ReadKernel(const CString& name) const
    {
        std::ifstream in(info.ResolvePath(name).str(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    bool Download(const CString& name)
    {
        std::vector<unsigned char> code = ReadKernel(name);
        return !code.empty() && iface.Download(code.data(), static_cast<unsigned long>(code.size()));
    }
    // Booted through the interface and the micro-kernel downloaded and
    // running (in that state); *pCode gets the boot rate code.
    ::testing::AssertionResult ReachMicroKernel(unsigned char* pCode, eSimState running = ssMicroKernel)
    {
        if (!iface.BootSCI(pCode))
            return ::testing::AssertionFailure() << "boot";
        if (!Download(info.m_strMicroKernel))
            return ::testing::AssertionFailure() << "download";
        if (!target.WaitForState(running, 5000))
            return ::testing::AssertionFailure() << "state " << CSimTarget::StateName(target.GetState());
        return ::testing::AssertionSuccess();
    }

    CBlockItem* Block(int n) { return BlockAt(info.m_EraseBlocks, n); }

    // The texts of the target's events of one kind, one per line, once it has
    // dealt with what the host sent.
    std::string Events(eSimEventKind kind) const
    {
        target.WaitUntilIdle(target.GetHostBytesTaken(), 2000);
        return EventTexts(target.GetEvents(kind));
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

    ScopedSettings settings{ScopedSettings::kVirtualTargetFactor};
    CSimTarget target;
    CDeviceInfo info;
    CFLASHComms comms;
    TInterface iface{&comms};
};

using CTargetBoot = CTargetSession<CFLASHGENInterface>;

} // namespace zftest
