#pragma once
// An owner window that behaves like a host: it records every message and,
// for each finished operation, shows the results, then queues the operation
// again (retry) or deletes it.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "operations/FLASHOperation.h"
#include "platform/Window.h"

namespace zftest {

struct SeenMessage
{
    UINT message;
    LPARAM lParam;
    DWORD code;      // the operation's fail code (finished messages only)
    std::string name; // the operation's name (finished messages only)
};

class CHostWindow : public CWnd
{
public:
    explicit CHostWindow(COperationManager* pQueue) : m_pQueue(pQueue) {}
    ~CHostWindow() override { DestroyWindow(); }

    std::vector<SeenMessage> Seen()
    {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }
    std::vector<UINT> Messages()
    {
        std::vector<UINT> out;
        for (const SeenMessage& s : Seen())
            out.push_back(s.message);
        return out;
    }
    // Runs (on the window's thread) before a finished operation is handled.
    std::function<void(CFLASHOperation*)> onFinished;

protected:
    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override
    {
        if (message != wmOperationFinished) {
            std::lock_guard lock(m_mutex);
            m_seen.push_back({message, lParam, 0, {}});
            return 0;
        }
        auto* pOp = static_cast<CFLASHOperation*>(reinterpret_cast<COperation*>(lParam));
        if (onFinished)
            onFinished(pOp);
        {
            std::lock_guard lock(m_mutex);
            m_seen.push_back({message, lParam, pOp->GetFailCode(), pOp->GetName().str()});
        }
        if (!pOp->DisplayOperationResults() || !m_pQueue->AddOperation(pOp))
            delete pOp;
        return 0;
    }

private:
    COperationManager* m_pQueue;
    std::mutex m_mutex;
    std::vector<SeenMessage> m_seen;
};

} // namespace zftest
