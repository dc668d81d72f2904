// Operations queued by a host against the virtual target: a whole chain on
// the worker thread, and a download aborted while a second one finds the
// document busy.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "TestSupport.h"
#include "image/FLASHDocument.h"
#include "operations/DocumentOperations.h"
#include "operations/HostWindow.h"
#include "operations/ProgrammerOperations.h"
#include "programmer/FLASHManager.h"
#include "sim/SimTarget.h"

namespace {
struct OperationChain : ::testing::Test
{
    void SetUp() override
    {
        const char* src = std::getenv("ZFLASH_SOURCE_DIR");
        const std::string definition = std::string(src ? src : ".") + "/devices/ZT31F256.ini";
        CString error;
        ASSERT_TRUE(target.Load(definition.c_str(), &error)) << error.GetString();
        ASSERT_TRUE(target.Start(&error)) << error.GetString();
        programmer = FLASHManager.CreateFLASHProgrammer("ZT31F256", target.GetPortName(), ctGENBootMode,
                                                        ptNeverErase, mlNormal, "", 0, 7.3728f, 0, 0, 0, definition);
        ASSERT_NE(programmer, nullptr);
        host.answer = qtNo; // no read-back verification
    }
    void TearDown() override
    {
        delete programmer;
        target.Stop();
    }
    void Fill(DWORD nAddress, DWORD nLength)
    {
        std::vector<BYTE> data(nLength);
        for (DWORD i = 0; i < nLength; ++i)
            data[i] = static_cast<BYTE>(i * 7 + (i >> 8));
        image.SetData(nAddress, data.data(), nLength);
    }

    zftest::ScopedSettings settings;
    zftest::RecordingHost host;
    CSimTarget target;
    CFLASHProgrammer* programmer = nullptr;
    CFLASHDocument document;
    CFLASHBinaryImage image{0x40000, &document};
    COperationManager queue;
    zftest::CHostWindow window{&queue};
};
} // namespace

TEST_F(OperationChain, ConnectDownloadDisconnectRunOnTheWorkerAndTellTheWindowInOrder)
{
    Fill(0x1000, 0x1800);
    auto* sink = new CStatusUpdate; // shared by the chain, deleted by its last operation
    auto* connect = new CConnectOperation(&window, programmer, sink, nullptr);
    auto* download = new CDownloadOperation(&window, &image, programmer, sink, &document, 0, nullptr, connect);
    new CDisconnectOperation(&window, programmer, sink, download);
    for (COperation* op = connect; op; op = op->GetNextOperation())
        op->DeleteUpdateOnDestroy(TRUE);
    ASSERT_TRUE(queue.AddOperation(connect));
    queue.WaitUntilIdle();
    window.Flush();

    const auto seen = window.Seen();
    EXPECT_EQ(window.Messages(), (std::vector<UINT>{wmOperationFinished, wmConnected, wmOperationFinished,
                                                    wmOperationFinished, wmDisconnected}));
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].name, "CConnectOperation");
    EXPECT_EQ(seen[2].name, "CDownloadOperation");
    EXPECT_EQ(seen[3].name, "CDisconnectOperation");
    for (const auto& s : seen)
        EXPECT_EQ(s.code, fcSuccess) << s.name;
    EXPECT_EQ(seen[1].lParam, reinterpret_cast<LPARAM>(programmer));
    const std::vector<BYTE> flash = target.GetFLASH();
    std::vector<BYTE> expected(0x1800);
    image.GetData(0x1000, expected.data(), 0x1800);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin() + 0x1000));
    EXPECT_FALSE(programmer->IsConnected());
    // The programmer no longer reports to the deleted operations.
    EXPECT_EQ(programmer->GetStatusUpdate(), programmer);
}

TEST_F(OperationChain, ASecondDownloadFindsTheDocumentBusyAndAnAbortedOneIsPosted)
{
    ASSERT_TRUE(programmer->Connect());
    target.SetThrottle(true); // the write below takes seconds unless cancelled
    Fill(0, 0x10000);
    std::atomic<bool> gate{false};
    window.onFinished = [&](CFLASHOperation* op) {
        while (op->IsAborted() && !gate)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    auto* first = new CDownloadOperation(&window, &image, programmer, nullptr, &document, 0, nullptr, nullptr);
    queue.AddOperation(first);
    for (int i = 0; i < 5000 && !(first->IsOperationRunning() && programmer->IsBusy()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(programmer->IsBusy());

    COperationManager other;
    other.AddOperation(new CDownloadOperation(&window, &image, programmer, nullptr, &document, 0, nullptr, nullptr));
    other.WaitUntilIdle();
    ASSERT_EQ(window.Seen().size(), 1u);
    EXPECT_EQ(window.Seen()[0].code, fcDocumentBusy);
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0].text, g_szDocumentBusy);

    first->AbortOperation(); // returns once the programmer has let go
    EXPECT_TRUE(programmer->GetCancelFlag());
    // Posted: the worker finishes while the window is still held.
    auto idle = std::async(std::launch::async, [&] { queue.WaitUntilIdle(); });
    EXPECT_EQ(idle.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    gate = true;
    idle.wait();
    window.Flush();
    ASSERT_EQ(window.Seen().size(), 2u);
    EXPECT_EQ(host.questions.size(), 1u); // an aborted download asks nothing
    EXPECT_EQ(target.GetFLASH()[0xFFFF], 0xFF);
    EXPECT_FALSE(document.IsDocumentBusy());
}
