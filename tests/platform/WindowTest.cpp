#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "platform/Window.h"

namespace {
class CRecordingWnd : public CWnd
{
public:
    ~CRecordingWnd() override { DestroyWindow(); }

    std::vector<UINT> Seen()
    {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }
    std::thread::id handlerThread;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        {
            std::lock_guard lock(m_mutex);
            m_seen.push_back(message);
            handlerThread = std::this_thread::get_id();
        }
        if (message == 1)
            return SendMessage(2, 0, 0) + 1; // re-entrant send from the window's own thread
        return static_cast<LRESULT>(wParam) + lParam;
    }

private:
    std::mutex m_mutex;
    std::vector<UINT> m_seen;
};
} // namespace

TEST(CWnd, MessagesRunInOrderOnTheWindowThreadUntilItIsDestroyed)
{
    CRecordingWnd w;
    for (UINT m = 3124; m <= 3127; ++m)
        EXPECT_TRUE(w.PostMessage(m, 0, 0));
    w.Flush();
    EXPECT_EQ(w.Seen(), (std::vector<UINT>{3124, 3125, 3126, 3127}));
    EXPECT_NE(w.handlerThread, std::this_thread::get_id());
    // A send waits for the handler's result; a send from the handler is handled directly: 0 + 1.
    EXPECT_EQ(w.SendMessage(3124, 40, 2), 42);
    EXPECT_EQ(w.SendMessage(1, 0, 0), 1);
    w.PostMessage(7);
    w.DestroyWindow();
    EXPECT_EQ(w.Seen(), (std::vector<UINT>{3124, 3125, 3126, 3127, 3124, 1, 2, 7})); // queued work is still handled
    EXPECT_FALSE(w.PostMessage(8));
    EXPECT_EQ(w.SendMessage(9, 1, 1), 0);
    w.DestroyWindow();
}
