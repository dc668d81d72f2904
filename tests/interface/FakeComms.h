#pragma once
// The interface under test on the shared scripted channel.
#include <deque>
#include <string>
#include <vector>

#include "../protocol/FakeComms.h"
#include "TestSupport.h"
#include "devicedb/DeviceInfo.h"
#include "interface/FLASHGENInterface.h"

namespace zftest {

using Bytes = std::vector<unsigned char>;
using Ints = std::vector<int>;
using Ids = std::vector<WORD>;
using Texts = std::vector<std::string>;

// Gives the scripted answers in turn, then the last one again.
class AnsweringHost : public RecordingHost
{
public:
    eQueryType MessageBox(const CString& text, eQueryType style, eMessageIcon icon) override
    {
        RecordingHost::MessageBox(text, style, icon);
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        return answer;
    }
    std::vector<std::string> Texts(eStatusKind kind) const { return Of(kind, &ShownStatus::text); }
    std::vector<WORD> Ids(eStatusKind kind) const { return Of(kind, &ShownStatus::id); }
    template <class T> std::vector<T> Of(eStatusKind kind, T ShownStatus::*field) const
    {
        std::vector<T> out;
        for (const ShownStatus& s : shown)
            if (s.kind == kind)
                out.push_back(s.*field);
        return out;
    }
    std::vector<std::string> Questions() const
    {
        std::vector<std::string> out;
        for (const AskedQuestion& q : questions)
            out.push_back(q.text);
        return out;
    }

    std::deque<eQueryType> answers;
};

// Opens the protected operations to the tests.
class CTestInterface : public CFLASHGENInterface
{
public:
    using CFLASHGENInterface::CFLASHGENInterface;
    using CFLASHInterface::PerformMicroKernelBaudChange;
    using CFLASHInterface::PerformMicroKernelBaudChange_Protcol_B;
    using CFLASHGENInterface::Response;
};

// An interface on a fake channel, with a recording host and its own settings.
struct CInterfaceFixture
{
    CInterfaceFixture()
    {
        iface.SetAdvancedUser(true);
        iface.SetDeviceInfo(&info);
    }
    ScopedSettings settingsStore;
    AnsweringHost host;
    CDeviceInfo info;
    CFakeComms comms;
    CTestInterface iface{&comms};
};

} // namespace zftest
