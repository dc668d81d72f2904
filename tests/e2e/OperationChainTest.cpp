// Operations as a host queues them, with an owner window that records every
// message and, like a host, shows each finished operation's results and then
// queues it again (retry) or deletes it.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>
#include <tuple>

#include "TargetSession.h"
#include "devicedb/BlockItem.h"
#include "image/FLASHDocument.h"
#include "operations/DocumentOperations.h"
#include "operations/ProgrammerOperations.h"
#include "platform/Window.h"
#include "programmer/FLASHManager.h"

namespace {
struct SeenMessage
{
    UINT message;
    LPARAM lParam;
    DWORD code; // finished messages: the operation's fail code
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
    std::function<void(CFLASHOperation*)> onFinished; // before a finished operation is handled

protected:
    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override
    {
        const bool bFinished = message == wmOperationFinished;
        auto* pOp = bFinished ? static_cast<CFLASHOperation*>(reinterpret_cast<COperation*>(lParam)) : nullptr;
        if (bFinished && onFinished)
            onFinished(pOp);
        {
            std::lock_guard lock(m_mutex);
            m_seen.push_back({message, lParam, bFinished ? pOp->GetFailCode() : 0});
        }
        if (bFinished && (!pOp->DisplayOperationResults() || !m_pQueue->AddOperation(pOp)))
            delete pOp;
        return 0;
    }

private:
    COperationManager* m_pQueue;
    std::mutex m_mutex;
    std::vector<SeenMessage> m_seen;
};

std::atomic<int> g_deleted{0};

struct CCountedSink : CStatusUpdate
{
    ~CCountedSink() override { ++g_deleted; }
};

struct CCountedDecode : CSRecordDecodeOperation
{
    using CSRecordDecodeOperation::CSRecordDecodeOperation;
    ~CCountedDecode() override { ++g_deleted; }
    void SetManager(COperationManager* pQueue) { m_pManager = pQueue; }
};

struct OperationChain : ::testing::Test, zftest::CShownChecks
{
    void SetUp() override
    {
        g_deleted = 0;
        std::ofstream(file) << "S1130100000102030405060708090A0B0C0D0E0F73\nS9030000FC\n"; // 00..0F at H'100
        const std::string definition = zftest::SourcePath("devices/ZT31F256.ini");
        ASSERT_TRUE(target.Load(definition.c_str(), nullptr) && target.Start());
        programmer = FLASHManager.CreateFLASHProgrammer("ZT31F256", target.GetPortName(), ctGENBootMode,
                                                        ptNeverErase, mlNormal, "", 0, 7.3728f, 0, 0, 0, definition);
        ASSERT_NE(programmer, nullptr);
        host.answer = qtNo; // no read-back verification
        const std::vector<BYTE> data = zftest::Pattern(0x10000, 0);
        image.SetData(0, data.data(), 0x10000);
    }
    void TearDown() override { delete programmer; }
    void Settle()
    {
        queue.WaitUntilIdle();
        window.Flush();
        queue.WaitUntilIdle();
    }
    CDownloadOperation* Download(CStatusUpdate* sink, COperation* parent)
    {
        return new CDownloadOperation(&window, &image, programmer, sink, &document, 0, nullptr, parent);
    }
    CSRecordDecodeOperation* Decode(const std::string& name, CStatusUpdate* sink, COperation* parent)
    {
        return new CSRecordDecodeOperation(&window, &image, nullptr, sink, name.c_str(), &document, parent);
    }

    zftest::ScopedSettings settings{zftest::ScopedSettings::kVirtualTargetFactor};
    zftest::TempDir dir;
    std::string file = dir.File("image.s19");
    CSimTarget target;
    CFLASHProgrammer* programmer = nullptr;
    CFLASHDocument document;
    CFLASHBinaryImage image{0x40000, &document};
    COperationManager queue;
    CHostWindow window{&queue};
};
} // namespace

TEST_F(OperationChain, ConnectDownloadDisconnectRunOnTheWorkerAndTellTheWindowInOrder)
{
    auto* sink = new CStatusUpdate; // shared by the chain, deleted by its last operation
    auto* connect = new CConnectOperation(&window, programmer, sink, nullptr);
    new CDisconnectOperation(&window, programmer, sink, Download(sink, connect));
    for (COperation* op = connect; op; op = op->GetNextOperation())
        op->DeleteUpdateOnDestroy(TRUE);
    ASSERT_TRUE(queue.AddOperation(connect));
    Settle();

    const auto seen = window.Seen();
    std::vector<UINT> messages;
    for (const auto& s : seen)
        messages.push_back(s.code == fcSuccess ? s.message : 0);
    EXPECT_EQ(messages, (std::vector<UINT>{wmOperationFinished, wmConnected, wmOperationFinished,
                                           wmOperationFinished, wmDisconnected}));
    EXPECT_EQ(seen.at(1).lParam, reinterpret_cast<LPARAM>(programmer));
    const std::vector<BYTE> flash = target.GetFLASH();
    for (DWORD a = 0; a < 0x10000; a += 0x3F1)
        ASSERT_EQ(flash[a], image.GetDataByte(a)) << a;
    EXPECT_FALSE(programmer->IsConnected());
    EXPECT_EQ(programmer->GetStatusUpdate(), programmer); // detached from the deleted sink
}

TEST_F(OperationChain, ASecondDownloadFindsTheDocumentBusyAndAnAbortedOneIsPosted)
{
    ASSERT_TRUE(programmer->Connect());
    target.SetThrottle(true); // the write below takes seconds unless cancelled
    std::atomic<bool> gate{false};
    window.onFinished = [&](CFLASHOperation* op) {
        while (op->IsAborted() && !gate)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    CDownloadOperation* first = Download(nullptr, nullptr);
    queue.AddOperation(first);
    for (int i = 0; i < 5000 && !programmer->IsBusy(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(first->IsOperationRunning() && programmer->IsBusy());

    COperationManager other;
    other.AddOperation(Download(nullptr, nullptr));
    other.WaitUntilIdle();
    EXPECT_EQ(window.Seen().at(0).code, fcDocumentBusy);
    EXPECT_EQ(host.questions.at(0).text, g_szDocumentBusy);

    first->AbortOperation(); // returns once the programmer has let go
    EXPECT_TRUE(programmer->GetCancelFlag());
    // Posted, not sent: the worker finishes while the window is still held.
    auto idle = std::async(std::launch::async, [&] { queue.WaitUntilIdle(); });
    EXPECT_EQ(idle.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    gate = true;
    idle.wait();
    window.Flush();
    EXPECT_EQ(window.Seen().size() + host.questions.size(), 3u); // an aborted download asks nothing
    EXPECT_EQ(target.GetFLASH()[0xFFFF], 0xFF);
    EXPECT_FALSE(document.IsDocumentBusy());
}

TEST_F(OperationChain, ADecodeChainStopsAtTheFirstFailureAndDeletesItsSinkOnce)
{
    auto* sink = new CCountedSink;
    CSRecordDecodeOperation* first = Decode(file, sink, nullptr);
    Decode("", sink, Decode(dir.File("none.s19"), sink, first));
    for (COperation* op = first; op; op = op->GetNextOperation())
        op->DeleteUpdateOnDestroy(TRUE);
    ASSERT_TRUE(queue.AddOperation(first));
    Settle();

    const auto seen = window.Seen();
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen.at(1).code, fcDecode);
    EXPECT_EQ(image.GetDataByte(0x10F), 0x0F);
    EXPECT_TRUE(host.questions.empty()); // a failed decode shows nothing
    EXPECT_TRUE(Shown(skSuccess, "The image was decoded successfully"));
    EXPECT_EQ(g_deleted, 1); // the third never ran; the sink went once
    EXPECT_FALSE(document.IsDocumentBusy());
}

TEST_F(OperationChain, AChainTheQueueRefusesIsDeletedNotRun)
{
    CCountedDecode head(nullptr, &image, nullptr, nullptr, file.c_str(), &document, nullptr);
    new CCountedDecode(nullptr, &image, nullptr, nullptr, file.c_str(), &document, &head);
    new CCountedDecode(nullptr, &image, nullptr, nullptr, file.c_str(), &document, &head);
    queue.Shutdown();
    head.SetManager(&queue);
    EXPECT_TRUE(head.Execute());
    EXPECT_EQ(head.GetNextOperation(), nullptr);
    EXPECT_EQ(g_deleted, 2);
    EXPECT_EQ(host.shown.back().kind, skWarning);
}

TEST_F(OperationChain, AnAbortRacingCompletionNeitherDeadlocksNorLeaks)
{
    for (int round = 0; round < 20; ++round) {
        CSRecordDecodeOperation* head = Decode(file, nullptr, nullptr);
        Decode(file, nullptr, head); // dropped when the abort comes first
        queue.AddOperation(head);
        std::thread([&] { queue.AbortCurrent(); }).join();
        Settle();
    }
    for (const auto& s : window.Seen())
        EXPECT_EQ(s.code, fcSuccess);
}

// Every failure, on a port that does not exist: Yes to the first question, then No.
TEST_F(OperationChain, EachFailureAsksItsRetryQuestionAndARetryRunsAgain)
{
    programmer->SetCommsPort(dir.File("no-tty"));
    auto* blocks = new CObList;
    blocks->AddTail(new CBlockItem("BLK0", 0, 0x1000, 1, 0, 0));
    const std::tuple<CFLASHOperation*, DWORD, const char*> cases[] = {
        {new CConnectOperation(&window, programmer, nullptr, nullptr), fcConnect, "Failed to connect.\nRetry?"},
        {Download(nullptr, nullptr), fcDownload, "Failed to download image.\nRetry?"},
        {new CUploadOperation(&window, nullptr, 0, 0x100, 0, programmer, nullptr, new CFLASHDocument, nullptr),
         fcUpload, "Failed to upload image.\nRetry?"},
        {new CEraseBlocksOperation(&window, blocks, programmer, nullptr, nullptr), fcErase,
         "Erase operation failed.\nRetry?"},
        {new CBlankCheckOperation(&window, programmer, nullptr, nullptr), fcBlankCheck,
         "Blank check operation failed.\nRetry?"},
        {new CBuildBlockEraseListOperation(&window, programmer, nullptr, nullptr), fcBlockList,
         "Failed to retrieve block information from device.\nRetry?"},
    };
    window.onFinished = [&](CFLASHOperation*) { host.answer = host.questions.empty() ? qtYes : qtNo; };
    for (const auto& [op, code, question] : cases) {
        host.questions.clear();
        const size_t n = window.Seen().size();
        queue.AddOperation(op);
        Settle();
        const auto seen = window.Seen();
        ASSERT_EQ(seen.size(), n + 2 + (code == fcBlockList)); // a given-up block list tells the window
        EXPECT_EQ(seen[n].code, code);
        EXPECT_EQ(seen[n + 1].code, code);
        ASSERT_EQ(host.questions.size(), 2u) << question;
        EXPECT_EQ(host.questions[1].text, question);
        EXPECT_EQ(host.questions[1].style, qtYesNo);
    }
    EXPECT_EQ(window.Seen().back().message, wmBlockListReady);
}
