#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "operations/Operation.h"

namespace {
struct Journal
{
    std::mutex mutex;
    std::vector<int> order;
    void Add(int v)
    {
        std::lock_guard lock(mutex);
        order.push_back(v);
    }
};

class CStep : public COperation
{
public:
    CStep(Journal& journal, int id, COperation* parent = nullptr, CStatusUpdate* sink = nullptr)
        : COperation(nullptr, sink, parent), m_journal(journal), m_id(id)
    {
    }
    BOOL Execute() override
    {
        thread = std::this_thread::get_id();
        m_journal.Add(m_id);
        // Hand the follow-on to the queue and run it here, as a chain does.
        if (COperation* next = GetNextOperation(); next && GetManager()) {
            SetNextOperation(nullptr);
            accepted = GetManager()->AddOperation(next);
            OperationComplete(0);
            return accepted ? next->Execute() : FALSE;
        }
        OperationComplete(m_id);
        return TRUE;
    }
    std::thread::id thread;
    BOOL accepted = FALSE;

private:
    Journal& m_journal;
    int m_id;
};

// Keeps the last message and counts its own deletion.
class CSink : public CStatusUpdate
{
public:
    explicit CSink(int& deleted) : m_deleted(deleted) {}
    ~CSink() override { ++m_deleted; }
    void DisplayMessage(const CString& text, WORD) override { last = text; }
    CString last;

private:
    int& m_deleted;
};
} // namespace

TEST(COperationManager, RunsOperationsAndHandedOverChainsInOrderOnItsWorker)
{
    Journal journal;
    COperationManager queue;
    CStep a(journal, 1), b(journal, 2), c(journal, 3);
    for (CStep* step : {&a, &b, &c})
        EXPECT_NE(queue.AddOperation(step), 0);
    EXPECT_EQ(queue.AddOperation(nullptr), 0);
    queue.WaitUntilIdle();
    EXPECT_EQ(journal.order, (std::vector<int>{1, 2, 3}));
    EXPECT_NE(a.thread, std::this_thread::get_id());
    EXPECT_EQ(a.thread, c.thread);
    EXPECT_TRUE(c.WaitForCompletion(0));
    EXPECT_EQ(c.GetFailCode(), 3u);
    EXPECT_EQ(a.GetManager(), &queue);

    // A chain handed over from the worker runs once; the third step is appended after the second.
    CStep head(journal, 4), second(journal, 5, &head), third(journal, 6, &head);
    queue.AddOperation(&head);
    queue.WaitUntilIdle();
    EXPECT_EQ(journal.order, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(head.accepted);
    EXPECT_EQ(queue.GetQueuedCount(), 0);

    queue.Shutdown();
    CStep late(journal, 9);
    EXPECT_EQ(queue.AddOperation(&late), 0);
    queue.WaitUntilIdle();
    EXPECT_EQ(journal.order.size(), 6u);
    EXPECT_FALSE(late.IsComplete());
}

TEST(COperation, AbortSinkOwnershipAndStatusRouting)
{
    int deleted = 0;
    {
        COperation owning(nullptr, new CSink(deleted), nullptr);
        owning.DeleteUpdateOnDestroy(TRUE);
        COperation keeping(nullptr, owning.GetStatusUpdate(), nullptr);
        EXPECT_FALSE(keeping.WillDeleteUpdate());
        keeping.AbortOperation();
        EXPECT_TRUE(keeping.IsAborted());
        EXPECT_FALSE(owning.IsAborted());
    }
    EXPECT_EQ(deleted, 1);

    // SetStatusOutput routes a part's messages into the operation's sink.
    CSink sink(deleted);
    CStatusUpdate part;
    COperation op(nullptr, &sink, nullptr);
    op.SetStatusOutput(&part);
    part.DisplayMessage("Kernel initialised");
    EXPECT_EQ(sink.last, "Kernel initialised");
}
