#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "TestSupport.h"
#include "devicedb/BlockItem.h"
#include "image/FLASHBinaryImage.h"
#include "image/FLASHDocument.h"
#include "operations/DocumentOperations.h"
#include "operations/HostWindow.h"
#include "operations/ProgrammerOperations.h"
#include "programmer/FLASHManager.h"

namespace {
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

// 16 bytes 00..0F at H'0100 as one S1 record.
std::string WriteSRecord(const zftest::TempDir& dir)
{
    std::string line = "S113";
    unsigned sum = 0x13 + 0x01 + 0x00;
    char hex[3];
    line += "0100";
    for (unsigned i = 0; i < 16; ++i, sum += i - 1) {
        std::snprintf(hex, sizeof hex, "%02X", i);
        line += hex;
    }
    std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFF);
    const std::string path = dir.File("image.s19");
    FILE* f = std::fopen(path.c_str(), "w");
    std::fprintf(f, "%s%s\nS9030000FC\n", line.c_str(), hex);
    std::fclose(f);
    return path;
}

struct OperationTest : ::testing::Test
{
    void Settle()
    {
        queue.WaitUntilIdle();
        window.Flush();
        queue.WaitUntilIdle();
    }
    zftest::ScopedSettings settings;
    zftest::RecordingHost host;
    zftest::TempDir dir;
    CFLASHDocument document;
    CFLASHBinaryImage image{0x10000, &document};
    COperationManager queue;
    zftest::CHostWindow window{&queue};
};
} // namespace

TEST_F(OperationTest, ADecodeChainStopsAtTheFirstFailureAndDeletesItsSinkOnce)
{
    g_deleted = 0;
    auto* sink = new CCountedSink;
    auto* first = new CSRecordDecodeOperation(&window, &image, nullptr, sink, WriteSRecord(dir).c_str(), &document,
                                              nullptr);
    auto* second = new CSRecordDecodeOperation(&window, &image, nullptr, sink, dir.File("none.s19").c_str(),
                                               &document, first);
    new CSRecordDecodeOperation(&window, &image, nullptr, sink, "", &document, second);
    for (COperation* op = first; op; op = op->GetNextOperation())
        op->DeleteUpdateOnDestroy(TRUE);
    ASSERT_TRUE(queue.AddOperation(first));
    Settle();

    const auto seen = window.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].code, fcSuccess);
    EXPECT_EQ(seen[1].code, fcDecode);
    EXPECT_EQ(seen[1].name, "CSRecordDecodeOperation");
    EXPECT_EQ(image.GetDataByte(0x10F), 0x0F);
    EXPECT_TRUE(host.questions.empty()); // a failed decode shows nothing
    int successes = 0;
    for (const auto& s : host.shown)
        successes += s.kind == skSuccess && s.text == "The image was decoded successfully";
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(g_deleted, 1); // the third never ran; sink deleted once
    EXPECT_FALSE(document.IsDocumentBusy());
}

TEST_F(OperationTest, ABusyDocumentEndsTheOperationWithCode7AndTouchesNothing)
{
    document.LockDocument(); // another operation holds it
    ASSERT_TRUE(queue.AddOperation(
        new CSRecordDecodeOperation(&window, &image, nullptr, nullptr, WriteSRecord(dir).c_str(), &document, nullptr)));
    Settle();
    document.UnlockDocument();
    ASSERT_EQ(window.Seen().size(), 1u);
    EXPECT_EQ(window.Seen()[0].code, fcDocumentBusy);
    EXPECT_EQ(image.GetBlockCount(), 0u);
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0].text, g_szDocumentBusy);
}

TEST_F(OperationTest, AChainTheQueueRefusesIsDeletedNotRun)
{
    g_deleted = 0;
    CCountedDecode head(nullptr, &image, nullptr, nullptr, WriteSRecord(dir).c_str(), &document, nullptr);
    new CCountedDecode(nullptr, &image, nullptr, nullptr, dir.File("a").c_str(), &document, &head);
    new CCountedDecode(nullptr, &image, nullptr, nullptr, dir.File("b").c_str(), &document, &head);
    queue.Shutdown();
    head.SetManager(&queue);
    EXPECT_TRUE(head.Execute());
    EXPECT_EQ(head.GetFailCode(), fcSuccess);
    EXPECT_EQ(head.GetNextOperation(), nullptr);
    EXPECT_EQ(g_deleted, 2);
    EXPECT_EQ(host.shown.back().kind, skWarning);
}

TEST_F(OperationTest, AnAbortRacingCompletionNeitherDeadlocksNorLeaks)
{
    const std::string file = WriteSRecord(dir);
    for (int round = 0; round < 20; ++round) {
        auto* head = new CSRecordDecodeOperation(&window, &image, nullptr, nullptr, file.c_str(), &document, nullptr);
        new CSRecordDecodeOperation(&window, &image, nullptr, nullptr, file.c_str(), &document, head);
        queue.AddOperation(head);
        std::thread aborter([&] { queue.AbortCurrent(); });
        aborter.join();
        Settle();
    }
    for (const auto& s : window.Seen())
        EXPECT_EQ(s.code, fcSuccess);
    EXPECT_FALSE(document.IsDocumentBusy());
}

// Every operation's failure through a programmer whose port does not exist.
TEST_F(OperationTest, EachFailureAsksItsRetryQuestionAndARetryRunsAgain)
{
    const char* src = std::getenv("ZFLASH_SOURCE_DIR");
    CFLASHProgrammer* programmer = FLASHManager.CreateFLASHProgrammer(
        "ZT31F256", dir.File("no-such-tty"), ctGENBootMode, ptNeverErase, mlNormal, "", 0, 7.3728f, 0, 0, 0,
        std::string(src ? src : ".") + "/devices/ZT31F256.ini");
    ASSERT_NE(programmer, nullptr);
    auto* blocks = new CObList;
    blocks->AddTail(new CBlockItem("BLK0", 0, 0x1000, 1, 0, 0));
    struct Case
    {
        CFLASHOperation* op;
        DWORD code;
        const char* question;
    } cases[] = {
        {new CConnectOperation(&window, programmer, nullptr, nullptr), fcConnect, "Failed to connect.\nRetry?"},
        {new CDownloadOperation(&window, &image, programmer, nullptr, &document, 0, nullptr, nullptr), fcDownload,
         "Failed to download image.\nRetry?"},
        {new CUploadOperation(&window, nullptr, 0, 0x100, 0, programmer, nullptr, new CFLASHDocument, nullptr),
         fcUpload, "Failed to upload image.\nRetry?"},
        {new CBuildBlockEraseListOperation(&window, programmer, nullptr, nullptr), fcBlockList,
         "Failed to retrieve block information from device.\nRetry?"},
        {new CEraseBlocksOperation(&window, blocks, programmer, nullptr, nullptr), fcErase,
         "Erase operation failed.\nRetry?"},
        {new CBlankCheckOperation(&window, programmer, nullptr, nullptr), fcBlankCheck,
         "Blank check operation failed.\nRetry?"},
    };
    for (const Case& c : cases) {
        host.questions.clear();
        host.answer = qtYes;
        window.onFinished = [&](CFLASHOperation*) { host.answer = host.questions.empty() ? qtYes : qtNo; };
        queue.AddOperation(c.op);
        Settle();
        std::vector<DWORD> codes;
        for (const auto& s : window.Seen())
            codes.push_back(s.message == wmOperationFinished ? s.code : 99);
        ASSERT_GE(codes.size(), 2u);
        EXPECT_EQ(codes[codes.size() - 2], c.code);
        EXPECT_EQ(codes.back(), c.op == cases[3].op ? 99u : c.code);
        ASSERT_EQ(host.questions.size(), 2u) << c.question;
        EXPECT_EQ(host.questions[1].text, c.question);
        EXPECT_EQ(host.questions[1].style, qtYesNo);
    }
    // Only the block list tells the window when it is given up.
    int ready = 0;
    for (UINT m : window.Messages())
        ready += m == wmBlockListReady;
    EXPECT_EQ(ready, 1);
    delete programmer;
}
